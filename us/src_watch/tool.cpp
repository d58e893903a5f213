#include "tool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "sandbox.h"

void child_default_signals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
}

pid_t wait_child(pid_t pid, int *status) {
    pid_t r;
    do {
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

int run_tool(const char *const argv[], const tool_options &options) {
    const int abi = options.writable_dir != nullptr ? landlock_abi() : 0;
    if (abi < 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        child_default_signals();
        if (options.quiet) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
        }
        if (options.input >= 0 && dup2(options.input, STDIN_FILENO) < 0) _exit(127);
        // Fail closed: a sandbox that cannot be set up means no tool at all.
        if (abi > 0 && confine_writes_to(options.writable_dir, abi) != 0) _exit(126);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    if (wait_child(pid, &status) < 0) return -1;
    return status;
}
