// ./tmp/NAME.state: what a running supervisor publishes about itself and its
// programs for watch_status, replaced whole at each change (a start, an end,
// a cycle, an upgrade, a reload, a stop), never on the idle path. A header
// line "LEN HASH" (the body's length and its FNV-1a hash) comes before the
// JSON body, so that a reader who caught the file half-written can tell. A
// re-executed supervisor takes its state over in the same form.
#pragma once

#include <sys/types.h>

#include <cmath>
#include <ctime>
#include <string_view>

#include "fs.h"

inline constexpr int STATE_SLOTS = 4;

// The run file and the state file of a supervisor started as `argv0`:
// "./tmp/" + its base name + ".run" or ".state". False when they do not fit.
bool supervisor_file(const char *argv0, const char *suffix, char *path, size_t size);

// What a path ends in, as POSIX basename() takes it: trailing slashes aside.
std::string_view base_name(const char *path);

// Whether a program `base` bears a supervisor's name: "watch_daemon", or the
// name of `argv0` (may be null). Leftovers are killed by name (killall), and
// by that one every supervisor of the host would be.
bool named_like_supervisor(const char *base, const char *argv0);

enum slot_state : unsigned char { SLOT_STARTING = 0, SLOT_RUNNING, SLOT_WAITING };

// The boot clock (CLOCK_BOOTTIME) in seconds: unlike the wall clock, never
// set. Times published with their boot-clock twin give true durations to a
// reader of the same boot, however the wall clock was set in between.
time_t boot_clock_s();

// What a program publishes besides its name and pid. Times are Unix
// seconds, 0 for "not yet".
struct slot_record {
    slot_state state;
    time_t started, restart_due;
    time_t started_boot, due_boot;  // the same two on the boot clock
    unsigned ends, segv;
    time_t last_end;  // its last end, with how: a signal's number or an exit code
    bool last_signaled;
    int last_code;
};

struct slot_facts {
    const char *base;
    pid_t pid;  // -1 after a start that could not fork
    slot_record record;
};

struct state_facts {
    pid_t pid;
    unsigned long long pid_ns;  // the inode of its pid namespace, 0 if not known
    const char *version, *revision;
    time_t started, build_since, updated;
    time_t started_boot, build_since_boot;  // the same two on the boot clock
    const char *zone;    // the supervisor's TZ, null for the system's zone
    bool data_space;     // its cycle boots from ./data/
    bool record_set_aside;  // a record it could not remove is ignored from now on
    unsigned upgrades_installed, upgrades_failed, reloads_failed;
    time_t stopped_at;   // 0 while it runs
    const char *stopped_why;
    int slot_count;
    slot_facts slots[STATE_SLOTS];
};

// Reads members of a JSON object as the state's numbers are read: a member
// that is missing, null where that is not allowed, or no whole number within
// [lo, hi] reads as `fallback` and clears `ok`, for good.
struct json_reader {
    bool ok = true;
    template <typename T>
    T number(const cJSON *o, const char *name, double lo, double hi, T fallback, bool nullable = false) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
        if (cJSON_IsNumber(item) && item->valuedouble >= lo && item->valuedouble <= hi &&
            std::trunc(item->valuedouble) == item->valuedouble)
            return static_cast<T>(item->valuedouble);
        ok = ok && nullable && cJSON_IsNull(item);
        return fallback;
    }
    time_t time(const cJSON *o, const char *name) { return number<time_t>(o, name, 1, 1e11, 0, true); }
    const char *text(const cJSON *o, const char *name);
};

// Adds members to a JSON object as the state is written. cJSON leaves out a
// member it cannot allocate, silently: `ok` is cleared for good at the first
// one left out, so that a tree with a hole is never written as a whole one.
struct json_writer {
    bool ok = true;
    void number(cJSON *o, const char *name, double value) { added(cJSON_AddNumberToObject(o, name, value)); }
    void text(cJSON *o, const char *name, const char *text);  // null: a null member
    void time(cJSON *o, const char *name, time_t t);          // 0: a null member
    void flag(cJSON *o, const char *name, bool value) { added(cJSON_AddBoolToObject(o, name, value)); }
    // Takes `value` (null for one that could not be made); no name: an array's element.
    cJSON *item(cJSON *o, const char *name, cJSON *value);
    cJSON *added(cJSON *member) {
        ok = ok && member != nullptr;
        return member;
    }
};

// The inode of this process's pid namespace, 0 if it cannot be read.
unsigned long long own_pid_namespace();

// The state as a JSON object (the caller owns it), and as a whole file; null
// when memory ran out for a part of it.
cJSON *state_json(const state_facts &facts);
cjson_text state_text(const state_facts &facts);

// Reads the object `o` into `facts`, whose texts then point into it. False
// when a member is missing or out of range; the other members are read.
bool state_from_json(const cJSON *o, state_facts &facts);

// Reads the file `text` of `len` bytes: false for one cut short or no state.
bool state_read(const char *text, size_t len, state_facts &facts, cjson_tree &tree);

// Reads the state file open at `fd` as state_read does.
bool state_read_file(int fd, state_facts &facts, cjson_tree &tree);
