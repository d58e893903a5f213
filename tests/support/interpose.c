/* Test-only LD_PRELOAD library for the supervisor's own process.
 *
 * - sigtimedwait() (restart delays) and nanosleep() (fork retries) return at
 *   once and append "sleep N" or "pause N" to $WD_TEST_LOG (N: seconds,
 *   rounded up); a signal already pending still comes back. With
 *   WD_TEST_HOLD=1 the delays really wait, so that a test can look at a
 *   supervisor mid-delay or interrupt it; WD_TEST_SCALE=N makes them wait
 *   the Nth part of their time.
 * - WD_TEST_KILL_LOG=FILE notes each SIGKILL the supervisor sends to a pid,
 *   "PID alive" or "PID dead" (a process that had ended on its own already).
 * - WD_TEST_STOP_AT_KILL=1: a stop (SIGTERM) comes with each such SIGKILL, and
 *   the supervisor's first look for that end misses it, as when the process
 *   has not died yet; the end is there for the next look.
 * - WD_TEST_FAIL_FORK="N", "N-M" or "N+" makes those fork() or vfork() calls
 *   (counted together) fail with EAGAIN; WD_TEST_FAIL_WAITPID="N:ERR" (or
 *   "N+:ERR") fails waitpid(-1, ...); WD_TEST_FAIL_GETDENTS="N:ERR" so
 *   fails getdents64() (the upgrade's walks over the unpacked bundle), and
 *   WD_TEST_FAIL_EXEC="N:ERR" execv() of a program (counted across the vfork
 *   children, which share the supervisor's memory; never its own reload).
 * - WD_TEST_CLOCK_SHIFT=N: the wall clock (time(), CLOCK_REALTIME) N seconds
 *   off, as for a supervisor that ran before the system's clock was set.
 * - WD_TEST_ORPHAN_KILL=1: the supervisor dies by SIGKILL with the process
 *   that started it (a test harness that is itself ended, say).
 * - WD_TEST_ORPHAN=1: a program's child (the one that asks for SIGTERM when
 *   its parent dies) kills its parent and waits to be reparented first.
 * - WD_TEST_TRACE=1 logs "call NAME N" for each file call below and each
 *   waitpid(-1) ("call rename record", "call unlink package" for those);
 *   WD_TEST_KILL_AT=N dies by SIGKILL just before the Nth.
 * - WD_TEST_LANDLOCK=enosys or eperm makes the Landlock calls fail so, as on a
 *   kernel without it or under a seccomp profile that forbids them; abi1
 *   answers ABI 1, as a kernel from 5.13 to 5.18 does; restrict fails only
 *   the last call, with ENOMEM: a sandbox that cannot be applied.
 * - WD_TEST_FAIL_OPEN=TEXT: open() of a path holding TEXT fails with EMFILE;
 *   TEXT:N, TEXT:N-M or TEXT:N+ fails only those of such opens (from 1).
 * - WD_TEST_INHERIT=ITEM,... hands down what a starter could, before main:
 *   itimer (ITIMER_REAL, 0.2 s), fsize=N (the soft file-size limit), ignore=SIG
 *   or block=SIG (numbers), nofile=N (the soft
 *   open-file limit), umask=N (octal), close=N (descriptor N closed),
 *   open=N:PATH (PATH open as descriptor N).
 * The constructor removes these settings and the library from the
 * environment, so supervised programs, killall and tar run unaffected. A
 * supervisor that re-executes itself keeps the library, its log and line
 * buffering, and none of the other settings. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static char log_path[4096], kill_log[4096];
static long scale, clock_shift;
static long exec_at, exec_last, execs, open_at, open_last, opens, fork_at, fork_last, wait_at, wait_last, kill_at, forks, waits, calls, dents_at, dents_last, dents;
static int wait_err, dents_err, exec_err, tracing, holding, noting, orphaning, stop_at_kill;
static pid_t unseen;  /* killed, not to be seen at the first look */
static pid_t self;
static char landlock[16], fail_open[64];
/* What a supervisor that re-executes itself keeps, as NAME=VALUE. */
static const char *const keep[] = {"LD_PRELOAD", "WD_TEST_LOG", "WD_TEST_SCALE", "WD_TEST_KILL_LOG"};
static char *kept[4];

/* "N", "N-M" or "N+", then ":ERR": the calls that fail, and how. */
static int parse_calls(const char *text, long *at, long *last) {
    char *end = (char *)"";
    *at = *last = text ? strtol(text, &end, 10) : 0;
    if (*end == '+') *last = LONG_MAX, ++end;
    if (*end == '-') *last = strtol(end + 1, &end, 10);
    return *end == ':' ? atoi(end + 1) : 0;
}

