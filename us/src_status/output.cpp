// --output: a file that collectors read, replaced whole; and only a file.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "boot_record.h"
#include "fs.h"
#include "status.h"

namespace {

const char *kind_of(mode_t mode) {
    return S_ISLNK(mode) ? "a symbolic link" : S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode)                  ? "a device"
                                                             : "not a regular file";
}

// Whether `st` is a file the supervisor keeps or runs (read from the install
// directory): a slip of the operator's (--output tmp/watch_daemon.run) must
// not lose the ends recorded, the state, the config or a program.
bool used_by_supervisor(const install_status &status, const struct stat &st) {
    std::vector<std::string> files{status.sup.run_file, status.sup.state_file, "config", BOOTCHK_PATH, status.sup.name,
                                   "/proc/self/exe"};
    files.insert(files.end(), status.bases.begin(), status.bases.end());
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
    if (S_ISREG(st.st_mode) && used_by_supervisor(status, st)) {
        error = path + " is a file the supervisor uses: not replaced";
        return false;
    }
    if (!replace_file(path.c_str(), report.data(), report.size(), 0644)) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
