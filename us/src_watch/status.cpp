#include "status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"

namespace {

constexpr size_t run_file_head = PATH_BUF + 1;  // the directory line
constexpr size_t run_file_tail = 4 << 20;       // records read at most
constexpr size_t stamp_len = 24;                // "Mon Mar  4 09:05:07 2024"

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

dir_ptr open_listing(const char *path) {
    unique_fd fd = open_plain(path, O_RDONLY | O_DIRECTORY);
    DIR *dir = fd.valid() ? fdopendir(fd.get()) : nullptr;
    if (dir != nullptr) fd.release();
    return dir_ptr(dir);
}

// At most `limit` bytes of a file, for /proc and the like.
std::string read_some(const std::string &path, size_t limit = 1 << 20, bool *ok = nullptr) {
    const unique_fd fd = open_plain(path.c_str());
    std::string text;
    char buf[65536];
    ssize_t n = fd.valid() ? 0 : -1;
    while (fd.valid() && text.size() < limit && (n = read(fd.get(), buf, std::min(sizeof buf, limit - text.size()))) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (ok != nullptr) *ok = n >= 0;
    return text;
}

std::vector<std::string> split_nul(const std::string &text) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\0', at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// Fields of /proc/PID/stat after the command name, which may hold blanks:
// [0] the state, [1] the ppid, [19] the start time in clock ticks.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = read_some("/proc/" + std::to_string(pid) + "/stat", 4096);
    std::vector<std::string> fields;
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(stat.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

long uptime_of(pid_t pid) {
    const auto fields = stat_fields(pid);
    if (fields.size() < 20) return -1;
    const double boot = atof(read_some("/proc/uptime", 128).c_str());
    const double started = atof(fields[19].c_str()) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::max(0L, static_cast<long>(boot - started));
}

int holds_open(pid_t pid, dev_t dev, ino_t ino) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    const dir_ptr dir(open_listing(fds.c_str()));
    if (!dir) return errno == EACCES || errno == EPERM ? -1 : 0;
    while (dirent *e = readdir(dir.get())) {
        struct stat st {};
        if (e->d_name[0] != '.' && stat((fds + "/" + e->d_name).c_str(), &st) == 0 &&
            st.st_dev == dev && st.st_ino == ino)
            return 1;
    }
    return 0;
}

// A program is the child whose argv[0] is its path (cut as the supervisor
// cuts it), or, for a script, whose interpreter's first or second argument
// is the whole path.
bool runs_path(const std::vector<std::string> &argv, const std::string &path) {
    return (!argv.empty() && argv[0] == path.substr(0, MAX_CMD_LEN - 1)) ||
           (argv.size() > 1 && argv[1] == path) || (argv.size() > 2 && argv[2] == path);
}

void attach_children(supervisor_status &sup) {
    const dir_ptr proc(open_listing("/proc"));
    while (dirent *e = proc ? readdir(proc.get()) : nullptr) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        const auto fields = pid > 0 ? stat_fields(pid) : std::vector<std::string>{};
        if (fields.size() < 2 || atoi(fields[1].c_str()) != sup.pid || fields[0] == "Z") continue;
        const auto argv = split_nul(read_some("/proc/" + std::to_string(pid) + "/cmdline", 64 << 10));
        for (auto &p : sup.programs) {
            const bool sys = runs_path(argv, p.base);
            const bool data = runs_path(argv, std::string(DPI_DATA_DIRNAME) + "/" + p.base);
            if (!sys && !data) continue;
            p.pid = pid;
            p.from_data = data;
            p.uptime_s = uptime_of(pid);
        }
    }
}

// The supervisor's delay after an ordinary end: 10 s, or the SIGSEGV back-off.
int delay_after(const program_end &end) {
    if (end.how != program_end::killed || end.value != 11) return PROGRAM_REBOOT_TIMEOUT;
    return segv_delay(static_cast<unsigned int>(end.segv_so_far));
}

void judge_state(program_status &p, bool supervised) {
    if (!supervised) return;  // "stopped"
    if (p.pid > 0) {
        p.state = "running";
        return;
    }
    const bool request = p.last != nullptr && p.last->how == program_end::exited &&
                         (p.last->value == APP_RETCODE_ERROR || p.last->value == APP_RETCODE_RESTORE ||
                          (p.last->value >= APP_RETCODE_UPDATE && p.last->value <= APP_RETCODE_UPDATE_SIG));
    if (p.last == nullptr || request) {
        p.state = "starting";
        return;
    }
    p.state = "waiting";
    if (p.last->how != program_end::cut && p.last->when >= 0) p.restart_due = p.last->when + delay_after(*p.last);
}

// The first line, and at most the last run_file_tail bytes of the records.
bool read_run_file(int fd, supervisor_status &sup, std::string &records) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    const auto size = static_cast<size_t>(st.st_size);
    std::string head(std::min(size, run_file_head), '\0');
    if (read_full(fd, head.data(), head.size()) < 0) return false;
    sup.directory = head.substr(0, head.find('\n'));
    const size_t records_at = std::min(head.find('\n'), head.size()) + 1;
    const size_t from = std::max(records_at, size > run_file_tail ? size - run_file_tail : 0);
    sup.truncated = from > records_at;
    records.assign(size > from ? size - from : 0, '\0');
    const ssize_t n = pread(fd, records.data(), records.size(), static_cast<off_t>(from));
    if (n < 0) return false;
    records.resize(static_cast<size_t>(n));
    if (sup.truncated) records.erase(0, records.find('\n') + 1);  // a partial first line
    return true;
}

