// The boot-check record ./data//.bootchk: which upgrades are installed in
// ./data/, and so whether the programs boot from there. Read by the
// supervisor at every cycle and by watch_status, which changes nothing.
#pragma once

#include <cstddef>

#include "libutil/cJSON.h"

// "%s/%s" of the data directory and the record's name, as every path there.
extern const char BOOTCHK_PATH[];
inline constexpr size_t BOOTCHK_MAX = 64 << 10;  // far above any real record

enum class boot_reason { no_record, no_version, too_old, no_plugindata, data_space };

// The record if it is a regular file of at most BOOTCHK_MAX bytes beginning
// with JSON; `refused`, if given, is the errno of one that fails those rules,
// or that could not be read or parsed for want of memory.
cJSON *bootchk_load(int *refused = nullptr);

// What the record decides, without touching the disk.
boot_reason bootchk_judge(const cJSON *record);

// The dotted-version order: each of four components packed into one byte of
// an unsigned 32-bit value, the first in the highest.
int version_cmp(const char *v1, const char *v2);
unsigned int ip_int(const char *v);
unsigned int ip_one(char *s, char **save, int shift);  // one component, in its byte
