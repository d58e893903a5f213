#include "install_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string shell(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

install_dir::install_dir(const std::string &parent) {
    std::string tmpl = (access(parent.c_str(), W_OK) == 0 ? parent : "/tmp") + "/wdtest.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    dir_ = base_ + "/inst";
    fs::create_directory(dir_);
    fs::copy_file(WATCH_DAEMON_BIN, at("watch_daemon"));
}

install_dir::~install_dir() {
    if (supervisor_ > 0) {
        kill(supervisor_, SIGKILL);
        waitpid(supervisor_, nullptr, 0);
    }
    for (const auto &name : programs_) shell("killall -9 -- " + name + " 2>/dev/null");
    std::error_code ignored;
    shell("chattr -R -i " + base_ + " 2>/dev/null");
    fs::remove_all(base_, ignored);
}

std::string install_dir::add_program(const std::string &tag, const std::vector<std::string> &plan) {
    // Short enough for killall's 15-character process names.
    static std::atomic<int> counter;
    const std::string name = tag.substr(0, 5) + "_" + std::to_string(getpid() % 100000) + "_" +
                             std::to_string(counter++);
    fs::copy_file(STANDIN_BIN, at(name));
    std::string text;
    for (const auto &step : plan) text += step + "\n";
    write(name + ".plan", text);
    programs_.push_back(name);
    return name;
}

void install_dir::configure(const std::vector<std::string> &programs) {
    std::string list;
    for (const auto &p : programs) list += (list.empty() ? "" : ",") + ("{\"base\":\"" + p + "\"}");
    write("config", "{\"__watch\":{\"processes\":[" + list + "]}}");
}

void install_dir::write(const std::string &rel, const std::string &text) const {
    std::ofstream out(at(rel), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string install_dir::read(const std::string &rel) const {
    return slurp(at(rel));
}

bool install_dir::exists(const std::string &rel) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(at(rel), ec));
}

std::vector<std::string> install_dir::starts(const std::string &program) const {
    return lines_of(read(program + ".log"));
}

std::vector<std::string> install_dir::run_lines() const {
    return lines_of(read("tmp/watch_daemon.run"));
}

pid_t install_dir::start(const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env, int out_fd) {
    // Everything is prepared before fork: the child of a multithreaded test
    // may only make async-signal-safe calls.
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        vars[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    }
    vars["LD_PRELOAD"] = INTERPOSER_LIB;
    vars["WD_TEST_LOG"] = base_ + "/delays";
    // Under the sanitizer build the preloaded interposer comes before libasan.
    vars["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1";
    vars["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1";
    for (const auto &[k, v] : env) vars[k] = v;
    std::vector<std::string> env_text;
    for (const auto &[k, v] : vars) env_text.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &kv : env_text) envp.push_back(kv.data());
    envp.push_back(nullptr);

    const std::string daemon = at("watch_daemon");
    const std::string program = wrapper.empty() ? daemon : wrapper.front();
    std::vector<char *> argv;
    for (const auto &w : wrapper) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(const_cast<char *>(daemon.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out = base_ + "/out";

    const pid_t pid = fork();
    if (pid == 0) {
        const int fd =
            out_fd >= 0 ? out_fd : open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    supervisor_ = pid;
    return pid;
}

pid_t install_dir::spawn_plain(const std::string &argv0, const std::string &out_path) const {
    const std::string program = at("watch_daemon");
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(fd, 1);
        execl(program.c_str(), argv0.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

supervisor_run install_dir::collect(int status, bool exited) {
    supervisor_ = -1;
    supervisor_run r;
    r.exited = exited;
    r.status = status;
    r.out = slurp(base_ + "/out");
    r.delays = lines_of(slurp(base_ + "/delays"));
    for (const char *report : {"Sanitizer", "runtime error:"})
        if (r.out.find(report) != std::string::npos) ADD_FAILURE() << "supervisor: " << r.out;
    return r;
}

supervisor_run install_dir::wait(std::chrono::milliseconds limit) {
    int status = 0;
    const bool ended =
        wait_until([&] { return waitpid(supervisor_, &status, WNOHANG) == supervisor_; }, limit);
    if (!ended) {
        kill(supervisor_, SIGKILL);
        waitpid(supervisor_, &status, 0);
    }
    return collect(status, ended);
}

supervisor_run install_dir::run(const std::vector<std::string> &args,
                                const std::map<std::string, std::string> &env,
                                std::chrono::milliseconds limit) {
    start(args, env);
    return wait(limit);
}

supervisor_run install_dir::stop() {
    int status = 0;
    kill(supervisor_, SIGTERM);
    waitpid(supervisor_, &status, 0);
    return collect(status, false);
}
