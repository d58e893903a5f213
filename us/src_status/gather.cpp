// Gathering: the supervisor that holds the install directory's lock, its
// state and run files, what /proc says about its programs, the config and the
// boot-check record. Only the files of the supervisor found are read: what
// else ./tmp/ holds (the programs' own temporary files) never shows.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "build_info.h"
#include "fs.h"
#include "proc.h"
#include "state_file.h"
#include "status.h"

namespace {

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the binary lies in `dir`: by its executable, or, where that is
// hidden (read without capabilities), by its command line. A relative one
// was relative to where it was started, from which the supervisor went into
// the directory that holds it: the path's tail (after any "..") names it.
bool lies_in(const std::string &dir, const std::string &exe, const std::string &argv0) {
    if (!exe.empty() || argv0.starts_with('/')) return directory_of(exe.empty() ? argv0 : exe) == dir;
    std::string tail = directory_of(argv0);
    if (const size_t up = tail.rfind("../"); up != std::string::npos) tail.erase(0, up + 3);
    while (tail.starts_with("./")) tail.erase(0, 2);
    return tail.empty() || tail == "." || tail == ".." || dir.ends_with("/" + tail);
}

bool name_files(supervisor_status &sup, const std::string &argv0) {
    char run[PATH_MAX + 16], state[PATH_MAX + 16];
    if (!supervisor_file(argv0.c_str(), ".run", run, sizeof run) ||
        !supervisor_file(argv0.c_str(), ".state", state, sizeof state))
        return false;
    sup.run_file = run, sup.state_file = state;
    sup.name = base_name(argv0.c_str());
    return true;
}

// The state file's pid, or 0: read only to tell another user's supervisor,
// whose executable cannot be read, from another holder of the lock.
pid_t pid_in_state(const supervisor_status &sup) {
    const unique_fd fd = open_exposed(sup.state_file.c_str());
    state_facts facts{};
    cjson_tree tree;
    return fd.valid() && state_read_file(fd.get(), facts, tree) ? facts.pid : 0;
}

// The supervisor is the holder of the install directory's lock whose
// executable lies in the install directory and who holds its run file's lock
// too (a copied tool holds no second lock), or whose state file names it (a
// binary linked from elsewhere, another user's process). Its files are named
// after its argv[0], as it names them.
void find_supervisor(install_status &status, const std::string &locks) {
    supervisor_status &sup = status.sup;
    struct stat here {};
    const pid_t holder = stat(".", &here) == 0
                             ? lock_holder(locks, here.st_dev, here.st_ino,
                                           [&](pid_t pid) { return holds_open(pid, here.st_dev, here.st_ino); })
                             : 0;
    std::string argv0 = holder > 0 ? argv0_of(holder) : "";
    if (holder > 0 && argv0.empty()) argv0 = name_by_lock(locks, holder);  // /proc hides its command line
    if (holder > 0 && argv0.empty()) argv0 = "watch_daemon";                // and its run file is moved away
    const std::string exe = holder > 0 ? exe_of(holder) : "";
    if (holder > 0 && name_files(sup, argv0) &&
        ((lies_in(status.dir, exe, argv0) && flocks_held(locks, holder) >= 2) ||
         pid_in_state(sup) == own_pid(holder)))
        sup.pid = holder;
    else
        sup.impostor = holder;
    if (sup.pid == 0) name_files(sup, "watch_daemon");  // none runs: the files of the one installed here
}

program_status slot_of(const slot_facts &f, int index) {
    const slot_record &s = f.record;
    program_status p;
    p.slot = index;
    p.base = f.base != nullptr ? f.base : "";
    p.published_pid = f.pid;
    p.published_state = s.state == SLOT_RUNNING ? "running" : s.state == SLOT_WAITING ? "waiting" : "starting";
    p.started = s.started > 0 ? s.started : -1;
    p.started_boot = s.started_boot > 0 ? s.started_boot : -1;
    p.ends = s.ends;
    p.segv = s.segv;
    p.restart_due = s.restart_due > 0 ? s.restart_due : -1;
    if (s.last_end > 0) p.last = program_end{-1, s.last_end, p.base, s.last_signaled ? program_end::killed : program_end::exited, s.last_code};
    return p;
}

void take_state(supervisor_status &sup, const state_facts &f) {
    auto text = [](const char *s) { return std::string(s != nullptr ? s : ""); };
    auto when = [](time_t t) { return t > 0 ? t : -1; };
    sup.version = text(f.version), sup.revision = text(f.revision);
    sup.started = when(f.started), sup.build_since = when(f.build_since), sup.updated = when(f.updated);
    // An empty TZ is UTC to the C library, unlike none (the system's zone).
    sup.zone = f.zone != nullptr && *f.zone == '\0' ? "UTC0" : text(f.zone);
    sup.pid_ns = f.pid_ns;
    sup.last_pid = f.pid;
    sup.data_space = f.data_space;
    sup.record_set_aside = f.record_set_aside;
    sup.upgrades_installed = f.upgrades_installed, sup.upgrades_failed = f.upgrades_failed;
    sup.reloads_failed = f.reloads_failed;
    sup.stopped_why = text(f.stopped_why), sup.stopped_at = when(f.stopped_at);
    for (int i = 0; i < f.slot_count; ++i) sup.programs.push_back(slot_of(f.slots[i], i));
}

// A running supervisor's times, moved onto this reader's wall clock by
// their boot-clock twins: the wall clock may have been set since they were
// taken, and uptimes and countdowns would be off by as much. The twins are
// on the supervisor's boot clock, which a time namespace of its own offsets.
void rebase_times(state_facts &f, pid_t supervisor, time_t now) {
    const time_t boot_now = boot_clock_s() + boot_clock_ahead(supervisor);
    // Both clocks are read in whole seconds, so the placing is a second off
    // now and then: only a clock set by more than that moves a time.
    auto rebase = [&](time_t &wall, time_t boot) {
        const time_t placed = now - (boot_now - boot);
        if (wall > 0 && boot > 0 && (placed > wall + 1 || placed < wall - 1)) wall = placed;
    };
    rebase(f.started, f.started_boot);
    rebase(f.build_since, f.build_since_boot);
    for (int i = 0; i < f.slot_count; ++i) {
        rebase(f.slots[i].record.started, f.slots[i].record.started_boot);
        rebase(f.slots[i].record.restart_due, f.slots[i].record.due_boot);
    }
}

// Written in place: a read that caught it half-written is read again. What
// follows the state (an older, longer one cut short) is not looked at.
bool read_state(install_status &status, std::string &error) {
    supervisor_status &sup = status.sup;
    const unique_fd fd = open_supervisor_file(status, sup.state_file, error);
    sup.state_present = fd.valid() || errno != ENOENT;
    if (!fd.valid()) return error.empty();
    state_facts facts{};
    cjson_tree tree;
    bool whole = false;
    std::string text(1 << 20, '\0');
    for (int attempt = 0; attempt < 5 && !whole; ++attempt) {
        if (attempt > 0) usleep(2000);
        const ssize_t got = pread(fd.get(), text.data(), text.size(), 0);
        whole = got > 0 && state_read(text.data(), static_cast<size_t>(got), facts, tree);
    }
    if (!whole) return status.notes.push_back(sup.state_file + " is not a state file: skipped"), true;
    // An earlier supervisor's file (this one could not write its own, or has
    // not yet): nothing in it is about the supervisor that runs. Which pid a
    // supervisor in a pid namespace of its own sees itself by, /proc may
    // not tell this reader.
    const pid_t seen = sup.pid > 0 && facts.pid != sup.pid ? own_pid(sup.pid) : sup.pid;
    if (seen < 0) {
        error = "cannot tell whether " + sup.state_file + " is the running supervisor's: cannot read /proc/" +
                std::to_string(sup.pid) + "/status: " + strerror(errno);
        return false;
    }
    if (sup.pid > 0 && facts.pid != seen) {
        status.notes.push_back(sup.state_file + " is an earlier supervisor's (pid " + std::to_string(facts.pid) +
                               "): the running one's start, version and programs' states are unknown");
        return true;
    }
    if (sup.pid > 0) rebase_times(facts, sup.pid, status.now);
    sup.has_state = true;
    take_state(sup, facts);
    // A supervisor in a pid namespace of its own (a container read from
    // outside) publishes its programs' pids as it sees them.
    if (sup.pid > 0 && facts.pid != sup.pid)
        for (auto &p : sup.programs) p.published_pid = p.published_pid > 0 ? child_seen_as(sup.pid, p.published_pid) : 0;
    return true;
}

// Without a state file (an older supervisor), the configured programs,
// counted from the run file.
void configured_programs(install_status &status) {
    supervisor_status &sup = status.sup;
    for (size_t i = 0; i < status.bases.size(); ++i) {
        program_status &p = sup.programs.emplace_back();
        p.slot = static_cast<int>(i);
        p.base = status.bases[i];
        for (const auto &end : sup.history) {
            if (end.base != p.base) continue;
            ++p.ends;
            p.segv += end.how == program_end::killed && end.value == SIGSEGV;
            p.last = end;
        }
    }
}

// Makes the zone `zone` ("": the system's) this process's local time.
void set_zone(const char *zone) {
    zone != nullptr && *zone != '\0' ? setenv("TZ", zone, 1) : unsetenv("TZ");
    tzset();
}

// The zone the supervisor published, from a file anything that writes ./tmp/
// can forge: the C library would open the file it names and wait forever on
// a FIFO, or on a file whose reads block (a kernel pipe). The zone file is
// read here, without waiting, as a regular file of at most 1 MiB, and the
// library reads this process's copy of it; a zone that names no file is a
// rule ("JST-9"), looked up nowhere. False, with errno, when the zone file
// could not be read or copied for this host's sake (too few descriptors, too
// little memory, a file-size limit below it): the supervisor's times cannot
// be told then.
bool set_published_zone(const std::string &zone) {
    static unique_fd copy;
    const std::string name = zone.starts_with(':') ? zone.substr(1) : zone;
    if (name.empty()) return set_zone(zone.c_str()), true;
    const bool has_dir = getenv("TZDIR") != nullptr && *getenv("TZDIR") != '\0';  // empty: the default, as the library has it
    const std::string dir = has_dir ? getenv("TZDIR") : "/usr/share/zoneinfo";
    const unique_fd file = open_plain((name.starts_with('/') ? name : dir + "/" + name).c_str());
    if (!file.valid() && host_at_fault(errno)) return false;
    struct stat st {};
    size_t len = 0;
    const heap_text text = file.valid() && fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)
                               ? read_capped(file.get(), 1 << 20, &len) : heap_text();
    if (file.valid() && !text && host_at_fault(errno)) return false;
    copy = unique_fd(text ? memfd_create("zone", MFD_CLOEXEC) : -1);
    if (text && (!copy.valid() || !write_all(copy.get(), text.get(), len))) return false;
    if (text) return set_zone(("/proc/self/fd/" + std::to_string(copy.get())).c_str()), true;
    if (file.valid() || name.starts_with('/')) return set_zone("UTC0"), true;  // as the library does with no zone file
    setenv("TZDIR", "/dev/null", 1);  // a rule: no file is looked for
    set_zone(name.c_str());
    has_dir ? setenv("TZDIR", dir.c_str(), 1) : unsetenv("TZDIR");
    return true;
}

