// The state a re-execution hands from the old image to the new one: JSON in
// a memory file whose descriptor crosses the exec. Every member is named, so
// a changed layout cannot be read as the old one; a build that reads another
// format, or finds any field out of range, takes only the envelope: the
// locks and the children's pids.
#pragma once

#include <cstddef>

#include "fs.h"
#include "watch_daemon.h"

struct handover_envelope {
    unsigned format;
    int run_fd, dir_fd;
    char version[64];  // the old image's build, for its console line
};

// The hand-over of `daemon` in a memory file, read from its start; invalid
// on failure, with errno.
unique_fd handover_write(const watch_daemon_t &daemon);

// Reads a hand-over of `len` bytes. False when it is none (not JSON, or no
// envelope). `daemon` is filled, and `state_ok` set, only when the format
// is this build's and every field is in range.
bool handover_read(const char *text, size_t len, handover_envelope &env, watch_daemon_t &daemon, bool &state_ok);
