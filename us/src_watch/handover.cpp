#include "handover.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"
#include "tool.h"

namespace {

// Named in the environment of the new image only; taken out of it before
// anything else runs, so no program ever sees it.
constexpr char CHANNEL_VARIABLE[] = "WATCH_DAEMON_HANDOVER";
constexpr char MAGIC[8] = {'w', 'd', 'h', 'a', 'n', 'd', 'o', 'v'};

// What every build reads, whatever its format: enough to keep the locks
// without a gap and to end the old programs when the rest cannot be used.
// Never change its layout; change the format number instead.
struct envelope {
    char magic[8];
    uint32_t format;
    uint32_t state_size;
    int32_t run_fd, dir_fd;
    int32_t pids[MAX_SUB_PROCESS];
    char version[48];
};

// After the state: a hand-over cut short is told from a whole one.
constexpr uint32_t TRAILER = 0x656e6421;

char **saved_argv;
const char *saved_version = DPI_PKG_VERSION;
unsigned saved_format;

// The binary at its own path in the install directory (not /proc/self/exe,
// which names the file that was replaced): the name of the run file's.
bool own_path(const watch_daemon_t *daemon, char *path, size_t size) {
    char cwd[PATH_BUF];
    const char *name = daemon->runfile.data() + sizeof DPI_TMP_DIRNAME - 1;
    const size_t len = strlen(name);
    if (getcwd(cwd, sizeof cwd) == nullptr || len <= 4) return false;
    const int n = snprintf(path, size, "%s/%.*s", cwd, static_cast<int>(len - 4), name);
    return n > 0 && static_cast<size_t>(n) < size;
}

// A binary that is no watch_daemon for this machine would take the programs
// down with it, after the point where the old image is gone: it must first
// say, within a few seconds, that it is one.
bool runs_here(const char *path) {
    constexpr int time_limit_s = 5;
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0) return false;
    const char *const argv[] = {path, "--version", nullptr};
    const int status =
        run_tool(argv, {.quiet = true, .output = answer[1], .time_limit_s = time_limit_s});
    const int err = errno;
    close(answer[1]);
    char said[64] = "";
    const ssize_t n = read(answer[0], said, sizeof said - 1);
    close(answer[0]);
    said[n > 0 ? n : 0] = '\0';
    constexpr char expected[] = "watch_daemon ";
    if (status == 0 && strncmp(said, expected, sizeof expected - 1) == 0) return true;
    if (status < 0 && err == ETIMEDOUT)
        printf("not re-executed: %s --version did not answer within %d s\n", path, time_limit_s);
    else if (status < 0)
        printf("not re-executed: %s: %s\n", path, strerror(err));
    else if (status != 0)
        printf("not re-executed: %s --version ended with status %d\n", path,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    else
        printf("not re-executed: %s --version does not answer as watch_daemon\n", path);
    return false;
}

unique_fd write_handover(const watch_daemon_t *daemon) {
    envelope head{};
    memcpy(head.magic, MAGIC, sizeof MAGIC);
    head.format = handover_format();
    head.state_size = sizeof *daemon;
    head.run_fd = daemon->run_fd;
    head.dir_fd = daemon->dir_fd;
    for (int i = 0; i < MAX_SUB_PROCESS; ++i)
        head.pids[i] = daemon->pids[i].unreaped ? daemon->pids[i].pid : 0;
    snprintf(head.version, sizeof head.version, "%s", build_version());
    // No close-on-exec: this descriptor is the one thing meant to cross.
    unique_fd channel(memfd_create("watch_daemon-handover", 0));
    if (!channel.valid() || !write_all(channel.get(), &head, sizeof head) ||
        !write_all(channel.get(), daemon, sizeof *daemon) ||
        !write_all(channel.get(), &TRAILER, sizeof TRAILER) || lseek(channel.get(), 0, SEEK_SET) != 0)
        return unique_fd();
    return channel;
}

// The channel is named in the environment, which whoever starts us can set:
// a hand-over counts only if its locks are this install directory's and
// this process holds them (flock succeeds on a lock one already holds, and
// fails on one that another supervisor holds).
// The run file is the one start-up names after argv[0] (or, removed since,
// a file no name leads to any more).
bool is_run_file(int run_fd) {
    char copy[PATH_BUF], path[PATH_BUF + 16];
    join_bounded(copy, sizeof copy, {saved_argv != nullptr && saved_argv[0] != nullptr ? saved_argv[0] : ""});
    join_bounded(path, sizeof path, {DPI_TMP_DIRNAME, basename(copy), ".run"});
    struct stat run {}, named {};
    if (fstat(run_fd, &run) != 0 || !S_ISREG(run.st_mode)) return false;
    if (fstatat(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT && run.st_nlink == 0;
    return named.st_dev == run.st_dev && named.st_ino == run.st_ino;
}

bool locks_are_ours(int run_fd, int dir_fd) {
    struct stat dir {}, here {};
    return run_fd > STDERR_FILENO && dir_fd > STDERR_FILENO && run_fd != dir_fd && is_run_file(run_fd) &&
           fstat(dir_fd, &dir) == 0 && stat(".", &here) == 0 && dir.st_dev == here.st_dev &&
           dir.st_ino == here.st_ino && flock(dir_fd, LOCK_EX | LOCK_NB) == 0 &&
           flock(run_fd, LOCK_EX | LOCK_NB) == 0;
}

bool is_channel(int fd) {
    struct stat st {};
    return fd > STDERR_FILENO && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// What the rest of the supervisor relies on, checked before it does.
bool usable(const watch_daemon_t *daemon, const envelope &head) {
    const bool names_ended = std::all_of(daemon->pids, daemon->pids + MAX_SUB_PROCESS, [](const exec_pid_t &slot) {
        return slot.base.back() == '\0';
    });
    return daemon->sub_cnt >= 1 && daemon->sub_cnt <= MAX_SUB_PROCESS && names_ended &&
           daemon->runfile.back() == '\0' && daemon->run_fd == head.run_fd && daemon->dir_fd == head.dir_fd &&
           (!daemon->pending.active || (daemon->pending.slot >= 0 && daemon->pending.slot < daemon->sub_cnt)) &&
           daemon->stopped_why == nullptr;
}

void let_locks_cross(const watch_daemon_t *daemon, bool cross) {
    for (const int fd : {daemon->run_fd, daemon->dir_fd}) fcntl(fd, F_SETFD, cross ? 0 : FD_CLOEXEC);
}

bool is_our_child(pid_t pid) {
    char path[64], stat_line[512];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const unique_fd fd = open_plain(path);
    const ssize_t n = fd.valid() ? read_full(fd.get(), stat_line, sizeof stat_line - 1) : -1;
    stat_line[n > 0 ? n : 0] = '\0';
    const char *after_name = strrchr(stat_line, ')');
    int ppid = 0;
    return after_name != nullptr && sscanf(after_name, ") %*c %d", &ppid) == 1 && ppid == getpid();
}

// Every child of this process, as the kernel lists them, and those of the
// pids the old image named that are children of this process: after a
// hand-over that cannot be used, none may be left to run beside the
// programs of the fresh cycle.
void end_children(const envelope *head) {
    char path[64], list[4096];
    snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(getpid()));
    const unique_fd fd = open_plain(path);
    const ssize_t n = fd.valid() ? read_full(fd.get(), list, sizeof list - 1) : -1;
    list[n > 0 ? n : 0] = '\0';
    for (char *p = list;;) {
        char *end = nullptr;
        const long pid = strtol(p, &end, 10);
        if (end == p) break;
        if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
        p = end;
    }
    for (int i = 0; head != nullptr && i < MAX_SUB_PROCESS; ++i)
        if (head->pids[i] > 0 && is_our_child(head->pids[i])) kill(head->pids[i], SIGKILL);
}

}  // namespace

void remember_build(char **argv, const char *version, unsigned format) {
    saved_argv = argv;
    saved_version = version;
    saved_format = format;
}

const char *build_version() {
    return saved_version;
}

unsigned handover_format() {
    return saved_format;
}

void reexec_self(watch_daemon_t *daemon) {
    char path[PATH_BUF + 256];
    if (!own_path(daemon, path, sizeof path)) {
        puts("not re-executed: the supervisor's own path is not known");
        return;
    }
    if (!runs_here(path)) return;
    const unique_fd channel = write_handover(daemon);
    if (!channel.valid()) {
        printf("not re-executed: the state cannot be handed over: %s\n", strerror(errno));
        return;
    }
    char number[16];
    snprintf(number, sizeof number, "%d", channel.get());
    setenv(CHANNEL_VARIABLE, number, 1);
    let_locks_cross(daemon, true);
    fflush(stdout);  // what this image printed must not die with it
    execv(path, saved_argv);
    const int err = errno;
    let_locks_cross(daemon, false);
    unsetenv(CHANNEL_VARIABLE);
    printf("not re-executed: %s: %s\n", path, strerror(err));
}

taken_over take_over(watch_daemon_t *daemon) {
    const char *number = getenv(CHANNEL_VARIABLE);
    if (number == nullptr) return taken_over::nothing;
    const int channel = atoi(number);
    unsetenv(CHANNEL_VARIABLE);
    envelope head{};
    const bool whole_head = is_channel(channel) && read_full(channel, &head, sizeof head) == sizeof head &&
                            memcmp(head.magic, MAGIC, sizeof MAGIC) == 0;
    if (!whole_head || !locks_are_ours(head.run_fd, head.dir_fd)) {
        if (channel > STDERR_FILENO) close(channel);
        puts("ignoring a hand-over that is not this install directory's: a fresh start");
        return taken_over::nothing;
    }
    uint32_t trailer = 0;
    const bool whole_state = head.format == handover_format() && head.state_size == sizeof *daemon &&
                             read_full(channel, daemon, sizeof *daemon) == sizeof *daemon &&
                             read_full(channel, &trailer, sizeof trailer) == sizeof trailer &&
                             trailer == TRAILER && usable(daemon, head);
    close(channel);
    if (whole_state) {
        printf("re-executed: build %.*s replaced by %s\n", static_cast<int>(sizeof head.version), head.version,
               build_version());
        return taken_over::everything;
    }
    memset(static_cast<void *>(daemon), 0, sizeof *daemon);
    end_children(&head);
    daemon->run_fd = head.run_fd;
    daemon->dir_fd = head.dir_fd;
    printf("re-executed, but the state of build %.*s (format %u) cannot be used by %s (format %u): the old "
           "programs were ended, a fresh cycle starts\n",
           static_cast<int>(sizeof head.version), head.version, head.format, build_version(), handover_format());
    return taken_over::locks;
}

void lock_fds_stay_ours(const watch_daemon_t *daemon) {
    let_locks_cross(daemon, false);
}

void close_fds_but_locks(const watch_daemon_t *daemon) {
    int keep[2] = {std::min(daemon->run_fd, daemon->dir_fd), std::max(daemon->run_fd, daemon->dir_fd)};
    int from = 3;
    for (const int fd : keep) {
        if (fd < from) continue;
        if (fd > from) close_range(static_cast<unsigned>(from), static_cast<unsigned>(fd - 1), 0);
        from = fd + 1;
    }
    process_closefd_from(from);
}