void read_records(supervisor_status &sup, const std::string &records, const std::vector<std::string> &bases) {
    std::istringstream lines(records);
    int segv = 0;
    for (std::string line; std::getline(lines, line);) {
        program_end end;
        if (!parse_exit_record(line, bases, end)) {
            ++sup.unparsed;
            continue;
        }
        segv += end.how == program_end::killed && end.value == 11;
        end.segv_so_far = segv;
        sup.history.push_back(end);
    }
    for (const auto &end : sup.history) {
        for (auto &p : sup.programs) {
            if (p.base != end.base) continue;
            ++p.ends;
            p.segv += end.how == program_end::killed && end.value == 11;
            p.last = &end;
        }
    }
}

std::vector<std::string> run_file_names(std::string &error) {
    std::vector<std::string> names;
    const dir_ptr tmp(open_listing(DPI_TMP_DIRNAME));
    if (!tmp) {
        if (errno != ENOENT) error = std::string("cannot list ") + DPI_TMP_DIRNAME + ": " + strerror(errno);
        return names;
    }
    while (dirent *e = readdir(tmp.get())) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.ends_with(".run")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// One run file; false (with `error`) when it exists but cannot be read.
bool gather_supervisor(install_status &status, const std::string &name, const std::string &locks,
                       const watch_daemon_t &daemon, std::string &error) {
    supervisor_status sup;
    sup.run_file = DPI_TMP_DIRNAME + name;
    sup.name = name.substr(0, name.size() - 4);
    const unique_fd fd = open_exposed(sup.run_file.c_str());
    if (!fd.valid()) {
        if (errno == EACCES || errno == EPERM) {
            error = "cannot read " + sup.run_file + ": " + strerror(errno);
            return false;
        }
        status.notes.push_back(sup.run_file + " is not a regular file: skipped");
        return true;
    }
    struct stat st {};
    std::string records;
    if (fstat(fd.get(), &st) != 0 || !read_run_file(fd.get(), sup, records)) {
        error = "cannot read " + sup.run_file + ": " + strerror(errno);
        return false;
    }
    sup.pid = lock_holder(locks, st.st_dev, st.st_ino,
                          [&](pid_t pid) { return holds_open(pid, st.st_dev, st.st_ino); });
    std::vector<std::string> bases;
    for (int i = 0; status.config_ok && i < daemon.sub_cnt; ++i) {
        bases.emplace_back(daemon.pids[i].base.data());
        sup.programs.emplace_back().base = bases.back();
    }
    status.supervisors.push_back(std::move(sup));
    supervisor_status &s = status.supervisors.back();  // history pointers stay valid from here
    read_records(s, records, bases);
    if (s.unparsed > 0)
        status.notes.push_back(s.run_file + ": " + std::to_string(s.unparsed) + " line(s) are not exit records");
    if (s.truncated)
        status.notes.push_back(s.run_file + " is large: ends are counted over its last " +
                               std::to_string(run_file_tail >> 20) + " MiB only");
    if (s.pid > 0) {
        s.uptime_s = uptime_of(s.pid);
        attach_children(s);
    }
    for (auto &p : s.programs) judge_state(p, s.pid > 0);
    return true;
}

// Keeps valid UTF-8 and printable ASCII; anything else becomes `bad(byte)`.
template <typename Bad>
std::string clean(const std::string &s, bool keep_controls, Bad bad) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        for (size_t k = 1; k < len; ++k) {
            const auto n = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
            if (n < (k == 1 ? lo : 0x80) || n > (k == 1 ? hi : 0xBF)) len = 0;
        }
        const bool control = len == 1 && (c < 0x20 || c == 0x7F) && !(keep_controls && c != 0);
        if (len == 0 || control) {
            out += bad(c);
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

// For the text view: one line per row, whatever the bytes.
std::string printable(const std::string &s) {
    return clean(s, false, [](unsigned char c) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        return std::string(hex);
    });
}

// For JSON and Prometheus: valid UTF-8 (cJSON escapes the controls).
std::string utf8(const std::string &s) {
    return clean(s, true, [](unsigned char) { return std::string("\xEF\xBF\xBD"); });
}

std::string reason_text(boot_reason r) {
    switch (r) {
        case boot_reason::no_record:
            return "no boot-check record";
        case boot_reason::no_version:
            return "the record has no \"version\" text";
        case boot_reason::too_old:
            return std::string("the record is older than ") + DPI_PLUGIN_VERSION + " (the next cycle removes it)";
        case boot_reason::no_plugindata:
            return "the record has no \"plugindata\": 1";
        case boot_reason::data_space:
            return "the record says a plugin bundle is installed";
    }
    return "";
}

std::string end_text(const program_end &e) {
    if (e.how == program_end::cut) return "end (record cut)";
    return (e.how == program_end::exited ? "exit " : "signal ") + std::to_string(e.value);
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

long seconds_left(time_t due) {
    return std::max(0L, static_cast<long>(due - time(nullptr)));
}

std::string padded(const std::string &s, size_t width) {
    return s + std::string(width > s.size() ? width - s.size() : 0, ' ');
}

}  // namespace

bool install_status::running() const {
    return std::any_of(supervisors.begin(), supervisors.end(), [](const supervisor_status &s) { return s.pid > 0; });
}

bool parse_exit_record(const std::string &line, const std::vector<std::string> &bases, program_end &end) {
    // "Mon Mar  4 09:05:07 2024: BASE exited normally with code(N)"
    static const std::string normal = " exited normally with code(", killed = " killed by signal(";
    struct tm tm {};
    const char *stamp_end = strptime(line.c_str(), "%a %b %e %H:%M:%S %Y", &tm);
    if (line.size() < stamp_len + 2 || stamp_end != line.c_str() + stamp_len || line.compare(stamp_len, 2, ": ") != 0)
        return false;
    tm.tm_isdst = -1;
    end.time = line.substr(0, stamp_len);
    end.when = mktime(&tm);
    const std::string rest = line.substr(stamp_len + 2);
    const size_t open = rest.rfind('(');
    if (open != std::string::npos && rest.back() == ')' && open + 2 < rest.size() &&
        rest.find_first_not_of("-0123456789", open + 1) == rest.size() - 1) {
        for (const auto *form : {&normal, &killed}) {
            if (open + 1 < form->size() + 1 || rest.compare(open + 1 - form->size(), form->size(), *form) != 0)
                continue;
            end.base = rest.substr(0, open + 1 - form->size());
            end.how = form == &normal ? program_end::exited : program_end::killed;
            end.value = atoi(rest.c_str() + open + 1);
            return true;
        }
    }
    // A record cut at 255 bytes: 254 characters, named by a configured base.
    if (line.size() != MAX_CMD_LEN - 2) return false;
    for (const auto &base : bases) {
        if (!(rest.starts_with(base) || base.starts_with(rest))) continue;
        end.base = base;
        end.how = program_end::cut;
        return true;
    }
    return false;
}

pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino, const std::function<int(pid_t)> &holds_file) {
    std::istringstream lines(proc_locks);
    std::vector<pid_t> same_device, inode_only;  // overlay file systems report another device
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string id, kind, mode, access, where;
        pid_t pid = 0;
        f >> id >> kind >> mode >> access >> pid >> where;
        unsigned maj = 0, min = 0;
        unsigned long long node = 0;
        if (kind != "FLOCK" || sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &node) != 3 || node != ino)
            continue;  // also a waiter ("->"), whose fields are shifted
        (maj == major(dev) && min == minor(dev) ? same_device : inode_only).push_back(pid);
    }
    for (const pid_t pid : same_device)
        if (pid > 0 && holds_file(pid) != 0) return pid;
    for (const pid_t pid : inode_only)
        if (pid > 0 && holds_file(pid) == 1) return pid;
    return 0;
}

