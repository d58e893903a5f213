#include "state_file.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char *const state_names[] = {"starting", "running", "waiting"};
constexpr size_t header_max = 48;

uint64_t fnv1a(const char *data, size_t len) {
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < len; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash;
}

void add_time(cJSON *o, const char *name, time_t t) {
    t > 0 ? cJSON_AddNumberToObject(o, name, static_cast<double>(t)) : cJSON_AddNullToObject(o, name);
}

cJSON *slot_json(const slot_facts &s) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "base", s.base);
    cJSON_AddNumberToObject(o, "pid", s.pid);
    cJSON_AddStringToObject(o, "state", state_names[s.state]);
    add_time(o, "started", s.started);
    cJSON_AddNumberToObject(o, "ends", s.ends);
    cJSON_AddNumberToObject(o, "segv", s.segv);
    if (s.last_end > 0) {
        cJSON *end = cJSON_AddObjectToObject(o, "last_end");
        add_time(end, "time", s.last_end);
        cJSON_AddNumberToObject(end, s.last_signaled ? "signal" : "exit_code", s.last_code);
    } else {
        cJSON_AddNullToObject(o, "last_end");
    }
    add_time(o, "restart_due", s.state == SLOT_WAITING ? s.restart_due : 0);
    return o;
}

// A member's number if it is a whole number within [lo, hi], else `fallback`.
template <typename T>
T number(const cJSON *o, const char *name, double lo, double hi, T fallback) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    if (!cJSON_IsNumber(item) || item->valuedouble < lo || item->valuedouble > hi) return fallback;
    return static_cast<T>(item->valuedouble);
}

constexpr double max_time = 1e11, max_pid = 1 << 22;

time_t when(const cJSON *o, const char *name) { return number<time_t>(o, name, 1, max_time, 0); }

const char *text(const cJSON *o, const char *name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

void read_slot(const cJSON *o, slot_facts &s) {
    s.base = text(o, "base");
    s.pid = number<pid_t>(o, "pid", 0, max_pid, 0);
    s.state = SLOT_STARTING;
    const char *state = text(o, "state");
    for (int i = 0; state != nullptr && i < 3; ++i)
        if (strcmp(state, state_names[i]) == 0) s.state = static_cast<slot_state>(i);
    s.started = when(o, "started");
    s.restart_due = when(o, "restart_due");
    s.ends = number<unsigned>(o, "ends", 0, UINT_MAX, 0);
    s.segv = number<unsigned>(o, "segv", 0, UINT_MAX, 0);
    const cJSON *end = cJSON_GetObjectItemCaseSensitive(o, "last_end");
    s.last_end = when(end, "time");
    s.last_signaled = cJSON_HasObjectItem(end, "signal");
    s.last_code = s.last_signaled ? number<int>(end, "signal", 1, 64, 0) : number<int>(end, "exit_code", 0, 255, 0);
}

}  // namespace

bool supervisor_file(const char *argv0, const char *suffix, char *path, size_t size) {
    // basename(): what follows the last slash, trailing slashes aside.
    size_t end = strlen(argv0);
    while (end > 1 && argv0[end - 1] == '/') --end;
    size_t start = end;
    while (start > 0 && argv0[start - 1] != '/') --start;
    const int n = snprintf(path, size, "./tmp/%.*s%s", static_cast<int>(end - start), argv0 + start, suffix);
    return n > 0 && static_cast<size_t>(n) < size;
}

