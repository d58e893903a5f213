// --output: a file that collectors read, replaced whole; and only a file.
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
// from ./data/, a bundle's files).
bool in_working_dirs(const std::string &path) {
    char dir[PATH_MAX], where[PATH_MAX], real[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path.c_str());
    if (realpath(dirname(dir), where) == nullptr) return false;
    for (const char *working : {DPI_TMP_DIRNAME, DPI_DATA_DIRNAME}) {
        if (realpath(working, real) == nullptr) continue;
        const size_t len = strlen(real);
        if (strncmp(where, real, len) == 0 && (where[len] == '\0' || where[len] == '/')) return true;
    }
    return false;
}

// Whether the file `st` at `path` is one the supervisor keeps or runs (read
// from the install directory): a slip of the operator's (--output
// tmp/watch_daemon.run) must not lose the ends recorded, the state, the
// config or a program, whether config names it or, when config cannot be
// read, the state does.
bool used_by_supervisor(const install_status &status, const std::string &path, const struct stat &st) {
    if (in_working_dirs(path)) return true;
    std::vector<std::string> files{"config", status.sup.name, "/proc/self/exe"};
    files.insert(files.end(), status.bases.begin(), status.bases.end());
    for (const auto &p : status.sup.programs) files.push_back(p.base);
    struct stat own {};
    for (const auto &file : files)
        if (stat(file.c_str(), &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) return true;
    return false;
}

}  // namespace

bool write_report(const install_status &status, const std::string &path, const std::string &report, std::string &error) {
    // The rename replaces the name itself: whatever else is there (a link
    // to /dev/stdout, a device) must be left alone, not replaced.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + " is " + kind_of(st.st_mode) + ": not replaced";
        return false;
    }
    if (S_ISREG(st.st_mode) && used_by_supervisor(status, path, st)) {
        error = path + " is a file the supervisor uses: not replaced";
        return false;
    }
    if (!replace_file(path.c_str(), report.data(), report.size(), 0644)) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
