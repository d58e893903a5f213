#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"
#include "state.h"
#include "tool.h"
#include "watch_daemon.h"

namespace {

// The child's argument vector, built by the child between vfork and exec,
// in its own frame.
struct child_args {
    char *argv[MAX_ARGS_COUNT];
    int argc;
    char buf[MAX_ARGS_COUNT][MAX_CMD_LEN];

    void clear() {
        argc = 0;
        argv[0] = nullptr;
    }
    // Arguments are cut to fit their buffers; the path given to execv is not.
    void add(const char *arg) {
        if (argc >= MAX_ARGS_COUNT - 1) return;
        join_bounded(buf[argc], MAX_CMD_LEN, {arg});
        argv[argc] = buf[argc];
        argv[++argc] = nullptr;
    }
};

void fill_args(child_args &args, const char *pname, int ret_code, int verbose, int bootdata) {
    args.add(pname);
    if (ret_code != 0) {
        char code[16];
        snprintf(code, sizeof code, "%d", ret_code);
        args.add("-r");
        args.add(code);
    }
    if (verbose == 1) args.add("-d");
    if (bootdata == 1) {
        for (const char *arg : {"-T", DPI_TMP_DIRNAME, "-D", DPI_DATA_DIRNAME, "-O", DPI_OUI_INFO})
            args.add(arg);
    }
}

// Reports a failed exec and ends the child with the status that fails the
// cycle. Straight to the descriptor: stdio would also flush the supervisor's
// unwritten output, and a gone reader must not stop the 129.
[[noreturn, gnu::noinline]] void exec_failed(const char *pname, int err) {
    signal(SIGPIPE, SIG_IGN);
    char msg[8192 + 256];
    const int n =
        snprintf(msg, sizeof msg, "failed to exec %s, error is %s\n", pname, strerror(err));
    if (n > 0) write_all(STDOUT_FILENO, msg, std::min(static_cast<size_t>(n), sizeof msg - 1));
    _exit(APP_RETCODE_ERROR);
}

// The child's side, between vfork and exec. It runs on the supervisor's stack,
// below the frames the supervisor returns to, and changes only what is the
// child's own: its signal mask and dispositions, its descriptor table, its
// death signal and its own frame; and errno, which the supervisor reads only
// when vfork fails, that is when there is no child. Programs get SIGTERM when
// the supervisor ends, so that they can end cleanly.
[[noreturn]] void become_program(const char *pname, int ret_code, int verbose, int bootdata,
                                 pid_t supervisor) {
    become_child(SIGTERM, supervisor);
    process_closefd_from(3);
    child_args args;
    args.clear();
    fill_args(args, pname, ret_code, verbose, bootdata);
    execv(pname, args.argv);
    exec_failed(pname, errno);
}

// vfork, not fork: the child only execs, so copying the supervisor's page
// tables for it, and the copy-on-write faults that follow, would be most of
// the supervisor's cost per restart. The supervisor waits until the exec has
// happened. The child never returns from here: it execs or exits.
[[gnu::noinline]] pid_t start_child(const char *pname, int ret_code, int verbose, int bootdata,
                                    pid_t supervisor) {
    const pid_t pid = vfork();
    if (pid == 0) become_program(pname, ret_code, verbose, bootdata, supervisor);
    return pid;
}

}  // namespace

// A momentary shortage of pids or memory must not count as a failed boot,
// which would delete the boot-check record: try three times, 1 s and 2 s apart.
pid_t exec_process(const char *pname, int ret_code, int verbose, int bootdata) {
    const pid_t supervisor = getpid();
    constexpr time_t pauses[] = {1, 2};
    for (size_t attempt = 0;; ++attempt) {
        const pid_t pid = start_child(pname, ret_code, verbose, bootdata, supervisor);
        if (pid >= 0) return pid;
        if (attempt == std::size(pauses) || (errno != EAGAIN && errno != ENOMEM)) break;
        timespec pause{pauses[attempt], 0};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    puts("failed to fork");
    return -1;
}

namespace {

// A start from the data space takes the program from ./data/. The path gets a
// frame of its own, so that only these starts run deeper on the stack.
[[gnu::noinline]] pid_t exec_from_data_space(const char *base, int ret_code, int verbose) {
    char path[sizeof DPI_DATA_DIRNAME + PATH_BUF];
    join_bounded(path, sizeof path, {DPI_DATA_DIRNAME, "/", base});
    return exec_process(path, ret_code, verbose, 1);
}

}  // namespace

void daemon_run_one(watch_daemon_t *daemon, int i, int ret_code) {
    exec_pid_t &slot = daemon->pids[i];
    slot.pid = daemon->boot_space == BOOT_SPACE_DATA
                   ? exec_from_data_space(slot.base.data(), ret_code, daemon->verbose)
                   : exec_process(slot.base.data(), ret_code, daemon->verbose, 0);
    slot.unreaped = slot.pid > 0;
    state_child_started(daemon, i);
}
