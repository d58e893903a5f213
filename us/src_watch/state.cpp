#include "state.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "build_info.h"
#include "fs.h"
#include "handover.h"

namespace {

const char *const slot_state_names[] = {"starting", "running", "waiting"};

int slots_in_use(const watch_daemon_t *daemon) {
    return daemon->sub_cnt < MAX_SUB_PROCESS ? daemon->sub_cnt : MAX_SUB_PROCESS;
}

// The state as one JSON object, written into a fixed buffer: this runs at
// every restart, so it allocates nothing and formats only integers (cJSON's
// printing brings in the floating-point formatting of libc).
class json_text {
   public:
    void raw(const char *s) {
        while (*s != '\0') put(*s++);
    }
    void key(const char *name) {
        if (!first_) put(',');
        first_ = false;
        put('"');
        raw(name);
        raw("\":");
    }
    void number(long long value) {
        char digits[24];
        int n = 0;
        unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        do digits[n++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0);
        if (value < 0) put('-');
        while (n > 0) put(digits[--n]);
    }
    // Times are Unix seconds, or null for "not yet".
    void time(time_t t) { t > 0 ? number(t) : raw("null"); }
    void text(const char *s) {
        put('"');
        for (; *s != '\0'; ++s) {
            const auto c = static_cast<unsigned char>(*s);
            if (c == '"' || c == '\\') put('\\');
            if (c >= 0x20) {
                put(static_cast<char>(c));
                continue;
            }
            raw("\\u00");
            put("0123456789abcdef"[c >> 4]);
            put("0123456789abcdef"[c & 15]);
        }
        put('"');
    }
    void begin(char brace) {
        put(brace);
        first_ = true;
    }
    void end(char brace) {
        put(brace);
        first_ = false;
    }
    const char *finish() {
        buf_[len_ < sizeof buf_ ? len_ : sizeof buf_ - 1] = '\0';
        return len_ < sizeof buf_ ? buf_ : nullptr;
    }

