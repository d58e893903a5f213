/* A supervised program that ends at once. It appends "start NS" when it
 * starts and "end NS" just before it exits to $WDB_TIMES/NAME, NAME being
 * its own file name, so a benchmark can count restarts and measure the gap
 * from one end to the next start. A name containing "restore" exits 160
 * (restart all programs); a name containing "idle" stays running; any other
 * exits 7. */
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void stamp(int fd, const char *what)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char line[64];
    const int n = snprintf(line, sizeof line, "%s %lld\n", what,
                           (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    if (write(fd, line, (size_t)n) != n) _exit(98);
}

int main(int argc, char *argv[])
{
    (void)argc;
    const char *dir = getenv("WDB_TIMES");
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir ? dir : "/tmp", basename(argv[0]));
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return 98;
    stamp(fd, "start");
    if (strstr(argv[0], "idle")) {
        close(fd);
        for (;;) pause();
    }
    const int code = strstr(argv[0], "restore") ? 160 : 7;
    stamp(fd, "end");
    return code;
}
