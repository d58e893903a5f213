#include "tool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app_dpi_process.h"
#include "console.h"
#include "fs.h"
#include "sandbox.h"
#include "watch_daemon.h"

void become_child(int death_signal, pid_t supervisor) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    signal(SIGTTOU, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, death_signal);
    if (getppid() != supervisor) raise(death_signal);
}

bool wait_child_until(pid_t pid, long long deadline_ms, int *status) {
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        const long long left = deadline_ms > 0 ? deadline_ms - monotonic_ms() : 60000;
        if ((r < 0 && errno != EINTR) || left <= 0) return false;
        await_signal({SIGCHLD, SIGTERM}, left);
    }
}

namespace {

// The environment of every tool: the supervisor's search path, nothing else
// (no TAR_OPTIONS, no preload, no service-manager socket).
char **tool_environment() {
    static char path[PATH_BUF + 8];
    static char *env[] = {path, nullptr};
    const char *search = getenv("PATH");
    snprintf(path, sizeof path, "PATH=%s", search != nullptr ? search : "/usr/sbin:/usr/bin:/sbin:/bin");
    return env;
}

// The tool's side, between fork and exec. Tools die by SIGKILL with the
// supervisor: nothing of theirs needs a clean end, and tar must not go on
// writing ./data/.
[[noreturn]] void become_tool(const char *const argv[], const tool_options &options, pid_t supervisor,
                              int exec_error, char **env) {
    become_child(SIGKILL, supervisor);
    if (options.own_group) setpgid(0, 0);
    const int null = options.quiet ? open_plain("/dev/null", O_WRONLY).release() : -1;
    const int output = options.quiet ? null : options.output;
    const int error = options.quiet ? null : options.error >= 0 ? options.error : options.output;
    if ((output >= 0 && dup2(output, STDOUT_FILENO) < 0) || (error >= 0 && dup2(error, STDERR_FILENO) < 0)) _exit(127);
    if (options.input >= 0 && dup2(options.input, STDIN_FILENO) < 0) _exit(127);
    if (options.workdir >= 0 && fchdir(options.workdir) != 0) _exit(127);
    umask(umask(0) | 022);
    // Fail closed: a sandbox asked for and not set up means no tool at all.
    if (options.sandbox_abi > 0 && confine_writes_to(options.workdir, options.sandbox_abi) != 0)
        _exit(TOOL_NOT_CONFINED);
    // The pipe for a failed exec's errno stays, as 3: close-on-exec, it is
    // gone once the tool runs.
    if (exec_error != 3 && dup3(exec_error, 3, O_CLOEXEC) != 3) _exit(127);
    process_closefd_from(4);
    // A path is executed as it is: execvpe would hand a file that is no
    // program to the shell.
    if (strchr(argv[0], '/') != nullptr)
        execve(argv[0], const_cast<char *const *>(argv), env);
    else
        execvpe(argv[0], const_cast<char *const *>(argv), env);
    const int err = errno;
    [[maybe_unused]] const ssize_t told = write(3, &err, sizeof err);
    _exit(127);
}

// fork, not vfork: what a tool's child does before its exec (the search of
// PATH, its descriptors, its sandbox) then touches its own copy of libc's
// pages, not the supervisor's. A failed exec sends its errno back through a
// pipe that a successful one closes.
pid_t start_tool(const char *const argv[], const tool_options &options, int *exec_error) {
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return -1;
    char **env = tool_environment();
    const pid_t supervisor = getpid();
    const pid_t pid = fork();
    if (pid == 0) become_tool(argv, options, supervisor, told[1], env);
    if (pid > 0 && options.own_group) setpgid(pid, pid);
    close(told[1]);
    int err = 0;
    if (pid > 0 && read(told[0], &err, sizeof err) == sizeof err) *exec_error = err;
    close(told[0]);
    return pid;
}

// What a tool wrote into the memory file `fd`, as far as `buf` holds it.
void read_back(int fd, char *buf, size_t size) {
    const ssize_t n = pread(fd, buf, size - 1, 0);
    buf[n > 0 ? n : 0] = '\0';
}

}  // namespace

