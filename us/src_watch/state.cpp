// Publishing the supervisor's state for watch_status (./tmp/NAME.state).
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "process.h"
#include "watch_daemon.h"

state_facts state_of(const watch_daemon_t *daemon) {
    state_facts f{};
    f.pid = getpid();
    f.pid_ns = own_pid_namespace();
    f.version = WATCH_PACKAGE_VERSION;
    f.revision = DPI_SRC_VER;
    f.started = daemon->started;
    f.started_boot = daemon->started_boot;
    f.build_since = daemon->build_since;
    f.build_since_boot = daemon->build_since_boot;
    f.updated = time(nullptr);
    // The reader needs the zone to read the run file's time stamps, which are
    // local time without one: TZ, or null for the system's zone.
    f.zone = getenv("TZ");
    f.data_space = daemon->boot_space == BOOT_SPACE_DATA;
    f.record_set_aside = daemon->bootchk_set_aside;
    f.upgrades_installed = daemon->upgrades_installed;
    f.upgrades_failed = daemon->upgrades_failed;
    f.reloads_failed = daemon->reloads_failed;
    f.stopped_at = daemon->stopped_at;
    f.stopped_why = daemon->stopped_why;
    f.slot_count = daemon->sub_cnt;
    for (int i = 0; i < daemon->sub_cnt; ++i) f.slots[i] = {daemon->pids[i].base.data(), daemon->pids[i].pid, daemon->pids[i].published};
    return f;
}

namespace {

void take_pending_sigio() {
    const sigset_t io = signal_set({SIGIO});
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGIO) == 1) sigwaitinfo(&io, nullptr);
}

// Takes the SIGIO that told of them, then reads what the watch has seen so
// far (an event after the last read raises a SIGIO of its own): whether
// anything wrote the file or changed its mode or owner.
bool take_watch_events(watch_daemon_t *daemon) {
    take_pending_sigio();
    alignas(inotify_event) char events[4096];
    bool written = false;
    for (ssize_t n; daemon->state_watch >= 0 && (n = read(daemon->state_watch, events, sizeof events)) > 0;)
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events + at);
            written |= (e->mask & (IN_MODIFY | IN_ATTRIB)) != 0;
            at += static_cast<ssize_t>(sizeof *e + e->len);
        }
    return written;
}

// While the state file cannot be written (a full disk, a directory at its
// name), or cannot be watched (the user's inotify instances or watches used
// up), a timer raises SIGIO every two seconds, which every wait takes, so
// that it is written again soon after it can be, also in a long restart
// delay: a supervisor started after this one was killed ends the programs it
// names, and watch_status shows them. No timer runs otherwise.
void retry_every_2s(bool wanted, const char *path) {
    static timer_t timer;
    static bool made = false, armed = false, said = false;
    sigset_t blocked;
    // Only where SIGIO is awaited: its default action would end the process.
    if (wanted && (sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0 || sigismember(&blocked, SIGIO) != 1)) return;
    if (wanted == armed) return;
    sigevent io{};
    io.sigev_notify = SIGEV_SIGNAL;
    io.sigev_signo = SIGIO;
    if (!made) made = timer_create(CLOCK_MONOTONIC, &io, &timer) == 0;
    if (!made && !std::exchange(said, true))  // no pending signals left to the user (RLIMIT_SIGPENDING)
        printf("cannot set a timer to write %s again: %s; it is written at the next event\n", shown_name(path).text,
               strerror(errno));
    const itimerspec every_2s{{2, 0}, {2, 0}}, off{};
    armed = made && timer_settime(timer, 0, wanted ? &every_2s : &off, nullptr) == 0 && wanted;
}

// When the file was last changed as this process left it: without a watch,
// another's write, mode or owner shows as a later change.
timespec written_changed{};

timespec change_time(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ctim : timespec{};
}

bool changed_since_written(int fd) {
    const timespec now = change_time(fd);
    return now.tv_sec != written_changed.tv_sec || now.tv_nsec != written_changed.tv_nsec;
}

bool watched(const watch_daemon_t *daemon) {
    return daemon->state_watch >= 0 && daemon->state_watched[0] >= 0 && daemon->state_watched[1] >= 0;
}

