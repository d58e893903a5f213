#include "state.h"

void state_cycle_started(watch_daemon_t *) {}
void state_child_started(watch_daemon_t *, int) {}
void state_child_ended(watch_daemon_t *, int, int, int) {}
void state_restart_due(watch_daemon_t *, int, int) {}
void state_upgraded(watch_daemon_t *, int, bool) {}
void state_stopped(watch_daemon_t *, const char *) {}
