#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app_dpi_process.h"
#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "reexec.h"
#include "tool.h"
#include "watch_daemon.h"

namespace {

// Fewer descriptors than this, and an upgrade could not even be unpacked.
constexpr rlim_t MIN_DESCRIPTORS = 32;
// A stack limit below this (ulimit -s) could crash the supervisor in its
// deepest calls (a bundle's check 64 directories deep, the parse of a
// record nested hundreds deep, a failed exec's report below a large
// environment); a lower soft limit is raised to it where the hard one allows.
constexpr rlim_t MIN_STACK = 256 << 10;

// A closed standard descriptor would be handed to the run file, and console
// messages would then land in it: put /dev/null there first.
// Opened in order, the lowest closed one is the one the open takes.
void attach_closed_std_fds() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)  // children inherit them: not close-on-exec
        if (fcntl(fd, F_GETFD) < 0 && open_plain("/dev/null", O_RDWR).release() == fd) fcntl(fd, F_SETFD, 0);
}

// Whatever started us may have blocked or ignored signals (a wrapper that
// blocks SIGTERM, a shell that ignores SIGINT for background jobs). Start
// clean, so that the children get the parent-death signal. Only an ignored
// SIGHUP stays: that is what an operator's nohup asks for. Blocked are only
// the signals the supervisor waits for; a request that came before, even
// across the exec of this image, stays pending for the first wait.
void reset_signals() {
    const sigset_t awaited = awaited_signals();
    sigprocmask(SIG_SETMASK, &awaited, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (sig != SIGHUP && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) signal(sig, SIG_DFL);
    }
    // A log reader that goes away must not take the supervisor (and, by the
    // parent-death signal, every supervised program) with it; nor may a
    // file-size limit (ulimit -f, LimitFSIZE=): crossing it is then a write
    // error, handled as a full disk is.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Nor may a line for a terminal it runs in the background of (stty
    // tostop) stop it: ignoring SIGTTOU lets the write through.
    signal(SIGTTOU, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
}

// A request to re-execute (SIGUSR2) or to stop would end the process by its
// default action until the supervisor blocks it: block them before anything
// else runs. Across a re-execution they stay blocked, and one pending then
// is taken at the first wait.
[[gnu::constructor]] void hold_requests_from_the_start() {
    const sigset_t awaited = awaited_signals();
    sigprocmask(SIG_BLOCK, &awaited, nullptr);
}

// Under systemd (Type=notify): start-up is done, the locks are held. A
// reload asked for before this waits for it, rather than finding a process
// that has not blocked its request yet.
void tell_service_manager_ready(const char *socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t len = socket_path != nullptr ? strlen(socket_path) : 0;
    if (len == 0 || len >= sizeof address.sun_path || (socket_path[0] != '/' && socket_path[0] != '@')) return;
    memcpy(address.sun_path, socket_path, len);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    const unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    constexpr char ready[] = "READY=1";
    // A manager that does not read its socket holds neither the programs'
    // start nor a stop up for more than a few seconds.
    constexpr timeval at_most{5, 0};
    if (fd.valid()) setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &at_most, sizeof at_most);
    if (fd.valid())
        sendto(fd.get(), ready, sizeof ready - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
}

// An interval timer survives exec: one left running by whoever started us
// would end the supervisor by SIGALRM (or SIGVTALRM, SIGPROF) some time later.
void clear_interval_timers() {
    const itimerval off{};
    for (const int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) setitimer(timer, &off, nullptr);
}

// The supervisor runs with the hard open-file limit; the programs get the
// starter's soft one back. False when even the hard limit is too low.
bool enough_descriptors(watch_daemon_t *daemon) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    // A build of another format keeps the limit the old image's programs had.
    if (daemon->nofile_soft == 0) daemon->nofile_soft = limit.rlim_cur;
    children_nofile = daemon->nofile_soft;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max >= MIN_DESCRIPTORS) return true;
    printf("open-file limit too low: %lu descriptors, at least %lu needed, refusing to start\n",
           static_cast<unsigned long>(limit.rlim_max), static_cast<unsigned long>(MIN_DESCRIPTORS));
    return false;
}

// The stack grows to the soft limit as it stands when it grows, so raising
// it here is enough; the programs inherit the raised limit.
bool enough_stack() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur >= MIN_STACK) return true;
    limit.rlim_cur = std::min(limit.rlim_max, MIN_STACK);
    setrlimit(RLIMIT_STACK, &limit);
    if (limit.rlim_cur >= MIN_STACK) return true;
    printf("stack limit too low: %lu KiB, at least %lu KiB needed, refusing to start\n",
           static_cast<unsigned long>(limit.rlim_cur >> 10), static_cast<unsigned long>(MIN_STACK >> 10));
    return false;
}

