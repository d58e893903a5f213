#include "proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "fs.h"
#include "process.h"

namespace {

// At most `limit` bytes of a file of the kernel's.
std::string read_some(const std::string &path, size_t limit = 1 << 20) {
    const unique_fd fd = open_plain(path.c_str());
    std::string text;
    char buf[4096];
    for (ssize_t n; fd.valid() && text.size() < limit &&
                    (n = read(fd.get(), buf, std::min(sizeof buf, limit - text.size()))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// The boot on the wall clock (/proc/stat's btime); 0 when not known.
time_t boot_time() {
    static const time_t btime = [] {
        const std::string stat = read_some("/proc/stat");
        const size_t at = stat.find("\nbtime ");
        return at == std::string::npos ? 0 : static_cast<time_t>(atoll(stat.c_str() + at + 7));
    }();
    return btime;
}

// The boot clock's offset of the time namespace a timens_offsets file
// tells, in seconds; 0 when it tells none.
long long boot_offset(const std::string &path) {
    const std::string offsets = read_some(path, 4096);
    const size_t at = offsets.find("boottime");
    return at == std::string::npos ? 0 : atoll(offsets.c_str() + at + 8);
}

}  // namespace

long long boot_clock_ahead(pid_t pid) {
    return boot_offset("/proc/" + std::to_string(pid) + "/timens_offsets") - boot_offset("/proc/self/timens_offsets");
}

std::string read_flocks(const char *path, bool *ok) {
    constexpr size_t most = 64 << 20;  // some 1.3 million flocks: far beyond any real host
    const unique_fd fd = open_plain(path);
    std::string kept, line;
    char buf[65536];
    ssize_t n = fd.valid() ? 0 : -1;
    auto keep = [&](std::string_view part) {
        line.append(part);
        if (line.back() != '\n') return;
        if (line.find(" FLOCK ") != std::string::npos && kept.size() < most) kept += line;
        line.clear();
    };
    while (fd.valid() && (n = read(fd.get(), buf, sizeof buf)) > 0)
        for (std::string_view rest(buf, static_cast<size_t>(n)); !rest.empty();) {
            const size_t end = std::min(rest.find('\n'), rest.size() - 1);
            keep(rest.substr(0, end + 1));
            rest.remove_prefix(end + 1);
        }
    *ok = n >= 0 && kept.size() < most;
    return kept;
}

bool hidden_from_us(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

proc_facts facts_of(pid_t pid) {
    char buf[1024];
    const std::string_view stat = read_proc(pid, "stat", buf);
    const long long since_boot = stat_started(stat);
    if (stat_field(stat, 3).empty() || since_boot < 0) return {.hidden = hidden_from_us(pid)};
    const char state = stat_field(stat, 0)[0];
    const auto number = [&](size_t index) { return atoi(std::string(stat_field(stat, index)).c_str()); };
    const time_t started = boot_time() > 0 ? boot_time() + static_cast<time_t>(since_boot) : -1;
    // A leader that ended before its other threads shows as a zombie, but
    // the process runs on, and cannot be reaped until they end too.
    const bool ended = (state == 'Z' || state == 'X') && number(17) <= 1;
    return {true, ended, state == 'T' || state == 't', number(1), number(2), number(3), started, since_boot};
}

std::string argv0_of(pid_t pid) {
    char buf[PATH_MAX + 1];
    std::string_view cmdline = read_proc(pid, "cmdline", buf);
    return std::string(next_arg(cmdline));
}

int holds_open(pid_t pid, dev_t dev, ino_t ino) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    const dir_ptr dir(open_listing(fds.c_str()));
    auto denied = [] { return errno == EACCES || errno == EPERM; };
    if (!dir) return denied() || hidden_from_us(pid) ? -1 : 0;
    // Root without capabilities may list a root process's descriptors but
    // not follow them: that cannot be told either.
    int found = 0;
    while (dirent *e = readdir(dir.get())) {
        struct stat st {};
        if (e->d_name[0] == '.') continue;
        if (stat((fds + "/" + e->d_name).c_str(), &st) != 0) {
            if (denied()) found = -1;
        } else if (st.st_dev == dev && st.st_ino == ino) {
            return 1;
        }
    }
    return found;
}

namespace {

// Whether the task whose /proc directory is `task` works in `dir` or beneath it.
int task_works_in(const std::string &task, const std::string &dir) {
    const std::string link = task + "/cwd";
    struct stat cwd {}, here {};
    char path[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), path, sizeof path);
    if (n <= 0 || stat(link.c_str(), &cwd) != 0) return -1;
    const std::string_view where(path, static_cast<size_t>(n));
    return (stat(dir.c_str(), &here) == 0 && cwd.st_dev == here.st_dev && cwd.st_ino == here.st_ino) ||
           (where.starts_with(dir) && where.substr(dir.size()).starts_with('/'));
}

}  // namespace

// A leader that ended before its other threads has no directory to show:
// theirs is the process's.
int works_in(pid_t pid, const std::string &dir) {
    const std::string process = "/proc/" + std::to_string(pid);
    const int leader = task_works_in(process, dir);
    const dir_ptr tasks(leader < 0 ? open_listing((process + "/task").c_str()) : nullptr);
    for (const dirent *e; tasks != nullptr && (e = readdir(tasks.get())) != nullptr;)
        if (e->d_name[0] != '.' && atoi(e->d_name) != pid)
            if (const int other = task_works_in(process + "/task/" + e->d_name, dir); other >= 0) return other;
    return leader;
}

std::string exe_of(pid_t pid) {
    char exe[PATH_MAX] = "";
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
    if (path.ends_with(" (deleted)")) path.resize(path.size() - 10);
    return path;
}

pid_t own_pid(pid_t pid) {
    const std::string status = read_some("/proc/" + std::to_string(pid) + "/status", 16384);
    if (status.empty()) return -1;
    const size_t line = status.find("\nNSpid:");
    if (line == std::string::npos) return pid;
    const size_t end = status.find('\n', line + 1);
    const size_t last = status.find_last_of(" \t", end);  // the innermost namespace's, last
    return static_cast<pid_t>(atoi(status.c_str() + last + 1));
}

bool in_first_pid_namespace() {
    constexpr ino_t first_pid_namespace = 0xEFFFFFFC;  // the kernel's fixed inode for it
    struct stat st {};
    return stat("/proc/self/ns/pid", &st) != 0 || st.st_ino == first_pid_namespace;
}

pid_t seen_here(unsigned long long pid_ns, pid_t seen) {
    const dir_ptr proc(open_listing("/proc"));
    for (const dirent *e; proc != nullptr && (e = readdir(proc.get())) != nullptr;) {
        const pid_t pid = atoi(e->d_name);
        struct stat ns {};
        if (pid > 0 && stat(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), &ns) == 0 && ns.st_ino == pid_ns &&
            own_pid(pid) == seen)
            return pid;
    }
    return 0;
}

pid_t child_seen_as(pid_t parent, pid_t seen) {
    const std::string task = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent);
    std::istringstream children(read_some(task + "/children"));
    for (pid_t child = 0; children >> child;)
        if (own_pid(child) == seen) return child;
    return 0;
}

