// --output: a file that collectors read, replaced whole; and only a file.
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "build_info.h"
#include "fs.h"
#include "status.h"

namespace {

const char *kind_of(mode_t mode) {
    return S_ISLNK(mode) ? "a symbolic link" : S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode)                  ? "a device"
                                                             : "not a regular file";
}

// Whether `path` lies in ./tmp/ or ./data/, whose files are the supervisor's
// (run and state files, whatever its name) or the programs' (what they run
// from ./data/, a bundle's files, the boot-check record). Its directory and
// each above it are compared by device and inode: a bind mount of the
// install directory is another path to the same directories, each held by
// an O_PATH descriptor: one that may be searched but not listed still
// counts. -1, with errno, when one cannot be held for this host's sake (too
// few descriptors, say): then nobody can tell.
int in_working_dirs(const std::string &path) {
    struct stat working[2] {};
    const bool has[2] = {stat(DPI_TMP_DIRNAME, &working[0]) == 0, stat(DPI_DATA_DIRNAME, &working[1]) == 0};
    auto same = [](const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; };
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path.c_str());
    const auto unknown = [] { return host_at_fault(errno) ? -1 : 0; };  // else nothing can be written there
    unique_fd at = open_plain(dirname(dir), O_PATH | O_DIRECTORY);
    if (!at.valid()) return unknown();
    for (struct stat st {};;) {
        if (fstat(at.get(), &st) != 0) return unknown();
        if ((has[0] && same(st, working[0])) || (has[1] && same(st, working[1]))) return 1;
        unique_fd up = open_exposed_dir(at.get(), "..", O_PATH);
        struct stat above {};
        if (!up.valid() || fstat(up.get(), &above) != 0) return unknown();
        if (same(above, st)) return 0;  // the root
        at = std::move(up);
    }
}

// Whether the file `st` at `path` is one the supervisor keeps or runs (read
// from the install directory): a slip of the operator's (--output
// tmp/watch_daemon.run) must not lose the ends recorded, the state, the
// config or a program, whether config names it or, when config cannot be
// read, the state does (when neither does, no executable file), nor the copy
// of it that runs from ./data/ (which a bind mount of a directory in ./data/
// reaches by another path).
bool used_by_supervisor(const install_status &status, const struct stat &st) {
    std::vector<std::string> files{"config", "watch_daemon", status.sup.name, "/proc/self/exe"};
    if (status.sup.pid > 0) files.push_back("/proc/" + std::to_string(status.sup.pid) + "/exe");  // started by another name
    std::vector<std::string> programs = status.bases;
    for (const auto &p : status.sup.programs) programs.push_back(p.base);
    for (const auto &base : programs) files.insert(files.end(), {base, DPI_DATA_DIRNAME + ("/" + base)});
    struct stat own {};
    for (const auto &file : files)
        if (stat(file.c_str(), &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) return true;
    // Neither config nor a state names the programs: any executable may be one.
    return programs.empty() && !status.config_ok && (st.st_mode & 0111) != 0;
}

}  // namespace

bool write_report(const install_status &status, const std::string &path, const std::string &report, std::string &error) {
    // The rename replaces the name itself: whatever else is there (a link
    // to /dev/stdout, a device) must be left alone, not replaced.
    struct stat st {};
    const bool exists = lstat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error = path + " is " + kind_of(st.st_mode) + ": not replaced";
        return false;
    }
    const int inside = in_working_dirs(path);
    if (inside < 0) {
        error = "cannot tell whether " + path + " lies in tmp/ or data/: " + strerror(errno) + ": not replaced";
        return false;
    }
    if (inside > 0 || (exists && used_by_supervisor(status, st))) {
        error = path + " is a file the supervisor uses: not replaced";
        return false;
    }
    if (!replace_file(path.c_str(), report.data(), report.size(), 0644)) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
