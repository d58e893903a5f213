/* A lean stand-in for the soak: each start increments NAME.count and ends by
 * the new count k: exit 129 when k reaches the number in NAME.limit; every
 * 25th start exits 160 (restart all); else cycles through exit 7, SIGKILL,
 * SIGSEGV, exit 0, exit 128, SIGABRT. A program whose name starts with
 * "soakr" runs until it is killed. */
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static long read_number(const char *path) {
    char buf[32] = "";
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? atol(buf) : 0;
}

static void write_number(const char *path, long value) {
    char buf[32];
    const int n = snprintf(buf, sizeof buf, "%ld\n", value);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, buf, (size_t)n) != n) _exit(98);
    close(fd);
}

static _Noreturn void die_by(int sig) {
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(99);
}

int main(int argc, char *argv[]) {
    (void)argc;
    const char *name = basename(argv[0]);
    if (strncmp(name, "soakr", 5) == 0)
        for (;;) pause();
    char count_path[256], limit_path[256];
    snprintf(count_path, sizeof count_path, "%s.count", name);
    snprintf(limit_path, sizeof limit_path, "%s.limit", name);
    const long k = read_number(count_path) + 1;
    write_number(count_path, k);
    if (k >= read_number(limit_path)) return 129;
    if (k % 25 == 0) return 160;
    switch (k % 6) {
        case 0:
            return 7;
        case 1:
            die_by(SIGKILL);
        case 2:
            die_by(SIGSEGV);
        case 3:
            return 0;
        case 4:
            return 128;
        default:
            die_by(SIGABRT);
    }
    return 0;
}
