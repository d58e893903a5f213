#include "handover.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "build_info.h"
#include "tool.h"

namespace {

constexpr double max_time = 1e11, max_pid = 1 << 22, max_ms = 1e15;

void add(cJSON *o, const char *name, double value) { cJSON_AddNumberToObject(o, name, value); }

cJSON *slot_json(const exec_pid_t &s) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "base", s.base.data());
    add(o, "pid", s.pid);
    add(o, "unreaped", s.unreaped);
    add(o, "state", s.state);
    add(o, "last_signaled", s.last_signaled);
    add(o, "last_code", s.last_code);
    add(o, "ends", s.ends);
    add(o, "segv_ends", s.segv_ends);
    add(o, "started", static_cast<double>(s.started));
    add(o, "last_end", static_cast<double>(s.last_end));
    add(o, "restart_due", static_cast<double>(s.restart_due));
    return o;
}

// Reads member `name` of `o` into `out` if it is a whole number in [lo, hi];
// `ok` turns false, for good, at the first that is not.
struct reader {
    const cJSON *o;
    bool ok = true;
    template <typename T>
    T get(const char *name, double lo, double hi) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
        const bool fits = cJSON_IsNumber(item) && item->valuedouble >= lo && item->valuedouble <= hi &&
                          std::trunc(item->valuedouble) == item->valuedouble;
        ok = ok && fits;
        return fits ? static_cast<T>(item->valuedouble) : T{};
    }
    template <size_t N>
    void text(const char *name, std::array<char, N> &out) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
        const bool fits = cJSON_IsString(item) && strlen(item->valuestring) < N;
        ok = ok && fits;
        if (fits) snprintf(out.data(), N, "%s", item->valuestring);
    }
};

bool read_slot(const cJSON *o, exec_pid_t &s) {
    reader r{o};
    r.text("base", s.base);
    s.pid = r.get<pid_t>("pid", -1, max_pid);
    s.unreaped = r.get<int>("unreaped", 0, 1) && s.pid > 0;
    s.state = static_cast<slot_state>(r.get<int>("state", SLOT_STARTING, SLOT_WAITING));
    s.last_signaled = r.get<int>("last_signaled", 0, 1);
    s.last_code = r.get<int>("last_code", 0, 255);
    s.ends = r.get<unsigned>("ends", 0, UINT_MAX);
    s.segv_ends = r.get<unsigned>("segv_ends", 0, UINT_MAX);
    s.started = r.get<time_t>("started", 0, max_time);
    s.last_end = r.get<time_t>("last_end", 0, max_time);
    s.restart_due = r.get<time_t>("restart_due", 0, max_time);
    return r.ok;
}

bool read_state(const cJSON *o, watch_daemon_t &d, unsigned long &dropped) {
    reader r{o};
    d.verbose = r.get<int>("verbose", 0, 1);
    d.boot_space = r.get<int>("boot_space", BOOT_SPACE_SYS, BOOT_SPACE_DATA);
    d.segv_cnt = r.get<unsigned>("segv_cnt", 0, UINT_MAX);
    d.bootchk_set_aside = r.get<int>("bootchk_set_aside", 0, 1);
    d.cycle_reason = r.get<int>("cycle_reason", 0, 255);
    d.cycle_started_ms = r.get<long long>("cycle_started_ms", 0, max_ms);
    const long long nofile = r.get<long long>("nofile_soft", -1, max_ms);  // -1: no limit
    d.nofile_soft = nofile < 0 ? RLIM_INFINITY : static_cast<rlim_t>(nofile);
    d.started = r.get<time_t>("started", 0, max_time);
    d.upgrades_installed = r.get<unsigned>("upgrades_installed", 0, UINT_MAX);
    d.upgrades_failed = r.get<unsigned>("upgrades_failed", 0, UINT_MAX);
    d.reloads_failed = r.get<unsigned>("reloads_failed", 0, UINT_MAX);
    dropped = r.get<unsigned long>("console_dropped", 0, UINT_MAX);
    const cJSON *slots = cJSON_GetObjectItemCaseSensitive(o, "slots");
    d.sub_cnt = cJSON_GetArraySize(slots);
    bool slots_ok = cJSON_IsArray(slots) && d.sub_cnt >= 1 && d.sub_cnt <= MAX_SUB_PROCESS;
    for (int i = 0; slots_ok && i < d.sub_cnt; ++i) slots_ok = read_slot(cJSON_GetArrayItem(slots, i), d.pids[i]);
    reader p{cJSON_GetObjectItemCaseSensitive(o, "pending")};
    d.pending.active = p.get<int>("active", 0, 1);
    d.pending.slot = p.get<int>("slot", 0, d.sub_cnt - 1);
    d.pending.code = p.get<int>("code", 0, 255);
    d.pending.due_ms = p.get<long long>("due_ms", 0, max_ms);
    return r.ok && p.ok && slots_ok;
}

}  // namespace

