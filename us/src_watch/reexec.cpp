#include "reexec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_dpi_process.h"
#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "handover.h"
#include "tool.h"

namespace {

// Named in the environment of the new image only; taken out of it before
// anything else runs, so no program ever sees it.
constexpr char CHANNEL_VARIABLE[] = "WATCH_DAEMON_HANDOVER";

// The binary at its own path in the install directory (not /proc/self/exe,
// which names the file that was replaced), named as its run file is.
// Our pid as the /proc in use knows it (/proc/self): in a pid namespace that
// kept the host's /proc, getpid() is another number.
pid_t proc_pid() {
    char self[32] = "";
    return readlink("/proc/self", self, sizeof self - 1) > 0 ? atoi(self) : 0;
}

bool own_path(const watch_daemon_t *daemon, char *path, size_t size) {
    char cwd[PATH_BUF];
    const char *name = daemon->runfile.data() + sizeof DPI_TMP_DIRNAME - 1;
    const size_t len = strlen(name);
    if (getcwd(cwd, sizeof cwd) == nullptr || len <= 4) return false;
    const int n = snprintf(path, size, "%s/%.*s", cwd, static_cast<int>(len - 4), name);
    return n > 0 && static_cast<size_t>(n) < size;
}

void say_not_reexecuted(const char *path, int err) {
    printf("not re-executed: %s: %s\n", shown_name(path).text, strerror(err));
}

// A binary that is no watch_daemon for this machine would take the programs
// down with it, after the point where the old image is gone: it must first
// say, within a few seconds, that it is one.
bool runs_here(const char *path, const char *image) {
    char answer[64], error[256], shown_error[sizeof error * 4];
    const int status = probe_version(image, answer, sizeof answer, error, sizeof error);
    const int err = errno;
    constexpr char expected[] = "watch_daemon ";
    if (status == 0 && strncmp(answer, expected, sizeof expected - 1) == 0) return true;
    const shown_name shown_path(path);
    escaped(error, shown_error, sizeof shown_error);
    const char *colon = error[0] != '\0' ? ": " : "";
    if (status < 0 && err == ETIMEDOUT)
        printf("not re-executed: %s --version did not answer within 5 s%s%s\n", shown_path.text, colon, shown_error);
    else if (status < 0)
        say_not_reexecuted(path, err);
    else if (status != 0)
        printf("not re-executed: %s --version ended with status %d%s%s\n", shown_path.text,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), colon, shown_error);
    else
        printf("not re-executed: %s --version does not answer as watch_daemon\n", shown_path.text);
    return false;
}

void let_locks_cross(const watch_daemon_t *daemon, bool cross) {
    for (const int fd : {daemon->run_fd, daemon->dir_fd}) fcntl(fd, F_SETFD, cross ? 0 : FD_CLOEXEC);
}

// Whether the open file description behind `fd` holds its file's lock, placed
// by this process: /proc/self/fdinfo lists a description's own flock locks
// with the pid that placed them, which a re-executed image shares with the
// old one, and a starter that hands down its own locked descriptor does not.
// (flock alone also succeeds on a lock nobody holds.)
bool holds_lock(int fd) {
    char path[64], info[4096];
    const pid_t own_pid = proc_pid();
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const unique_fd f = open_plain(path);
    const ssize_t n = f.valid() ? read_full(f.get(), info, sizeof info - 1) : -1;
    info[n > 0 ? n : 0] = '\0';
    int pid = 0;
    for (const char *line = strstr(info, "lock:"); line != nullptr; line = strstr(line + 1, "lock:"))
        if (sscanf(line, "lock: %*d: FLOCK ADVISORY WRITE %d", &pid) == 1 && pid == own_pid) return true;
    return false;
}

// A hand-over counts only if its locks are this install directory's and
// this process already holds them: the environment that names it is whoever
// started us (a fresh start has no lock yet), and its run file may have any
// name by now.
bool locks_are_ours(int run_fd, int dir_fd) {
    struct stat dir {}, here {}, run {};
    return fstat(dir_fd, &dir) == 0 && stat(".", &here) == 0 && dir.st_dev == here.st_dev &&
           dir.st_ino == here.st_ino && fstat(run_fd, &run) == 0 && S_ISREG(run.st_mode) &&
           holds_lock(dir_fd) && holds_lock(run_fd);
}

