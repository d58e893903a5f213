#include "tool.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "app_dpi_process.h"
#include "fs.h"
#include "sandbox.h"

void become_child(int death_signal, pid_t supervisor) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, death_signal);
    if (getppid() != supervisor) raise(death_signal);
}

pid_t wait_child(pid_t pid, int *status) {
    pid_t r;
    do {
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

namespace {

// The tool's side, between fork and exec. Tools die by SIGKILL with the
// supervisor: nothing of theirs needs a clean end, and tar must not go on
// writing ./data/.
[[noreturn]] void become_tool(const char *const argv[], const tool_options &options, pid_t supervisor,
                              int exec_error) {
    become_child(SIGKILL, supervisor);
    if (options.quiet) {
        const int null = open_plain("/dev/null", O_WRONLY).release();
        if (null >= 0) dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
    }
    if (options.input >= 0 && dup2(options.input, STDIN_FILENO) < 0) _exit(127);
    if (options.output >= 0 && dup2(options.output, STDOUT_FILENO) < 0) _exit(127);
    if (options.workdir >= 0 && fchdir(options.workdir) != 0) _exit(127);
    umask(umask(0) | 022);
    // Fail closed: a sandbox asked for and not set up means no tool at all.
    if (options.sandbox_abi > 0 && confine_writes_to(options.workdir, options.sandbox_abi) != 0)
        _exit(TOOL_NOT_CONFINED);
    // The pipe for a failed exec's errno stays, as 3: close-on-exec, it is
    // gone once the tool runs.
    if (exec_error != 3 && dup3(exec_error, 3, O_CLOEXEC) != 3) _exit(127);
    exec_error = 3;
    process_closefd_from(4);
    // A path is executed as it is: execvp would hand a file that is no
    // program to the shell.
    (strchr(argv[0], '/') != nullptr ? execv : execvp)(argv[0], const_cast<char *const *>(argv));
    const int err = errno;
    const ssize_t told = write(exec_error, &err, sizeof err);
    (void)told;
    _exit(127);
}

// fork, not vfork: what a tool's child does before its exec (the search of
// PATH, its descriptors, its sandbox) then touches its own copy of libc's
// pages, not the supervisor's. A failed exec sends its errno back through a
// pipe that a successful one closes.
pid_t start_tool(const char *const argv[], const tool_options &options, int *exec_error) {
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return -1;
    const pid_t supervisor = getpid();
    const pid_t pid = fork();
    if (pid == 0) become_tool(argv, options, supervisor, told[1]);
    close(told[1]);
    int err = 0;
    if (pid > 0 && read(told[0], &err, sizeof err) == sizeof err) *exec_error = err;
    close(told[0]);
    return pid;
}


// Waits for the tool at most `seconds`, by its SIGCHLD (blocked in the
// supervisor, so none is missed); kills it when the time is up.
bool wait_at_most(pid_t pid, int seconds, int *status) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const time_t deadline = now.tv_sec + seconds;
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec >= deadline) break;
        const timespec left{deadline - now.tv_sec, 0};
        sigtimedwait(&child, nullptr, &left);
    }
    kill(pid, SIGKILL);
    wait_child(pid, status);
    errno = ETIMEDOUT;
    return false;
}

}  // namespace

int run_tool(const char *const argv[], const tool_options &options) {
    int exec_error = 0;
    const pid_t pid = start_tool(argv, options, &exec_error);
    if (pid < 0) return -1;
    int status = 0;
    if (options.time_limit_s > 0 ? !wait_at_most(pid, options.time_limit_s, &status)
                                 : wait_child(pid, &status) < 0)
        return -1;
    if (exec_error != 0) {
        errno = exec_error;
        return -1;
    }
    return status;
}
