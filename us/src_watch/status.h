// What an operator's status query gathers about an install directory, read
// only from what the supervisor leaves behind and from /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "watch_daemon.h"

struct program_end {
    std::string time;     // the record's time stamp
    bool normal = false;  // exited (code) or killed (signal)
    int value = 0;
};

struct program_status {
    std::string base;
    pid_t pid = 0;           // running child of the supervisor, 0 if none
    long uptime_s = -1;      // seconds since that child started
    bool from_data = false;  // it runs as ./data//BASE
    int ends = 0;
    int segv = 0;
    bool has_last = false;
    program_end last;
};

struct supervisor_status {
    std::string run_file;   // ./tmp/NAME.run
    pid_t pid = 0;          // holder of the run file's lock, 0 if none
    std::string directory;  // the run file's first line
    int unparsed = 0;       // record lines that did not parse
    std::vector<program_status> programs;
};

struct install_status {
    std::string dir;
    bool config_ok = false;
    std::vector<supervisor_status> supervisors;
    int boot_space = BOOT_SPACE_SYS;
    boot_reason reason = boot_reason::no_record;
    std::vector<std::string> notes;
    bool running() const;
};

// Fills `status` for the current directory (the install directory).
// Returns false with `error` set when the status cannot be determined.
bool gather_status(install_status &status, std::string &error);

// Parses one exit record of a run file; false for anything else.
bool parse_exit_record(const std::string &line, std::string &base, program_end &end);

// Finds the pid holding a flock on the file with `dev`/`ino` in /proc/locks
// text; 0 if none.
pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino);

std::string format_status_text(const install_status &status);
std::string format_status_json(const install_status &status);
