// What an operator's status query gathers about an install directory, read
// only from what the supervisor leaves behind (its state file, its run file,
// config, the boot-check record) and from /proc. Nothing found there is
// trusted: files are read only when regular, never through a link, and only
// so far. Times are Unix seconds, -1 when unknown.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "boot_record.h"
#include "fs.h"

struct program_end {
    time_t stamp = -1;  // the record's time stamp read as if it were UTC
    time_t when = -1;   // the end, once the supervisor's zone is applied
    std::string base;
    enum { exited, killed, cut } how = cut;  // a cut record tells no code
    int value = 0;
};

// What /proc says about a pid.
struct proc_facts {
    bool exists = false, zombie = false;
    bool stopped = false;  // by SIGSTOP or a debugger: it does nothing until SIGCONT
    pid_t ppid = 0, group = 0, session = 0;
    time_t started = -1;  // its start, on the wall clock
    long long started_boot = -1;  // and on the boot clock, which no one sets
    bool hidden = false;  // it runs, but /proc keeps its facts from this reader
};

struct program_status {
    int slot = 0;
    std::string base;
    std::string state = "stopped";  // running, waiting, starting, stopped, unknown
    pid_t pid = 0;                  // its running child, once judged
    time_t started = -1;            // that child's start
    long long started_boot = -1;    // the same on the boot clock
    bool from_data = false;         // it runs, or starts next, as ./data//BASE
    bool end_pending = false;       // ended; its end is handled after another program's delay
    unsigned ends = 0, segv = 0;
    std::optional<program_end> last;
    time_t restart_due = -1;  // while waiting, when known
    // As published by the supervisor, before judging.
    std::string published_state;
    pid_t published_pid = 0;
    proc_facts proc;
    bool outlived = false;  // its process runs on after the supervisor stopped
};

struct supervisor_status {
    std::string name = "watch_daemon", run_file, state_file;  // NAME, ./tmp/NAME.run, ./tmp/NAME.state
    bool has_run_file = false, has_state = false;
    bool state_present = false;  // a file is at the state file's path, whether it is usable or not
    pid_t pid = 0;       // the supervisor, 0 if none runs
    pid_t last_pid = 0;  // the supervisor its state file names, running or not
    pid_t impostor = 0;  // a holder of the install directory's lock that is no supervisor of it
    unsigned long long pid_ns = 0;  // its pid namespace's inode, as its state file says (0: not known)
    time_t started = -1, build_since = -1, updated = -1;
    std::string version, revision;
    std::string zone;     // its TZ, or "" for the system's zone
    unsigned upgrades_installed = 0, upgrades_failed = 0, reloads_failed = 0;
    std::string stopped_why;  // as the supervisor said, or "" when it said nothing
    time_t stopped_at = -1;
    bool data_space = false;  // its cycle boots from ./data/
    bool record_set_aside = false;  // it ignores a record it could not remove
    std::string directory;    // the run file's first line, if it names a directory
    int unparsed = 0;         // lines that are no exit record
    bool truncated = false;   // only the run file's tail was read
    std::vector<program_end> history;
    std::vector<program_status> programs;
};

struct install_status {
    std::string dir;
    time_t now = 0;
    bool config_ok = false;
    std::string config_error;
    std::vector<std::string> bases;  // the programs config names
    supervisor_status sup;
    bool data_space = false;  // what the record decides for the next cycle
    boot_reason reason = boot_reason::no_record;
    std::string record_ignored;  // why a file at the record's path is no record ("a symbolic link")
    std::string data_version;  // the boot-check record's "version"
    std::vector<std::string> notes;
    bool running() const { return sup.pid > 0; }
};

// Fills `status` for the current directory (the install directory). False,
// with `error` set, when the status cannot be determined.
bool gather_status(install_status &status, std::string &error);

// Opens one of the supervisor's files in ./tmp/: invalid when there is none
// to read, with a note for one that is no regular file, or `error` when it
// may not be read.
unique_fd open_supervisor_file(install_status &status, const std::string &path, std::string &error);

// Reads sup.run_file: its first line and exit records, with a note for lines
// that are none. False, with `error`, when it may not be read.
bool read_run_file(install_status &status, std::string &error);

// Decides each program's state and countdown from what was gathered, and
// notes what the operator should know about it.
void judge_status(install_status &status);

// Parses one line of a run file for the configured `bases`: a whole exit
// record, or one cut at 255 bytes, named by its leading characters.
bool parse_exit_record(const std::string &line, const std::vector<std::string> &bases, program_end &end);

// The pid holding a flock on the file `dev`/`ino`, from /proc/locks text:
// a candidate on the same device before one matched by inode only (another
// mount), and only one that `holds_file` confirms has the file open (1). When
// that cannot be told (-1: another user's process), only a candidate on the
// same device counts.
pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino, const std::function<int(pid_t)> &holds_file);

std::string format_status_text(const install_status &status, size_t history);
std::string format_status_json(const install_status &status, size_t history);
std::string format_status_prometheus(const install_status &status);

// Writes `report` to `path` if that is a regular file or a new name, replaced
// whole; never through a link, never over anything else. False with `error`.
bool write_report(const install_status &status, const std::string &path, const std::string &report, std::string &error);
