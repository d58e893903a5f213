// What an operator's status query gathers about an install directory, read
// only from what the supervisor leaves behind (run files, config, the
// boot-check record) and from /proc. Nothing found there is trusted: files
// are read only when regular, never through a link, and only so far.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "watch_daemon.h"

struct program_end {
    std::string time;  // the record's time stamp
    time_t when = -1;  // the same, as a time
    std::string base;
    enum { exited, killed, cut } how = cut;  // a cut record tells no code
    int value = 0;
    int segv_so_far = 0;  // SIGSEGV deaths recorded up to this one
};

struct program_status {
    std::string base;
    std::string state = "stopped";  // running, waiting, starting, stopped
    pid_t pid = 0;                  // its running child
    long uptime_s = -1;
    bool from_data = false;  // it runs as ./data//BASE
    int ends = 0, segv = 0;
    const program_end *last = nullptr;  // into the supervisor's history
    time_t restart_due = -1;            // while waiting, when known
};

struct supervisor_status {
    std::string run_file, name;  // ./tmp/NAME.run, NAME
    pid_t pid = 0;               // holder of the run file's lock, 0 if none
    long uptime_s = -1;
    std::string directory;  // the run file's first line
    int unparsed = 0;       // lines that are no exit record
    bool truncated = false;  // only the run file's tail was read
    std::vector<program_end> history;
    std::vector<program_status> programs;
};

struct install_status {
    std::string dir;
    bool config_ok = false;
    std::string config_error;
    std::vector<supervisor_status> supervisors;
    int boot_space = BOOT_SPACE_SYS;
    boot_reason reason = boot_reason::no_record;
    std::vector<std::string> notes;
    bool running() const;
};

// Fills `status` for the current directory (the install directory). False,
// with `error` set, when the status cannot be determined.
bool gather_status(install_status &status, std::string &error);

// Parses one line of a run file for the configured `bases`: a whole exit
// record, or one cut at 255 bytes, named by its leading characters.
bool parse_exit_record(const std::string &line, const std::vector<std::string> &bases,
                       program_end &end);

// The pid holding a flock on the file `dev`/`ino`, from /proc/locks text:
// a candidate on the same device before one matched by inode only (another
// mount), and only one that `holds_file` confirms has the file open (1). When
// that cannot be told (-1: another user's process), only a candidate on the
// same device counts.
pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino,
                  const std::function<int(pid_t)> &holds_file);

// Why the supervisor would refuse `path` as its config, or "".
std::string config_problem(const char *path);

std::string format_status_text(const install_status &status, size_t history);
std::string format_status_json(const install_status &status, size_t history);
std::string format_status_prometheus(const install_status &status);
