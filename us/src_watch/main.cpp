#include <fcntl.h>
#include <libgen.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"
#include "handover.h"
#include "state.h"
#include "watch_daemon.h"

// A closed standard descriptor would be handed to the run file, and console
// messages would then land in it: put /dev/null there first.
static void attach_closed_std_fds() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        const int null = open_plain("/dev/null", O_RDWR).release();
        // Children inherit 0, 1 and 2: the close-on-exec flag must not stay.
        if (null == fd) fcntl(fd, F_SETFD, 0);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// The run file is named after the program, "./tmp/" + basename(argv0) +
// ".run". For a path that does not end in a slash, basename() is what follows
// the last slash, taken here directly: the call would keep a page of libc
// code, and the 64 KiB around it, mapped for the life of the process.
[[gnu::noinline]] static void set_runfile_by_basename(watch_daemon_t *daemon, const char *argv0) {
    // basename() may change its argument: give it a copy (argv0 fits, see
    // app_change_dir, or start-up ends there).
    char copy[PATH_BUF];
    join_bounded(copy, sizeof copy, {argv0});
    join_bounded(daemon->runfile.data(), daemon->runfile.size(),
                 {DPI_TMP_DIRNAME, basename(copy), ".run"});
}

static void set_runfile(watch_daemon_t *daemon, const char *argv0) {
    const char *slash = strrchr(argv0, '/');
    if (slash != nullptr && slash[1] == '\0') return set_runfile_by_basename(daemon, argv0);
    join_bounded(daemon->runfile.data(), daemon->runfile.size(),
                 {DPI_TMP_DIRNAME, slash != nullptr ? slash + 1 : argv0, ".run"});
}

