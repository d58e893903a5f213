// Replacing the supervisor's own binary under running programs (SIGUSR2):
// the running image executes the install directory's watch_daemon in place,
// handing its state, its locks and its children to the new image, which
// goes on where the old one stood.
#pragma once

#include "watch_daemon.h"

// In the running image, at a point where nothing is under way: executes the
// new binary in place of this one. Returns only when that could not be done
// (missing, not executable, not a program that runs here), having said why.
void reexec_self(watch_daemon_t *daemon);

enum class taken_over {
    nothing,     // no hand-over: a fresh start
    refused,     // a hand-over that is not this install directory's: a fresh start
    locks,       // only the locks: the old programs were ended, start afresh
    everything,  // the state, the locks and the programs: go on where the old image stood
};

// In a new image, before anything else: takes over what a re-execution handed
// down, if any, and closes the hand-over channel.
taken_over take_over(watch_daemon_t *daemon);

// Closes every descriptor from 3 up but the two locks, if held yet (-1 is
// none), and keeps those from being inherited by any program.
void keep_only_locks(const watch_daemon_t *daemon);
