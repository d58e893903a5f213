// Starting the programs, and ending children the supervisor no longer wants.
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <climits>
#include <string_view>

#include "app_dpi_process.h"
#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "process.h"
#include "tool.h"
#include "watch_daemon.h"

rlim_t children_nofile = RLIM_INFINITY;

namespace {

// Set by a child whose exec failed for want of memory or pids, before it
// ends: vfork lends it the supervisor's memory until then. Such a start is
// tried again as a failed fork is, and its 129 is no failed boot: a record
// must not go for a passing shortage.
int exec_shortage;

// Reports a failed exec and ends the child with the status that fails the
// cycle. Straight to the console, without waiting: stdio would also flush
// the supervisor's unwritten output, and a console nobody reads must not
// hold the supervisor, which waits for this child.
[[noreturn]] void exec_failed(const char *pname, int err) {
    signal(SIGPIPE, SIG_IGN);  // a console whose reader is gone must not change the 129
    char shown[(sizeof DPI_DATA_DIRNAME + PATH_BUF) * 4], msg[sizeof shown + 256];  // a program path, escaped
    const int n = snprintf(msg, sizeof msg, "failed to exec %s, error is %s\n", escaped(pname, shown, sizeof shown),
                           strerror(err));
    if (n > 0) console_write_once(msg, std::min(static_cast<size_t>(n), sizeof msg - 1));
    _exit(APP_RETCODE_ERROR);
}

// The child's side, between vfork and exec. It runs on the supervisor's stack,
// below the frames the supervisor returns to, and changes only what is the
// child's own: its signal mask and dispositions, its descriptor table, its
// limits, its death signal and its own frame; errno, which the supervisor
// reads only when vfork fails, that is when there is no child; and
// `exec_shortage`.
// Programs get SIGTERM when the supervisor ends, so that they can end cleanly.
[[noreturn]] void become_program(const char *pname, int ret_code, int verbose, int bootdata, pid_t supervisor) {
    become_child(SIGTERM, supervisor);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && children_nofile < limit.rlim_cur) {
        limit.rlim_cur = children_nofile;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    // Every descriptor but 0, 1 and 2 closes at the exec; until then the
    // console stays, for a failed exec's line.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) process_closefd_from(3);
    // The argument vector, in the child's own frame: arguments are cut to
    // fit their buffers, but for argv[0], the path itself: killall finds a
    // leftover of a long name by it, and a cut one would run on.
    char buf[MAX_ARGS_COUNT][MAX_CMD_LEN], code[16], *argv[MAX_ARGS_COUNT] = {const_cast<char *>(pname)};
    int argc = 1;
    auto add = [&](const char *arg) {
        if (argc < MAX_ARGS_COUNT - 1) snprintf(argv[argc] = buf[argc], MAX_CMD_LEN, "%s", arg), ++argc;
    };
    if (ret_code != 0) snprintf(code, sizeof code, "%d", ret_code), add("-r"), add(code);
    if (verbose == 1) add("-d");
    for (const char *arg : {"-T", DPI_TMP_DIRNAME, "-D", DPI_DATA_DIRNAME, "-O", DPI_OUI_INFO})
        if (bootdata == 1) add(arg);
    execv(pname, argv);
    const int err = errno;
    if (err == ENOMEM || err == EAGAIN) exec_shortage = err;
    exec_failed(pname, err);
}

// vfork, not fork: the child only execs, so copying the supervisor's page
// tables for it, and the copy-on-write faults that follow, would be most of
// the supervisor's cost per restart. The supervisor waits until the exec has
// happened. The child never returns from here: it execs or exits.
[[gnu::noinline]] pid_t start_child(const char *pname, int ret_code, int verbose, int bootdata, pid_t supervisor) {
    exec_shortage = 0;
    const pid_t pid = vfork();
    if (pid == 0) become_program(pname, ret_code, verbose, bootdata, supervisor);
    if (pid > 0 && exec_shortage != 0) {  // it has ended: no program ran
        waitpid(pid, nullptr, 0);
        errno = exec_shortage;
        return -1;
    }
    return pid;
}

}  // namespace

pid_t exec_process(const char *pname, int ret_code, int verbose, int bootdata) {
    const pid_t supervisor = getpid();
    const pid_t pid = with_fork_retries([&] { return start_child(pname, ret_code, verbose, bootdata, supervisor); });
    if (pid < 0) puts("failed to fork");
    return pid;
}

program_path_t program_path(const char *base, bool data) {
    program_path_t path;
    snprintf(path.text.data(), path.text.size(), "%s%s%s", data ? DPI_DATA_DIRNAME : "", data ? "/" : "", base);
    return path;
}

void daemon_run_one(watch_daemon_t *daemon, int i, int ret_code) {
    exec_pid_t &slot = daemon->pids[i];
    const bool data = daemon->boot_space == BOOT_SPACE_DATA;
    slot.pid = exec_process(program_path(slot.base.data(), data).text.data(), ret_code, daemon->verbose, data ? 1 : 0);
    slot.unreaped = slot.pid > 0;
    state_child_started(daemon, i);
}

