#include "status.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "build_info.h"
#include "fs.h"

namespace {

std::string read_text(const std::string &path, bool *ok = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (ok != nullptr) *ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Fields of /proc/PID/stat after the command name, which may hold blanks.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(stat.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;  // fields[0] is the state, [1] the ppid, [19] the start time
}

std::string argv0_of(pid_t pid) {
    const std::string cmdline = read_text("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

long uptime_of(const std::vector<std::string> &fields) {
    if (fields.size() < 20) return -1;
    const double boot_uptime = atof(read_text("/proc/uptime").c_str());
    const double started = atof(fields[19].c_str()) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::max(0L, static_cast<long>(boot_uptime - started));
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (dirent *e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0) continue;
        const auto fields = stat_fields(pid);
        if (fields.size() > 1 && atoi(fields[1].c_str()) == parent && fields[0] != "Z")
            children.push_back(pid);
    }
    closedir(proc);
    return children;
}

// The child's argv[0] is its path, cut to 255 characters: BASE, or
// ./data//BASE in the data space.
void attach_children(supervisor_status &sup) {
    for (const pid_t child : children_of(sup.pid)) {
        const std::string argv0 = argv0_of(child);
        for (auto &p : sup.programs) {
            const std::string data_path = std::string(DPI_DATA_DIRNAME) + "/" + p.base;
            const bool sys = argv0 == p.base.substr(0, MAX_CMD_LEN - 1);
            const bool data = argv0 == data_path.substr(0, MAX_CMD_LEN - 1);
            if (!sys && !data) continue;
            p.pid = child;
            p.from_data = data;
            p.uptime_s = uptime_of(stat_fields(child));
        }
    }
}

void count_records(supervisor_status &sup, std::istringstream &lines) {
    for (std::string line; std::getline(lines, line);) {
        std::string base;
        program_end end;
        if (!parse_exit_record(line, base, end)) {
            ++sup.unparsed;
            continue;
        }
        for (auto &p : sup.programs) {
            if (p.base != base) continue;
            ++p.ends;
            p.segv += !end.normal && end.value == 11;
            p.has_last = true;
            p.last = end;
        }
    }
}

std::vector<std::string> run_files() {
    std::vector<std::string> files;
    DIR *tmp = opendir(DPI_TMP_DIRNAME);
    if (tmp == nullptr) return files;
    while (dirent *e = readdir(tmp)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.ends_with(".run")) files.push_back(DPI_TMP_DIRNAME + name);
    }
    closedir(tmp);
    std::sort(files.begin(), files.end());
    return files;
}

std::string reason_text(boot_reason r) {
    switch (r) {
        case boot_reason::no_record:
            return "no boot-check record";
        case boot_reason::no_version:
            return "the record has no \"version\" text";
        case boot_reason::too_old:
            return std::string("the record is older than ") + DPI_PLUGIN_VERSION +
                   " (the next cycle removes it)";
        case boot_reason::no_plugindata:
            return "the record has no \"plugindata\": 1";
        case boot_reason::data_space:
            return "the record says a plugin bundle is installed";
    }
    return "";
}

std::string end_text(const program_end &e) {
    return (e.normal ? "exit " : "signal ") + std::to_string(e.value);
}

std::string duration_text(long s) {
    if (s < 0) return "-";
    char buf[32];
    if (s >= 86400)
        snprintf(buf, sizeof buf, "%ldd%02ldh", s / 86400, s % 86400 / 3600);
    else if (s >= 3600)
        snprintf(buf, sizeof buf, "%ldh%02ldm", s / 3600, s % 3600 / 60);
    else
        snprintf(buf, sizeof buf, "%ldm%02lds", s / 60, s % 60);
    return buf;
}

}  // namespace

bool install_status::running() const {
    return std::any_of(supervisors.begin(), supervisors.end(),
                       [](const supervisor_status &s) { return s.pid > 0; });
}

bool parse_exit_record(const std::string &line, std::string &base, program_end &end) {
    // "Mon Mar  4 09:05:07 2024: BASE exited normally with code(N)"
    constexpr size_t stamp_len = 24;
    static const std::string normal = " exited normally with code(", killed = " killed by signal(";
    if (line.size() < stamp_len + 2 || line.compare(stamp_len, 2, ": ") != 0 || line.back() != ')')
        return false;
    const size_t open = line.rfind('(');
    const std::string number = line.substr(open + 1, line.size() - open - 2);
    if (number.empty() || number.find_first_not_of("-0123456789") != std::string::npos)
        return false;
    for (const auto *form : {&normal, &killed}) {
        const size_t at = open + 1 - form->size();
        if (open + 1 < form->size() + stamp_len + 2 || line.compare(at, form->size(), *form) != 0)
            continue;
        base = line.substr(stamp_len + 2, at - stamp_len - 2);
        end.time = line.substr(0, stamp_len);
        end.normal = form == &normal;
        end.value = atoi(number.c_str());
        return true;
    }
    return false;
}

pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino) {
    std::istringstream lines(proc_locks);
    pid_t inode_only = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string id, kind, mode, access, pid, where;
        f >> id >> kind;
        if (kind == "->") continue;  // a waiter, not the holder
        f >> mode >> access >> pid >> where;
        unsigned maj = 0, min = 0;
        unsigned long long node = 0;
        if (kind != "FLOCK" || sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &node) != 3)
            continue;
        if (node != ino) continue;
        if (maj == major(dev) && min == minor(dev)) return static_cast<pid_t>(atoi(pid.c_str()));
        inode_only = static_cast<pid_t>(atoi(pid.c_str()));  // overlay file systems differ in dev
    }
    return inode_only;
}

