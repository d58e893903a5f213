// Judging: which holder is the supervisor, what each program is doing, and
// what the operator should be told besides.
#include <algorithm>

#include "status.h"

bool install_status::running() const {
    return std::any_of(supervisors.begin(), supervisors.end(), [](const supervisor_status &s) { return s.pid > 0; });
}

namespace {

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
}

// The run file's name as the supervisor forms it from its argv[0].
std::string run_name_of(std::string argv0) {
    while (argv0.size() > 1 && argv0.back() == '/') argv0.pop_back();
    return argv0.substr(argv0.rfind('/') == std::string::npos ? 0 : argv0.rfind('/') + 1);
}

// What the published slot and /proc together say.
void judge_program(program_status &p, const supervisor_status &sup) {
    p.state = sup.pid == 0 ? "stopped" : sup.has_state ? "starting" : "unknown";
    if (sup.pid == 0 || !sup.has_state) {
        p.restart_due = -1;
        return;
    }
    p.from_data = sup.data_space;
    if (p.published_state == "waiting") {
        p.state = "waiting";
        return;
    }
    p.restart_due = -1;
    const bool ours = p.proc.exists && p.proc.ppid == sup.pid;
    if (p.published_state != "running" || !ours) return;  // a new start, or an end being recorded
    if (p.proc.zombie) {
        p.state = "waiting";
        p.end_pending = true;
        return;
    }
    p.state = "running";
    p.pid = p.published_pid;
}

// A program that ended while the supervisor sleeps through another's delay:
// its end is read, recorded and acted on only when that delay is over.
std::string pending_note(const supervisor_status &sup, const program_status &p) {
    std::string note = p.base + " (slot " + std::to_string(p.slot) + ") has ended; the supervisor handles its end";
    for (const auto &other : sup.programs)
        if (other.state == "waiting" && !other.end_pending)
            return note + " after the restart delay of " + other.base + " (slot " + std::to_string(other.slot) + ")";
    return note + " after the current restart delay";
}

void judge_supervisor(install_status &status, supervisor_status &sup) {
    for (auto &p : sup.programs) judge_program(p, sup);
    if (sup.impostor > 0)
        status.notes.push_back("the lock of " + sup.name + " is held by pid " + std::to_string(sup.impostor) +
                               ", which is no supervisor of this install directory");
    if (sup.pid > 0 && !sup.has_state)
        status.notes.push_back(sup.state_file + " is missing (an older supervisor, or one just starting): "
                               "the programs' states are unknown");
    for (const auto &p : sup.programs) {
        if (p.end_pending) status.notes.push_back(pending_note(sup, p));
        if (p.state == "running" && !p.from_data && status.boot_space == BOOT_SPACE_DATA)
            status.notes.push_back(p.base +
                                   " runs from the install directory although the record allows the data "
                                   "space: the supervisor may have set aside a record it could not remove, "
                                   "or the record is newer than its cycle");
    }
}

}  // namespace

bool is_supervisor(const std::string &exe, const std::string &argv0, const std::string &dir, const std::string &name,
                   bool state_names_it) {
    // Named as the supervisor of this run file, and either run from this
    // install directory's binary or named by its state file: a program or a
    // copied tool of the install directory holding a lock is no supervisor,
    // nor is the holder of a lock of the right name run from elsewhere; a
    // supervisor whose binary is a link to elsewhere still is.
    return run_name_of(argv0) == name && ((!exe.empty() && directory_of(exe) == dir) || state_names_it);
}

void judge_status(install_status &status) {
    if (!status.config_ok)
        status.notes.push_back("config cannot be loaded (" + status.config_error +
                               "): a supervisor starting now would refuse it");
    for (auto &sup : status.supervisors) judge_supervisor(status, sup);
}
