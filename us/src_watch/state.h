// What watch_status reads about a running supervisor: its slots and what
// happened to them, kept in ./tmp/NAME.state and replaced whole at each
// change (a start, an end, a cycle, an upgrade, the end of the supervisor),
// never on the idle path.
#pragma once

#include "watch_daemon.h"

// The file is written in place, not replaced: a header line "LEN HASH"
// (the body's length, and its FNV-1a hash in hex) comes before the JSON
// body, so that a reader who caught it half-written can tell, and reads
// again. The JSON body of a whole file, or null.
const char *state_body(const char *file, size_t len, size_t *body_len);

void state_cycle_started(watch_daemon_t *daemon);
void state_child_started(watch_daemon_t *daemon, int slot);
void state_child_ended(watch_daemon_t *daemon, int slot, int code, int exit_normal);
void state_restart_due(watch_daemon_t *daemon, int slot, int delay_s);
void state_upgraded(watch_daemon_t *daemon, int ret_code, bool installed);
void state_resumed(watch_daemon_t *daemon);  // a re-executed image took over
void state_stopped(watch_daemon_t *daemon, const char *why);
