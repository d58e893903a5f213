/* Test-only LD_PRELOAD library for the supervisor's own process.
 *
 * - sleep() and nanosleep() return at once; each request is appended to
 *   $WD_TEST_LOG as "sleep N" (restart delays) or "pause N" (fork retries).
 * - $WD_TEST_FAIL_FORK="N" makes the Nth fork() fail with EAGAIN once,
 *   "N-M" the Nth to the Mth, "N+" from the Nth on.
 * - $WD_TEST_FAIL_WAITPID="N:ERR" or "N+:ERR" does the same for the Nth
 *   waitpid() on any child (pid -1), with errno ERR.
 * - $WD_TEST_ORPHAN_FORK="N": the child of the Nth fork() kills its parent and
 *   waits to be reparented before it goes on.
 * - $WD_TEST_LINEBUF=1 makes standard output line buffered.
 * - $WD_TEST_TRACE=1 logs "call NAME" for each file call below (and waitpid);
 *   $WD_TEST_KILL_AT=N kills the process with SIGKILL just before the Nth of
 *   them, as a power cut or an OOM kill would at that point.
 *
 * Its constructor removes these variables and itself from LD_PRELOAD, so the
 * supervised programs, killall and tar run unaffected. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct failure {
    long at;   /* 1-based call number, 0 for never */
    long last; /* last call that fails; LONG_MAX for all from `at` on */
    int err;
};

static char log_path[4096];
static struct failure fork_fail, waitpid_fail;
static long orphan_at;
static long forks, waits;
static int tracing;
static long kill_at, calls;
static int noting; /* note() itself opens and writes: not counted */

static void parse_failure(const char *text, struct failure *f, int default_err) {
    f->err = default_err;
    if (text == NULL) return;
    char *end = NULL;
    f->at = f->last = strtol(text, &end, 10);
    if (*end == '+') {
        f->last = LONG_MAX;
        ++end;
    } else if (*end == '-') {
        f->last = strtol(end + 1, &end, 10);
    }
    if (*end == ':') f->err = atoi(end + 1);
}

static int should_fail(const struct failure *f, long call) {
    return f->at > 0 && call >= f->at && call <= f->last;
}

static void drop_from_preload(void) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload == NULL) return;
    char kept[4096] = "";
    char *copy = strdup(preload);
    char *save = NULL;
    for (char *lib = strtok_r(copy, ": ", &save); lib; lib = strtok_r(NULL, ": ", &save)) {
        if (strstr(lib, "wd_interpose") != NULL) continue;
        if (kept[0] != '\0') strncat(kept, ":", sizeof kept - strlen(kept) - 1);
        strncat(kept, lib, sizeof kept - strlen(kept) - 1);
    }
    free(copy);
    if (kept[0] == '\0')
        unsetenv("LD_PRELOAD");
    else
        setenv("LD_PRELOAD", kept, 1);
}

__attribute__((constructor)) static void interpose_init(void) {
    /* Valgrind's launcher is dynamically linked too: leave the settings for
     * the program it runs. */
    if (strncmp(program_invocation_short_name, "valgrind", 8) == 0) return;
    const char *log = getenv("WD_TEST_LOG");
    if (log != NULL) snprintf(log_path, sizeof log_path, "%s", log);
    parse_failure(getenv("WD_TEST_FAIL_FORK"), &fork_fail, EAGAIN);
    parse_failure(getenv("WD_TEST_FAIL_WAITPID"), &waitpid_fail, ECHILD);
    const char *orphan = getenv("WD_TEST_ORPHAN_FORK");
    orphan_at = orphan ? atol(orphan) : 0;
    const char *trace = getenv("WD_TEST_TRACE");
    tracing = trace != NULL && trace[0] == '1';
    const char *kill = getenv("WD_TEST_KILL_AT");
    kill_at = kill ? atol(kill) : 0;
    const char *linebuf = getenv("WD_TEST_LINEBUF");
    if (linebuf != NULL && linebuf[0] == '1') setvbuf(stdout, NULL, _IOLBF, 0);
    const char *vars[] = {"WD_TEST_LOG",         "WD_TEST_FAIL_FORK", "WD_TEST_FAIL_WAITPID",
                          "WD_TEST_ORPHAN_FORK", "WD_TEST_LINEBUF",   "WD_TEST_TRACE",
                          "WD_TEST_KILL_AT"};
    for (size_t i = 0; i < sizeof vars / sizeof vars[0]; ++i) unsetenv(vars[i]);
    drop_from_preload();
}

/* Opened per note: the supervisor closes every inherited descriptor. */
static void note(const char *what, long seconds) {
    if (log_path[0] == '\0') return;
    noting = 1;
    const int fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        noting = 0;
        return;
    }
    char line[64];
    const int n = snprintf(line, sizeof line, "%s %ld\n", what, seconds);
    if (write(fd, line, (size_t)n) < 0) { /* the test will notice */
    }
    close(fd);
    noting = 0;
}

/* Counts one traced call; dies before it when it is the chosen one. */
static void traced(const char *name) {
    if ((!tracing && kill_at == 0) || noting) return;
    ++calls;
    if (calls == kill_at) raise(SIGKILL);
    if (tracing) note(name, calls);
}

#define REAL(name)                        \
    static __typeof__(name) *real_##name; \
    if (real_##name == NULL) *(void **)&real_##name = dlsym(RTLD_NEXT, #name)

int open(const char *path, int flags, ...) {
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (mode_t)va_arg(ap, int);
    va_end(ap);
    traced("call open");
    return real_open(path, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n) {
    REAL(read);
    traced("call read");
    return real_read(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n) {
    REAL(write);
    traced("call write");
    return real_write(fd, buf, n);
}

int fsync(int fd) {
    REAL(fsync);
    traced("call fsync");
    return real_fsync(fd);
}

int close(int fd) {
    REAL(close);
    traced("call close");
    return real_close(fd);
}

int rename(const char *from, const char *to) {
    REAL(rename);
    traced("call rename");
    return real_rename(from, to);
}

int unlink(const char *path) {
    REAL(unlink);
    traced("call unlink");
    return real_unlink(path);
}

unsigned int sleep(unsigned int seconds) {
    note("sleep", (long)seconds);
    return 0;
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    note("pause", (long)req->tv_sec);
    if (rem != NULL) rem->tv_sec = rem->tv_nsec = 0;
    return 0;
}

pid_t fork(void) {
    static pid_t (*real_fork)(void);
    if (real_fork == NULL) *(void **)&real_fork = dlsym(RTLD_NEXT, "fork");
    ++forks;
    if (should_fail(&fork_fail, forks)) {
        errno = fork_fail.err;
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = real_fork();
    if (pid == 0 && orphan_at == forks) {
        kill(parent, SIGKILL);
        while (getppid() == parent) usleep(1000);
    }
    return pid;
}

pid_t waitpid(pid_t pid, int *status, int options) {
    static pid_t (*real_waitpid)(pid_t, int *, int);
    if (real_waitpid == NULL) *(void **)&real_waitpid = dlsym(RTLD_NEXT, "waitpid");
    if (pid == -1) traced("call waitpid");
    if (pid == -1 && should_fail(&waitpid_fail, ++waits)) {
        errno = waitpid_fail.err;
        return -1;
    }
    return real_waitpid(pid, status, options);
}
