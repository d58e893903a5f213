// The JSON view: times as Unix seconds, each with its ISO 8601 UTC twin.
#include <algorithm>

#include "fs.h"
#include "words.h"

namespace {

// A text, or null when there is none.
void add_text(cJSON *o, const std::string &name, const std::string &text) {
    text.empty() ? cJSON_AddNullToObject(o, name.c_str()) : cJSON_AddStringToObject(o, name.c_str(), utf8(text).c_str());
}

void add_optional(cJSON *o, const char *name, bool present, double value) {
    present ? cJSON_AddNumberToObject(o, name, value) : cJSON_AddNullToObject(o, name);
}

void add_time(cJSON *o, const std::string &name, time_t t) {
    add_optional(o, name.c_str(), t >= 0, static_cast<double>(t));
    add_text(o, name + "_utc", t >= 0 ? iso_utc(t) : "");
}

cJSON *end_json(const program_end &e) {
    cJSON *o = cJSON_CreateObject();
    add_time(o, "time", e.when);
    cJSON_AddStringToObject(o, "program", utf8(e.base).c_str());
    if (e.how == program_end::cut)
        cJSON_AddBoolToObject(o, "cut", true);
    else
        cJSON_AddNumberToObject(o, e.how == program_end::exited ? "exit_code" : "signal", e.value);
    return o;
}

cJSON *program_json(const install_status &s, const program_status &p) {
    cJSON *q = cJSON_CreateObject();
    const bool running = p.state == "running";
    cJSON_AddNumberToObject(q, "slot", p.slot);
    cJSON_AddStringToObject(q, "base", utf8(p.base).c_str());
    cJSON_AddStringToObject(q, "state", p.state.c_str());
    add_optional(q, "pid", p.pid > 0, p.pid);
    add_time(q, "started", running ? p.started : -1);
    add_optional(q, "uptime_s", running && p.started >= 0, static_cast<double>(s.now - p.started));
    cJSON_AddStringToObject(q, "space", space_name(p.from_data));
    add_time(q, "restart_due", p.restart_due);
    add_optional(q, "restart_in_s", p.restart_due >= 0, static_cast<double>(std::max<time_t>(0, p.restart_due - s.now)));
    cJSON_AddBoolToObject(q, "end_pending", p.end_pending);
    cJSON_AddNumberToObject(q, "ends", p.ends);
    cJSON_AddNumberToObject(q, "segv", p.segv);
    cJSON_AddItemToObject(q, "last_end", p.last ? end_json(*p.last) : cJSON_CreateNull());
    return q;
}

cJSON *stopped_json(const supervisor_status &sup) {
    if (sup.pid > 0 || !sup.has_state) return cJSON_CreateNull();
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "why", sup.stopped_why.empty() ? "without notice" : utf8(sup.stopped_why).c_str());
    add_time(o, "time", sup.stopped_why.empty() ? -1 : sup.stopped_at);
    add_time(o, "last_seen", sup.updated);
    return o;
}

cJSON *supervisor_json(const install_status &s, const supervisor_status &sup, size_t history) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "name", utf8(sup.name).c_str());
    cJSON_AddStringToObject(o, "run_file", utf8(sup.run_file).c_str());
    add_optional(o, "pid", sup.pid > 0, sup.pid);
    add_optional(o, "lock_held_by_other", sup.impostor > 0, sup.impostor);
    add_text(o, "version", sup.version);
    add_text(o, "revision", sup.revision);
    add_time(o, "started", sup.pid > 0 ? sup.started : -1);
    add_optional(o, "uptime_s", sup.pid > 0 && sup.started >= 0, static_cast<double>(s.now - sup.started));
    add_time(o, "build_since", sup.pid > 0 ? sup.build_since : -1);
    cJSON_AddItemToObject(o, "stopped", stopped_json(sup));
    add_optional(o, "upgrades_installed", sup.has_state, sup.upgrades_installed);
    add_optional(o, "upgrades_failed", sup.has_state, sup.upgrades_failed);
    add_optional(o, "reloads_failed", sup.has_state, sup.reloads_failed);
    add_text(o, "directory", sup.directory);
    cJSON_AddNumberToObject(o, "unparsed_lines", sup.unparsed);
    cJSON_AddBoolToObject(o, "truncated", sup.truncated);
    cJSON *progs = cJSON_AddArrayToObject(o, "programs");
    for (const auto &p : sup.programs) cJSON_AddItemToArray(progs, program_json(s, p));
    cJSON *ends = cJSON_AddArrayToObject(o, "history");
    for (size_t i = sup.history.size() - std::min(history, sup.history.size()); i < sup.history.size(); ++i)
        cJSON_AddItemToArray(ends, end_json(sup.history[i]));
    return o;
}

}  // namespace

std::string format_status_json(const install_status &s, size_t history) {
    const cjson_tree root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "install_dir", utf8(s.dir).c_str());
    add_time(root.get(), "time", s.now);
    cJSON_AddBoolToObject(root.get(), "running", s.running());
    cJSON_AddBoolToObject(root.get(), "config_ok", s.config_ok);
    add_text(root.get(), "config_error", s.config_error);
    cJSON_AddItemToArray(cJSON_AddArrayToObject(root.get(), "supervisors"), supervisor_json(s, s.sup, history));
    cJSON *boot = cJSON_AddObjectToObject(root.get(), "boot_space");
    cJSON_AddStringToObject(boot, "space", space_name(s.data_space));
    cJSON_AddStringToObject(boot, "reason", reason_text(s).c_str());
    add_text(boot, "version", s.data_version);
    cJSON *notes = cJSON_AddArrayToObject(root.get(), "notes");
    for (const auto &n : s.notes) cJSON_AddItemToArray(notes, cJSON_CreateString(utf8(n).c_str()));
    const cjson_text text(cJSON_Print(root.get()));
    return text ? std::string(text.get()) + "\n" : "{}\n";
}
