// Judging: what each program is doing, and what the operator should be told
// besides.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "build_info.h"
#include "proc.h"
#include "status.h"

namespace {

// What the published slot and /proc together say.
void judge_program(program_status &p, const supervisor_status &sup) {
    const bool known = sup.pid > 0 && sup.has_state;
    if (p.outlived && p.proc.exists && !p.proc.zombie) {
        p.state = "running", p.pid = p.published_pid;
        return;
    }
    if (p.proc.hidden && (sup.pid == 0 || p.published_state == "running")) {
        p.state = "unknown", p.restart_due = -1;
        return;
    }
    p.state = sup.pid == 0 ? "stopped" : !known ? "unknown" : p.published_state == "waiting" ? "waiting" : "starting";
    if (p.state != "waiting") p.restart_due = -1;
    const bool ours = p.proc.exists && p.proc.ppid == sup.pid;
    if (!known || p.published_state != "running" || !ours) return;  // a new start, or an end being recorded
    p.end_pending = p.proc.zombie;  // ended, not yet reaped
    p.state = p.proc.zombie ? "waiting" : "running";
    if (!p.proc.zombie) p.pid = p.published_pid;
}

// A program that ended while the supervisor sleeps through another's delay:
// its end is read, recorded and acted on only when that delay is over.
std::string pending_note(const supervisor_status &sup, const program_status &p, bool sup_stopped) {
    std::string delay = sup_stopped ? "" : " once it is done with what it does now (an upgrade, a cycle's end, a stop)";
    for (const auto &other : sup.programs)
        if (other.state == "waiting" && !other.end_pending) {
            delay = " after the restart delay of " + other.base + " (slot " + std::to_string(other.slot) + ")";
            break;
        }
    return p.base + " (slot " + std::to_string(p.slot) + ") has ended; the supervisor handles its end" +
           (sup_stopped ? " once it runs again" + (delay.empty() ? "" : "," + delay) : delay);
}

// A program whose file cannot be executed fails its next start with exit 129.
void note_program_file(install_status &status, const program_status &p) {
    const std::string path = p.from_data ? std::string(DPI_DATA_DIRNAME) + "/" + p.base : p.base;
    struct stat st {};
    const bool found = stat(path.c_str(), &st) == 0;
    if (found && !S_ISREG(st.st_mode)) errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;  // root may "execute" a directory
    else if (found && access(path.c_str(), X_OK) == 0) return;
    status.notes.push_back(p.base + " (slot " + std::to_string(p.slot) + "): " + path + " " +
                           (errno == ENOENT ? "is missing" : "cannot be executed: " + std::string(strerror(errno))) +
                           ": its next start fails with exit 129");
}

// The next start ends by its published pid only what config names then, as
// it named it (killall by name may still find it), and none without one.
bool unconfigured(const install_status &status, const std::string &base) {
    return !status.config_ok || std::find(status.bases.begin(), status.bases.end(), base) == status.bases.end();
}

}  // namespace

void judge_status(install_status &status) {
    supervisor_status &sup = status.sup;
    if (!status.config_ok && status.config_error.ends_with(strerror(EACCES)))  // the supervisor's user may read it
        status.notes.push_back("config cannot be read by this user (" + status.config_error + ")");
    else if (!status.config_ok)
        status.notes.push_back("config cannot be loaded (" + status.config_error +
                               "): a supervisor starting now would refuse it");
    for (auto &p : sup.programs) {
        judge_program(p, sup);
        p.from_data = sup.pid > 0 && sup.has_state ? sup.data_space : status.data_space;
    }
    if (sup.impostor > 0)
        status.notes.push_back("the lock of the install directory is held by pid " + std::to_string(sup.impostor) +
                               ", which is no supervisor of it");
    const bool sup_stopped = sup.pid > 0 && facts_of(sup.pid).stopped;
    if (sup_stopped)
        status.notes.push_back("the supervisor (pid " + std::to_string(sup.pid) +
                               ") is stopped (SIGSTOP, job control, a debugger): nothing is supervised until SIGCONT");
    if (sup.pid > 0 && !sup.state_present)
        status.notes.push_back(sup.state_file + " is missing (an older supervisor, or one just starting): "
                               "the programs' states are unknown");
    for (const auto &p : sup.programs) {
        if (p.end_pending) status.notes.push_back(pending_note(sup, p, sup_stopped));
        if (sup.pid == 0 && p.state == "running")
            status.notes.push_back(p.base + " (slot " + std::to_string(p.slot) + ") runs on as pid " +
                                   std::to_string(p.pid) + " after its supervisor stopped; " +
                                   (unconfigured(status, p.base) ? "config does not name it as it did: the next "
                                                                   "start may leave it running"
                                                                 : "the next start kills it if it still goes by "
                                                                   "its name"));
        if (p.state == "running" && p.proc.stopped)
            status.notes.push_back(p.base + " (slot " + std::to_string(p.slot) + "): pid " + std::to_string(p.pid) +
                                   " is stopped (SIGSTOP, job control, a debugger): it does nothing until SIGCONT");
        if (p.state == "unknown" && p.proc.hidden)
            status.notes.push_back(p.base + " (slot " + std::to_string(p.slot) + "): " +
                                   (p.published_pid > 0 ? "pid " + std::to_string(p.published_pid) +
                                                              " runs, but /proc hides it from this user (hidepid)"
                                                        : "its supervisor ran in a pid namespace this reader cannot see into") +
                                   ": its state is unknown");
        note_program_file(status, p);
        if (p.state == "running" && !p.from_data && status.data_space)
            status.notes.push_back(p.base +
                                   " runs from the install directory although the record allows the data "
                                   "space: the supervisor may have set aside a record it could not remove, "
                                   "or the record is newer than its cycle");
    }
}