// Whether `pid` is a child of this process, running or ended but unreaped.
bool is_child(pid_t pid) {
    siginfo_t info{};
    return pid > 0 && waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// A build of another format keeps only what it can use of the old image's
// state: its programs, which the start ends as a cycle does, recording those
// that ended first (their pids only while they are children of ours); the
// records that wait (they live apart, and stay); the open-file limit the
// programs get.
void start_afresh(watch_daemon_t *daemon) {
    const int sub_cnt = daemon->sub_cnt;
    const unsigned ends_lost = daemon->ends_lost;
    const rlim_t nofile_soft = daemon->nofile_soft;
    const int boot_space = daemon->boot_space;  // where the failed boot of an end still to come started from
    std::array<exec_pid_t, MAX_SUB_PROCESS> programs;
    std::copy(std::begin(daemon->pids), std::end(daemon->pids), programs.begin());
    *daemon = watch_daemon_t{};
    daemon->sub_cnt = sub_cnt;
    for (int i = 0; i < sub_cnt; ++i) {
        exec_pid_t &slot = daemon->pids[i];
        slot.base = programs[i].base;
        slot.pid = is_child(programs[i].pid) ? programs[i].pid : 0;
        slot.unreaped = slot.pid > 0;
    }
    daemon->ends_lost = ends_lost;
    daemon->nofile_soft = nofile_soft;
    daemon->boot_space = boot_space;
}

void reload_failed(watch_daemon_t *daemon) {
    ++daemon->reloads_failed;
    state_publish(daemon);
}

// Requests that came before this one ask for the same reload: SIGHUP and
// SIGUSR2 sent together would otherwise make two, each with its probe.
void take_other_requests() {
    const sigset_t requests = signal_set({SIGUSR2, SIGHUP});
    sigset_t pending;
    while (sigpending(&pending) == 0 && (sigismember(&pending, SIGUSR2) == 1 || sigismember(&pending, SIGHUP) == 1))
        sigwaitinfo(&requests, nullptr);
}

}  // namespace

void reexec_self(watch_daemon_t *daemon) {
    take_other_requests();
    char path[PATH_BUF + 256];
    if (!own_path(daemon, path, sizeof path)) {
        puts("not re-executed: the supervisor's own path is not known");
        return reload_failed(daemon);
    }
    // The file that answers the probe is the one executed, by its descriptor:
    // a package may rename another binary over the path meanwhile. Inherited
    // across the exec, so that an interpreter can open a script by it too;
    // the new image closes it as it starts.
    const unique_fd file = open_plain(path, O_PATH);
    if (!file.valid() || fcntl(file.get(), F_SETFD, 0) != 0) {
        say_not_reexecuted(path, errno);
        return reload_failed(daemon);
    }
    char image[64];
    snprintf(image, sizeof image, "/proc/%d/fd/%d", static_cast<int>(proc_pid()), file.get());
    if (!runs_here(path, image)) return reload_failed(daemon);
    fflush(stdout);  // what this image printed must not die with it, nor go uncounted
    const unique_fd channel = handover_write(*daemon);
    if (!channel.valid()) {
        printf("not re-executed: the state cannot be handed over: %s\n", strerror(errno));
        return reload_failed(daemon);
    }
    char number[16];
    snprintf(number, sizeof number, "%d", channel.get());
    setenv(CHANNEL_VARIABLE, number, 1);
    let_locks_cross(daemon, true);
    state_unwatch_path(daemon);
    execv(image, daemon->argv);
    const int err = errno;
    let_locks_cross(daemon, false);
    state_watch_path(daemon);
    unsetenv(CHANNEL_VARIABLE);
    say_not_reexecuted(path, err);
    reload_failed(daemon);
}

taken_over take_over(watch_daemon_t *daemon) {
    const char *number = getenv(CHANNEL_VARIABLE);
    if (number == nullptr) return taken_over::nothing;
    const int channel = atoi(number);
    unsetenv(CHANNEL_VARIABLE);
    struct stat st {};
    size_t len = 0;
    heap_text text;
    if (channel > STDERR_FILENO && fstat(channel, &st) == 0 && S_ISREG(st.st_mode)) {
        text = read_capped(channel, 1 << 20, &len);
        close(channel);
    }
    handover_envelope env{};
    bool state_ok = false;
    if (!text || !handover_read(text.get(), len, env, *daemon, state_ok) ||
        !locks_are_ours(env.run_fd, env.dir_fd)) {
        *daemon = watch_daemon_t{};
        records_waiting_take({});
        puts("ignoring a hand-over that is not this install directory's: a fresh start");
        return taken_over::refused;
    }
    char old_build[sizeof env.version * 4];  // the envelope's words, shown, never obeyed
    escaped(env.version, old_build, sizeof old_build);
    if (state_ok) {
        printf("re-executed: build %s replaced by %s\n", old_build, WATCH_VERSION);
    } else {
        start_afresh(daemon);
        printf("re-executed, but the state of build %s (format %u) cannot be used by %s (format %u): the old "
               "programs were ended, a fresh cycle starts\n",
               old_build, env.format, WATCH_VERSION, WATCH_HANDOVER_FORMAT);
    }
    daemon->run_fd = env.run_fd;
    daemon->dir_fd = env.dir_fd;
    return state_ok ? taken_over::everything : taken_over::locks;
}

void keep_only_locks(const watch_daemon_t *daemon) {
    const int keep[2] = {std::min(daemon->run_fd, daemon->dir_fd), std::max(daemon->run_fd, daemon->dir_fd)};
    int from = 3;
    for (const int fd : keep) {
        if (fd < from) continue;
        if (fd > from) close_range(static_cast<unsigned>(from), static_cast<unsigned>(fd - 1), 0);
        from = fd + 1;
    }
    process_closefd_from(from);
    let_locks_cross(daemon, false);
}