static void inherit(const char *items) {
    char item[64];
    for (int used = 0; items != NULL && sscanf(items, " %63[^,]%n", item, &used) == 1; items += used + (items[used] == ',')) {
        const long n = strtol(strchr(item, '=') ? strchr(item, '=') + 1 : "0", NULL, 0);
        if (strcmp(item, "itimer") == 0) {
            const struct itimerval t = {{0, 0}, {0, 200000}};
            setitimer(ITIMER_REAL, &t, NULL);
        } else if (strncmp(item, "fsize=", 6) == 0) {
            struct rlimit r;
            getrlimit(RLIMIT_FSIZE, &r);
            r.rlim_cur = (rlim_t)n;
            setrlimit(RLIMIT_FSIZE, &r);
        } else if (strncmp(item, "nofile=", 7) == 0) {
            struct rlimit r;
            getrlimit(RLIMIT_NOFILE, &r);
            r.rlim_cur = (rlim_t)n;
            setrlimit(RLIMIT_NOFILE, &r);
        } else if (strncmp(item, "ignore=", 7) == 0) {
            signal((int)n, SIG_IGN);
        } else if (strncmp(item, "block=", 6) == 0) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, (int)n);
            sigprocmask(SIG_BLOCK, &set, NULL);
        } else if (strncmp(item, "umask=", 6) == 0) {
            umask((mode_t)strtol(item + 6, NULL, 8));
        } else if (strncmp(item, "open=", 5) == 0 && strchr(item, ':') != NULL) {
            int fd = open(strchr(item, ':') + 1, O_RDWR);
            if (fd < 0) fd = open(strchr(item, ':') + 1, O_RDONLY);
            if (fd >= 0 && fd != (int)n) dup2(fd, (int)n), close(fd);
        } else if (strncmp(item, "close=", 6) == 0) {
            close((int)n);
        }
    }
}

__attribute__((constructor)) static void interpose_init(void) {
    snprintf(log_path, sizeof log_path, "%s", getenv("WD_TEST_LOG") ? getenv("WD_TEST_LOG") : "");
    parse_calls(getenv("WD_TEST_FAIL_FORK"), &fork_at, &fork_last);
    wait_err = parse_calls(getenv("WD_TEST_FAIL_WAITPID"), &wait_at, &wait_last);
    dents_err = parse_calls(getenv("WD_TEST_FAIL_GETDENTS"), &dents_at, &dents_last);
    exec_err = parse_calls(getenv("WD_TEST_FAIL_EXEC"), &exec_at, &exec_last);
    orphaning = getenv("WD_TEST_ORPHAN") != NULL;
    stop_at_kill = getenv("WD_TEST_STOP_AT_KILL") != NULL;
    kill_at = atol(getenv("WD_TEST_KILL_AT") ? getenv("WD_TEST_KILL_AT") : "0");
    tracing = getenv("WD_TEST_TRACE") != NULL;
    holding = getenv("WD_TEST_HOLD") != NULL;
    scale = atol(getenv("WD_TEST_SCALE") ? getenv("WD_TEST_SCALE") : "0");
    clock_shift = atol(getenv("WD_TEST_CLOCK_SHIFT") ? getenv("WD_TEST_CLOCK_SHIFT") : "0");
    snprintf(kill_log, sizeof kill_log, "%s", getenv("WD_TEST_KILL_LOG") ? getenv("WD_TEST_KILL_LOG") : "");
    snprintf(landlock, sizeof landlock, "%s", getenv("WD_TEST_LANDLOCK") ? getenv("WD_TEST_LANDLOCK") : "");
    snprintf(fail_open, sizeof fail_open, "%s", getenv("WD_TEST_FAIL_OPEN") ? getenv("WD_TEST_FAIL_OPEN") : "");
    char *counted = strrchr(fail_open, ':');
    if (counted != NULL) *counted = '\0', parse_calls(counted + 1, &open_at, &open_last);
    else open_at = 1, open_last = LONG_MAX;
    self = getpid();
    inherit(getenv("WD_TEST_INHERIT"));
    if (getenv("WD_TEST_ORPHAN_KILL") != NULL) prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int i = 0; i < 4; ++i)
        if (getenv(keep[i]) && asprintf(&kept[i], "%s=%s", keep[i], getenv(keep[i])) < 0) kept[i] = NULL;
    for (char **e = environ; *e != NULL;) {  /* what the supervisor starts runs unaffected */
        char name[64];
        snprintf(name, sizeof name, "%.*s", (int)strcspn(*e, "="), *e);
        if (strncmp(name, "WD_TEST_", 8) == 0 || strcmp(name, "LD_PRELOAD") == 0) unsetenv(name);
        else ++e;
    }
}