int run_tool(const char *const argv[], const tool_options &options) {
    int exec_error = 0;
    const pid_t pid = with_fork_retries([&] { return start_tool(argv, options, &exec_error); });
    if (pid < 0) return -1;
    int status = 0;
    const long long deadline = options.time_limit_s > 0 ? monotonic_ms() + options.time_limit_s * 1000LL : 0;
    const bool ended = wait_child_until(pid, deadline, &status);
    if (!ended) kill(pid, SIGKILL);
    if (options.own_group) kill(-pid, SIGKILL);  // whatever it left behind
    if (!ended) {
        wait_child_until(pid, 0, &status);
        errno = ETIMEDOUT;
        return -1;
    }
    if (exec_error != 0) {
        errno = exec_error;
        return -1;
    }
    return status;
}

int probe_version(const char *path, char *answer, size_t answer_size, char *error, size_t error_size) {
    const unique_fd out(memfd_create("probe-output", MFD_CLOEXEC)), err(memfd_create("probe-error", MFD_CLOEXEC));
    answer[0] = error[0] = '\0';
    if (!out.valid() || !err.valid()) return -1;
    const char *const argv[] = {path, "--version", nullptr};
    const int status =
        run_tool(argv, {.output = out.get(), .error = err.get(), .time_limit_s = 5, .own_group = true});
    const int saved = errno;
    read_back(out.get(), answer, answer_size);
    read_back(err.get(), error, error_size);
    error[strcspn(error, "\n")] = '\0';
    errno = saved;
    return status;
}

namespace {

// Whether a tool's line ends with ": " and the reason `err` is told by.
bool ends_with_reason(std::string_view line, int err) {
    const std::string_view reason = strerror(err);
    return line.ends_with(reason) && line.substr(0, line.size() - reason.size()).ends_with(": ");
}

// A file system without symbolic links (vfat, the kernel's exFAT) refuses
// them as not permitted, which nothing in a package can cause in its staging
// directory (a hard link to a directory can: not counted).
bool link_refused(std::string_view line) {
    return line.find(": Cannot create symlink to ") != line.npos && ends_with_reason(line, EPERM);
}

// The compressor tar runs could not be started (gzip missing, say): tar's
// child says so in lines of its own, which no member's name can begin.
bool compressor_not_run(std::string_view line) {
    return (line.starts_with("tar (child): ") || line.starts_with("tar (grandchild): ")) &&
           line.find(": Cannot exec: ") != line.npos;
}

}  // namespace

bool said_host_fault(int fd) {
    char text[4096];
    read_back(fd, text, sizeof text);
    // The reason ends the line ("tar: NAME: Cannot open: REASON"): a member
    // named after one, which tar shows before its reason, names none.
    for (char *line = text, *end; *line != '\0'; line = *end != '\0' ? end + 1 : end) {
        end = line + strcspn(line, "\n");
        if (link_refused(std::string_view(line, end)) || compressor_not_run(std::string_view(line, end))) return true;
        for (const int err : HOST_FAULTS)
            if (ends_with_reason(std::string_view(line, end), err)) return true;
    }
    return false;
}

int relay_output(int fd, std::string_view unless) {
    char text[PATH_MAX + 64];  // killall's line about the longest name a program may have
    read_back(fd, text, sizeof text);
    int relayed = 0;
    for (char *line = text, *next; *line != '\0'; line = next) {
        // Matched whole before the text is cut into lines: a name in it may
        // hold a line end of its own.
        const std::string_view rest(line);
        if (!unless.empty() && rest.starts_with(unless) && (rest.size() == unless.size() || rest[unless.size()] == '\n')) {
            next = line + unless.size() + (rest.size() > unless.size() ? 1 : 0);
            continue;
        }
        next = line + strcspn(line, "\n");
        if (*next != '\0') *next++ = '\0';
        char shown[sizeof text * 4];
        puts(escaped(line, shown, sizeof shown));
        ++relayed;
    }
    return relayed;
}