std::string config_problem(const char *path) {
    const std::string name = std::string("./") + path;
    struct stat st {};
    if (stat(path, &st) != 0) return name + ": " + strerror(errno);
    const unique_fd fd = open_plain(path);
    if (!fd.valid()) return name + ": " + strerror(errno);
    if (st.st_size <= 0) return name + " is empty";
    std::string text(static_cast<size_t>(std::min<off_t>(st.st_size, 16 << 20)), '\0');
    const ssize_t n = read_full(fd.get(), text.data(), text.size());
    if (n < 0) return name + ": " + strerror(errno);
    text.resize(static_cast<size_t>(n));
    const char *end = nullptr;
    const cjson_tree conf(cJSON_ParseWithOpts(text.c_str(), &end, false));
    if (!conf) {
        const size_t at = end != nullptr ? static_cast<size_t>(end - text.c_str()) : 0;
        const size_t line_start = text.rfind('\n', at == 0 ? 0 : at - 1);
        const size_t line = static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n')) + 1;
        const size_t column = at - (line_start == std::string::npos || at == 0 ? 0 : line_start + 1) + 1;
        return name + " is not JSON: error at line " + std::to_string(line) + ", column " + std::to_string(column);
    }
    const cJSON *processes = cjson_member(cjson_member(conf.get(), "__watch"), "processes");
    for (int i = 0; i < std::min(cJSON_GetArraySize(processes), MAX_SUB_PROCESS); ++i)
        if (cJSON_GetItemString(cJSON_GetArrayItem(processes, i), "base") == nullptr)
            return name + ": element " + std::to_string(i + 1) + " of \"__watch\".\"processes\" has no string \"base\"";
    return "";
}

