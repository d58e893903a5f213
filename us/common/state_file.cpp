#include "state_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char *const state_names[] = {"starting", "running", "waiting"};
constexpr size_t header_max = 48;
constexpr double max_pid = 1 << 22;

uint64_t fnv1a(const char *data, size_t len) {
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < len; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash;
}

cJSON *slot_json(const slot_facts &f, json_writer &w) {
    const slot_record &s = f.record;
    cJSON *o = w.added(cJSON_CreateObject());
    w.text(o, "base", f.base);
    w.number(o, "pid", f.pid);
    w.text(o, "state", state_names[s.state]);
    w.time(o, "started", s.started);
    w.time(o, "started_boot", s.started_boot);
    w.number(o, "ends", s.ends);
    w.number(o, "segv", s.segv);
    cJSON *end = w.item(o, "last_end", s.last_end > 0 ? cJSON_CreateObject() : cJSON_CreateNull());
    if (s.last_end > 0) {
        w.time(end, "time", s.last_end);
        w.number(end, s.last_signaled ? "signal" : "exit_code", s.last_code);
    }
    w.time(o, "restart_due", s.state == SLOT_WAITING ? s.restart_due : 0);
    w.time(o, "restart_due_boot", s.state == SLOT_WAITING ? s.due_boot : 0);
    return o;
}

void read_slot(json_reader &r, const cJSON *o, slot_facts &f) {
    slot_record &s = f.record;
    f.base = r.text(o, "base");
    f.pid = r.number<pid_t>(o, "pid", -1, max_pid, 0);
    const char *state = r.text(o, "state");
    const auto *found = std::find_if(state_names, state_names + 3, [&](const char *n) { return state && !strcmp(state, n); });
    r.ok = r.ok && found != state_names + 3;
    s.state = static_cast<slot_state>(found == state_names + 3 ? 0 : found - state_names);
    s.started = r.time(o, "started");
    s.restart_due = r.time(o, "restart_due");
    json_reader optional;  // what older supervisors did not publish
    s.started_boot = optional.time(o, "started_boot");
    s.due_boot = optional.time(o, "restart_due_boot");
    s.ends = r.number<unsigned>(o, "ends", 0, UINT_MAX, 0);
    s.segv = r.number<unsigned>(o, "segv", 0, UINT_MAX, 0);
    const cJSON *end = cJSON_GetObjectItemCaseSensitive(o, "last_end");
    if (!cJSON_IsObject(end)) return void(r.ok = r.ok && cJSON_IsNull(end));
    s.last_end = r.time(end, "time");
    s.last_signaled = cJSON_HasObjectItem(end, "signal");
    s.last_code = s.last_signaled ? r.number<int>(end, "signal", 1, 64, 0) : r.number<int>(end, "exit_code", 0, 255, 0);
}

}  // namespace

void json_writer::text(cJSON *o, const char *name, const char *text) {
    added(text != nullptr ? cJSON_AddStringToObject(o, name, text) : cJSON_AddNullToObject(o, name));
}

void json_writer::time(cJSON *o, const char *name, time_t t) {
    added(t > 0 ? cJSON_AddNumberToObject(o, name, static_cast<double>(t)) : cJSON_AddNullToObject(o, name));
}

cJSON *json_writer::item(cJSON *o, const char *name, cJSON *value) {
    if (name != nullptr ? cJSON_AddItemToObject(o, name, value) : cJSON_AddItemToArray(o, value)) return value;
    cJSON_Delete(value);
    return added(nullptr);
}

