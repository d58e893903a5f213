#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

#ifdef WATCH_SANITIZED
constexpr int slowness = 4;  // the sanitized binaries are several times slower
#else
constexpr int slowness = 1;
#endif

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

strings lines_of(const std::string &text) {
    strings lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit * slowness;
    for (; !done(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

std::string shell(const std::string &command, int *status) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = p != nullptr ? pclose(p) : -1;
    if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return out;
}

bool is_dead(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

install_dir::install_dir(const std::string &parent) {
    base = parent + "/wdtest.XXXXXX";
    if (mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = base + "/inst";
    fs::create_directory(path);
    fs::copy_file(WATCH_DAEMON_BIN, at("watch_daemon"));
    fs::copy_file(WATCH_STATUS_BIN, at("watch_status"));
}

install_dir::~install_dir() {
    for (const auto &c : started_) {
        kill(-c.pid, SIGKILL);  // the supervisor's group: its programs and tools too
        waitpid(c.pid, nullptr, WNOHANG);
        if (c.pipe >= 0) close(c.pipe);
    }
    shell("chattr -R -i " + base + " 2>/dev/null; grep -o ' " + base +
          "/[^ ]*' /proc/mounts | sort -r | xargs -r -n1 umount -l");
    std::error_code ignored;
    fs::remove_all(base, ignored);
}

std::string install_dir::add_program(const std::string &tag) {
    // Short enough for killall's 15 characters.
    static std::atomic<int> counter;
    const std::string name = tag.substr(0, 3) + std::to_string(getpid()) + "_" + std::to_string(counter++);
    fs::copy_file(STANDIN_BIN, at(name));
    return name;
}

void install_dir::write(const std::string &rel, const std::string &text) const {
    std::ofstream(at(rel), std::ios::binary | std::ios::trunc) << text;
}

std::string install_dir::read(const std::string &rel) const { return slurp(at(rel)); }

strings install_dir::starts(const std::string &program) const {
    strings starts = lines_of(read(program + ".log"));
    for (auto &s : starts) s = s.substr(0, s.find(" |fds="));
    return starts;
}

pid_t install_dir::start(const launch &how) {
    // Everything is prepared before fork: the child may only make
    // async-signal-safe calls.
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        vars[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    }
    if (how.preload) vars["LD_PRELOAD"] = INTERPOSER_LIB, vars["WD_TEST_LOG"] = base + "/delays";
    // Under the sanitizer build the preloaded interposer comes before libasan.
    vars["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1";
    vars["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1";
    for (const auto &[k, v] : how.env) vars[k] = v;
    strings env_text;
    for (const auto &[k, v] : vars) env_text.push_back(k + "=" + v);
    std::vector<char *> envp, argv;
    for (auto &kv : env_text) envp.push_back(kv.data());
    envp.push_back(nullptr);
    const std::string daemon = at("watch_daemon"), argv0 = how.argv0.empty() ? daemon : how.argv0;
    for (const auto &w : how.wrapper) argv.push_back(const_cast<char *>(w.c_str()));
    if (!how.no_argv) argv.push_back(const_cast<char *>(argv0.c_str()));
    for (const auto &a : how.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const char *program = how.wrapper.empty() ? daemon.c_str() : how.wrapper[0].c_str();
    const std::string out = base + "/out" + std::to_string(started_.size());
    int fds[2] = {-1, -1};
    if (how.console == launch::read_pipe || how.console == launch::deaf_pipe) {
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (how.hostile_signals) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            signal(SIGINT, SIG_IGN);
            signal(SIGQUIT, SIG_IGN);
        }
        if (how.high_fd) dup2(0, static_cast<int>(files.rlim_cur) - 1);
        const int fd = fds[1] >= 0 ? fds[1] : open(out.c_str(), O_WRONLY | O_CREAT, 0644);
        for (int std_fd = 0; std_fd < 3; ++std_fd)
            if (how.console == launch::closed) close(std_fd);
            else if (std_fd > 0) dup2(fd, std_fd);
        execve(program, argv.data(), envp.data());
        _exit(127);
    }
    if (fds[1] >= 0) close(fds[1]);
    if (how.console == launch::deaf_pipe) close(fds[0]), fds[0] = -1;
    if (fds[0] >= 0) fcntl(fds[0], F_SETFL, O_NONBLOCK);
    started_.push_back({pid, fds[0], ""});
    return pid;
}

run_result install_dir::collect(size_t index, int status, bool ended) {
    child &c = started_[index];
    char buf[4096];
    for (ssize_t n; c.pipe >= 0 && (n = ::read(c.pipe, buf, sizeof buf)) > 0;) c.out.append(buf, n);
    run_result r{ended, status, c.pipe >= 0 ? c.out : slurp(base + "/out" + std::to_string(index)),
                 lines_of(slurp(base + "/delays"))};
    for (const char *report : {"Sanitizer", "runtime error:"})
        if (r.out.find(report) != std::string::npos) ADD_FAILURE() << "supervisor: " << r.out;
    return r;
}

run_result install_dir::wait(std::chrono::milliseconds limit, const std::function<void()> &while_waiting) {
    const size_t last = started_.size() - 1;
    int status = 0;
    const bool ended = wait_until(
        [&] {
            if (while_waiting) while_waiting();
            char buf[4096];
            for (ssize_t n; started_[last].pipe >= 0 && (n = ::read(started_[last].pipe, buf, sizeof buf)) > 0;)
                started_[last].out.append(buf, n);
            return waitpid(started_[last].pid, &status, WNOHANG) == started_[last].pid;
        },
        limit);
    if (!ended) {
        kill(-started_[last].pid, SIGKILL);
        waitpid(started_[last].pid, &status, 0);
    }
    return collect(last, status, ended);
}

run_result install_dir::stop() {
    for (size_t i = started_.size(); i-- > 0;) {
        int status = 0;
        if (waitpid(started_[i].pid, &status, WNOHANG) != 0) continue;  // already ended
        kill(started_[i].pid, SIGTERM);
        if (!wait_until([&] { return waitpid(started_[i].pid, &status, WNOHANG) != 0; })) {
            ADD_FAILURE() << "the supervisor did not stop on SIGTERM";
            kill(-started_[i].pid, SIGKILL);
            waitpid(started_[i].pid, &status, 0);
        }
        return collect(i, status, false);
    }
    ADD_FAILURE() << "no supervisor runs";
    return {};
}
