// Words and escapes that the three views of watch_status share.
#pragma once

#include <ctime>
#include <string>

#include "status.h"

// For the text view: one line per row, whatever the bytes (\xHH escapes).
std::string printable(const std::string &s);

// For JSON: valid UTF-8 (cJSON escapes the controls); bad bytes become U+FFFD.
std::string utf8(const std::string &s);

// For Prometheus labels: valid UTF-8 that keeps distinct names distinct
// (bad bytes, controls and the backslash become \xHH), then quoted.
std::string label_value(const std::string &s);

// Why the next cycle takes its boot space.
std::string reason_text(const install_status &s);
// The one name of each boot space, in every view: "data" or "system".
const char *space_name(bool data);
// "3.9.47-2 (g0123456789)": the package version and the source revision.
std::string version_text(const supervisor_status &sup);
std::string end_text(const program_end &e);
std::string duration_text(long seconds);
std::string padded(const std::string &s, size_t width);

// "2026-12-08 11:12:33" in the reader's local time, "-" for -1.
std::string local_time_text(time_t t);
// "2026-12-08T11:12:33Z".
std::string iso_utc(time_t t);
