#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "app_dpi_process.h"
#include "console.h"
#include "fs.h"
#include "watch_daemon.h"

namespace {

// Ends waiting to be recorded, at most this many bytes of records; past it,
// ends are only counted.
constexpr size_t BACKLOG_MAX = 64 * 1024;

// The records the run file had no room for, oldest first, whole lines. Kept
// apart from the daemon's state, which a start afresh clears.
struct {
    std::array<char, BACKLOG_MAX> text;
    size_t len;
    std::string_view view() const { return {text.data(), len}; }
} waiting;

// On a full disk, a record that only partly fits is taken back whole, so the
// run file keeps whole lines and the next record starts a line.
bool append_whole(int fd, const char *text, size_t len) {
    struct stat before {};
    size_t written = 0;
    if (fstat(fd, &before) != 0 || write_all(fd, text, len, &written)) return len == written;
    if (written > 0) [[maybe_unused]] const int ignored = ftruncate(fd, before.st_size);
    return false;
}

constexpr size_t DIR_LINE_BUF = PATH_BUF * 4 + 2;  // each byte escaped at most to four, and the newline

// The run file's first line: the install directory. 0 when it is not known.
// Escaped as names are, so that a directory named with a newline stays one
// line and cannot pass for a record.
size_t install_dir_line(char (&line)[DIR_LINE_BUF]) {
    char cwd[PATH_BUF];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    const size_t len = strlen(escaped(cwd, line, sizeof line - 1));
    line[len] = '\n';
    return len + 1;
}

// logrotate's create, an operator's mv or rm, ./tmp/ emptied: the name no
// longer leads to the file held, and the records go to a fresh one at the
// name, under the same descriptor. An outside truncation (copytruncate)
// leaves the file empty. Either way the directory line comes first again.
// Returns 0, or why no file at the name takes records (a directory there, a
// read-only ./tmp/, another process's lock): they then wait, and the file
// held, rotated away, gets nothing more. Its lock stays ours meanwhile.
int run_file_at_its_name(watch_daemon_t *daemon) {
    if (!still_at(daemon->run_fd, daemon->runfile.data())) {
        const unique_fd fresh = open_own(daemon->runfile.data(), O_RDWR | O_APPEND, 0644);
        if (!fresh.valid() || flock(fresh.get(), LOCK_EX | LOCK_NB) != 0 ||
            dup3(fresh.get(), daemon->run_fd, O_CLOEXEC) < 0)
            return errno;
    }
    struct stat st {};
    char line[DIR_LINE_BUF];
    if (fstat(daemon->run_fd, &st) == 0 && st.st_size == 0) append_whole(daemon->run_fd, line, install_dir_line(line));
    return 0;
}

}  // namespace

// Appending: an outside truncation never leaves a hole before the next record.
int process_run_set(const char *run_name, const char *buf, int len) {
    if (run_name == nullptr) {
        puts("NULL file name");
        return -1;
    }
    // A link or a second name planted in ./tmp/ must not make the lock empty
    // another file, and a FIFO would block the first record that fills it.
    unique_fd fd = open_exposed(run_name, O_RDWR | O_CREAT | O_APPEND, 0644);
    // One it may not write (another user's: logrotate's `create` for a
    // service user, a run as root before) or may not open for another
    // process's lease is replaced, as it is emptied anyway; the install
    // directory's lock keeps other supervisors out.
    if (!fd.valid() && (errno == EACCES || errno == EWOULDBLOCK) && unlink(run_name) == 0)
        fd = open_exposed(run_name, O_RDWR | O_CREAT | O_EXCL | O_APPEND, 0644);
    if (!fd.valid()) {
        printf("failed to open %s\n", shown_name(run_name).text);
        return -1;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", shown_name(run_name).text);
        return -1;
    }
    // Failures here cost only the run file's readability, never the lock.
    [[maybe_unused]] const int truncated = ftruncate(fd.get(), 0);
    if (len > 0) append_whole(fd.get(), buf, static_cast<size_t>(len));
    return fd.release();
}

