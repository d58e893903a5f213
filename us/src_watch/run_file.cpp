#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app_dpi_process.h"
#include "fs.h"
#include "watch_daemon.h"

int daemon_run_set(const char *argv0, watch_daemon_t *daemon) {
    char cwd[PATH_BUF];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        puts("failed to get current dir");
        return -1;
    }
    daemon->run_fd = process_run_set(daemon->runfile.data(), cwd, static_cast<int>(strlen(cwd)));
    if (daemon->run_fd < 0) {
        printf("process(%s) already run\n", argv0);
        return -1;
    }
    const ssize_t written = write(daemon->run_fd, "\n", 1);
    (void)written;
    return 0;
}

// asctime()'s fixed form, "Mon Mar  4 09:05:07 2024", without its line end.
static void format_now(char (&stamp)[64]) {
    const time_t now = wall_clock_now();
    struct tm local {};
    char text[64] = "";
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) text[0] = '\0';
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