bool gather_status(install_status &status, std::string &error) {
    watch_daemon_t daemon{};
    status.config_ok = daemon_init("config", &daemon) == 0;
    if (!status.config_ok) {
        status.config_error = config_problem("config");
        status.notes.push_back("config cannot be loaded (" + status.config_error +
                               "): a supervisor starting now would refuse it");
    }
    bool locks_ok = false;
    const std::string locks = read_some("/proc/locks", 16 << 20, &locks_ok);
    if (!locks_ok) {
        error = "cannot read /proc/locks";
        return false;
    }
    const auto names = run_file_names(error);
    if (!error.empty()) return false;
    status.supervisors.reserve(names.size());  // their histories are pointed into
    for (const auto &name : names)
        if (!gather_supervisor(status, name, locks, daemon, error)) return false;

    // The supervisor's own judgement of the record, without its removal.
    const cjson_tree record(bootchk_load());
    status.reason = bootchk_judge(record.get());
    status.boot_space = status.reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
    for (const auto &sup : status.supervisors)
        for (const auto &p : sup.programs)
            if (p.pid > 0 && !p.from_data && status.boot_space == BOOT_SPACE_DATA)
                status.notes.push_back(p.base +
                                       " runs from the install directory although the record allows the data "
                                       "space: the supervisor may have set aside a record it could not remove, "
                                       "or the record is newer than its cycle");
    return true;
}

