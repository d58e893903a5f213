// The Prometheus view, for node_exporter's textfile collector: times as Unix
// seconds, and every series unique (a program is named by its slot too, as
// the same base may be configured twice).
#include <sstream>

#include "words.h"

namespace {

struct metric {
    const char *name, *type, *help;
};

enum {
    up, build_info, build_start_time, start_time, stop_time, upgrades_installed, upgrades_failed, reloads_failed, program_up, program_state,
    program_start, program_ends, program_segv, program_exit_code, program_signal, program_last_end,
    program_restart_due, boot_space, data_version, config_ok, report_time, metric_count
};

const metric metrics[metric_count] = {
    {"watch_daemon_up", "gauge", "Whether a supervisor of this install directory holds its lock."},
    {"watch_daemon_build_info", "gauge", "The running supervisor's build."},
    {"watch_daemon_build_start_time_seconds", "gauge", "Since when the running supervisor runs its build (a reload re-executes it)."},
    {"watch_daemon_start_time_seconds", "gauge", "When the running supervisor started."},
    {"watch_daemon_stop_time_seconds", "gauge", "When the supervisor stopped, and why (without notice: when last seen)."},
    {"watch_daemon_upgrades_installed_total", "counter", "Upgrade packages installed since the supervisor started."},
    {"watch_daemon_upgrades_failed_total", "counter", "Upgrade packages that failed to install since the supervisor started."},
    {"watch_daemon_reloads_failed_total", "counter", "Reloads that could not re-execute a new binary since the supervisor started."},
    {"watch_daemon_program_up", "gauge", "Whether the program's process runs (and is not stopped)."},
    {"watch_daemon_program_state", "gauge", "The program's state: running, waiting, starting, stopped or unknown."},
    {"watch_daemon_program_start_time_seconds", "gauge", "When the program's running process started."},
    {"watch_daemon_program_ends_total", "counter", "Ends of the program since the supervisor started."},
    {"watch_daemon_program_segv_total", "counter", "Deaths of the program by SIGSEGV since the supervisor started."},
    {"watch_daemon_program_last_exit_code", "gauge", "The exit code of the program's last end, if it exited."},
    {"watch_daemon_program_last_signal", "gauge", "The signal of the program's last end, if a signal ended it."},
    {"watch_daemon_program_last_end_timestamp_seconds", "gauge", "When the program last ended."},
    {"watch_daemon_program_restart_due_timestamp_seconds", "gauge", "When a waiting program is restarted."},
    {"watch_daemon_boot_space", "gauge", "Whether the programs boot from this space (data or system)."},
    {"watch_daemon_data_version_info", "gauge", "The version the boot-check record of the data space names."},
    {"watch_daemon_config_ok", "gauge", "Whether the config can be loaded."},
    {"watch_daemon_status_time_seconds", "gauge", "When watch_status wrote these metrics."},
};

struct exposition {
    std::ostringstream body[metric_count];
    template <typename V>
    void add(int id, const std::string &labels, V value) {
        body[id] << metrics[id].name << "{" << labels << "} " << value << "\n";
    }
    std::string text() const {
        std::string out;
        for (int i = 0; i < metric_count; ++i)
            if (!body[i].str().empty())
                out += std::string("# HELP ") + metrics[i].name + " " + metrics[i].help + "\n# TYPE " +
                       metrics[i].name + " " + metrics[i].type + "\n" + body[i].str();
        return out;
    }
};

std::string pair(const char *name, const std::string &value) { return std::string(",") + name + "=\"" + label_value(value) + "\""; }

void program_series(exposition &e, const std::string &who, const program_status &p) {
    const std::string l = who + pair("slot", std::to_string(p.slot)) + pair("program", p.base);
    e.add(program_up, l, p.state == "running" && !p.proc.stopped ? 1 : 0);  // a stopped one does no work
    for (const char *state : {"running", "waiting", "starting", "stopped", "unknown"})
        e.add(program_state, l + pair("state", state), p.state == state ? 1 : 0);
    if (p.state == "running" && p.started >= 0) e.add(program_start, l, p.started);
    e.add(program_ends, l, p.ends);
    e.add(program_segv, l, p.segv);
    if (p.last && p.last->how != program_end::cut)
        e.add(p.last->how == program_end::exited ? program_exit_code : program_signal, l, p.last->value);
    if (p.last && p.last->when >= 0) e.add(program_last_end, l, p.last->when);
    if (p.restart_due >= 0) e.add(program_restart_due, l, p.restart_due);
}

void supervisor_series(exposition &e, const std::string &dir, const supervisor_status &sup) {
    const std::string who = dir + pair("supervisor", sup.name);
    e.add(up, who, sup.pid > 0 ? 1 : 0);
    if (sup.pid > 0 && !sup.version.empty())
        e.add(build_info, who + pair("version", sup.version) + pair("revision", sup.revision), 1);
    if (sup.pid > 0 && sup.started >= 0) e.add(start_time, who, sup.started);
    if (sup.pid > 0 && sup.build_since >= 0) e.add(build_start_time, who, sup.build_since);
    if (sup.pid == 0 && sup.has_state) {
        const bool said = !sup.stopped_why.empty();
        e.add(stop_time, who + pair("reason", said ? sup.stopped_why : "without notice"),
              said ? sup.stopped_at : sup.updated);
    }
    if (sup.has_state) {
        e.add(upgrades_installed, who, sup.upgrades_installed);
        e.add(upgrades_failed, who, sup.upgrades_failed);
        e.add(reloads_failed, who, sup.reloads_failed);
    }
    for (const auto &p : sup.programs) program_series(e, who, p);
}

}  // namespace

std::string format_status_prometheus(const install_status &s) {
    exposition e;
    const std::string dir = "install_dir=\"" + label_value(s.dir) + "\"";
    supervisor_series(e, dir, s.sup);
    for (const bool data : {true, false}) e.add(boot_space, dir + pair("space", space_name(data)), s.data_space == data ? 1 : 0);
    if (!s.data_version.empty()) e.add(data_version, dir + pair("version", s.data_version), 1);
    e.add(config_ok, dir, s.config_ok ? 1 : 0);
    e.add(report_time, dir, s.now);
    return e.text();
}
