/* The physical limit of the watch daemon's design, for comparison: the same
 * fork/exec/waitpid/record/delay per restart, or the same killall runs and
 * starts per restart-all cycle, and nothing else.
 *   mini_supervisor restart RECORD_FILE PROGRAM
 *   mini_supervisor cycle   RECORD_FILE PROGRAM...   (killall -9 each, start each,
 *                                                    wait for the first to end)
 * It runs until killed. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static pid_t start(const char *path)
{
    const pid_t pid = fork();
    if (pid == 0) {
        char *argv[] = {(char *)path, NULL};
        execv(path, argv);
        _exit(129);
    }
    return pid;
}

/* The restart delay, waited as watch_daemon waits it: for a signal, with a
 * deadline. The test interposer that makes watch_daemon's delays instant
 * then makes this one instant too (it no longer touches sleep()). */
static void delay(time_t seconds)
{
    /* As watch_daemon waits out a delay: for SIGUSR2, blocked, or the time. */
    sigset_t request;
    sigemptyset(&request);
    sigaddset(&request, SIGUSR2);
    sigprocmask(SIG_BLOCK, &request, NULL);
    const struct timespec timeout = {seconds, 0};
    sigtimedwait(&request, NULL, &timeout);
}

static void killall(const char *path)
{
    char name[256];
    snprintf(name, sizeof name, "%s", path);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("killall", "killall", "-9", "--", basename(name), (char *)NULL);
        _exit(127);
    }
    waitpid(pid, NULL, 0);
}

static void record(int fd, pid_t pid, int status)
{
    char line[256];
    const time_t now = time(NULL);
    struct tm tm;
    char stamp[64];
    asctime_r(localtime_r(&now, &tm), stamp);
    stamp[strlen(stamp) - 1] = '\0';
    const int n = snprintf(line, sizeof line, "%s: %d exited normally with code(%d)\n", stamp,
                           (int)pid, WEXITSTATUS(status));
    if (write(fd, line, (size_t)n) < 0) _exit(1);
}

int main(int argc, char *argv[])
{
    if (argc < 4) return 2;
    signal(SIGPIPE, SIG_IGN);
    const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (strcmp(argv[1], "restart") == 0) {
        start(argv[3]);
        for (;;) {
            int status;
            const pid_t pid = waitpid(-1, &status, 0);
            record(fd, pid, status);
            delay(10);
            start(argv[3]);
        }
    }
    for (;;) {
        for (int i = 3; i < argc; ++i) killall(argv[i]);
        pid_t first = 0;
        for (int i = 3; i < argc; ++i) {
            const pid_t pid = start(argv[i]);
            if (i == 3) first = pid;
        }
        /* Leftovers killed by name are reaped on the way; the first
         * program's end ends the cycle. */
        for (;;) {
            int status;
            const pid_t pid = waitpid(-1, &status, 0);
            if (pid == first) {
                record(fd, pid, status);
                break;
            }
        }
    }
}