bool gather_status(install_status &status, std::string &error) {
    watch_daemon_t daemon{};
    status.config_ok = daemon_init("config", &daemon) == 0;
    if (!status.config_ok)
        status.notes.push_back("config cannot be loaded: a supervisor would refuse to start");

    bool locks_ok = false;
    const std::string locks = read_text("/proc/locks", &locks_ok);
    if (!locks_ok) {
        error = "cannot read /proc/locks";
        return false;
    }
    for (const auto &file : run_files()) {
        supervisor_status sup;
        sup.run_file = file;
        struct stat st {};
        bool readable = false;
        const std::string text = read_text(file, &readable);
        if (stat(file.c_str(), &st) != 0 || !readable) {
            error = "cannot read " + file;
            return false;
        }
        sup.pid = lock_holder(locks, st.st_dev, st.st_ino);
        std::istringstream lines(text);
        std::getline(lines, sup.directory);
        if (status.config_ok)
            for (int i = 0; i < daemon.sub_cnt; ++i)
                sup.programs.emplace_back().base = daemon.pids[i].base.data();
        count_records(sup, lines);
        if (sup.unparsed > 0)
            status.notes.push_back(file + ": " + std::to_string(sup.unparsed) +
                                   " line(s) are not exit records");
        if (sup.pid > 0) attach_children(sup);
        status.supervisors.push_back(std::move(sup));
    }

    // The supervisor's own judgement of the record, without its removal.
    const cjson_tree record(bootchk_load());
    status.reason = bootchk_judge(record.get());
    status.boot_space = status.reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
    for (const auto &sup : status.supervisors)
        for (const auto &p : sup.programs)
            if (p.pid > 0 && !p.from_data && status.boot_space == BOOT_SPACE_DATA)
                status.notes.push_back(
                    p.base +
                    " runs from the install directory although the record allows the "
                    "data space: the supervisor may have set aside a record it could not "
                    "remove, or the record is newer than its cycle");
    return true;
}

