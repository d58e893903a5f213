#include "handover.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "build_info.h"
#include "console.h"

namespace {

constexpr double max_ms = 1e15;

// The published state of the slots and the supervisor back into `d`.
bool take_state(const cJSON *o, watch_daemon_t &d) {
    state_facts f{};
    bool ok = state_from_json(cJSON_GetObjectItemCaseSensitive(o, "state"), f) && f.slot_count >= 1;
    d.sub_cnt = f.slot_count;
    for (int i = 0; i < d.sub_cnt; ++i) {
        const slot_facts &s = f.slots[i];
        exec_pid_t &slot = d.pids[i];
        ok = ok && s.base != nullptr && strlen(s.base) < PATH_BUF;
        snprintf(slot.base.data(), PATH_BUF, "%s", s.base != nullptr ? s.base : "");
        slot.pid = s.pid, slot.published = s.record;
    }
    d.boot_space = f.data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
    d.started = f.started;
    d.started_boot = f.started_boot;
    d.upgrades_installed = f.upgrades_installed, d.upgrades_failed = f.upgrades_failed;
    d.reloads_failed = f.reloads_failed;
    return ok;
}

// What a build of any format takes over, as far as it is there: the open-file
// limit the programs get, and the records that wait for room.
void take_carried(const cJSON *o, watch_daemon_t &d) {
    json_reader optional;  // members that builds before had not
    const long long nofile = optional.number<long long>(o, "nofile_soft", -1, max_ms, 0);  // -1: no limit
    d.nofile_soft = nofile < 0 ? RLIM_INFINITY : static_cast<rlim_t>(nofile);  // 0: not known
    const char *unrecorded = optional.text(o, "unrecorded");
    const unsigned dropped = records_waiting_take(unrecorded != nullptr ? unrecorded : "");
    d.ends_lost = optional.number<unsigned>(o, "ends_lost", 0, UINT_MAX - dropped, 0) + dropped;
    console_add_dropped(optional.number<unsigned>(o, "console_dropped", 0, UINT_MAX, 0));
}

// What the state file does not publish.
bool take_rest(const cJSON *o, watch_daemon_t &d) {
    json_reader r;
    d.verbose = r.number<int>(o, "verbose", 0, 1, 0);
    d.segv_cnt = r.number<unsigned>(o, "segv_cnt", 0, UINT_MAX, 0);
    d.bootchk_set_aside = r.number<int>(o, "bootchk_set_aside", 0, 1, 0);
    d.cycle_reason = r.number<int>(o, "cycle_reason", 0, 255, 0);
    d.cycle_started_ms = r.number<long long>(o, "cycle_started_ms", 0, max_ms, 0);
    r.number<long long>(o, "nofile_soft", -1, max_ms, 0);  // taken by take_carried
    const cJSON *unreaped = cJSON_GetObjectItemCaseSensitive(o, "unreaped");
    r.ok = r.ok && cJSON_GetArraySize(unreaped) == d.sub_cnt;
    for (int i = 0; i < d.sub_cnt; ++i) d.pids[i].unreaped = cJSON_IsTrue(cJSON_GetArrayItem(unreaped, i)) && d.pids[i].pid > 0;
    const cJSON *pending = cJSON_GetObjectItemCaseSensitive(o, "pending");
    d.pending.active = r.number<int>(pending, "active", 0, 1, 0);
    d.pending.slot = r.number<int>(pending, "slot", 0, d.sub_cnt - 1, 0);
    d.pending.code = r.number<int>(pending, "code", 0, 255, 0);
    d.pending.due_ms = r.number<long long>(pending, "due_ms", 0, max_ms, 0);
    return r.ok;
}

// A memfd is a file: the file-size limit the supervisor runs under, there for
// the run file, would refuse a hand-over longer than it, and the reload with
// it. The limit is lifted for the write, past its hard limit where we may,
// and put back before the exec.
bool write_unlimited(int fd, const char *text) {
    rlimit kept{};
    const bool limited = getrlimit(RLIMIT_FSIZE, &kept) == 0;
    const rlimit none{RLIM_INFINITY, RLIM_INFINITY}, to_hard{kept.rlim_max, kept.rlim_max};
    if (limited && setrlimit(RLIMIT_FSIZE, &none) != 0) setrlimit(RLIMIT_FSIZE, &to_hard);
    const bool ok = write_all(fd, text, strlen(text));
    const int err = errno;
    if (limited) setrlimit(RLIMIT_FSIZE, &kept);
    errno = err;
    return ok;
}

}  // namespace

