// Reading ./tmp/NAME.state, what the supervisor publishes about its slots.
#include "gather.h"

#include <unistd.h>

#include <cerrno>

#include "fs.h"
#include "state.h"

namespace {

constexpr size_t state_cap = 1 << 20;  // a real one is a few KiB at most

// A member's number; `fallback` when it is missing, no number, or beyond
// what the supervisor writes (counts, pids and Unix times all fit in 2^40),
// so that no conversion to an integer below overflows.
double number(const cJSON *o, const char *name, double fallback = -1) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    constexpr double limit = 1099511627776.0;
    return cJSON_IsNumber(item) && item->valuedouble >= -limit && item->valuedouble <= limit ? item->valuedouble
                                                                                            : fallback;
}

std::string text(const cJSON *o, const char *name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

time_t when(const cJSON *o, const char *name) { return static_cast<time_t>(number(o, name)); }

std::optional<program_end> last_end(const cJSON *o, const std::string &base) {
    if (!cJSON_IsObject(o)) return std::nullopt;
    program_end end;
    end.base = base;
    end.when = when(o, "time");
    const bool signaled = cJSON_HasObjectItem(o, "signal");
    end.how = signaled ? program_end::killed : program_end::exited;
    end.value = static_cast<int>(number(o, signaled ? "signal" : "exit_code", 0));
    return end;
}

program_status slot_of(const cJSON *o, int index) {
    program_status p;
    p.slot = index;
    p.base = text(o, "base");
    p.published_pid = static_cast<pid_t>(number(o, "pid", 0));
    p.published_state = text(o, "state");
    p.started = when(o, "started");
    p.ends = static_cast<int>(number(o, "ends", 0));
    p.segv = static_cast<int>(number(o, "segv", 0));
    p.last = last_end(cJSON_GetObjectItemCaseSensitive(o, "last_end"), p.base);
    p.restart_due = when(o, "restart_due");
    return p;
}

void take_state(supervisor_status &sup, const cJSON *root, pid_t &published_pid) {
    published_pid = static_cast<pid_t>(number(root, "pid", 0));
    sup.version = text(root, "version");
    sup.started = when(root, "started");
    sup.build_since = when(root, "build_since");
    sup.updated = when(root, "updated");
    sup.utc_offset = static_cast<long>(number(root, "utc_offset", 0));
    const cJSON *zone = cJSON_GetObjectItemCaseSensitive(root, "tz");
    sup.zone_known = cJSON_IsString(zone) || cJSON_IsNull(zone);
    sup.zone = cJSON_IsString(zone) ? zone->valuestring : "";
    sup.data_space = text(root, "boot_space") == "data";
    sup.upgrades_installed = static_cast<int>(number(root, "upgrades_installed", 0));
    sup.upgrades_failed = static_cast<int>(number(root, "upgrades_failed", 0));
    const cJSON *stopped = cJSON_GetObjectItemCaseSensitive(root, "stopped");
    if (cJSON_IsObject(stopped)) {
        sup.stopped_why = text(stopped, "why");
        sup.stopped_at = when(stopped, "time");
    }
    const cJSON *slots = cJSON_GetObjectItemCaseSensitive(root, "slots");
    for (int i = 0; i < std::min(cJSON_GetArraySize(slots), MAX_SUB_PROCESS); ++i)
        sup.programs.push_back(slot_of(cJSON_GetArrayItem(slots, i), i));
}

}  // namespace

bool read_state(install_status &status, supervisor_status &sup, pid_t &published_pid, std::string &error) {
    const unique_fd fd = open_exposed(sup.state_file.c_str());
    if (!fd.valid()) {
        if (errno == EACCES || errno == EPERM) error = "cannot read " + sup.state_file + ": " + strerror(errno);
        else if (errno != ENOENT) status.notes.push_back(sup.state_file + " is " + refusal_text(errno) + ": skipped");
        return error.empty();
    }
    // Written in place: a read that caught it half-written is read again.
    heap_text data;
    const char *body = nullptr;
    size_t body_len = 0;
    for (int attempt = 0; attempt < 5 && body == nullptr; ++attempt) {
        if (attempt > 0) usleep(2000);
        size_t len = 0;
        data = lseek(fd.get(), 0, SEEK_SET) == 0 ? read_capped(fd.get(), state_cap, &len) : nullptr;
        body = data ? state_body(data.get(), len, &body_len) : nullptr;
    }
    const cjson_tree root(body != nullptr ? cJSON_ParseWithLength(body, body_len) : nullptr);
    if (!cJSON_IsObject(root.get())) {
        status.notes.push_back(sup.state_file + " is " + (data ? "not a state file" : refusal_text(errno)) + ": skipped");
        return true;
    }
    sup.has_state = true;
    take_state(sup, root.get(), published_pid);
    return true;
}
