// What /proc tells of a process, read alike by the supervisor and
// watch_status. Nothing here allocates: the supervisor reads it at each start.
#pragma once

#include <sys/types.h>

#include <span>
#include <string_view>

// /proc/PID/NAME, as much of it as `buf` holds; empty when the process is
// gone or hidden.
std::string_view read_proc(pid_t pid, const char *name, std::span<char> buf);

// The `index`th field of a /proc/PID/stat text after the command name, which
// may hold blanks: 0 the state, 1 the parent, 19 the start in clock ticks
// since the boot. Empty when the text has no such field.
std::string_view stat_field(std::string_view stat, size_t index);

// The start a /proc/PID/stat text gives, in seconds on the boot clock; -1
// when it gives none.
long long stat_started(std::string_view stat);

// When it started, in seconds on the boot clock; -1 when gone or hidden.
long long started_on_boot_clock(pid_t pid);

// Whether /proc numbers processes as this process's pid namespace does: a
// container that kept its host's /proc shows others under our pids.
bool proc_numbers_ours();

// Splits a /proc/PID/cmdline text: its first argument, and the rest after it.
std::string_view next_arg(std::string_view &cmdline);
