// --output: a file that collectors read, replaced whole; and only a file.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "fs.h"
#include "status.h"

namespace {

const char *kind_of(mode_t mode) {
    return S_ISLNK(mode) ? "a symbolic link" : S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode) || S_ISBLK(mode)                  ? "a device"
                                                             : "not a regular file";
}

}  // namespace

bool write_report(const std::string &path, const std::string &report, std::string &error) {
    // The rename replaces the name itself: whatever else is there (a link
    // to /dev/stdout, a device) must be left alone, not replaced.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + " is " + kind_of(st.st_mode) + ": not replaced";
        return false;
    }
    if (!replace_file(path.c_str(), report.data(), report.size(), 0644)) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