unique_fd handover_write(const watch_daemon_t &d, unsigned long console_dropped) {
    const cjson_tree root(cJSON_CreateObject());
    cJSON *o = root.get();
    add(o, "format", WATCH_HANDOVER_FORMAT);
    cJSON_AddStringToObject(o, "version", WATCH_PACKAGE_VERSION);
    add(o, "run_fd", d.run_fd);
    add(o, "dir_fd", d.dir_fd);
    add(o, "verbose", d.verbose);
    add(o, "boot_space", d.boot_space);
    add(o, "segv_cnt", d.segv_cnt);
    add(o, "bootchk_set_aside", d.bootchk_set_aside);
    add(o, "cycle_reason", d.cycle_reason);
    add(o, "cycle_started_ms", static_cast<double>(d.cycle_started_ms));
    add(o, "nofile_soft", d.nofile_soft == RLIM_INFINITY ? -1.0 : static_cast<double>(d.nofile_soft));
    add(o, "started", static_cast<double>(d.started));
    add(o, "upgrades_installed", d.upgrades_installed);
    add(o, "upgrades_failed", d.upgrades_failed);
    add(o, "reloads_failed", d.reloads_failed);
    add(o, "console_dropped", static_cast<double>(console_dropped));
    cJSON *pending = cJSON_AddObjectToObject(o, "pending");
    add(pending, "active", d.pending.active);
    add(pending, "slot", d.pending.slot);
    add(pending, "code", d.pending.code);
    add(pending, "due_ms", static_cast<double>(d.pending.due_ms));
    cJSON *slots = cJSON_AddArrayToObject(o, "slots");
    for (int i = 0; i < d.sub_cnt; ++i) cJSON_AddItemToArray(slots, slot_json(d.pids[i]));
    const cjson_text text(cJSON_PrintUnformatted(o));
    // No close-on-exec: this descriptor is the one thing meant to cross.
    unique_fd channel(memfd_create("watch_daemon-handover", 0));
    if (!text || !channel.valid() || !write_all(channel.get(), text.get(), strlen(text.get())) ||
        lseek(channel.get(), 0, SEEK_SET) != 0)
        return unique_fd();
    return channel;
}

bool handover_read(const char *text, size_t len, handover_envelope &env, watch_daemon_t &daemon,
                   unsigned long &console_dropped, bool &state_ok) {
    const cjson_tree root(cJSON_ParseWithLength(text, len));
    reader r{root.get()};
    env.format = r.get<unsigned>("format", 0, UINT_MAX);
    env.run_fd = r.get<int>("run_fd", STDERR_FILENO + 1, INT_MAX);
    env.dir_fd = r.get<int>("dir_fd", STDERR_FILENO + 1, INT_MAX);
    const char *version = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(root.get(), "version"));
    snprintf(env.version, sizeof env.version, "%s", version != nullptr ? version : "?");
    if (!r.ok || env.run_fd == env.dir_fd) return false;
    state_ok = env.format == WATCH_HANDOVER_FORMAT && read_state(root.get(), daemon, console_dropped);
    return true;
}
