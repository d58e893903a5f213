/* The stand-in for every supervised program. Each start appends one line to
 * NAME.log in the working directory (its arguments, " |fds=" and its open
 * descriptors, " |pid=" and its pid), then acts out line K of NAME.plan, K
 * being the number of earlier starts (past the end: "run"):
 *   run                    wait until killed
 *   immortal               the same, ignoring SIGTERM
 *   exit N / signal N      exit with code N / die by signal N
 *   package CODE FILE      copy FILE to ./tmp//ttupgrade.tgz, then exit CODE
 *   rm FILE STEP           remove FILE, then act out STEP
 *   await FILE N STEP      wait (5 s at most) until FILE has N lines
 *   await-dead FILE N STEP wait until the process of line N of FILE has ended
 *   soak LIMIT             (first line only, for every start) end the Kth
 *                          start by K: 129 from LIMIT on, 160 every 25th,
 *                          else exit 7, SIGKILL, SIGSEGV, exit 0, 128, SIGABRT */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static char *line_of(const char *path, long n, char *buf, size_t size) {
    FILE *f = fopen(path, "r");
    char *got = NULL;
    for (long i = 0; f != NULL && i <= n && (got = fgets(buf, (int)size, f)) != NULL; ++i) {
    }
    if (f != NULL) fclose(f);
    if (got != NULL) buf[strcspn(buf, "\n")] = '\0';
    return got;
}

static long lines_in(const char *path) {
    FILE *f = fopen(path, "r");
    long n = 0;
    for (int c; f != NULL && (c = getc(f)) != EOF;) n += c == '\n';
    if (f != NULL) fclose(f);
    return n;
}

static int alive(const char *log, long n) {
    char line[8192], stat[64], text[512] = "";
    const char *pid = line_of(log, n, line, sizeof line) ? strstr(line, "|pid=") : NULL;
    if (pid == NULL) return 1;
    snprintf(stat, sizeof stat, "/proc/%s/stat", pid + 5);
    FILE *f = fopen(stat, "r");
    if (f == NULL) return 0;
    const int got = fgets(text, sizeof text, f) != NULL;
    fclose(f);
    return got && strstr(text, ") Z ") == NULL;
}

static _Noreturn void die_by(int sig) {
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(99);
}

static _Noreturn void act(char *step) {
    for (;;) {
        char verb[32] = "run", file[4096] = "";
        long n = 0;
        int used = 0;
        sscanf(step, "%31s%n", verb, &used);
        char *rest = step + used;
        if (strcmp(verb, "exit") == 0) _exit(atoi(rest));
        if (strcmp(verb, "signal") == 0) die_by(atoi(rest));
        if (strcmp(verb, "rm") == 0 && sscanf(rest, "%4095s%n", file, &used) == 1) {
            unlink(file);
            step = rest + used;
            continue;
        }
        if (strncmp(verb, "await", 5) == 0 && sscanf(rest, "%4095s %ld%n", file, &n, &used) == 2) {
            for (int i = 0; i < 5000; ++i) {
                if (verb[5] == '\0' ? lines_in(file) >= n : !alive(file, n - 1)) break;
                usleep(1000);
            }
            step = rest + used;
            continue;
        }
        if (strcmp(verb, "package") == 0 && sscanf(rest, "%ld %4095s", &n, file) == 2) {
            const int in = open(file, O_RDONLY);
            const int out = open("./tmp//ttupgrade.tgz", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            char buf[65536];
            for (ssize_t got; in >= 0 && out >= 0 && (got = read(in, buf, sizeof buf)) > 0;)
                if (write(out, buf, (size_t)got) != got) _exit(98);
            _exit(in >= 0 && out >= 0 && close(out) == 0 ? (int)n : 98);
        }
        if (strcmp(verb, "immortal") == 0) signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
}

static _Noreturn void soak(long k, long limit) {
    if (k >= limit) _exit(129);
    if (k % 25 == 0) _exit(160);
    static const int ends[] = {7, -SIGKILL, -SIGSEGV, 0, 128, -SIGABRT};
    const int end = ends[k % 6];
    if (end < 0) die_by(-end);
    _exit(end);
}

static void log_start(int argc, char *argv[], const char *log) {
    int fds[64], count = 0;  /* listed before the log is opened */
    DIR *d = opendir("/proc/self/fd");
    for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;)
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d) && count < 64)
            fds[count++] = atoi(e->d_name);
    if (d != NULL) closedir(d);
    FILE *f = fopen(log, "a");
    if (f == NULL) _exit(97);
    for (int i = 0; i < argc; ++i) fprintf(f, "%s%s", i ? " " : "", argv[i]);
    fputs(" |fds=", f);
    for (int i = 0; i < count; ++i) fprintf(f, "%s%d", i ? "," : "", fds[i]);
    fprintf(f, " |pid=%d\n", getpid());
    fclose(f); /* before the plan runs: a killed start has logged */
}

int main(int argc, char *argv[]) {
    char name[256];
    /* Named by the executable, not argv[0], which the supervisor may cut. */
    char exe[4096];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[len > 0 ? len : 0] = '\0';
    snprintf(name, sizeof name, "%s", basename(exe));
    char log[300], plan[300], count[300], step[8192];
    snprintf(log, sizeof log, "%s.log", name);
    snprintf(plan, sizeof plan, "%s.plan", name);
    snprintf(count, sizeof count, "%s.count", name);
    const long k = line_of(count, 0, step, sizeof step) ? atol(step) : 0;
    FILE *c = fopen(count, "w");
    if (c == NULL || fprintf(c, "%ld\n", k + 1) < 0 || fclose(c) != 0) _exit(96);
    log_start(argc, argv, log);
    if (line_of(plan, 0, step, sizeof step) && strncmp(step, "soak ", 5) == 0)
        soak(k + 1, atol(step + 5));
    if (!line_of(plan, k, step, sizeof step)) strcpy(step, "run");
    act(step);
}