// Whatever started us may have blocked or ignored signals (a wrapper that
// blocks SIGTERM, a shell that ignores SIGINT for background jobs). Start
// clean, so that SIGTERM stops the supervisor and the children get the
// parent-death signal. Only an ignored SIGHUP stays: that is what an
// operator's nohup asks for. Blocked are only the signals the supervisor
// waits for; a request to re-execute that came before, even across the
// exec of this image, stays pending for the first wait.
static void reset_signals() {
    const sigset_t awaited = awaited_signals();
    sigprocmask(SIG_SETMASK, &awaited, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (sig != SIGHUP && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            signal(sig, SIG_DFL);
    }
    // A log reader that goes away must not take the supervisor (and, by the
    // parent-death signal, every supervised program) with it; nor may a
    // file-size limit (ulimit -f, LimitFSIZE=): crossing it is then a write
    // error, handled as a full disk is.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

// A request to re-execute (SIGUSR2) would end the process by its default
// action until the supervisor blocks it: block it before anything else runs.
// Across a re-execution it stays blocked, and a request pending then is
// taken at the first wait.
[[gnu::constructor]] static void hold_requests_from_the_start() {
    const sigset_t awaited = awaited_signals();
    sigprocmask(SIG_BLOCK, &awaited, nullptr);
}

// Under systemd (Type=notify): start-up is done, the locks are held. A
// reload asked for before this waits for it, rather than finding a process
// that has not blocked its request yet.
static void tell_service_manager_ready() {
    const char *socket_path = getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t len = socket_path != nullptr ? strlen(socket_path) : 0;
    if (len == 0 || len >= sizeof address.sun_path || (socket_path[0] != '/' && socket_path[0] != '@')) return;
    memcpy(address.sun_path, socket_path, len);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    const unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    constexpr char ready[] = "READY=1";
    if (fd.valid())
        sendto(fd.get(), ready, sizeof ready - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
}

// An interval timer survives exec: one left running by whoever started us
// would end the supervisor by SIGALRM (or SIGVTALRM, SIGPROF) some time later.
static void clear_interval_timers() {
    const itimerval off{};
    for (const int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) setitimer(timer, &off, nullptr);
}

// What every start does first, also a re-executed one: no descriptor but
// 0, 1, 2 (and the locks a re-execution handed down), and nothing of the
// starter's signal dispositions, mask or timers.
static void start_clean(const watch_daemon_t *daemon, bool keep_locks) {
    attach_closed_std_fds();
    if (keep_locks)
        close_fds_but_locks(daemon);
    else
        process_closefd_from(3);
    reset_signals();
    clear_interval_timers();
}

// Start-up, step by step; any failure ends the process with status 0. Kept
// out of main's frame: its path buffers must not sit on the stack beneath the
// supervision loop for the life of the process. With `keep_locks`, the locks
// are the ones a re-execution handed down, held without a gap.
[[gnu::noinline]] static void start_up(int argc, char *argv[], watch_daemon_t *daemon, bool keep_locks) {
    start_clean(daemon, keep_locks);
    // Linux hands an empty argument vector over as one empty argument: either
    // way there is no path to find the install directory by.
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
        puts("no program path given, refusing to start");
        exit(0);
    }
    set_runfile(daemon, argv[0]);
    if (app_change_dir(argv[0]) != 0) exit(0);
    if (argc > 1) daemon->verbose = 1;
    if (prepare_needful_dir(DPI_TMP_DIRNAME) != 0 || prepare_needful_dir(DPI_DATA_DIRNAME) != 0)
        exit(0);
    if (daemon_init("config", daemon) != 0) {
        puts("failed to init daemon");
        exit(0);
    }
    if (keep_locks)
        lock_fds_stay_ours(daemon);
    else if (daemon_run_set(argv[0], daemon) != 0)
        exit(0);
    signal(SIGCHLD, SIG_DFL);
    daemon->started = daemon->build_since = wall_clock_now();
    tell_service_manager_ready();
}

// A re-executed image: the state, the locks and the programs are the old
// image's; only this build is new.
static void resume(watch_daemon_t *daemon) {
    start_clean(daemon, true);
    lock_fds_stay_ours(daemon);
    signal(SIGCHLD, SIG_DFL);
    daemon->build_since = wall_clock_now();
    daemon->state_fd = 0;  // closed with the rest: opened again when written
    state_resumed(daemon);
}

static const char *version_text() {
    static char version[64];
    join_bounded(version, sizeof version, {DPI_PKG_VERSION, DPI_SRC_VER[0] != '\0' ? "+" : "", DPI_SRC_VER});
    return version;
}

// Asking for help or the version must start nothing: no directory made, no
// lock taken, no process killed by name. Only this exact single argument
// counts; any other keeps meaning "verbose".
static bool answered_query(const char *arg) {
    if (strcmp(arg, "--help") == 0) {
        fputs(
            "Usage: watch_daemon [-d]\n"
            "       watch_daemon --help | --version\n"
            "Supervises, in the foreground, the programs named in the config of the\n"
            "directory that holds it. Any other argument: verbose. See watch_daemon(8).\n",
            stdout);
        return true;
    }
    if (strcmp(arg, "--version") != 0) return false;
    printf("watch_daemon %s\n", version_text());
    return true;
}

#ifndef WATCH_HANDOVER_FORMAT
#define WATCH_HANDOVER_FORMAT 1  // the layout of watch_daemon_t as handed over
#endif

int main(int argc, char *argv[]) {
    if (argc == 2 && answered_query(argv[1])) return 0;
    // Static storage starts out all zeros, and stays untouched (not resident)
    // but for the bytes that are written: no assignment of a cleared copy.
    static watch_daemon_t daemon;
    remember_build(argv, version_text(), WATCH_HANDOVER_FORMAT);
    const taken_over handed = take_over(&daemon);
    if (handed == taken_over::everything)
        resume(&daemon);
    else
        start_up(argc, argv, &daemon, handed == taken_over::locks);
    watch_loop(&daemon, handed == taken_over::everything);
    return 0;
}
