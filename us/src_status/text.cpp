// The text view: for an operator at a terminal, times in the reader's zone,
// every field escaped so that each row stays one line.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "words.h"

namespace {

long since(time_t now, time_t t) { return t < 0 ? -1 : std::max(0L, static_cast<long>(now - t)); }

std::string last_end_text(const program_end &e) { return end_text(e) + " at " + local_time_text(e.when); }

void supervisor_lines(std::ostringstream &out, const install_status &s, const supervisor_status &sup) {
    const std::string file = printable(sup.has_run_file || !sup.has_state ? sup.run_file : sup.state_file);
    if (sup.pid > 0)
        out << "supervisor   running, pid " << sup.pid << ", up " << duration_text(since(s.now, sup.started))
            << " since " << local_time_text(sup.started)
            << (sup.version.empty() ? "" : ", version " + printable(version_text(sup)))
            << (sup.build_since > sup.started ? " since " + local_time_text(sup.build_since) + " (reloaded)" : "")
            << " (" << file << ")\n";
    else
        out << "supervisor   not running (" << file << ")\n";
    if (sup.pid == 0 && sup.has_state)
        out << "stopped      "
            << (sup.stopped_why.empty() ? "without notice (a signal, or the machine went down), after " +
                                              local_time_text(sup.updated)
                                        : printable(sup.stopped_why) + ", at " + local_time_text(sup.stopped_at))
            << "\n";
    if (sup.has_state)
        out << "upgrades     " << sup.upgrades_installed << " installed, " << sup.upgrades_failed
            << " failed since the supervisor started; " << sup.reloads_failed << " reloads not done\n";
    // Empty until the first record after a rotation writes the line again.
    if (sup.has_run_file) out << "directory    " << (sup.directory.empty() ? "-" : printable(sup.directory)) << "\n";
}

void program_lines(std::ostringstream &out, const install_status &s, const supervisor_status &sup) {
    size_t width = 7;
    for (const auto &p : sup.programs) width = std::max(width, printable(p.base).size());
    out << "  " << padded("PROGRAM", width) << "  STATE     PID      UPTIME    ENDS  SEGV  LAST END\n";
    for (const auto &p : sup.programs) {
        const std::string pid = p.pid > 0 ? std::to_string(p.pid) : "-";
        const std::string when = p.state == "running" ? duration_text(since(s.now, p.started))
                                 : p.end_pending      ? "pending"
                                 : p.restart_due >= 0 ? "in " + duration_text(std::max(0L, static_cast<long>(p.restart_due - s.now)))
                                                      : "-";
        char counts[32];
        snprintf(counts, sizeof counts, " %5u %5u", p.ends, p.segv);  // apart however many digits
        out << "  " << padded(printable(p.base), width) << "  " << padded(p.state, 8) << "  " << padded(pid, 7) << "  "
            << padded(when, 8) << counts << "  " << (p.last ? last_end_text(*p.last) : "-") << "\n";
    }
}

void history_lines(std::ostringstream &out, const supervisor_status &sup, size_t history) {
    const size_t shown = std::min(history, sup.history.size());
    if (shown > 0) out << "  last ends (" << shown << " of " << sup.history.size() << "):\n";
    for (size_t i = sup.history.size() - shown; i < sup.history.size(); ++i)
        out << "    " << local_time_text(sup.history[i].when) << "  " << printable(sup.history[i].base) << "  "
            << end_text(sup.history[i]) << "\n";
}

}  // namespace

std::string format_status_text(const install_status &s, size_t history) {
    std::ostringstream out;
    out << "install dir  " << printable(s.dir) << "\n";
    supervisor_lines(out, s, s.sup);
    program_lines(out, s, s.sup);
    history_lines(out, s.sup, history);
    out << "boot space   " << space_name(s.data_space) << ": " << reason_text(s)
        << (s.data_version.empty() ? "" : ", version " + printable(s.data_version)) << "\n";
    for (const auto &n : s.notes) out << "note         " << printable(n) << "\n";
    return out.str();
}
