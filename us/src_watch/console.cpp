#include "console.h"

#include "fs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

int console_fd = STDOUT_FILENO;
bool is_socket = false;
unsigned long dropped = 0;
// The rest of a line the console took only in part, written before any other.
char pending[4096];
size_t pending_len = 0;
FILE *original;  // the standard output stdio had, for after the last line

// Set when the console is a pipe or terminal that could not be opened anew
// (another user's, or no /proc): its description, shared with the programs,
// stays blocking, and a repeating timer cuts a write short instead.
bool cut_short = false;

void interrupt_only(int) {}

ssize_t write_cut_short(const char *buf, size_t len) {
    constexpr itimerval every_20ms{{0, 20000}, {0, 20000}};  // repeating: one that fires before the write still ends it
    constexpr itimerval off{};
    setitimer(ITIMER_REAL, &every_20ms, nullptr);
    const ssize_t n = write(console_fd, buf, len);
    setitimer(ITIMER_REAL, &off, nullptr);
    return n;
}

ssize_t write_without_waiting(const char *buf, size_t len) {
    if (cut_short) return write_cut_short(buf, len);
    ssize_t n;
    do {
        n = is_socket ? send(console_fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL) : write(console_fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// SIGALRM, unblocked and caught without SA_RESTART, only ends a write.
void let_timer_cut_writes() {
    struct sigaction cut {};
    cut.sa_handler = interrupt_only;
    sigemptyset(&cut.sa_mask);
    sigaction(SIGALRM, &cut, nullptr);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
    cut_short = true;
}

// Writes what it can of `buf`; keeps the rest of a started line for later.
bool put(const char *buf, size_t len) {
    const ssize_t n = write_without_waiting(buf, len);
    if (n <= 0) return false;
    const size_t rest = len - static_cast<size_t>(n);
    pending_len = rest < sizeof pending ? rest : sizeof pending;
    memcpy(pending, buf + n, pending_len);
    return true;
}

bool flush_pending() {
    if (pending_len == 0) return true;
    const ssize_t n = write_without_waiting(pending, pending_len);
    if (n <= 0) return false;
    pending_len -= static_cast<size_t>(n);
    memmove(pending, pending + n, pending_len);
    return pending_len == 0;
}

// stdio's writer for standard output: always reports success, so that a
// line that could not be written is gone rather than retried.
ssize_t write_lines(void *, const char *buf, size_t len) {
    if (flush_pending() && dropped > 0) {
        char note[96];
        const int n = snprintf(note, sizeof note, "dropped %lu console lines that could not be written at once\n", dropped);
        if (n > 0 && put(note, static_cast<size_t>(n))) dropped = 0;
    }
    if (pending_len > 0 || dropped > 0 || !put(buf, len)) dropped += std::max<long>(1, std::count(buf, buf + len, '\n'));
    return static_cast<ssize_t>(len);
}

}  // namespace

unsigned console_dropped() {
    return static_cast<unsigned>(std::min<unsigned long>(dropped + (pending_len > 0), UINT_MAX));
}

void console_add_dropped(unsigned lines) {
    dropped += lines;
}

void console_init() {
    static FILE *console;
    console_fd = STDOUT_FILENO;
    is_socket = false;
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISSOCK(st.st_mode)) {
        is_socket = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // Opened anew, a pipe or a terminal is a description of our own, whose
        // O_NONBLOCK the programs never see.
        const int fd = open_plain("/proc/self/fd/1", O_WRONLY).release();
        if (fd >= 0)
            console_fd = fd;
        else
            let_timer_cut_writes();
    }
    if (console != nullptr) return;
    console = fopencookie(nullptr, "w", {nullptr, write_lines, nullptr, nullptr});
    if (console == nullptr) return;
    setvbuf(console, nullptr, _IOLBF, 0);
    original = stdout;
    stdout = console;
    atexit([] {
        FILE *ours = stdout;
        stdout = original;
        fclose(ours);
    });
}

void console_write_once(const char *text, size_t len) {
    write_without_waiting(text, len);
}

const char *escaped(const char *text, char *out, size_t size) {
    size_t at = 0;
    for (; *text != '\0' && at + 4 < size; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c < 0x20 || c == 0x7f)
            at += static_cast<size_t>(snprintf(out + at, size - at, "\\x%02x", c));
        else
            out[at++] = static_cast<char>(c);
    }
    out[at] = '\0';
    return out;
}
