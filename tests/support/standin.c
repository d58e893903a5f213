/* The stand-in for every supervised program. Each start appends one line to
 * NAME.log in the working directory (its arguments, " |fds=" and its open
 * descriptors, " |pid=" and its pid), then acts out line K of NAME.plan, K
 * being the number of earlier starts (past the end: "run"):
 *   run                    wait until killed
 *   immortal               the same, ignoring SIGTERM
 *   exit N / signal N      exit with code N / die by signal N
 *   package CODE FILE      copy FILE to ./tmp//ttupgrade.tgz, then exit CODE
 *   rm FILE STEP           remove FILE (or an empty directory), then STEP
 *   sleep MS STEP          wait MS milliseconds, then act out STEP
 *   worker STEP            leave a worker in its process group, under another
 *                          name, its pid in NAME.workers; then STEP
 *   leader STEP            lead a process group of its own, then STEP
 *   thread STEP            end the first thread; a second acts out STEP
 *   await FILE N STEP      wait (5 s at most) until FILE has N lines
 *   await-dead FILE N STEP wait until the process of line N of FILE has ended
 * While it runs, SIGUSR1 makes it act out the step in PID.ctl, after noting
 * "PID STEP" in NAME.ends: the ends a test chose, as the program saw them.
 * Its files live in $WD_STANDIN_DIR, or else in the working directory. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

/* Line n (from 0) of a file, or the number of lines when n < 0. */
static long line_of(const char *path, long n, char *buf, size_t size) {
    FILE *f = fopen(path, "r");
    long lines = 0;
    buf[0] = '\0';
    while (f != NULL && fgets(buf, (int)size, f) != NULL && lines++ != n) {
    }
    if (f != NULL) fclose(f);
    buf[strcspn(buf, "\n")] = '\0';
    return n < 0 ? lines : lines > n;
}

static int alive(const char *log, long n) {
    char line[8192] = "", stat[64];
    const char *pid = line_of(log, n, line, sizeof line) ? strstr(line, "|pid=") : NULL;
    if (pid == NULL) return 1;
    snprintf(stat, sizeof stat, "/proc/%s/stat", pid + 5);
    return line_of(stat, 0, line, sizeof line) && strstr(line, ") Z ") == NULL;
}

static _Noreturn void die_by(int sig) {
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(99);
}

static volatile sig_atomic_t told;
static void on_told(int sig) { (void)sig; told = 1; }
static char dir[4096] = ".", ends[4400], workers[4400];

/* The step a test put in PID.ctl, noted in NAME.ends before it is acted out. */
static void take_told_step(char *step, size_t size) {
    char ctl[4200];
    snprintf(ctl, sizeof ctl, "%s/%d.ctl", dir, getpid());
    if (!line_of(ctl, 0, step, size)) strcpy(step, "run");
    unlink(ctl);
    FILE *f = fopen(ends, "a");
    if (f != NULL) fprintf(f, "%d %s\n", getpid(), step), fclose(f);
}

static _Noreturn void act(char *step);
static void *go_on(void *step) { act(step); }

static _Noreturn void act(char *step) {
    for (char verb[32], file[4096], buf[8192];;) {
        long n = 0;
        int used = 0;
        strcpy(verb, "run");
        sscanf(step, "%31s%n", verb, &used);
        char *rest = step + used;
        if (strcmp(verb, "exit") == 0) _exit(atoi(rest));
        if (strcmp(verb, "signal") == 0) die_by(atoi(rest));
        if (strcmp(verb, "rm") == 0 && sscanf(rest, "%4095s%n", file, &used) == 1) {
            remove(file);  /* a file, or an empty directory */
        } else if (strcmp(verb, "sleep") == 0 && sscanf(rest, "%ld%n", &n, &used) == 1) {
            usleep((useconds_t)n * 1000);
        } else if (strcmp(verb, "worker") == 0) {
            const pid_t worker = fork();
            if (worker == 0) {
                prctl(PR_SET_NAME, "worker");
                for (;;) pause();
            }
            FILE *f = fopen(workers, "a");
            if (f != NULL) fprintf(f, "%d\n", (int)worker), fclose(f);
            used = 0;
        } else if (strcmp(verb, "thread") == 0) {
            static char rest_of_plan[8192];
            pthread_t other;
            snprintf(rest_of_plan, sizeof rest_of_plan, "%s", rest);
            if (pthread_create(&other, NULL, go_on, rest_of_plan) == 0) pthread_exit(NULL);
            used = 0;
        } else if (strcmp(verb, "leader") == 0) {
            setpgid(0, 0);
            used = 0;
        } else if (strncmp(verb, "await", 5) == 0 && sscanf(rest, "%4095s %ld%n", file, &n, &used) == 2) {
            for (int i = 0; i < 5000 && (verb[5] ? alive(file, n - 1) : line_of(file, -1, buf, sizeof buf) < n); ++i)
                usleep(1000);
        } else if (strcmp(verb, "package") == 0 && sscanf(rest, "%ld %4095s", &n, file) == 2) {
            FILE *in = fopen(file, "r"), *out = fopen("./tmp//ttupgrade.tgz", "w");
            for (size_t got; in && out && (got = fread(buf, 1, sizeof buf, in)) > 0;) fwrite(buf, 1, got, out);
            _exit(in && out && fclose(out) == 0 ? (int)n : 98);
        } else {
            if (strcmp(verb, "immortal") == 0) signal(SIGTERM, SIG_IGN);
            sigset_t none;
            sigemptyset(&none);
            while (!told) sigsuspend(&none);
            told = 0;
            static char told_step[4096];
            take_told_step(told_step, sizeof told_step);
            rest = told_step, used = 0;
        }
        step = rest + used;
    }
}

int main(int argc, char *argv[]) {
    /* Named by the executable, not argv[0], which the supervisor may cut. */
    /* Told steps wait, blocked, until the program waits for them. */
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, NULL);
    signal(SIGUSR1, on_told);
    char exe[4096] = "", log[4400], plan[4400], step[8192];
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) return 96;
    const char *name = basename(exe);
    if (getenv("WD_STANDIN_DIR") != NULL) snprintf(dir, sizeof dir, "%s", getenv("WD_STANDIN_DIR"));
    snprintf(log, sizeof log, "%s/%s.log", dir, name);
    snprintf(plan, sizeof plan, "%s/%s.plan", dir, name);
    snprintf(ends, sizeof ends, "%s/%s.ends", dir, name);
    snprintf(workers, sizeof workers, "%s/%s.workers", dir, name);
    const long k = line_of(log, -1, step, sizeof step);  /* one line per earlier start */

    /* The descriptors are listed before the log is opened, and the line is
     * written before the plan runs: a start that is killed has logged. */
    char fds[512] = "";
    DIR *d = opendir("/proc/self/fd");
    for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;)
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d))
            snprintf(fds + strlen(fds), sizeof fds - strlen(fds), "%s%s", fds[0] ? "," : "", e->d_name);
    if (d != NULL) closedir(d);
    FILE *f = fopen(log, "a");
    if (f == NULL) return 97;
    for (int i = 0; i < argc; ++i) fprintf(f, "%s%s", i ? " " : "", argv[i]);
    if (getenv("WD_STANDIN_DIR") != NULL) fprintf(f, " |fds=%s |ppid=%d", fds, getppid());
    else fprintf(f, " |fds=%s", fds);
    fprintf(f, " |pid=%d\n", getpid());
    fclose(f);
    if (!line_of(plan, k, step, sizeof step)) strcpy(step, "run");
    act(step);
}