// Opens the file at the state's name, and watches it. A program emptying
// ./tmp/ over and over may remove a new file before it is checked or
// watched: it is made again, lest the name stay without a file, or the file
// without a watch, until the next event.
void open_watched(watch_daemon_t *daemon, const char *path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        daemon->state_fd = open_own(path, O_RDWR, 0644).release();
        if (daemon->state_fd < 0 && errno != ENOENT && errno != EMLINK) return;  // no room, no right: not a race
        if (daemon->state_fd < 0) continue;
        state_watch_path(daemon);
        if (still_at(daemon->state_fd, path)) return;  // else it went before it was checked or watched
        close(std::exchange(daemon->state_fd, -1));
    }
}

// A program may change the file's mode or owner (chmod 000): readers (the
// metrics unit runs as root without capabilities) could no longer read it,
// nor a later start take it as its predecessor's.
void keep_readable(int fd) {
    static mode_t mode = 07777;  // not yet known: the umask is read once
    if (mode == 07777) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0644 & ~mask;
    }
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) return;
    if ((st.st_mode & 07777) != mode) fchmod(fd, mode);
    if (st.st_uid != geteuid()) [[maybe_unused]] const int ignored = fchown(fd, geteuid(), static_cast<gid_t>(-1));
}

// A view for readers, not data to survive a power cut: written in place
// through a descriptor held open, since creating and renaming a file at every
// start and end costs more than the rest of a restart; cut to what was
// written, so that nothing of an older or foreign content stays behind it.
// A file no longer at its path is left, and the path gets a new one.
bool write_view(watch_daemon_t *daemon, const char *path, const char *text) {
    if (daemon->state_fd >= 0 && !still_at(daemon->state_fd, path)) close(std::exchange(daemon->state_fd, -1));
    if (daemon->state_fd < 0) open_watched(daemon, path);
    keep_readable(daemon->state_fd);
    // Written to the end, so that a write cut short says why.
    const size_t len = strlen(text);
    const bool written = daemon->state_fd >= 0 && lseek(daemon->state_fd, 0, SEEK_SET) == 0 &&
                         write_all(daemon->state_fd, text, len) && ftruncate(daemon->state_fd, static_cast<off_t>(len)) == 0;
    // This write's own events (a failed one's too: a full disk must not make
    // it try again and again) must not wake the supervisor; a loss of the
    // name among them still must, once it waits again.
    const int err = errno;
    if (daemon->state_fd >= 0) {
        take_watch_events(daemon);
        if (!still_at(daemon->state_fd, path)) raise(SIGIO);
        written_changed = change_time(daemon->state_fd);
    }
    errno = err;
    return written;
}

}  // namespace

// Only a state file of this user's: ./tmp/ may lead into a directory others
// can write.
bool state_read_previous(const watch_daemon_t *daemon, state_facts &facts, cjson_tree &tree) {
    const unique_fd fd = open_exposed(daemon->statefile.data());
    struct stat st {};
    return fd.valid() && fstat(fd.get(), &st) == 0 && st.st_uid == geteuid() && state_read_file(fd.get(), facts, tree);
}

// One console line when writing starts to fail, none while it goes on failing.
void state_publish(watch_daemon_t *daemon) {
    const char *path = daemon->statefile.data();
    const cjson_text text = state_text(state_of(daemon));
    const bool ok = text && write_view(daemon, path, text.get());
    const int why = errno;
    if (!ok && !daemon->state_unwritten) printf("failed to write %s: %s\n", shown_name(path).text, strerror(why));
    retry_every_2s(!ok || !watched(daemon), path);
    daemon->state_unwritten = !ok;
}

void state_cycle_started(watch_daemon_t *daemon) {
    for (int i = 0; i < daemon->sub_cnt; ++i) daemon->pids[i].published.state = SLOT_STARTING;
    state_publish(daemon);
}

// The start as the kernel keeps it, not the moment the exec returned: a
// program on slow storage takes a while to load, and a later start recognises
// what this one leaves by it.
void state_child_started(watch_daemon_t *daemon, int slot) {
    const pid_t pid = daemon->pids[slot].pid;
    slot_record &s = daemon->pids[slot].published;
    const time_t now_boot = boot_clock_s();
    const long long kept = pid > 0 && proc_numbers_ours() ? started_on_boot_clock(pid) : -1;
    s.state = pid > 0 ? SLOT_RUNNING : SLOT_STARTING;
    s.started_boot = pid <= 0 ? 0 : kept >= 0 && kept <= now_boot ? static_cast<time_t>(kept) : now_boot;
    s.started = pid > 0 ? time(nullptr) - (now_boot - s.started_boot) : 0;
    state_publish(daemon);
}

