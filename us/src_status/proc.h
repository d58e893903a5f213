// What watch_status reads from /proc and from directory listings.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

#include "process.h"
#include "status.h"

// The flock lines of a /proc/locks, read to its end: other locks can fill
// many megabytes before them on a busy host, and a lock taken early is
// listed after every later one. `ok` is false if it could not be read whole.
std::string read_flocks(const char *path, bool *ok);

proc_facts facts_of(pid_t pid);

// Its argv[0], "" when gone.
std::string argv0_of(pid_t pid);

// 1 if `pid` has the file `dev`/`ino` open, 0 if not, -1 if that cannot be
// told (another user's process, or ours read without capabilities).
int holds_open(pid_t pid, dev_t dev, ino_t ino);

// 1 if `pid` works in the directory `dir` (an absolute path) or beneath it,
// 0 if not, -1 if that cannot be told (gone, or another user's process read
// without capabilities).
int works_in(pid_t pid, const std::string &dir);

// The process's executable, without " (deleted)"; "" when it may not be read.
std::string exe_of(pid_t pid);

// Whether `pid` runs but /proc keeps its facts from this reader (mounted
// with hidepid, the process another user's).
bool hidden_from_us(pid_t pid);

// NAME of the ./tmp/NAME.run (or of its rotated NAME.run.1) that /proc/locks
// text names `pid` as holding a flock on; "" if none. It names a supervisor
// whose command line is hidden.
std::string name_by_lock(const std::string &proc_locks, pid_t pid);

// How many flocks /proc/locks text names `pid` as holding.
int flocks_held(const std::string &proc_locks, pid_t pid);

// The pid that `pid` has in its own pid namespace (a container's), as it
// sees itself; `pid` when it shares this /proc's namespace; -1, with errno,
// when that cannot be read (hidden from this reader, too few descriptors).
pid_t own_pid(pid_t pid);

// The process of the pid namespace `pid_ns` (a container's, read from
// outside) that sees itself as `seen`, by its pid here; 0 if none is seen.
pid_t seen_here(unsigned long long pid_ns, pid_t seen);

// The child of `parent` that sees itself as `seen`, by its pid here; 0 if none.
pid_t child_seen_as(pid_t parent, pid_t seen);

// How far the boot clock of `pid`'s time namespace runs ahead of this
// reader's (a container's, read from the host), in seconds; 0 if not known.
long long boot_clock_ahead(pid_t pid);

// Whether this process is in the first pid namespace, which sees every
// lock's holder: /proc/locks leaves out locks held from outside one's own.
bool in_first_pid_namespace();
