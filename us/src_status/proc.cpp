#include "proc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <vector>

#include "fs.h"

dir_ptr open_listing(const char *path) {
    unique_fd fd = open_plain(path, O_RDONLY | O_DIRECTORY);
    DIR *dir = fd.valid() ? fdopendir(fd.get()) : nullptr;
    if (dir != nullptr) fd.release();
    return dir_ptr(dir);
}

std::string read_some(const std::string &path, size_t limit, bool *ok) {
    const unique_fd fd = open_plain(path.c_str());
    std::string text;
    char buf[65536];
    ssize_t n = fd.valid() ? 0 : -1;
    while (fd.valid() && text.size() < limit &&
           (n = read(fd.get(), buf, std::min(sizeof buf, limit - text.size()))) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (ok != nullptr) *ok = n >= 0;
    return text;
}

namespace {

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

}  // namespace

proc_facts facts_of(pid_t pid) {
    proc_facts facts;
    const auto fields = pid > 0 ? stat_fields(pid) : std::vector<std::string>{};
    if (fields.size() < 2) return facts;
    facts.exists = true;
    facts.zombie = fields[0] == "Z" || fields[0] == "X";
    facts.ppid = static_cast<pid_t>(atoi(fields[1].c_str()));
    return facts;
}

int holds_open(pid_t pid, dev_t dev, ino_t ino) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    const dir_ptr dir(open_listing(fds.c_str()));
    if (!dir) return errno == EACCES || errno == EPERM ? -1 : 0;
    while (dirent *e = readdir(dir.get())) {
        struct stat st {};
        if (e->d_name[0] != '.' && stat((fds + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == dev &&
            st.st_ino == ino)
            return 1;
    }
    return 0;
}

std::string exe_of(pid_t pid) {
    char exe[PATH_MAX] = "";
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
    if (path.ends_with(" (deleted)")) path.resize(path.size() - 10);
    return path;
}

std::string argv0_of(pid_t pid) {
    const std::string cmdline = read_some("/proc/" + std::to_string(pid) + "/cmdline", PATH_MAX + 1);
    return cmdline.substr(0, cmdline.find('\0'));
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

int flocks_held(const std::string &proc_locks, pid_t pid) {
    std::istringstream lines(proc_locks);
    int held = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string id, kind, mode, access;
        pid_t holder = 0;
        held += f >> id >> kind >> mode >> access >> holder && kind == "FLOCK" && holder == pid;
    }
    return held;
}