const char *json_reader::text(const cJSON *o, const char *name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    ok = ok && (cJSON_IsString(item) || cJSON_IsNull(item));
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

std::string_view base_name(const char *path) {
    std::string_view name(path);
    while (name.size() > 1 && name.ends_with('/')) name.remove_suffix(1);
    name.remove_prefix(name.rfind('/') + 1);  // npos + 1 is 0
    return name;
}

bool named_like_supervisor(const char *base, const char *argv0) {
    const std::string_view name = base_name(base);
    return name == "watch_daemon" || (argv0 != nullptr && name == base_name(argv0));
}

bool supervisor_file(const char *argv0, const char *suffix, char *path, size_t size) {
    const std::string_view name = base_name(argv0);
    const int n = snprintf(path, size, "./tmp/%.*s%s", static_cast<int>(name.size()), name.data(), suffix);
    return n > 0 && static_cast<size_t>(n) < size;
}

time_t boot_clock_s() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

unsigned long long own_pid_namespace() {
    struct stat st {};
    return stat("/proc/self/ns/pid", &st) == 0 ? st.st_ino : 0;
}

cJSON *state_json(const state_facts &f) {
    json_writer w;
    cjson_tree root(w.added(cJSON_CreateObject()));
    cJSON *o = root.get();
    w.number(o, "pid", f.pid);
    w.number(o, "pid_ns", static_cast<double>(f.pid_ns));
    w.text(o, "version", f.version);
    w.text(o, "revision", f.revision);
    w.time(o, "started", f.started);
    w.time(o, "started_boot", f.started_boot);
    w.time(o, "build_since", f.build_since);
    w.time(o, "build_since_boot", f.build_since_boot);
    w.time(o, "updated", f.updated);
    w.text(o, "tz", f.zone);
    w.text(o, "boot_space", f.data_space ? "data" : "system");
    w.flag(o, "record_set_aside", f.record_set_aside);
    w.number(o, "upgrades_installed", f.upgrades_installed);
    w.number(o, "upgrades_failed", f.upgrades_failed);
    w.number(o, "reloads_failed", f.reloads_failed);
    cJSON *stopped = w.item(o, "stopped", f.stopped_at > 0 ? cJSON_CreateObject() : cJSON_CreateNull());
    if (f.stopped_at > 0) {
        w.text(stopped, "why", f.stopped_why);
        w.time(stopped, "time", f.stopped_at);
    }
    cJSON *slots = w.item(o, "slots", cJSON_CreateArray());
    for (int i = 0; i < f.slot_count; ++i) w.item(slots, nullptr, slot_json(f.slots[i], w));
    return w.ok ? root.release() : nullptr;
}

cjson_text state_text(const state_facts &facts) {
    const cjson_tree root(state_json(facts));
    const cjson_text body(cJSON_PrintUnformatted(root.get()));
    const size_t len = body ? strlen(body.get()) : 0;
    char *file = body ? static_cast<char *>(cJSON_malloc(len + header_max)) : nullptr;
    if (file == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const int n = snprintf(file, header_max, "%zu %016" PRIx64 "\n", len, fnv1a(body.get(), len));
    memcpy(file + n, body.get(), len + 1);
    return cjson_text(file);
}

bool state_from_json(const cJSON *o, state_facts &f) {
    json_reader r;
    f = {};
    f.pid = r.number<pid_t>(o, "pid", 1, max_pid, 0);
    json_reader optional;  // what older supervisors did not publish
    f.pid_ns = optional.number<unsigned long long>(o, "pid_ns", 0, 1e15, 0);
    f.version = r.text(o, "version");
    f.revision = r.text(o, "revision");
    f.started = r.time(o, "started");
    f.started_boot = optional.time(o, "started_boot");
    f.build_since = r.time(o, "build_since");
    f.build_since_boot = optional.time(o, "build_since_boot");
    f.updated = r.time(o, "updated");
    f.zone = r.text(o, "tz");
    const char *space = r.text(o, "boot_space");
    f.data_space = space != nullptr && strcmp(space, "data") == 0;
    f.record_set_aside = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(o, "record_set_aside"));
    f.upgrades_installed = r.number<unsigned>(o, "upgrades_installed", 0, UINT_MAX, 0);
    f.upgrades_failed = r.number<unsigned>(o, "upgrades_failed", 0, UINT_MAX, 0);
    f.reloads_failed = r.number<unsigned>(o, "reloads_failed", 0, UINT_MAX, 0);
    const cJSON *stopped = cJSON_GetObjectItemCaseSensitive(o, "stopped");
    f.stopped_why = cJSON_IsObject(stopped) ? r.text(stopped, "why") : nullptr;
    f.stopped_at = cJSON_IsObject(stopped) ? r.time(stopped, "time") : 0;
    const cJSON *slots = cJSON_GetObjectItemCaseSensitive(o, "slots");
    f.slot_count = std::min(cJSON_GetArraySize(slots), STATE_SLOTS);
    r.ok = r.ok && cJSON_IsObject(o) && cJSON_IsArray(slots) && cJSON_GetArraySize(slots) <= STATE_SLOTS;
    for (int i = 0; i < f.slot_count; ++i) read_slot(r, cJSON_GetArrayItem(slots, i), f.slots[i]);
    return r.ok;
}

bool state_read(const char *file, size_t len, state_facts &f, cjson_tree &tree) {
    const char *newline = static_cast<const char *>(memchr(file, '\n', std::min(len, header_max)));
    size_t size = 0;
    uint64_t hash = 0;
    if (newline == nullptr || sscanf(file, "%zu %16" SCNx64, &size, &hash) != 2) return false;
    const char *body = newline + 1;
    if (size > len - static_cast<size_t>(body - file) || fnv1a(body, size) != hash) return false;
    tree.reset(cJSON_ParseWithLength(body, size));
    if (!cJSON_IsObject(tree.get())) return false;
    state_from_json(tree.get(), f);  // what it holds, whatever it lacks
    return true;
}

bool state_read_file(int fd, state_facts &facts, cjson_tree &tree) {
    size_t len = 0;
    const heap_text text = read_capped(fd, 1 << 20, &len);
    return text && state_read(text.get(), len, facts, tree);
}
