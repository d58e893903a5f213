#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <ctime>

#include "app_dpi_process.h"
#include "fs.h"
#include "watch_daemon.h"

int process_run_set(const char *run_name, const char *buf, int len) {
    if (run_name == nullptr) {
        puts("NULL file name");
        return -1;
    }
    // A link or a second name planted in ./tmp/ must not make the lock empty
    // another file, and a FIFO would block the first record that fills it.
    unique_fd fd = open_exposed(run_name, O_RDWR | O_CREAT, 0644);
    if (!fd.valid()) {
        printf("failed to open %s\n", run_name);
        return -1;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", run_name);
        return -1;
    }
    // Failures here cost only the run file's readability, never the lock.
    const int truncated = ftruncate(fd.get(), 0);
    (void)truncated;
    if (len > 0) write_all(fd.get(), buf, static_cast<size_t>(len));
    return fd.release();
}

// The run file's lock guards one name, and a program can remove the file and
// so let a second supervisor in. The install directory itself cannot be
// removed or replaced under us: its lock makes it one supervisor per install
// directory, whatever happens in ./tmp/.
static int lock_install_dir(const char *cwd) {
    unique_fd dir = open_plain(".", O_RDONLY | O_DIRECTORY);
    if (!dir.valid() || flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", cwd);
        return -1;
    }
    return dir.release();
}

int daemon_run_set(const char *argv0, watch_daemon_t *daemon) {
    char cwd[PATH_BUF];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        puts("failed to get current dir");
        return -1;
    }
    daemon->dir_fd = lock_install_dir(cwd);
    if (daemon->dir_fd >= 0)
        daemon->run_fd = process_run_set(daemon->runfile.data(), cwd, static_cast<int>(strlen(cwd)));
    if (daemon->dir_fd < 0 || daemon->run_fd < 0) {
        printf("process(%s) already run\n", argv0);
        return -1;
    }
    const ssize_t written = write(daemon->run_fd, "\n", 1);
    (void)written;
    return 0;
}

// asctime()'s fixed form, "Mon Mar  4 09:05:07 2024", without its line end.
long record_utc_offset = LONG_MIN;

static void format_now(char (&stamp)[64]) {
    const time_t now = wall_clock_now();
    struct tm local {};
    char text[64] = "";
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) text[0] = '\0';
    record_utc_offset = local.tm_gmtoff;
    snprintf(stamp, sizeof stamp, "%.63s", text);
    const size_t len = strlen(stamp);
    if (len > 0) stamp[len - 1] = '\0';
}

// On a full disk, a record that only partly fits is taken back whole, so the
// run file keeps whole lines and the next record starts a line.
static void append_whole(int fd, const char *record, size_t len) {
    size_t written = 0;
    if (write_all(fd, record, len, &written) || written == 0) return;
    const off_t start = lseek(fd, 0, SEEK_CUR) - static_cast<off_t>(written);
    if (start >= 0 && ftruncate(fd, start) == 0) lseek(fd, start, SEEK_SET);
}

void record_exit_status(int ret_code, int exit_normal, const char *base, int fd) {
    if (fd <= 0) return;
    char stamp[64];
    format_now(stamp);

    char record[256];
    const int n = exit_normal == 1
                      ? snprintf(record, sizeof record, "%s: %s exited normally with code(%d)\n",
                                 stamp, base, ret_code)
                      : snprintf(record, sizeof record, "%s: %s killed by signal(%d)\n", stamp,
                                 base, ret_code);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n);
    // A record that does not fit is cut, but it still ends its line, so that
    // the next record does not run on into it.
    if (len >= sizeof record) {
        len = sizeof record - 1;
        record[len - 1] = '\n';
    }
    append_whole(fd, record, len);
}
