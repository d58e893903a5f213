// Running external tools (killall, tar) without a shell.
#pragma once

#include <sys/types.h>

// In a freshly forked child: undo the supervisor's own signal settings, so
// that what it execs starts with default handling (an ignored SIGTERM would
// also void the parent-death signal).
void child_default_signals();

// waitpid() on one pid, resumed after EINTR.
pid_t wait_child(pid_t pid, int *status);

// Runs `argv[0]`, found on the search path, and waits for that child alone,
// so the ends of other children stay for the supervision loop. With `quiet`
// its output goes to /dev/null. Returns the wait status, or -1 if it could not
// be forked; a tool that cannot be executed ends with status 127.
int run_tool(const char *const argv[], bool quiet);
