/* timed_exec FILE PROGRAM ARGS...: writes the time (ns) to FILE, then
 * becomes PROGRAM, so that a benchmark can time a start from the exec on. */
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3) return 2;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    FILE *f = fopen(argv[1], "w");
    if (f == NULL) return 2;
    fprintf(f, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    fclose(f);
    execv(argv[2], argv + 2);
    return 127;
}