/* Opened per note: the supervisor closes every inherited descriptor. */
static void note(const char *what, long n) {
    noting = 1;
    FILE *f = log_path[0] ? fopen(log_path, "ae") : NULL;
    if (f != NULL) fprintf(f, "%s %ld\n", what, n), fclose(f);
    noting = 0;
}

/* Counts and kills only in the supervisor, not in a vfork child sharing its memory. */
static void traced(const char *name) {
    if ((!tracing && kill_at == 0) || noting || getpid() != self) return;
    if (++calls == kill_at) raise(SIGKILL);
    if (tracing) note(name, calls);
}

#define REAL(ret, name, params) \
    static ret(*real) params;   \
    if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, #name)

int open(const char *path, int flags, ...) {
    REAL(int, open, (const char *, int, ...));
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (mode_t)va_arg(ap, int);
    va_end(ap);
    traced("call open");
    if (fail_open[0] != '\0' && strstr(path, fail_open) != NULL && ++opens >= open_at && opens <= open_last)
        return errno = EMFILE, -1;
    return real(path, flags, mode);
}

#define TRACED(ret, name, params, args) \
    ret name params {                   \
        REAL(ret, name, params);        \
        traced("call " #name);          \
        return real args;               \
    }
TRACED(ssize_t, read, (int fd, void *buf, size_t n), (fd, buf, n))
TRACED(ssize_t, write, (int fd, const void *buf, size_t n), (fd, buf, n))
TRACED(int, fsync, (int fd), (fd))
TRACED(int, close, (int fd), (fd))
/* The record's replacement and the package's removal are told apart. */
int rename(const char *from, const char *to) {
    REAL(int, rename, (const char *, const char *));
    traced(strstr(to, ".bootchk") != NULL ? "call rename record" : "call rename");
    return real(from, to);
}
int unlink(const char *path) {
    REAL(int, unlink, (const char *));
    traced(strstr(path, "ttupgrade") != NULL ? "call unlink package" : "call unlink");
    return real(path);
}
TRACED(int, syncfs, (int fd), (fd))

/* Notes a delay (in seconds, rounded up); returns the Nth part of it, or none. */
static struct timespec delay(const char *what, const struct timespec *t) {
    if (what != NULL) note(what, (long)t->tv_sec + (t->tv_nsec > 0));
    const long long ns = scale > 0 ? (t->tv_sec * 1000000000LL + t->tv_nsec) / scale : 0;
    return (struct timespec){(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    REAL(int, nanosleep, (const struct timespec *, struct timespec *));
    const struct timespec part = delay("pause", req);
    if (rem != NULL) rem->tv_sec = rem->tv_nsec = 0;
    return real(&part, NULL);
}

/* Whether `pid` has ended: a zombie, or gone. */
static int ended(pid_t pid) {
    char path[64], stat[512] = "";
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "re");
    const char *state = f && fgets(stat, sizeof stat, f) && strrchr(stat, ')') ? strrchr(stat, ')') + 2 : "X";
    if (f != NULL) fclose(f);
    return *state == 'Z' || *state == 'X';
}

int kill(pid_t pid, int sig) {
    REAL(int, kill, (pid_t, int));
    FILE *out = kill_log[0] && sig == SIGKILL && pid > 0 ? fopen(kill_log, "ae") : NULL;
    if (out != NULL) fprintf(out, "%d %s\n", (int)pid, ended(pid) ? "dead" : "alive"), fclose(out);
    const int r = real(pid, sig);
    if (stop_at_kill && sig == SIGKILL && pid > 0 && r == 0) {
        raise(SIGTERM);
        for (int i = 0; i < 1000 && !ended(pid); ++i) usleep(1000);
        unseen = pid;
    }
    return r;
}

int clock_gettime(clockid_t id, struct timespec *ts) {
    REAL(int, clock_gettime, (clockid_t, struct timespec *));
    const int r = real(id, ts);
    if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += clock_shift;
    return r;
}

time_t time(time_t *t) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (t != NULL) *t = now.tv_sec;
    return now.tv_sec;
}

/* A wait that a request to re-execute may end is a restart's delay ("sleep
 * N"), whatever else it takes (an orphan's end); a wait for no child and no
 * such request is a pause (a cycle's bound, a fork's retry); the rest are
 * waits for a tool. */
int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout) {
    REAL(int, sigtimedwait, (const sigset_t *, siginfo_t *, const struct timespec *));
    /* The last one ended for a SIGIO (the state file's watch or its retry
     * timer) or a child's end: this one waits out the rest of the shortened
     * delay, not a new one, or SIGIOs every two seconds would hold a long
     * delay for ever. */
    static int resumed;
    static long long until_ns;
    if (sigismember(set, SIGCHLD) && !sigismember(set, SIGUSR2)) return real(set, info, timeout);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
    struct timespec part = delay(resumed ? NULL : sigismember(set, SIGUSR2) ? "sleep" : "pause", timeout);
    if (!resumed) until_ns = now_ns + part.tv_sec * 1000000000LL + part.tv_nsec;
    const long long rest = until_ns > now_ns ? until_ns - now_ns : 0;
    if (resumed) part = (struct timespec){(time_t)(rest / 1000000000LL), (long)(rest % 1000000000LL)};
    const int sig = real(set, info, holding ? timeout : &part);
    resumed = sig == SIGIO || sig == SIGCHLD;
    return sig;
}

