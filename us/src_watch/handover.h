// Replacing the supervisor's own binary under running programs (SIGUSR2):
// the running image executes the install directory's watch_daemon in place,
// handing its state, its locks and its children to the new image, which
// goes on where the old one stood.
#pragma once

#include "watch_daemon.h"

// What main knows of its own build, kept for the rest: the arguments to
// execute a new image with, the build's version ("3.9.47" or "3.9.47+SRC",
// from DPI_PKG_VERSION and DPI_SRC_VER), and the format of the state it
// hands over.
void remember_build(char **argv, const char *version, unsigned format);
const char *build_version();
unsigned handover_format();

// In the running image, at a point where nothing is under way: executes the
// new binary in place of this one. Returns only when that could not be done
// (missing, not executable, not a program that runs here), having said why.
void reexec_self(watch_daemon_t *daemon);

enum class taken_over {
    nothing,     // no re-execution: a fresh start
    everything,  // the state, the locks and the programs: go on where the old image stood
    locks,       // only the locks: the old programs were ended, start afresh
};

// In a new image, before anything else: takes over what a re-execution handed
// down, if any, and closes the hand-over channel.
taken_over take_over(watch_daemon_t *daemon);

// Closes every descriptor from 3 up but the two locks.
void close_fds_but_locks(const watch_daemon_t *daemon);

// The locks handed down, close-on-exec again: no program may inherit them.
void lock_fds_stay_ours(const watch_daemon_t *daemon);
