// Gathering: the names in ./tmp/, each supervisor's state and run file, the
// lock holders and what /proc says about them, the config and the record.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <set>

#include "build_info.h"
#include "fs.h"
#include "gather.h"
#include "proc.h"

namespace {

// NAME for each ./tmp/NAME.run and ./tmp/NAME.state: a supervisor whose run
// file was removed still has its state file.
std::vector<std::string> supervisor_names(std::string &error) {
    std::set<std::string> names;
    const dir_ptr tmp(open_listing(DPI_TMP_DIRNAME));
    if (!tmp) {
        if (errno != ENOENT) error = std::string("cannot list ") + DPI_TMP_DIRNAME + ": " + strerror(errno);
        return {};
    }
    while (dirent *e = readdir(tmp.get())) {
        const std::string name = e->d_name;
        for (const std::string suffix : {".run", ".state"})
            if (name.size() > suffix.size() && name.ends_with(suffix)) names.insert(name.substr(0, name.size() - suffix.size()));
    }
    return {names.begin(), names.end()};
}

struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
};

pid_t holder_of(const std::string &locks, file_id id) {
    return id.ino == 0 ? 0 : lock_holder(locks, id.dev, id.ino, [&](pid_t pid) { return holds_open(pid, id.dev, id.ino); });
}

// The supervisor holds the run file's lock; once the run file is gone, the
// install directory's lock, held by the pid its state file names.
void find_supervisor(const install_status &status, supervisor_status &sup, pid_t holder, pid_t dir_holder,
                     pid_t published) {
    if (holder == 0 && dir_holder != 0 && dir_holder == published) holder = dir_holder;
    if (holder == 0) return;
    if (is_supervisor(exe_of(holder), argv0_of(holder), status.dir, sup.name, sup.has_state && published == holder))
        sup.pid = holder;
    else
        sup.impostor = holder;
}

// Without a state file (an older supervisor), the configured programs.
void configured_programs(supervisor_status &sup, const watch_daemon_t &daemon, bool config_ok) {
    for (int i = 0; config_ok && i < daemon.sub_cnt; ++i) {
        program_status &p = sup.programs.emplace_back();
        p.slot = i;
        p.base = daemon.pids[i].base.data();
        for (const auto &end : sup.history) {
            if (end.base != p.base) continue;
            ++p.ends;
            p.segv += end.how == program_end::killed && end.value == SIGSEGV;
            p.last = end;
        }
    }
}

// Makes the zone `zone` ("": the system's) this process's local time while
// it lives, and the reader's own again after.
class local_zone {
   public:
    explicit local_zone(const std::string &zone) : had_(getenv("TZ") != nullptr), old_(had_ ? getenv("TZ") : "") {
        zone.empty() ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    ~local_zone() {
        had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

   private:
    bool had_;
    std::string old_;
};

// The records' time stamps are the supervisor's local time. Read in its own
// zone, daylight saving included; with only its current offset (an older
// state file), records from before a change are an hour off; without a
// state file, the reader's zone is a guess.
void date_records(supervisor_status &sup) {
    if (sup.has_state && !sup.zone_known) {
        for (auto &end : sup.history) end.when = end.stamp - sup.utc_offset;
        return;
    }
    const local_zone zone(sup.has_state ? sup.zone : std::string(getenv("TZ") ? getenv("TZ") : ""));
    for (auto &end : sup.history) {
        struct tm tm {};
        gmtime_r(&end.stamp, &tm);
        tm.tm_isdst = -1;
        end.when = mktime(&tm);
    }
}

bool gather_supervisor(install_status &status, const std::string &name, const std::string &locks,
                       const watch_daemon_t &daemon, pid_t dir_holder, std::string &error) {
    supervisor_status &sup = status.supervisors.emplace_back();
    sup.name = name;
    sup.run_file = DPI_TMP_DIRNAME + name + ".run";
    sup.state_file = DPI_TMP_DIRNAME + name + ".state";
    pid_t published = 0;
    if (!read_state(status, sup, published, error)) return false;
    std::vector<std::string> bases;
    for (int i = 0; status.config_ok && i < daemon.sub_cnt; ++i) bases.emplace_back(daemon.pids[i].base.data());
    for (const auto &p : sup.programs) bases.push_back(p.base);
    file_id run;
    if (!read_run_file(status, sup, bases, run.dev, run.ino, error)) return false;
    date_records(sup);
    if (!sup.has_state) configured_programs(sup, daemon, status.config_ok);
    find_supervisor(status, sup, holder_of(locks, run), dir_holder, published);
    if (sup.pid > 0 && !sup.has_state) sup.started = start_time_of(sup.pid);
    for (auto &p : sup.programs)
        if (sup.pid > 0 && p.published_pid > 0) p.proc = facts_of(p.published_pid);
    return true;
}

}  // namespace

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
    status.now = wall_clock_now();
    watch_daemon_t daemon{};
    status.config_ok = daemon_init("config", &daemon) == 0;
    if (!status.config_ok) status.config_error = config_problem("config");
    bool locks_ok = false;
    const std::string locks = read_some("/proc/locks", 16 << 20, &locks_ok);
    if (!locks_ok) {
        error = "cannot read /proc/locks";
        return false;
    }
    struct stat here {};
    const pid_t dir_holder = stat(".", &here) == 0 ? holder_of(locks, {here.st_dev, here.st_ino}) : 0;
    const auto names = supervisor_names(error);
    if (!error.empty()) return false;
    for (const auto &name : names)
        if (!gather_supervisor(status, name, locks, daemon, dir_holder, error)) return false;

    // The supervisor's own judgement of the record, without its removal.
    const cjson_tree record(bootchk_load());
    status.reason = bootchk_judge(record.get());
    status.boot_space = status.reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
    if (const char *version = cJSON_GetItemString(record.get(), "version")) status.data_version = version;
    return true;
}
