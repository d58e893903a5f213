// watch_status [--json] [INSTALL_DIR]: what the watch daemon of an install
// directory is doing and what it did. Read-only: it never takes the run
// file's lock, so a supervisor starting at the same moment is not disturbed,
// and it never removes a boot-check record.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "status.h"

// LSB status conventions.
enum { STATUS_RUNNING = 0, STATUS_NOT_RUNNING = 3, STATUS_UNKNOWN = 4 };

int main(int argc, char *argv[]) {
    bool json = false;
    const char *dir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "-h" || arg == "--help") {
            puts("usage: watch_status [--json] [INSTALL_DIR]");
            return STATUS_RUNNING;
        } else if (arg.starts_with("-") || dir[0] != '.' || dir[1] != '\0') {
            fprintf(stderr, "watch_status: unexpected argument %s\n", argv[i]);
            return STATUS_UNKNOWN;
        } else {
            dir = argv[i];
        }
    }
    if (chdir(dir) != 0) {
        fprintf(stderr, "watch_status: cannot enter install directory %s: %s\n", dir,
                strerror(errno));
        return STATUS_UNKNOWN;
    }
    install_status status;
    char cwd[PATH_BUF];
    status.dir = getcwd(cwd, sizeof cwd) ? cwd : dir;
    std::string error;
    if (!gather_status(status, error)) {
        fprintf(stderr, "watch_status: %s\n", error.c_str());
        return STATUS_UNKNOWN;
    }
    fputs((json ? format_status_json(status) : format_status_text(status)).c_str(), stdout);
    return status.running() ? STATUS_RUNNING : STATUS_NOT_RUNNING;
}