// The records' time stamps are the supervisor's local time, read in its own
// zone, daylight saving included; without a state file, the reader's zone
// is a guess. The views then show times in the reader's zone again.
bool date_records(supervisor_status &sup, std::string &error) {
    const std::string reader = getenv("TZ") ? getenv("TZ") : "";
    if (sup.has_state && !set_published_zone(sup.zone)) {
        error = std::string("cannot read the supervisor's time zone: ") + strerror(errno);
        return false;
    }
    if (!sup.has_state) set_zone(reader.c_str());
    for (auto &end : sup.history) {
        struct tm tm {};
        gmtime_r(&end.stamp, &tm);
        tm.tm_isdst = -1;
        end.when = mktime(&tm);
    }
    set_zone(reader.c_str());
    return true;
}

// Whether `base`, or its copy in ./data/, is the file `binary` (by a link, a
// hard link), as the supervisor refuses a program that is itself.
bool leads_to(const std::string &base, const std::string &binary) {
    struct stat bin {}, st {};
    if (stat(binary.c_str(), &bin) != 0) return false;
    for (const std::string &path : {base, std::string(DPI_DATA_DIRNAME) + "/" + base})
        if (stat(path.c_str(), &st) == 0 && st.st_dev == bin.st_dev && st.st_ino == bin.st_ino) return true;
    return false;
}

