// Pieces of gather_status, in files of their own.
#pragma once

#include <cstring>
#include <string>

#include "status.h"

// Reads sup.state_file into `sup` (has_state) and the pid it names. A file
// that is missing, no regular file or no state leaves has_state false (with
// a note for the last two); false, with `error`, when it may not be read.
bool read_state(install_status &status, supervisor_status &sup, pid_t &published_pid, std::string &error);

// Reads sup.run_file: its first line and exit records, with a note for lines
// that are none. Sets has_run_file; false, with `error`, when it may not be read.
bool read_run_file(install_status &status, supervisor_status &sup, const std::vector<std::string> &bases,
                   dev_t &dev, ino_t &ino, std::string &error);
