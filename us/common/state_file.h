// ./tmp/NAME.state: what a running supervisor publishes about itself and its
// programs for watch_status, replaced whole at each change (a start, an end,
// a cycle, an upgrade, a reload, a stop), never on the idle path. A header
// line "LEN HASH" (the body's length and its FNV-1a hash) comes before the
// JSON body, so that a reader who caught the file half-written can tell.
#pragma once

#include <sys/types.h>

#include <ctime>

#include "fs.h"

inline constexpr int STATE_SLOTS = 4;

// The run file and the state file of a supervisor started as `argv0`:
// "./tmp/" + its base name + ".run" or ".state". False when they do not fit.
bool supervisor_file(const char *argv0, const char *suffix, char *path, size_t size);

enum slot_state : unsigned char { SLOT_STARTING = 0, SLOT_RUNNING, SLOT_WAITING };

// One program as published. Times are Unix seconds, 0 for "not yet".
struct slot_facts {
    const char *base;
    pid_t pid;
    slot_state state;
    time_t started, restart_due;
    unsigned ends, segv;
    time_t last_end;  // its last end, with how: a signal's number or an exit code
    bool last_signaled;
    int last_code;
};

struct state_facts {
    pid_t pid;
    const char *version, *revision;
    time_t started, build_since, updated;
    bool has_utc_offset;
    long utc_offset;     // of the run file's last time stamp
    const char *zone;    // the supervisor's TZ, null for the system's zone
    bool data_space;     // its cycle boots from ./data/
    unsigned upgrades_installed, upgrades_failed, reloads_failed;
    time_t stopped_at;   // 0 while it runs
    const char *stopped_why;
    int slot_count;
    slot_facts slots[STATE_SLOTS];
};

// The whole file for `facts`: header and body.
cjson_text state_text(const state_facts &facts);

// Reads the file `text` of `len` bytes into `facts`, whose texts then point
// into `tree`. False for a file cut short or not a state; a number beyond
// what a supervisor writes counts as missing.
bool state_read(const char *text, size_t len, state_facts &facts, cjson_tree &tree);

// The body's length from the header, so that a reader reads no more than
// the state, whatever follows it.
size_t state_size(const char *head, size_t len);