namespace {

// Each flock of /proc/locks text: its holder, device and inode. A waiter's
// line ("->") has its fields shifted, and is none.
struct flock_line {
    pid_t pid;
    unsigned major, minor;
    unsigned long long ino;
};

std::vector<flock_line> flocks_of(const std::string &proc_locks) {
    std::istringstream lines(proc_locks);
    std::vector<flock_line> out;
    for (std::string line; std::getline(lines, line);) {
        flock_line l{};
        char kind[16] = "";
        if (sscanf(line.c_str(), "%*s %15s %*s %*s %d %x:%x:%llu", kind, &l.pid, &l.major, &l.minor, &l.ino) == 5 &&
            strcmp(kind, "FLOCK") == 0)
            out.push_back(l);
    }
    return out;
}

}  // namespace

pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino, const std::function<int(pid_t)> &holds_file) {
    std::vector<pid_t> same_device, inode_only;  // overlay file systems report another device
    for (const flock_line &l : flocks_of(proc_locks))
        if (l.ino == ino) (l.major == major(dev) && l.minor == minor(dev) ? same_device : inode_only).push_back(l.pid);
    for (const pid_t pid : same_device)
        if (pid > 0 && holds_file(pid) != 0) return pid;
    for (const pid_t pid : inode_only)
        if (pid > 0 && holds_file(pid) == 1) return pid;
    return 0;
}

std::string name_by_lock(const std::string &proc_locks, pid_t pid) {
    const dir_ptr dir(open_listing("./tmp"));
    const auto all = flocks_of(proc_locks);
    std::string found;
    for (dirent *e; dir && (e = readdir(dir.get())) != nullptr;) {
        const std::string_view name = e->d_name;
        const size_t run = name.rfind(".run");  // NAME.run, or rotated: NAME.run.1, NAME.run-DATE
        struct stat st {}, binary {};
        if (run == 0 || run == name.npos || fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const std::string supervisor(name.substr(0, run));
        for (const flock_line &l : all) {
            if (l.pid != pid || l.ino != st.st_ino) continue;
            // A program may link the run file under names of its own in
            // ./tmp/: the name of a binary beside it is the supervisor's.
            if (stat(supervisor.c_str(), &binary) == 0 && S_ISREG(binary.st_mode)) return supervisor;
            if (found.empty()) found = supervisor;
        }
    }
    return found;
}

int flocks_held(const std::string &proc_locks, pid_t pid) {
    const auto all = flocks_of(proc_locks);
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const flock_line &l) { return l.pid == pid; }));
}
