// What /proc tells of a process, read alike by the supervisor and watch_status.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// At most `limit` bytes of a file that is ours or the kernel's (/proc).
std::string read_some(const std::string &path, size_t limit = 1 << 20, bool *ok = nullptr);

// The fields of /proc/PID/stat after the command name, which may hold
// blanks: the state first, the start in clock ticks since the boot 20th.
// Empty when the process is gone or hidden.
std::vector<std::string> stat_fields(pid_t pid);

// When it started, in seconds on the boot clock; -1 when gone or hidden.
long long started_on_boot_clock(pid_t pid);

// Whether /proc numbers processes as this process's pid namespace does: a
// container that kept its host's /proc shows others under our pids.
bool proc_numbers_ours();

// Its first `count` arguments, fewer when it has fewer; none when gone.
std::vector<std::string> args_of(pid_t pid, size_t count);

// Its argv[0], "" when gone.
std::string argv0_of(pid_t pid);
