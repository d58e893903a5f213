// Running external tools (killall, tar) without a shell, and what every
// child of the supervisor gets before it execs.
#pragma once

#include <sys/types.h>

// In a freshly forked child: no blocked signals, and SIGPIPE back to its
// default. The supervisor cleared every other inherited setting at start-up.
void child_default_signals();

// waitpid() on one pid, resumed after EINTR.
pid_t wait_child(pid_t pid, int *status);

struct tool_options {
    bool quiet = false;                  // output to /dev/null
    int input = -1;                      // standard input, if not the supervisor's
    const char *writable_dir = nullptr;  // the only place it may change (a sandbox)
};

// Runs `argv[0]`, found on the search path, and waits for that child alone,
// so the ends of other children stay for the supervision loop. Returns the
// wait status, or -1 if it could not be forked or sandboxed; a tool that
// cannot be executed ends with status 127.
int run_tool(const char *const argv[], const tool_options &options);
