#include "tool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

void child_default_signals() {
    signal(SIGPIPE, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

pid_t wait_child(pid_t pid, int *status) {
    pid_t r;
    do {
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

int run_tool(const char *const argv[], bool quiet) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        child_default_signals();
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
        }
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    if (wait_child(pid, &status) < 0) return -1;
    return status;
}