// What every start does first, also a re-executed one: no descriptor but
// 0, 1, 2, the console's own and the locks a re-execution handed down, and
// nothing of the starter's signal dispositions, mask or timers. Nor what the
// starter hands down for the supervisor alone, which the programs must never
// see: the service manager's socket, and the unit's output-buffering preload
// (the supervisor buffers its own lines).
void start_clean(watch_daemon_t *daemon, char *argv[]) {
    keep_only_locks(daemon);
    console_init();
    reset_signals();
    clear_interval_timers();
    for (const char *name : {"NOTIFY_SOCKET", "LD_PRELOAD", "_STDBUF_I", "_STDBUF_O", "_STDBUF_E"}) unsetenv(name);
    daemon->argv = argv;
    // A reload executes the binary by its descriptor, and the kernel names
    // the process after that ("6"): ps, pgrep and the journal know it by name.
    if (argv[0] != nullptr) {
        const std::string_view name = base_name(argv[0]);
        char comm[16];  // the kernel keeps 15 bytes of it
        snprintf(comm, sizeof comm, "%.*s", static_cast<int>(name.size()), name.data());
        prctl(PR_SET_NAME, comm);
    }
}

bool name_files(watch_daemon_t *daemon, const char *argv0) {
    return supervisor_file(argv0, ".run", daemon->runfile.data(), PATH_BUF) &&
           supervisor_file(argv0, ".state", daemon->statefile.data(), PATH_BUF);
}

// Start-up, step by step; any failure ends the process with status 0. With
// `keep_locks`, the locks are the ones a re-execution handed down, held
// without a gap, in the install directory already; its programs are those
// the replaced build ran, unless config names others (a reload must not
// take the engine down for a config edited since and not yet valid).
// Returns whether an end of the replaced build's programs failed the boot.
bool start_up(int argc, char *argv[], watch_daemon_t *daemon, bool keep_locks) {
    char notify_socket[sizeof sockaddr_un::sun_path];
    snprintf(notify_socket, sizeof notify_socket, "%s", getenv("NOTIFY_SOCKET") ? getenv("NOTIFY_SOCKET") : "");
    start_clean(daemon, argv);
    // Linux hands an empty argument vector over as one empty argument: either
    // way there is no path to find the install directory by.
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
        puts("no program path given, refusing to start");
        exit(0);
    }
    if ((!keep_locks && app_change_dir(argv[0]) != 0) || !name_files(daemon, argv[0]) || !enough_descriptors(daemon))
        exit(0);
    if (argc > 1) daemon->verbose = 1;
    if (prepare_needful_dir(DPI_TMP_DIRNAME) != 0 || prepare_needful_dir(DPI_DATA_DIRNAME) != 0) exit(0);
    bool failed = false;
    if (keep_locks) {  // the old image's programs, ended as a cycle ends them
        take_stops(daemon);  // the locks are ours: a stop meanwhile is said and recorded
        failed = watch_clean(daemon) < 0;
        end_children();
    }
    if (daemon_init("config", daemon) != 0) {
        puts("failed to init daemon");
        if (!keep_locks || daemon->sub_cnt < 1) exit(0);
        puts("the programs of the replaced build run on");
    }
    if (!keep_locks && daemon_run_set(argv[0], daemon) != 0) exit(0);
    state_facts previous{};
    cjson_tree previous_tree;
    if (!keep_locks && state_read_previous(daemon, previous, previous_tree)) {
        end_previous_run(daemon, previous);  // ours alone now, before it is replaced
        // Where its last cycle started the programs, for a first cycle that cannot read the record.
        daemon->boot_space = previous.data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
    }
    daemon->started = daemon->build_since = time(nullptr);
    daemon->started_boot = daemon->build_since_boot = boot_clock_s();
    // At once: the state an earlier supervisor left may name this very pid
    // (a fresh pid namespace), and would pass for this one's meanwhile.
    state_publish(daemon);
    remove_upgrade_leftovers();  // ours alone now: no other supervisor can be installing
    tell_service_manager_ready(notify_socket);
    return failed;
}

// A re-executed image: the state, the locks and the programs are the old
// image's; only this build is new.
void resume(watch_daemon_t *daemon, char *argv[]) {
    start_clean(daemon, argv);
    name_files(daemon, argv[0]);
    children_nofile = daemon->nofile_soft;
    daemon->build_since = time(nullptr);
    daemon->build_since_boot = boot_clock_s();
    state_publish(daemon);
}

// Asking for help or the version must start nothing: no directory made, no
// lock taken, no process killed by name. Only this exact single argument
// counts; any other keeps meaning "verbose".
bool answered_query(const char *arg) {
    if (strcmp(arg, "--help") == 0) {
        fputs("Usage: watch_daemon [-d]\n"
              "       watch_daemon --help | --version\n"
              "Supervises, in the foreground, the programs named in the config of the\n"
              "directory that holds it. Any other argument: verbose. See watch_daemon(8).\n",
              stdout);
        return true;
    }
    if (strcmp(arg, "--version") != 0) return false;
    printf("watch_daemon %s\n", WATCH_VERSION);
    return true;
}

watch_daemon_t state;  // the supervisor's, for the life of the process

}  // namespace

int main(int argc, char *argv[]) {
    if (argc == 2 && answered_query(argv[1])) return 0;
    attach_closed_std_fds();
    console_init();
    if (!enough_stack()) return 0;
    const taken_over handed = take_over(&state);
    if (handed == taken_over::everything) {
        resume(&state, argv);
        watch_loop(&state, true);
    }
    watch_loop(&state, false, start_up(argc, argv, &state, handed == taken_over::locks));
}
