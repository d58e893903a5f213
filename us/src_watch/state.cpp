#include "state.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "build_info.h"
#include "fs.h"
#include "handover.h"

namespace {

const char *const slot_state_names[] = {"starting", "running", "waiting"};

int slots_in_use(const watch_daemon_t *daemon) {
    return daemon->sub_cnt < MAX_SUB_PROCESS ? daemon->sub_cnt : MAX_SUB_PROCESS;
}

// Times are Unix seconds, or null for "not yet".
void add_time(cJSON *o, const char *name, time_t t) {
    if (t > 0)
        cJSON_AddNumberToObject(o, name, static_cast<double>(t));
    else
        cJSON_AddNullToObject(o, name);
}

cJSON *slot_json(const exec_pid_t &slot) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "base", slot.base.data());
    cJSON_AddNumberToObject(o, "pid", slot.pid);
    cJSON_AddStringToObject(o, "state", slot_state_names[slot.state]);
    add_time(o, "started", slot.started);
    cJSON_AddNumberToObject(o, "ends", slot.ends);
    cJSON_AddNumberToObject(o, "segv", slot.segv_ends);
    if (slot.last_end > 0) {
        cJSON *end = cJSON_AddObjectToObject(o, "last_end");
        add_time(end, "time", slot.last_end);
        cJSON_AddNumberToObject(end, slot.last_signaled ? "signal" : "exit_code", slot.last_code);
    } else {
        cJSON_AddNullToObject(o, "last_end");
    }
    add_time(o, "restart_due", slot.state == SLOT_WAITING ? slot.restart_due : 0);
    return o;
}

// The reader needs the offset to read the run file's time stamps, which are
// local time without a zone.
long utc_offset(time_t now) {
    struct tm local {};
    return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

cJSON *state_json(const watch_daemon_t *daemon, time_t now) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "pid", getpid());
    cJSON_AddStringToObject(o, "version", build_version());
    add_time(o, "started", daemon->started);
    add_time(o, "build_since", daemon->build_since);
    add_time(o, "updated", now);
    cJSON_AddNumberToObject(o, "utc_offset", static_cast<double>(utc_offset(now)));
    cJSON_AddStringToObject(o, "boot_space", daemon->boot_space == BOOT_SPACE_DATA ? "data" : "system");
    cJSON_AddNumberToObject(o, "upgrades_installed", daemon->upgrades_installed);
    cJSON_AddNumberToObject(o, "upgrades_failed", daemon->upgrades_failed);
    if (daemon->stopped_at > 0) {
        cJSON *stopped = cJSON_AddObjectToObject(o, "stopped");
        cJSON_AddStringToObject(stopped, "why", daemon->stopped_why);
        add_time(stopped, "time", daemon->stopped_at);
    } else {
        cJSON_AddNullToObject(o, "stopped");
    }
    cJSON *slots = cJSON_AddArrayToObject(o, "slots");
    for (int i = 0; i < slots_in_use(daemon); ++i) cJSON_AddItemToArray(slots, slot_json(daemon->pids[i]));
    return o;
}

// A view for readers, not data to survive a power cut: replaced whole by a
// rename, without waiting for the disk.
bool replace_view(const char *path, const char *text) {
    char tmp[PATH_BUF + 32];
    unique_fd fd = create_temp_beside(path, 0644, tmp, sizeof tmp);
    if (!fd.valid()) return false;
    if (write_all(fd.get(), text, strlen(text)) && close(fd.release()) == 0 && rename(tmp, path) == 0)
        return true;
    const int saved = errno;
    unlink(tmp);
    errno = saved;
    return false;
}

// ./tmp/NAME.state beside ./tmp/NAME.run.
void state_path(const watch_daemon_t *daemon, char (&path)[PATH_BUF + 8]) {
    join_bounded(path, sizeof path, {daemon->runfile.data()});
    const size_t len = strlen(path);
    if (len >= 4 && strcmp(path + len - 4, ".run") == 0) path[len - 4] = '\0';
    join_bounded(path + strlen(path), sizeof path - strlen(path), {".state"});
}

// One console line when writing starts to fail, none while it goes on failing.
void publish(watch_daemon_t *daemon) {
    char path[PATH_BUF + 8];
    state_path(daemon, path);
    const cjson_tree tree(state_json(daemon, wall_clock_now()));
    const cjson_text text(tree ? cJSON_PrintUnformatted(tree.get()) : nullptr);
    const bool ok = text && replace_view(path, text.get());
    if (!ok && !daemon->state_unwritten) printf("failed to write %s: %s\n", path, strerror(errno));
    daemon->state_unwritten = !ok;
}

}  // namespace

void state_cycle_started(watch_daemon_t *daemon) {
    for (int i = 0; i < slots_in_use(daemon); ++i) daemon->pids[i].state = SLOT_STARTING;
    publish(daemon);
}

void state_child_started(watch_daemon_t *daemon, int slot) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = s.pid > 0 ? SLOT_RUNNING : SLOT_STARTING;
    s.started = s.pid > 0 ? wall_clock_now() : 0;
    publish(daemon);
}

void state_child_ended(watch_daemon_t *daemon, int slot, int code, int exit_normal) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = SLOT_STARTING;
    s.last_signaled = exit_normal != 1;
    s.last_code = code;
    s.last_end = wall_clock_now();
    ++s.ends;
    if (exit_normal != 1 && code == SIGSEGV) ++s.segv_ends;
    publish(daemon);
}

void state_restart_due(watch_daemon_t *daemon, int slot, int delay_s) {
    exec_pid_t &s = daemon->pids[slot];
    s.state = SLOT_WAITING;
    s.restart_due = wall_clock_now() + delay_s;
    publish(daemon);
}

void state_upgraded(watch_daemon_t *daemon, int, bool installed) {
    if (daemon == nullptr) return;  // an installation outside the loop
    ++(installed ? daemon->upgrades_installed : daemon->upgrades_failed);
    publish(daemon);
}

void state_resumed(watch_daemon_t *daemon) {
    publish(daemon);
}

void state_stopped(watch_daemon_t *daemon, const char *why) {
    daemon->stopped_at = wall_clock_now();
    daemon->stopped_why = why;
    publish(daemon);
}
