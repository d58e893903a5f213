// Process helpers shared by the product's programs, and the exit-code
// contract between the watch daemon and the programs it supervises.
#pragma once

#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Exit codes with which a supervised program asks the supervisor for something.
enum {
    APP_RETCODE_NORMAL = 128,            // restart this program alone after the usual delay
    APP_RETCODE_ERROR = 129,             // fatal: end the cycle with failure
    APP_RETCODE_UPDATE = 130,            // install ./tmp//ttupgrade.tgz as a plugin bundle
    APP_RETCODE_UPDATE_LUA = 131,        // install it as the Lua bundle, ./data//init.bin
    APP_RETCODE_UPDATE_SIG = 132,        // install it as the signature file, ./data//m01_sig.bin
    APP_RETCODE_RESTORE = 160,           // restart every program
    APP_RETCODE_MEMORY_OVERLIMIT = 180,  // restart this program alone after the usual delay
};

inline constexpr char BOOTCHK_FILE[] = ".bootchk";

// Closes every descriptor from `start` (3 when below 1) upwards, whatever
// the open-file limit: whoever started us may have left one above a limit
// it lowered afterwards. close_range() costs the same for any limit; on
// kernels older than 5.9, which lack it, the loop runs to the hard limit.
inline void process_closefd_from(int start) {
    if (start < 1) start = 3;
    if (close_range(static_cast<unsigned>(start), ~0U, 0) == 0) return;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t last = limit.rlim_max < (1u << 20) ? limit.rlim_max : (1u << 20);
    for (rlim_t fd = static_cast<rlim_t>(start); fd < last; ++fd) close(static_cast<int>(fd));
}

// Moves into the directory that holds `path` (the program's own path).
// A path that does not fit the 4096-byte buffer is refused rather than cut,
// since a cut path would name some other directory: returns -1 then, as
// for a directory that cannot be entered.
inline int app_change_dir(const char *path) {
    if (path == nullptr) return 0;
    char dir[4096];
    const size_t len = strlen(path);
    if (len >= sizeof dir) {
        printf("program path too long (%zu bytes), refusing to start\n", len);
        return -1;
    }
    memcpy(dir, path, len + 1);
    // Anywhere else, ./tmp/, ./data/ and config would be made and read in
    // whatever directory it was started from.
    const char *where = dirname(dir);
    if (chdir(where) == 0) return 0;
    printf("cannot change into %s: %s, refusing to start\n", where, strerror(errno));
    return -1;
}

// Opens (creating) and locks the run file `run_name`, empties it and writes
// `len` bytes of `buf`. Returns the descriptor, held open and locked and not
// inherited across exec, or -1.
int process_run_set(const char *run_name, const char *buf, int len);