unique_fd handover_write(const watch_daemon_t &d) {
    json_writer w;  // a hand-over with a hole would lose what it left out
    const cjson_tree root(w.added(cJSON_CreateObject()));
    cJSON *o = root.get();
    w.number(o, "format", WATCH_HANDOVER_FORMAT);
    w.text(o, "version", WATCH_VERSION);
    w.number(o, "run_fd", d.run_fd);
    w.number(o, "dir_fd", d.dir_fd);
    w.item(o, "state", state_json(state_of(&d)));
    w.number(o, "verbose", d.verbose);
    w.number(o, "segv_cnt", d.segv_cnt);
    w.number(o, "bootchk_set_aside", d.bootchk_set_aside);
    w.number(o, "cycle_reason", d.cycle_reason);
    w.number(o, "cycle_started_ms", static_cast<double>(d.cycle_started_ms));
    w.number(o, "nofile_soft", d.nofile_soft == RLIM_INFINITY ? -1.0 : static_cast<double>(d.nofile_soft));
    const std::string_view waiting = records_waiting();
    const heap_text unrecorded(strndup(waiting.data(), waiting.size()));
    if (!unrecorded) return unique_fd();  // errno says why; the records wait on here
    w.text(o, "unrecorded", unrecorded.get());
    w.number(o, "ends_lost", d.ends_lost);
    w.number(o, "console_dropped", console_dropped());
    cJSON *unreaped = w.item(o, "unreaped", cJSON_CreateArray());
    for (int i = 0; i < d.sub_cnt; ++i) w.item(unreaped, nullptr, cJSON_CreateBool(d.pids[i].unreaped));
    cJSON *pending = w.item(o, "pending", cJSON_CreateObject());
    w.number(pending, "active", d.pending.active);
    w.number(pending, "slot", d.pending.slot);
    w.number(pending, "code", d.pending.code);
    w.number(pending, "due_ms", static_cast<double>(d.pending.due_ms));
    const cjson_text text(w.ok ? cJSON_PrintUnformatted(o) : nullptr);
    // No close-on-exec: this descriptor is the one thing meant to cross.
    unique_fd channel(memfd_create("watch_daemon-handover", 0));
    if (!text) errno = ENOMEM;
    if (!text || !channel.valid() || !write_unlimited(channel.get(), text.get()) ||
        lseek(channel.get(), 0, SEEK_SET) != 0)
        return unique_fd();
    return channel;
}

bool handover_read(const char *text, size_t len, handover_envelope &env, watch_daemon_t &daemon, bool &state_ok) {
    const cjson_tree root(cJSON_ParseWithLength(text, len));
    json_reader r;
    env.format = r.number<unsigned>(root.get(), "format", 0, UINT_MAX, 0);
    env.run_fd = r.number<int>(root.get(), "run_fd", STDERR_FILENO + 1, INT_MAX, -1);
    env.dir_fd = r.number<int>(root.get(), "dir_fd", STDERR_FILENO + 1, INT_MAX, -1);
    const char *version = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(root.get(), "version"));
    snprintf(env.version, sizeof env.version, "%s", version != nullptr ? version : "?");
    if (!r.ok || env.run_fd == env.dir_fd) return false;
    // The programs are read whatever the format: a build that cannot take
    // the rest still knows what ran, and what waits to be recorded.
    const bool names_ok = take_state(root.get(), daemon);
    if (!names_ok) daemon.sub_cnt = 0;
    take_carried(root.get(), daemon);
    state_ok = env.format == WATCH_HANDOVER_FORMAT && names_ok && take_rest(root.get(), daemon);
    return true;
}