std::string format_status_text(const install_status &s, size_t history) {
    std::ostringstream out;
    out << "install dir  " << printable(s.dir) << "\n";
    if (s.supervisors.empty()) out << "supervisor   not running (no run file in ./tmp/)\n";
    for (const auto &sup : s.supervisors) {
        if (sup.pid > 0)
            out << "supervisor   running, pid " << sup.pid << ", up " << duration_text(sup.uptime_s) << " ("
                << printable(sup.run_file) << ")\n";
        else
            out << "supervisor   not running (" << printable(sup.run_file) << ")\n";
        out << "directory    " << printable(sup.directory) << "\n";
        size_t width = 7;
        for (const auto &p : sup.programs) width = std::max(width, printable(p.base).size());
        out << "  " << padded("PROGRAM", width) << "  STATE     PID      UPTIME    ENDS  SEGV  LAST END\n";
        for (const auto &p : sup.programs) {
            const std::string pid = p.pid > 0 ? std::to_string(p.pid) : "-";
            const std::string when = p.state == "running"   ? duration_text(p.uptime_s)
                                     : p.restart_due >= 0 ? "in " + std::to_string(seconds_left(p.restart_due)) + "s"
                                                            : "-";
            char counts[32];
            snprintf(counts, sizeof counts, "%6d%6d", p.ends, p.segv);
            out << "  " << padded(printable(p.base), width) << "  " << padded(p.state, 8) << "  " << padded(pid, 7)
                << "  " << padded(when, 8) << counts << "  "
                << (p.last ? end_text(*p.last) + " at " + p.last->time : "-") << "\n";
        }
        const size_t shown = std::min(history, sup.history.size());
        if (shown > 0) out << "  last ends (" << shown << " of " << sup.history.size() << "):\n";
        for (size_t i = sup.history.size() - shown; i < sup.history.size(); ++i)
            out << "    " << sup.history[i].time << "  " << printable(sup.history[i].base) << "  "
                << end_text(sup.history[i]) << "\n";
    }
    out << "boot space   " << (s.boot_space == BOOT_SPACE_DATA ? "data (./data/)" : "system (install directory)")
        << ": " << reason_text(s.reason) << "\n";
    for (const auto &n : s.notes) out << "note         " << printable(n) << "\n";
    return out.str();
}

namespace {

cJSON *end_json(const program_end &e) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "time", e.time.c_str());
    cJSON_AddStringToObject(o, "program", utf8(e.base).c_str());
    if (e.how == program_end::cut)
        cJSON_AddBoolToObject(o, "cut", true);
    else
        cJSON_AddNumberToObject(o, e.how == program_end::exited ? "exit_code" : "signal", e.value);
    return o;
}

void add_optional(cJSON *o, const char *name, bool present, double value) {
    if (present)
        cJSON_AddNumberToObject(o, name, value);
    else
        cJSON_AddNullToObject(o, name);
}

}  // namespace

std::string format_status_json(const install_status &s, size_t history) {
    const cjson_tree root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "install_dir", utf8(s.dir).c_str());
    cJSON_AddBoolToObject(root.get(), "running", s.running());
    cJSON_AddBoolToObject(root.get(), "config_ok", s.config_ok);
    if (s.config_ok)
        cJSON_AddNullToObject(root.get(), "config_error");
    else
        cJSON_AddStringToObject(root.get(), "config_error", utf8(s.config_error).c_str());
    cJSON *sups = cJSON_AddArrayToObject(root.get(), "supervisors");
    for (const auto &sup : s.supervisors) {
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "run_file", utf8(sup.run_file).c_str());
        add_optional(o, "pid", sup.pid > 0, sup.pid);
        add_optional(o, "uptime_s", sup.pid > 0, static_cast<double>(sup.uptime_s));
        cJSON_AddStringToObject(o, "directory", utf8(sup.directory).c_str());
        cJSON_AddNumberToObject(o, "unparsed_lines", sup.unparsed);
        cJSON_AddBoolToObject(o, "truncated", sup.truncated);
        cJSON *progs = cJSON_AddArrayToObject(o, "programs");
        for (const auto &p : sup.programs) {
            cJSON *q = cJSON_CreateObject();
            cJSON_AddStringToObject(q, "base", utf8(p.base).c_str());
            cJSON_AddStringToObject(q, "state", p.state.c_str());
            add_optional(q, "pid", p.pid > 0, p.pid);
            add_optional(q, "uptime_s", p.pid > 0, static_cast<double>(p.uptime_s));
            if (p.pid > 0) cJSON_AddStringToObject(q, "space", p.from_data ? "data" : "system");
            add_optional(q, "restart_in_s", p.restart_due >= 0, static_cast<double>(seconds_left(p.restart_due)));
            cJSON_AddNumberToObject(q, "ends", p.ends);
            cJSON_AddNumberToObject(q, "segv", p.segv);
            cJSON_AddItemToObject(q, "last_end", p.last ? end_json(*p.last) : cJSON_CreateNull());
            cJSON_AddItemToArray(progs, q);
        }
        cJSON *ends = cJSON_AddArrayToObject(o, "history");
        for (size_t i = sup.history.size() - std::min(history, sup.history.size()); i < sup.history.size(); ++i)
            cJSON_AddItemToArray(ends, end_json(sup.history[i]));
        cJSON_AddItemToArray(sups, o);
    }
    cJSON *boot = cJSON_AddObjectToObject(root.get(), "boot_space");
    cJSON_AddStringToObject(boot, "space", s.boot_space == BOOT_SPACE_DATA ? "data" : "system");
    cJSON_AddStringToObject(boot, "reason", reason_text(s.reason).c_str());
    cJSON *notes = cJSON_AddArrayToObject(root.get(), "notes");
    for (const auto &n : s.notes) cJSON_AddItemToArray(notes, cJSON_CreateString(utf8(n).c_str()));
    const cjson_text text(cJSON_Print(root.get()));
    return text ? std::string(text.get()) + "\n" : "{}\n";
}