// The config's programs, and why the supervisor `argv0` would refuse it ("" if not).
std::string read_config(const char *path, const char *argv0, std::vector<std::string> &bases) {
    const std::string name = std::string("./") + path;
    const unique_fd fd = open_plain(path);
    if (!fd.valid()) return name + ": " + strerror(errno);
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode)) return name + " is not a regular file";  // a FIFO reads empty
    size_t len = 0;
    const heap_text text = read_capped(fd.get(), CONFIG_MAX, &len);
    if (!text) return name + (errno == EFBIG ? " is larger than 16 MiB" : ": " + std::string(strerror(errno)));
    if (len == 0) return name + " is empty";
    const char *end = nullptr;
    const cjson_tree conf(cJSON_ParseWithOpts(text.get(), &end, false));
    if (!conf) {
        const std::string_view read(text.get(), end != nullptr ? static_cast<size_t>(end - text.get()) : 0);
        const size_t line_start = read.rfind('\n');
        return name + " is not JSON: error at line " + std::to_string(std::count(read.begin(), read.end(), '\n') + 1) +
               ", column " + std::to_string(read.size() - (line_start == std::string::npos ? 0 : line_start + 1) + 1);
    }
    const cJSON *processes = cJSON_GetObjectItem(cJSON_GetObjectItem(conf.get(), "__watch"), "processes");
    for (int i = 0; i < std::min(cJSON_GetArraySize(processes), STATE_SLOTS); ++i) {
        const char *base = cJSON_GetItemString(cJSON_GetArrayItem(processes, i), "base");
        const std::string element = name + ": element " + std::to_string(i + 1) + " of \"__watch\".\"processes\"";
        if (base == nullptr) return element + " has no string \"base\"";
        if (strlen(base) > PROGRAM_PATH_MAX)
            return element + " has a program path of " + std::to_string(strlen(base)) + " bytes, too long (at most " +
                   std::to_string(PROGRAM_PATH_MAX) + ")";
        if (named_like_supervisor(base, argv0) || leads_to(base, std::string("./") + std::string(base_name(argv0))))
            return element + " has the supervisor's name";
        bases.emplace_back(base);
    }
    if (bases.empty()) bases.emplace_back(DEFAULT_PROGRAM);
    return "";
}

