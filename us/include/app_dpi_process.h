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

// The open-file limit as sysconf(_SC_OPEN_MAX) reports it, the soft
// RLIMIT_NOFILE, or -1 when it cannot be told. Asked of getrlimit() directly:
// sysconf's dispatch on its argument is code and tables touched for nothing.
inline long process_open_max() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<long>(limit.rlim_cur);
}

// Closes every descriptor from `start` (3 when below 1) up to the open-file
// limit. close_range() makes the cost independent of the limit, which may be
// a million; the loop is only for kernels older than 5.9.
inline void process_closefd_from(int start) {
    if (start < 1) start = 3;
    const long limit = process_open_max();
    if (limit < 0 || start >= limit) return;
    if (close_range(static_cast<unsigned>(start), static_cast<unsigned>(limit - 1), 0) == 0) return;
    for (long fd = start; fd < limit; ++fd) close(static_cast<int>(fd));
}

// Moves into the directory that holds `path` (the program's own path).
// A path that does not fit the 4096-byte buffer is refused rather than cut,
// since a cut path would name some other directory: returns -1 then.
// The result of chdir() is ignored: the daemon goes on where it was started.
inline int app_change_dir(const char *path) {
    if (path == nullptr) return 0;
    char dir[4096];
    const size_t len = strlen(path);
    if (len >= sizeof dir) {
        printf("program path too long (%zu bytes), refusing to start\n", len);
        return -1;
    }
    memcpy(dir, path, len + 1);
    const int ignored = chdir(dirname(dir));
    (void)ignored;
    return 0;
}

// Opens (creating) and locks the run file `run_name`, empties it and writes
// `len` bytes of `buf`. Returns the descriptor, held open and locked and not
// inherited across exec, or -1.
inline int process_run_set(const char *run_name, const char *buf, int len) {
    if (run_name == nullptr) {
        puts("NULL file name");
        return -1;
    }
    // Only a regular file: a link planted in ./tmp/ must not make the lock
    // empty its target, and a FIFO would block the first record that fills it.
    const int fd = open(run_name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    struct stat st {};
    // fstat() itself is this call with an empty path from libc's read-only
    // data: a page that would be mapped in for this one check.
    if (fd < 0 || fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        printf("failed to open %s\n", run_name);
        if (fd >= 0) close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", run_name);
        close(fd);
        return -1;
    }
    // Failures here cost only the run file's readability, never the lock.
    const int truncated = ftruncate(fd, 0);
    (void)truncated;
    if (len > 0) {
        const ssize_t written = write(fd, buf, static_cast<size_t>(len));
        (void)written;
    }
    return fd;
}
