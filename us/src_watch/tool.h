// Starting children: what every child of the supervisor does before it
// execs, and running external tools (killall, tar, rm, a new binary's
// --version) without a shell and with an environment of their own.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

// In a new child, before anything else: signals back to their defaults (none
// blocked; SIGPIPE and SIGXFSZ, which the supervisor ignores, at default
// again), and death by `death_signal` when the supervisor ends, also when it
// ended before that was armed.
void become_child(int death_signal, pid_t supervisor);

// Waits for the child `pid` until `deadline_ms` (CLOCK_MONOTONIC, 0 for
// none), taking a request to stop meanwhile. True once it is reaped.
bool wait_child_until(pid_t pid, long long deadline_ms, int *status);

struct tool_options {
    bool quiet = false;     // output and error to /dev/null
    int input = -1;         // standard input, if not the supervisor's
    int output = -1;        // standard output, if not the supervisor's
    int error = -1;         // standard error, if not the supervisor's (or `output`)
    int workdir = -1;       // a directory to run in, if not the supervisor's
    int sandbox_abi = 0;    // > 0: may change files only beneath `workdir` (Landlock)
    int time_limit_s = 0;   // > 0: killed after this long (then -1, ETIMEDOUT)
    bool own_group = false; // in a process group of its own, killed whole when it ends
};

// Exit status of a tool whose sandbox could not be set up: it did not run.
inline constexpr int TOOL_NOT_CONFINED = 126;

// Runs `argv[0]`, found on the supervisor's search path, with only that PATH
// in its environment, and waits for that child alone, so the ends of other
// children stay for the supervision loop. Returns the wait status, or -1
// with errno when it could not be started (errno is exec's own when the tool
// cannot be executed). Tools get a umask that lets nothing they create be
// written by group or others.
int run_tool(const char *const argv[], const tool_options &options);

// Runs `path --version` as a tool in a group of its own, with its output in
// memory rather than a pipe, so that nothing it leaves behind can hold the
// supervisor: within five seconds, or the group is killed. Its wait status
// (or -1, errno), what it printed (`answer`) and the first line of its error
// output (`error`), both NUL-terminated.
int probe_version(const char *path, char *answer, size_t answer_size, char *error, size_t error_size);

// Reads back what a tool wrote into the memory file `fd` and prints each of
// its lines, escaped, as a console line of its own, but the message
// `unless` (when given, a whole line or more); returns how many it printed.
int relay_output(int fd, std::string_view unless = {});

// Whether what a tool wrote into the memory file `fd` names a fault of this
// host (tools speak the C locale).
bool said_host_fault(int fd);