std::string format_status_text(const install_status &s) {
    std::ostringstream out;
    char row[512];
    if (s.supervisors.empty()) out << "supervisor   not running (no run file in ./tmp/)\n";
    for (const auto &sup : s.supervisors) {
        if (sup.pid > 0)
            out << "supervisor   running, pid " << sup.pid << " (" << sup.run_file << ")\n";
        else
            out << "supervisor   not running (" << sup.run_file << ")\n";
        out << "directory    " << sup.directory << "\n";
        snprintf(row, sizeof row, "  %-20s %7s %8s %5s %5s  %s\n", "PROGRAM", "PID", "UPTIME",
                 "ENDS", "SEGV", "LAST END");
        out << row;
        for (const auto &p : sup.programs) {
            const std::string last = p.has_last ? end_text(p.last) + " at " + p.last.time : "-";
            snprintf(row, sizeof row, "  %-20s %7s %8s %5d %5d  %s\n", p.base.c_str(),
                     p.pid > 0 ? std::to_string(p.pid).c_str() : "-",
                     duration_text(p.pid > 0 ? p.uptime_s : -1).c_str(), p.ends, p.segv,
                     last.c_str());
            out << row;
        }
    }
    out << "boot space   "
        << (s.boot_space == BOOT_SPACE_DATA ? "data (./data/)" : "system (install directory)")
        << ": " << reason_text(s.reason) << "\n";
    for (const auto &n : s.notes) out << "note         " << n << "\n";
    return out.str();
}

std::string format_status_json(const install_status &s) {
    const cjson_tree root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "install_dir", s.dir.c_str());
    cJSON_AddBoolToObject(root.get(), "running", s.running());
    cJSON_AddBoolToObject(root.get(), "config_ok", s.config_ok);
    cJSON *sups = cJSON_AddArrayToObject(root.get(), "supervisors");
    for (const auto &sup : s.supervisors) {
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "run_file", sup.run_file.c_str());
        if (sup.pid > 0)
            cJSON_AddNumberToObject(o, "pid", sup.pid);
        else
            cJSON_AddNullToObject(o, "pid");
        cJSON_AddStringToObject(o, "directory", sup.directory.c_str());
        cJSON_AddNumberToObject(o, "unparsed_lines", sup.unparsed);
        cJSON *progs = cJSON_AddArrayToObject(o, "programs");
        for (const auto &p : sup.programs) {
            cJSON *q = cJSON_CreateObject();
            cJSON_AddStringToObject(q, "base", p.base.c_str());
            if (p.pid > 0) {
                cJSON_AddNumberToObject(q, "pid", p.pid);
                cJSON_AddNumberToObject(q, "uptime_s", static_cast<double>(p.uptime_s));
                cJSON_AddStringToObject(q, "space", p.from_data ? "data" : "system");
            } else {
                cJSON_AddNullToObject(q, "pid");
            }
            cJSON_AddNumberToObject(q, "ends", p.ends);
            cJSON_AddNumberToObject(q, "segv", p.segv);
            if (p.has_last) {
                cJSON *last = cJSON_AddObjectToObject(q, "last_end");
                cJSON_AddNumberToObject(last, p.last.normal ? "exit_code" : "signal", p.last.value);
                cJSON_AddStringToObject(last, "time", p.last.time.c_str());
            } else {
                cJSON_AddNullToObject(q, "last_end");
            }
            cJSON_AddItemToArray(progs, q);
        }
        cJSON_AddItemToArray(sups, o);
    }
    cJSON *boot = cJSON_AddObjectToObject(root.get(), "boot_space");
    cJSON_AddStringToObject(boot, "space", s.boot_space == BOOT_SPACE_DATA ? "data" : "system");
    cJSON_AddStringToObject(boot, "reason", reason_text(s.reason).c_str());
    cJSON *notes = cJSON_AddArrayToObject(root.get(), "notes");
    for (const auto &n : s.notes) cJSON_AddItemToArray(notes, cJSON_CreateString(n.c_str()));
    const cjson_text text(cJSON_Print(root.get()));
    return text ? std::string(text.get()) + "\n" : "{}\n";
}