// The program, and what it left in a process group it leads (one that called
// setsid() or setpgid(0, 0): workers under another name, a script's
// subshells), which killall by name would miss. While the program is
// unreaped its pid is taken, so such a group is still its own.
int kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    kill(-pid, SIGKILL);
    int status = 0;
    return wait_child_until(pid, monotonic_ms() + 1000, &status) ? status : -1;
}

namespace {

// Calls `each` with every child of this process, as /proc lists them, read
// to the end: orphans a pid namespace's init adopts come last, after
// however many live ones. As the /proc in use numbers this thread, which
// getpid() need not (a pid namespace that kept the host's /proc).
template <typename Each>
void for_each_child(Each each) {
    const unique_fd fd = open_plain("/proc/thread-self/children");
    char buf[4096];
    pid_t pid = 0;
    for (ssize_t n; fd.valid() && (n = read(fd.get(), buf, sizeof buf)) > 0;)
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] >= '0' && buf[i] <= '9') {
                pid = pid * 10 + (buf[i] - '0');
            } else if (pid > 0) {
                each(pid);
                pid = 0;
            }
        }
    if (pid > 0) each(pid);
}

}  // namespace

void end_children() {
    for_each_child([](pid_t pid) { kill(pid, SIGKILL); });
}

// A child reaped leaves the list while it is read, which may then skip
// another: the list is read again until a reading reaps nothing.
void reap_strays(const watch_daemon_t *daemon) {
    for (bool reaped = true; reaped;) {
        reaped = false;
        for_each_child([daemon, &reaped](pid_t pid) {
            const auto *slots = daemon->pids, *end = daemon->pids + daemon->sub_cnt;
            int status = 0;
            if (std::none_of(slots, end, [pid](const auto &s) { return s.pid == pid; }) &&
                waitpid(pid, &status, WNOHANG) == pid) {
                printf("No such pid(%d) for reexec\n", static_cast<int>(pid));
                reaped = true;
            }
        });
    }
}

namespace {

// Whether `pid` is the program a supervisor started as `base`, at `started`
// on the boot clock: started in that second, started by that path (its
// argv[0]; a script's interpreter, run by its #! line directly or through
// env, comes before it), and working in the install directory `here`, this
// very directory, not one at the same path in a chroot or another mount
// namespace. The directory is looked at last: a stat of another process's
// working directory could wait on a hung network mount.
bool is_program(pid_t pid, const char *base, time_t started, const struct stat &here) {
    const long long start = started_on_boot_clock(pid);
    if (start < 0 || std::llabs(start - started) > 1) return false;
    std::array<char, 4 * (PATH_MAX + 1)> buf;
    std::string_view cmdline = read_proc(pid, "cmdline", buf);
    const program_path_t as_configured = program_path(base, false), in_data = program_path(base, true);
    bool by_path = false;
    for (int i = 0; i < 4 && !cmdline.empty(); ++i) {
        const std::string_view arg = next_arg(cmdline);
        by_path |= arg == as_configured.text.data() || arg == in_data.text.data();
    }
    struct stat cwd {};
    char dir[64];
    snprintf(dir, sizeof dir, "/proc/%d/cwd", static_cast<int>(pid));
    return by_path && stat(dir, &cwd) == 0 && cwd.st_dev == here.st_dev && cwd.st_ino == here.st_ino;
}

// Whether `base` is one of the configured names.
bool configured(const watch_daemon_t *daemon, const char *base) {
    for (int i = 0; i < daemon->sub_cnt; ++i)
        if (strcmp(daemon->pids[i].base.data(), base) == 0) return true;
    return false;
}

}  // namespace

// A program a supervisor before this one left running (it ignored the stop's
// SIGTERM, or that supervisor was killed) would run beside its new start
// wherever killall misses it: its name led through a link switched since (a
// release directory flipped), or is not given to killall (a file with other
// links). It is ended by the pid that supervisor published, with the group
// it leads, but only while that pid is still the program it started (see
// is_program): any other process with that pid came after, and a copy of
// the install directory, state file and all, names the pids of the programs
// it was copied from. Only configured names count. Nor when
// /proc numbers processes as another pid namespace does (a container that
// kept the host's /proc): its pids would be others.
void end_previous_run(const watch_daemon_t *daemon, const state_facts &facts) {
    struct stat here {};
    if (stat(".", &here) != 0 || !proc_numbers_ours() || facts.pid_ns != own_pid_namespace()) return;
    for (int i = 0; i < facts.slot_count; ++i) {
        const slot_facts &slot = facts.slots[i];
        if (slot.base == nullptr || slot.pid <= 0 || slot.pid == getpid() || !configured(daemon, slot.base) ||
            !is_program(slot.pid, slot.base, slot.record.started_boot, here))
            continue;
        kill(slot.pid, SIGKILL);
        if (slot.pid != getpgrp()) kill(-slot.pid, SIGKILL);
    }
}