   private:
    void put(char c) {
        if (len_ < sizeof buf_) buf_[len_] = c;
        ++len_;
    }
    // Room for four names of 4 KiB, each byte escaped at worst to six.
    static inline char buf_[MAX_SUB_PROCESS * PATH_BUF * 6 + 4096];
    size_t len_ = 0;
    bool first_ = true;
};

void slot_json(json_text &out, const exec_pid_t &slot) {
    out.begin('{');
    out.key("base"), out.text(slot.base.data());
    out.key("pid"), out.number(slot.pid);
    out.key("state"), out.text(slot_state_names[slot.state]);
    out.key("started"), out.time(slot.started);
    out.key("ends"), out.number(slot.ends);
    out.key("segv"), out.number(slot.segv_ends);
    out.key("last_end");
    if (slot.last_end > 0) {
        out.begin('{');
        out.key("time"), out.time(slot.last_end);
        out.key(slot.last_signaled ? "signal" : "exit_code"), out.number(slot.last_code);
        out.end('}');
    } else {
        out.raw("null");
    }
    out.key("restart_due"), out.time(slot.state == SLOT_WAITING ? slot.restart_due : 0);
    out.end('}');
}

const char *state_json(const watch_daemon_t *daemon, time_t now) {
    json_text out;
    out.begin('{');
    out.key("pid"), out.number(getpid());
    out.key("version"), out.text(build_version());
    out.key("started"), out.time(daemon->started);
    out.key("build_since"), out.time(daemon->build_since);
    out.key("updated"), out.time(now);
    // The reader needs it to read the run file's time stamps, which are local
    // time without a zone: the offset of the last one written, if any.
    out.key("utc_offset");
    record_utc_offset != LONG_MIN ? out.number(record_utc_offset) : out.raw("null");
    // The zone itself, so that time stamps from before a daylight-saving
    // change are read right too: TZ, or null for the system's zone.
    const char *zone = getenv("TZ");
    out.key("tz"), zone != nullptr ? out.text(zone) : out.raw("null");
    out.key("boot_space"), out.text(daemon->boot_space == BOOT_SPACE_DATA ? "data" : "system");
    out.key("upgrades_installed"), out.number(daemon->upgrades_installed);
    out.key("upgrades_failed"), out.number(daemon->upgrades_failed);
    out.key("stopped");
    if (daemon->stopped_at > 0) {
        out.begin('{');
        out.key("why"), out.text(daemon->stopped_why);
        out.key("time"), out.time(daemon->stopped_at);
        out.end('}');
    } else {
        out.raw("null");
    }
    out.key("slots");
    out.begin('[');
    for (int i = 0; i < slots_in_use(daemon); ++i) {
        if (i > 0) out.raw(",");
        slot_json(out, daemon->pids[i]);
    }
    out.end(']');
    out.end('}');
    return out.finish();
}

uint64_t fnv1a(const char *data, size_t len) {
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < len; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash;
}

// "LEN HASH\n", without printf: the idle supervisor formats nothing else.
size_t frame_header(char (&header)[48], size_t len, uint64_t hash) {
    char digits[24];
    size_t n = 0, at = 0;
    do digits[n++] = static_cast<char>('0' + len % 10); while ((len /= 10) != 0);
    while (n > 0) header[at++] = digits[--n];
    header[at++] = ' ';
    for (int shift = 60; shift >= 0; shift -= 4) header[at++] = "0123456789abcdef"[(hash >> shift) & 15];
    header[at++] = '\n';
    return at;
}

// Whether the descriptor held is still the file at `path`, and that file's
// only name: not removed, replaced, renamed away or linked elsewhere.
bool still_at(int fd, const char *path) {
    struct stat held {}, named {};
    return fstatat(fd, "", &held, AT_EMPTY_PATH) == 0 && held.st_nlink == 1 &&
           fstatat(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// A view for readers, not data to survive a power cut: written in place
// through a descriptor held open, since creating and renaming a file at
// every start and end costs more than the rest of a restart. When the file
// is no longer the one at its path, the path gets a new one: what was moved
// or linked elsewhere is never written again.
bool write_view(watch_daemon_t *daemon, const char *path, const char *body) {
    if (daemon->state_fd > 0 && !still_at(daemon->state_fd, path)) {
        struct stat held {}, named {};
        // Our file, with another name besides: the path gets a file of its own.
        if (fstatat(daemon->state_fd, "", &held, AT_EMPTY_PATH) == 0 &&
            fstatat(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            unlink(path);
        close(daemon->state_fd);
        daemon->state_fd = 0;
    }
    if (daemon->state_fd <= 0) {
        daemon->state_fd = open_exposed(path, O_RDWR | O_CREAT, 0644).release();
        daemon->state_len = 0;
        if (daemon->state_fd < 0) {
            daemon->state_fd = 0;
            return false;
        }
    }
    const size_t len = strlen(body);
    char header[48];
    const size_t n = frame_header(header, len, fnv1a(body, len));
    const iovec parts[] = {{header, n}, {const_cast<char *>(body), len}};
    const size_t total = n + len;
    if (pwritev(daemon->state_fd, parts, 2, 0) != static_cast<ssize_t>(total)) return false;
    if (total < daemon->state_len && ftruncate(daemon->state_fd, static_cast<off_t>(total)) != 0) return false;
    daemon->state_len = static_cast<unsigned int>(total);
    return true;
}

// ./tmp/NAME.state beside ./tmp/NAME.run.
void state_path(const watch_daemon_t *daemon, char (&path)[PATH_BUF + 8]) {
    join_bounded(path, sizeof path, {daemon->runfile.data()});
    const size_t len = strlen(path);
    if (len >= 4 && strcmp(path + len - 4, ".run") == 0) path[len - 4] = '\0';
    join_bounded(path + strlen(path), sizeof path - strlen(path), {".state"});
}

// One console line when writing starts to fail, none while it goes on failing.
void publish(watch_daemon_t *daemon) {
    char path[PATH_BUF + 8];
    state_path(daemon, path);
    const char *text = state_json(daemon, wall_clock_now());
    const bool ok = text != nullptr && write_view(daemon, path, text);
    if (!ok && !daemon->state_unwritten) printf("failed to write %s: %s\n", path, strerror(errno));
    daemon->state_unwritten = !ok;
}

}  // namespace

const char *state_body(const char *file, size_t len, size_t *body_len) {
    const char *newline = static_cast<const char *>(memchr(file, '\n', std::min<size_t>(len, 48)));
    unsigned long long hash = 0;
    size_t size = 0;
    if (newline == nullptr || sscanf(file, "%zu %16llx", &size, &hash) != 2) return nullptr;
    const char *body = newline + 1;
    if (size > len - static_cast<size_t>(body - file) || fnv1a(body, size) != hash) return nullptr;
    *body_len = size;
    return body;
}

void state_cycle_started(watch_daemon_t *daemon) {
    for (int i = 0; i < slots_in_use(daemon); ++i) daemon->pids[i].state = SLOT_STARTING;
    publish(daemon);
}

void state_child_started(watch_daemon_t *daemon, int slot) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = s.pid > 0 ? SLOT_RUNNING : SLOT_STARTING;
    s.started = s.pid > 0 ? wall_clock_now() : 0;
    publish(daemon);
}

void state_child_ended(watch_daemon_t *daemon, int slot, int code, int exit_normal) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = SLOT_STARTING;
    s.last_signaled = exit_normal != 1;
    s.last_code = code;
    s.last_end = wall_clock_now();
    ++s.ends;
    if (exit_normal != 1 && code == SIGSEGV) ++s.segv_ends;
    // Not published alone: what follows an end (its restart's delay, a new
    // cycle, an upgrade, the end of the supervisor) publishes at once.
}

void state_restart_due(watch_daemon_t *daemon, int slot, int delay_s) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = SLOT_WAITING;
    s.restart_due = wall_clock_now() + delay_s;
    publish(daemon);
}

void state_upgraded(watch_daemon_t *daemon, int, bool installed) {
    if (daemon == nullptr) return;  // an installation outside the loop
    ++(installed ? daemon->upgrades_installed : daemon->upgrades_failed);
    publish(daemon);
}

void state_resumed(watch_daemon_t *daemon) {
    publish(daemon);
}

void state_stopped(watch_daemon_t *daemon, const char *why) {
    daemon->stopped_at = wall_clock_now();
    daemon->stopped_why = why;
    publish(daemon);
}