namespace {

// A supervisor killed a moment ago may leave a child between its fork and
// its exec, which holds the install directory's lock until it execs or dies:
// a held lock is asked for again for 0.3 s, far longer than that takes,
// before it counts as another supervisor's.
bool lock_install_dir(int dir) {
    for (int attempt = 0; attempt < 12; ++attempt) {
        if (flock(dir, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK) return false;
        poll(nullptr, 0, 25);
    }
    return false;
}

}  // namespace

int daemon_run_set(const char *argv0, watch_daemon_t *daemon) {
    char cwd[DIR_LINE_BUF];
    const size_t len = install_dir_line(cwd);  // whole, or none: the line comes again with the first record
    if (len == 0) {
        puts("failed to get current dir");
        return -1;
    }
    // The run file's lock guards one name, and a program can remove the file
    // and so let a second supervisor in. The install directory itself cannot
    // be removed or replaced under us: its lock makes it one supervisor per
    // install directory, whatever happens in ./tmp/.
    unique_fd dir = open_plain(".", O_RDONLY | O_DIRECTORY);
    if (!dir.valid() || !lock_install_dir(dir.get()))
        printf("already in use for %s\n", shown_name(daemon->runfile.data()).text);
    else if ((daemon->run_fd = process_run_set(daemon->runfile.data(), cwd, static_cast<int>(len))) >= 0)
        return daemon->dir_fd = dir.release(), 0;
    printf("process(%s) already run\n", shown_name(argv0).text);
    return -1;
}

namespace {

// A record, line end included; its length. A name's control characters are
// escaped, as on the console: a newline in it must not start a line.
size_t format_record(int ret_code, int exit_normal, const char *raw_base, char (&record)[256]) {
    char base[sizeof record];  // the record is cut to its size anyway
    escaped(raw_base, base, sizeof base);
    const time_t now = time(nullptr);
    // The zone as it is now: localtime_r() keeps the one it first read, and
    // an operator may have changed the system's since (timedatectl), which
    // is the zone watch_status reads the stamps in.
    tzset();
    struct tm local {};
    char stamp[64] = "";
    if (localtime_r(&now, &local) != nullptr) asctime_r(&local, stamp);
    stamp[strcspn(stamp, "\n")] = '\0';
    const int n = exit_normal == 1
                      ? snprintf(record, sizeof record, "%s: %s exited normally with code(%d)\n", stamp, base, ret_code)
                      : snprintf(record, sizeof record, "%s: %s killed by signal(%d)\n", stamp, base, ret_code);
    if (n < 0) return 0;
    // A record that does not fit is cut, but it still ends its line, so that
    // the next record does not run on into it.
    if (static_cast<size_t>(n) < sizeof record) return static_cast<size_t>(n);
    record[sizeof record - 2] = '\n';
    return sizeof record - 1;
}

// Writes the waiting records, oldest first, each whole, as far as the file
// takes them.
void write_waiting(int fd) {
    size_t done = 0;
    for (size_t end; done < waiting.len; done = end + 1) {
        end = waiting.view().find('\n', done);
        if (!append_whole(fd, waiting.text.data() + done, end + 1 - done)) break;
    }
    std::copy(waiting.text.begin() + done, waiting.text.begin() + waiting.len, waiting.text.begin());
    waiting.len -= done;
}

}  // namespace

void record_exit_status(int ret_code, int exit_normal, const char *base, int fd) {
    char record[256];
    const size_t len = format_record(ret_code, exit_normal, base, record);
    if (fd > 0 && len > 0) append_whole(fd, record, len);
}

void record_end(watch_daemon_t *daemon, int slot, int code, int exit_normal) {
    const int refused = run_file_at_its_name(daemon);
    char record[256];
    const size_t len = format_record(code, exit_normal, daemon->pids[slot].base.data(), record);
    const bool refused_before = waiting.len > 0;
    if (refused == 0) write_waiting(daemon->run_fd);  // room may be back: the older ones first
    if (waiting.len + len <= BACKLOG_MAX) {
        std::copy(record, record + len, waiting.text.begin() + waiting.len);
        waiting.len += len;
    } else {
        ++daemon->ends_lost;
    }
    if (refused == 0) write_waiting(daemon->run_fd);
    const int why = refused != 0 ? refused : errno;
    if (waiting.len > 0 && !refused_before)
        printf("failed to write %s: %s: ends are kept until it takes them\n", shown_name(daemon->runfile.data()).text,
               strerror(why));
}

// Says why the last ends stay unrecorded: what the file refused them for,
// and, apart, those that found no room to wait in.
void record_waiting_ends(watch_daemon_t *daemon) {
    int why = waiting.len > 0 ? run_file_at_its_name(daemon) : 0;
    if (waiting.len > 0 && why == 0) {
        write_waiting(daemon->run_fd);
        why = errno;
    }
    const auto left = static_cast<size_t>(std::count(waiting.view().begin(), waiting.view().end(), '\n'));
    const shown_name name(daemon->runfile.data());
    if (left > 0)
        printf("%zu ends were never recorded in %s: %s\n", left, name.text, why != 0 ? strerror(why) : "no room");
    if (daemon->ends_lost > 0) printf("%u ends were never recorded in %s: no room\n", daemon->ends_lost, name.text);
}

std::string_view records_waiting() { return waiting.view(); }

unsigned records_waiting_take(std::string_view text) {
    waiting.len = 0;
    unsigned dropped = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        if (waiting.len + end + 1 <= BACKLOG_MAX) {
            std::copy(text.begin(), text.begin() + end, waiting.text.begin() + waiting.len);
            waiting.len += end;
            waiting.text[waiting.len++] = '\n';  // a last line cut short still ends its line
        } else {
            ++dropped;
        }
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return dropped;
}
