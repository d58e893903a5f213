// Starting children: what every child of the supervisor does before it
// execs, and running external tools (killall, tar, rm) without a shell.
#pragma once

#include <sys/types.h>

// In a new child, before anything else: signals back to their defaults (none
// blocked; SIGPIPE and SIGXFSZ, which the supervisor ignores, at default
// again), and death by `death_signal` when the supervisor ends, also when it
// ended before that was armed. The child closes descriptors from 3 up as its
// last step before exec (process_closefd_from), once it has moved what it
// needs to 0, 1 and 2.
void become_child(int death_signal, pid_t supervisor);

// waitpid() on one pid, resumed after EINTR.
pid_t wait_child(pid_t pid, int *status);

struct tool_options {
    bool quiet = false;    // output to /dev/null
    int input = -1;        // standard input, if not the supervisor's
    int output = -1;       // standard output, if not the supervisor's (or /dev/null)
    int workdir = -1;      // a directory to run in, if not the supervisor's
    int sandbox_abi = 0;   // > 0: may change files only beneath `workdir` (Landlock)
    int time_limit_s = 0;  // > 0: killed after this long (then -1, ETIMEDOUT)
};

// Exit status of a tool whose sandbox could not be set up: it did not run.
inline constexpr int TOOL_NOT_CONFINED = 126;

// Runs `argv[0]`, found on the search path, and waits for that child alone,
// so the ends of other children stay for the supervision loop. Returns the
// wait status, or -1 with errno when it could not be started (errno is
// exec's own when the tool cannot be executed). Tools get a umask that lets
// nothing they create be written by group or others.
int run_tool(const char *const argv[], const tool_options &options);