/* The supervisor's own re-execution: the new image keeps the library. */
int execv(const char *path, char *const argv[]) {
    REAL(int, execv, (const char *, char *const[]));
    const int own = getenv("WATCH_DAEMON_HANDOVER") != NULL;
    if (!own && ++execs >= exec_at && execs <= exec_last && exec_at > 0) return errno = exec_err, -1;
    for (int i = 0; own && i < 4; ++i)
        if (kept[i] != NULL) putenv(kept[i]);
    const int r = real(path, argv);
    for (int i = 0; own && i < 4; ++i) unsetenv(keep[i]);
    return r;
}

/* Counts a fork() or vfork(): whether this one fails. */
static int fork_fails(void) { return ++forks >= fork_at && forks <= fork_last && fork_at > 0; }

pid_t fork(void) {
    REAL(pid_t, fork, (void));
    return fork_fails() ? errno = EAGAIN, -1 : real();
}

/* The supervisor starts its programs with vfork(), counted with fork(). A C
 * wrapper cannot call the real vfork: the child would return through the
 * wrapper's frame while the suspended parent still needs it. So this entry
 * decides in C first, then fails, or jumps to the real vfork with the
 * caller's return address untouched. */
#if defined(__x86_64__)
static void *real_vfork;
__attribute__((visibility("hidden"), used)) int wd_vfork_fails(void) {
    if (real_vfork == NULL) real_vfork = dlsym(RTLD_NEXT, "vfork");
    return fork_fails();
}
__attribute__((visibility("hidden"), used)) pid_t wd_vfork_failed(void) { return errno = EAGAIN, -1; }
__asm__(".text\n.globl vfork\n.type vfork, @function\nvfork:\n"
        "  sub $8, %rsp\n  call wd_vfork_fails\n  add $8, %rsp\n"
        "  test %eax, %eax\n  jnz wd_vfork_failed\n"
        "  jmp *real_vfork(%rip)\n.size vfork, .-vfork\n");
#else
pid_t vfork(void) { return fork(); } /* fork's semantics are vfork's, and more */
#endif

/* A program's child about to arm its death signal: with WD_TEST_ORPHAN its
 * supervisor dies first, as it could at that moment. */
int prctl(int option, ...) {
    REAL(int, prctl, (int, ...));
    va_list ap;
    va_start(ap, option);
    unsigned long a[4];
    for (int i = 0; i < 4; ++i) a[i] = va_arg(ap, unsigned long);
    va_end(ap);
    const pid_t parent = getppid();
    if (orphaning && option == PR_SET_PDEATHSIG && a[0] == SIGTERM && kill(parent, SIGKILL) == 0)
        while (getppid() == parent) usleep(1000);
    return real(option, a[0], a[1], a[2], a[3]);
}

pid_t waitpid(pid_t pid, int *status, int options) {
    REAL(pid_t, waitpid, (pid_t, int *, int));
    if (pid == -1) traced("call waitpid");
    if (pid > 0 && pid == unseen && (options & WNOHANG)) return unseen = 0, 0;
    if (pid == -1 && ++waits >= wait_at && waits <= wait_last && wait_at > 0) return errno = wait_err, -1;
    return real(pid, status, options);
}

ssize_t getdents64(int fd, void *buf, size_t len) {
    REAL(ssize_t, getdents64, (int, void *, size_t));
    if (++dents >= dents_at && dents <= dents_last && dents_at > 0) return errno = dents_err, -1;
    return real(fd, buf, len);
}

long syscall(long number, ...) {
    REAL(long, syscall, (long, ...));
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    if (number >= SYS_landlock_create_ruleset && number <= SYS_landlock_restrict_self) {
        if (strcmp(landlock, "enosys") == 0) return errno = ENOSYS, -1;
        if (strcmp(landlock, "eperm") == 0) return errno = EPERM, -1;
        if (strcmp(landlock, "restrict") == 0 && number == SYS_landlock_restrict_self) return errno = ENOMEM, -1;
        if (strcmp(landlock, "abi1") == 0 && number == SYS_landlock_create_ruleset && a[2] == 1 /* VERSION */)
            return 1;
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