// ./tmp/ may be a link (to a tmpfs, say). One that leads nowhere from here (a
// home directory the reader's unit may not see) hides a running supervisor's
// files, which would read as a supervisor that never published any.
bool tmp_reachable(std::string &error) {
    struct stat st {};
    if (lstat("./tmp", &st) != 0 || !S_ISLNK(st.st_mode) || stat("./tmp", &st) == 0) return true;
    const int err = errno;
    char target[PATH_MAX] = "";
    [[maybe_unused]] const ssize_t n = readlink("./tmp", target, sizeof target - 1);
    error = std::string("./tmp is a link to ") + target + ", which cannot be reached from here: " + strerror(err);
    return false;
}

}  // namespace

bool gather_status(install_status &status, std::string &error) {
    status.now = time(nullptr);
    bool locks_ok = false;
    const std::string locks = read_flocks("/proc/locks", &locks_ok);
    if (!locks_ok) {
        error = "cannot read /proc/locks";
        return false;
    }
    find_supervisor(status, locks);
    supervisor_status &sup = status.sup;
    if (sup.pid > 0 && !tmp_reachable(error)) return false;
    status.config_error = read_config("config", sup.name.c_str(), status.bases);
    status.config_ok = status.config_error.empty();
    if (!status.config_ok) status.bases.clear();
    if (!read_state(status, error) || !read_run_file(status, error)) return false;
    // A state file that never said its supervisor stopped proves nothing
    // where the lock's holder may be hidden: a supervisor on the host, or in
    // another container, read from a container. The first pid namespace sees
    // every holder, and any sees those of its own.
    const bool sees_holder = in_first_pid_namespace() || (sup.pid_ns != 0 && sup.pid_ns == own_pid_namespace());
    if (sup.pid == 0 && sup.impostor == 0 && sup.has_state && sup.stopped_why.empty() && !sees_holder) {
        error = "cannot tell whether a supervisor runs: this pid namespace does not see locks held outside it";
        return false;
    }
    if (!date_records(sup, error)) return false;
    if (!sup.has_state) configured_programs(status);
    for (auto &p : sup.programs) {
        if (sup.pid > 0 && p.published_pid > 0) p.proc = facts_of(p.published_pid);
        // One that outlived the stop (it ignored SIGTERM) runs on: the pid
        // it had, if that is still the process started then, whatever file
        // it runs (a script runs as its shell, a program may exec another):
        // one in the supervisor's process group or session, as programs are
        // started, or one that started when it did (on the boot clock: the
        // wall clock may have been set since), or one of its file; and, where
        // that can be told, one that works in this install directory or
        // beneath it, as the next start recognises it: a copied install's
        // state names the pids of the programs of the one it was copied from,
        // and they are in the group of its supervisor too.
        if (sup.pid != 0 || !sup.has_state || p.published_pid <= 0) continue;
        // A supervisor in a pid namespace of its own published the pids it
        // saw; from one that cannot see into it, nobody can tell.
        if (sup.pid_ns != 0 && sup.pid_ns != own_pid_namespace()) {
            p.published_pid = seen_here(sup.pid_ns, p.published_pid);
            p.proc.hidden = p.published_pid == 0 && !in_first_pid_namespace();
        }
        if (p.published_pid == 0) continue;
        const proc_facts was = facts_of(p.published_pid);
        const bool supervisors = sup.last_pid > 0 && (was.group == sup.last_pid || was.session == sup.last_pid);
        p.outlived = was.exists && works_in(p.published_pid, status.dir) != 0 &&
                     (supervisors || (was.started_boot >= 0 && p.started_boot > 0 && std::llabs(was.started_boot - p.started_boot) <= 2) ||
                      base_name(exe_of(p.published_pid).c_str()) == base_name(p.base.c_str()));
        if (p.outlived || was.hidden) p.proc = was;
        if (p.outlived && was.started >= 0) p.started = was.started;  // on this reader's wall clock
    }

    // The supervisor's own judgement of the record, without its removal.
    int refused = 0;
    const cjson_tree record(bootchk_load(&refused));
    if (refused != 0) status.record_ignored = refusal_text(refused);
    status.reason = bootchk_judge(record.get());
    // After a failed boot the supervisor could not remove the record (a
    // read-only or immutable file): its cycles ignore it from then on.
    if (sup.pid > 0 && sup.record_set_aside && record) {
        status.record_ignored = "the supervisor could not remove it after a failed boot";
        status.reason = boot_reason::no_record;
    }
    status.data_space = status.reason == boot_reason::data_space;
    if (const char *version = cJSON_GetItemString(record.get(), "version")) status.data_version = version;
    return true;
}