void state_child_ended(watch_daemon_t *daemon, int slot, int code, int exit_normal) {
    slot_record &s = daemon->pids[slot].published;
    s.state = SLOT_STARTING;
    s.last_signaled = exit_normal != 1;
    s.last_code = code;
    s.last_end = time(nullptr);
    ++s.ends;
    if (exit_normal != 1 && code == SIGSEGV) ++s.segv;
    // Not published alone: what follows an end (its restart's delay, a new
    // cycle, an upgrade, the end of the supervisor) publishes at once.
}

void state_restart_due(watch_daemon_t *daemon, int slot, int delay_s) {
    slot_record &s = daemon->pids[slot].published;
    s.state = SLOT_WAITING;
    s.restart_due = time(nullptr) + delay_s;
    s.due_boot = boot_clock_s() + delay_s;
    state_publish(daemon);
}

void state_upgraded(watch_daemon_t *daemon, bool installed) {
    if (daemon == nullptr) return;  // an installation outside the loop
    ++(installed ? daemon->upgrades_installed : daemon->upgrades_failed);
    state_publish(daemon);
}

void state_stopped(watch_daemon_t *daemon, const char *why) {
    daemon->stopped_at = time(nullptr);
    daemon->stopped_why = why;
    state_publish(daemon);
}

// A program may empty ./tmp/, its temporary directory, while all is quiet (a
// clean-up at its start, an age-based cleaner), or truncate its files, and
// the state file would be gone or empty until the next event publishes:
// watch_status would show the programs unknown, and the down alert would
// fire while they run. The kernel tells when the file is written, given
// another mode or owner, or loses its name, or ./tmp/ is moved or removed (SIGIO,
// awaited with the other signals): only these are watched, so that programs
// busy with their own files in ./tmp/ never wake the supervisor. Without
// watches (the user's inotify instances or watches used up, no descriptor
// left), the file is looked at every two seconds; said once.
void state_watch_path(watch_daemon_t *daemon) {
    static bool said = false;
    if (daemon->state_watch < 0) daemon->state_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int why = errno;
    if (daemon->state_watch >= 0 && daemon->state_fd >= 0) {
        for (const int old : daemon->state_watched) inotify_rm_watch(daemon->state_watch, old);  // what was there before
        const int file = inotify_add_watch(daemon->state_watch, daemon->statefile.data(),
                                           IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW);
        if (file < 0) why = errno;
        const int dir = inotify_add_watch(daemon->state_watch, DPI_TMP_DIRNAME, IN_MOVE_SELF | IN_DELETE_SELF);
        if (dir < 0) why = errno;
        daemon->state_watched = {file, dir};
        fcntl(daemon->state_watch, F_SETOWN, getpid());
        fcntl(daemon->state_watch, F_SETFL, O_ASYNC | O_NONBLOCK);
    }
    if (daemon->state_fd >= 0 && !watched(daemon) && why != ENOENT && !std::exchange(said, true))
        printf("cannot watch %s: %s; it is looked at every two seconds\n", shown_name(daemon->statefile.data()).text,
               strerror(why));
}

// After a SIGIO: a state file another process wrote or gave another mode or
// owner, no longer at its path, or not yet written, is published again.
void state_keep_in_place(watch_daemon_t *daemon) {
    if (take_watch_events(daemon) || daemon->state_unwritten || daemon->state_fd < 0 ||
        !still_at(daemon->state_fd, daemon->statefile.data()) ||
        (!watched(daemon) && changed_since_written(daemon->state_fd)))
        state_publish(daemon);
}

// Before the image is replaced: a SIGIO pending then would end a build that
// does not wait for it.
void state_unwatch_path(watch_daemon_t *daemon) {
    if (daemon->state_watch >= 0) close(std::exchange(daemon->state_watch, -1));
    retry_every_2s(false, daemon->statefile.data());  // a failed exec publishes again, and so arms it again if need be
    take_pending_sigio();
}