namespace {

std::string label(const std::string &value) {
    std::string out;
    for (const char c : utf8(value)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

struct metric {
    const char *name, *type, *help;
};

}  // namespace

std::string format_status_prometheus(const install_status &s) {
    static const metric metrics[] = {
        {"watch_daemon_up", "gauge", "Whether a watch daemon holds its run file's lock."},
        {"watch_daemon_program_up", "gauge", "Whether the program's process runs."},
        {"watch_daemon_program_ends_total", "counter", "Ends of the program recorded since the supervisor started."},
        {"watch_daemon_program_segv_total", "counter", "Deaths of the program by SIGSEGV since the supervisor started."},
        {"watch_daemon_program_last_end_timestamp_seconds", "gauge", "When the program last ended."},
        {"watch_daemon_program_restart_due_timestamp_seconds", "gauge", "When a waiting program is restarted."},
        {"watch_daemon_boot_space", "gauge", "Whether the programs boot from this space (data or install)."},
        {"watch_daemon_config_ok", "gauge", "Whether the config can be loaded."},
    };
    std::ostringstream body[std::size(metrics)];
    const std::string dir = "install_dir=\"" + label(s.dir) + "\"";
    std::vector<supervisor_status> none(1);
    none[0].name = "watch_daemon";
    for (const auto &sup : s.supervisors.empty() ? none : s.supervisors) {
        const std::string who = dir + ",supervisor=\"" + label(sup.name) + "\"";
        body[0] << metrics[0].name << "{" << who << "} " << (sup.pid > 0 ? 1 : 0) << "\n";
        for (const auto &p : sup.programs) {
            const std::string l = "{" + who + ",program=\"" + label(p.base) + "\"} ";
            body[1] << metrics[1].name << l << (p.pid > 0 ? 1 : 0) << "\n";
            body[2] << metrics[2].name << l << p.ends << "\n";
            body[3] << metrics[3].name << l << p.segv << "\n";
            if (p.last && p.last->when >= 0) body[4] << metrics[4].name << l << p.last->when << "\n";
            if (p.restart_due >= 0) body[5] << metrics[5].name << l << p.restart_due << "\n";
        }
    }
    for (const char *space : {"data", "install"})
        body[6] << metrics[6].name << "{" << dir << ",space=\"" << space << "\"} "
                << ((s.boot_space == BOOT_SPACE_DATA) == (space[0] == 'd') ? 1 : 0) << "\n";
    body[7] << metrics[7].name << "{" << dir << "} " << (s.config_ok ? 1 : 0) << "\n";
    std::string out;
    for (size_t i = 0; i < std::size(metrics); ++i) {
        if (body[i].str().empty()) continue;
        out += std::string("# HELP ") + metrics[i].name + " " + metrics[i].help + "\n# TYPE " + metrics[i].name +
               " " + metrics[i].type + "\n" + body[i].str();
    }
    return out;
}