cjson_text state_text(const state_facts &f) {
    const cjson_tree root(cJSON_CreateObject());
    cJSON *o = root.get();
    cJSON_AddNumberToObject(o, "pid", f.pid);
    cJSON_AddStringToObject(o, "version", f.version);
    cJSON_AddStringToObject(o, "revision", f.revision);
    add_time(o, "started", f.started);
    add_time(o, "build_since", f.build_since);
    add_time(o, "updated", f.updated);
    f.has_utc_offset ? cJSON_AddNumberToObject(o, "utc_offset", f.utc_offset) : cJSON_AddNullToObject(o, "utc_offset");
    f.zone != nullptr ? cJSON_AddStringToObject(o, "tz", f.zone) : cJSON_AddNullToObject(o, "tz");
    cJSON_AddStringToObject(o, "boot_space", f.data_space ? "data" : "system");
    cJSON_AddNumberToObject(o, "upgrades_installed", f.upgrades_installed);
    cJSON_AddNumberToObject(o, "upgrades_failed", f.upgrades_failed);
    cJSON_AddNumberToObject(o, "reloads_failed", f.reloads_failed);
    if (f.stopped_at > 0) {
        cJSON *stopped = cJSON_AddObjectToObject(o, "stopped");
        cJSON_AddStringToObject(stopped, "why", f.stopped_why);
        add_time(stopped, "time", f.stopped_at);
    } else {
        cJSON_AddNullToObject(o, "stopped");
    }
    cJSON *slots = cJSON_AddArrayToObject(o, "slots");
    for (int i = 0; i < f.slot_count; ++i) cJSON_AddItemToArray(slots, slot_json(f.slots[i]));
    const cjson_text body(cJSON_PrintUnformatted(o));
    if (!body) return nullptr;
    const size_t len = strlen(body.get());
    char *file = static_cast<char *>(cJSON_malloc(len + header_max));
    if (file == nullptr) return nullptr;
    const int n = snprintf(file, header_max, "%zu %016" PRIx64 "\n", len, fnv1a(body.get(), len));
    memcpy(file + n, body.get(), len + 1);
    return cjson_text(file);
}

size_t state_size(const char *head, size_t len) {
    size_t size = 0;
    const char *newline = static_cast<const char *>(memchr(head, '\n', std::min(len, header_max)));
    if (newline == nullptr || sscanf(head, "%zu", &size) != 1) return 0;
    return static_cast<size_t>(newline + 1 - head) + size;
}

bool state_read(const char *file, size_t len, state_facts &f, cjson_tree &tree) {
    const char *newline = static_cast<const char *>(memchr(file, '\n', std::min(len, header_max)));
    size_t size = 0;
    uint64_t hash = 0;
    if (newline == nullptr || sscanf(file, "%zu %16" SCNx64, &size, &hash) != 2) return false;
    const char *body = newline + 1;
    if (size > len - static_cast<size_t>(body - file) || fnv1a(body, size) != hash) return false;
    tree.reset(cJSON_ParseWithLength(body, size));
    const cJSON *o = tree.get();
    if (!cJSON_IsObject(o)) return false;
    f = {};
    f.pid = number<pid_t>(o, "pid", 1, max_pid, 0);
    f.version = text(o, "version");
    f.revision = text(o, "revision");
    f.started = when(o, "started");
    f.build_since = when(o, "build_since");
    f.updated = when(o, "updated");
    f.has_utc_offset = cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(o, "utc_offset"));
    f.utc_offset = number<long>(o, "utc_offset", -86400, 86400, 0);
    f.zone = text(o, "tz");
    f.data_space = text(o, "boot_space") != nullptr && strcmp(text(o, "boot_space"), "data") == 0;
    f.upgrades_installed = number<unsigned>(o, "upgrades_installed", 0, UINT_MAX, 0);
    f.upgrades_failed = number<unsigned>(o, "upgrades_failed", 0, UINT_MAX, 0);
    f.reloads_failed = number<unsigned>(o, "reloads_failed", 0, UINT_MAX, 0);
    const cJSON *stopped = cJSON_GetObjectItemCaseSensitive(o, "stopped");
    f.stopped_why = text(stopped, "why");
    f.stopped_at = cJSON_IsObject(stopped) ? when(stopped, "time") : 0;
    const cJSON *slots = cJSON_GetObjectItemCaseSensitive(o, "slots");
    f.slot_count = std::min(cJSON_GetArraySize(slots), STATE_SLOTS);
    for (int i = 0; i < f.slot_count; ++i) read_slot(cJSON_GetArrayItem(slots, i), f.slots[i]);
    return true;
}
