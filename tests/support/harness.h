// A fresh install directory holding the real watch_daemon and watch_status,
// uniquely named stand-in programs, and the supervisors started in it. Each
// supervisor runs in a process group of its own; everything in those groups
// is killed when the directory goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

using strings = std::vector<std::string>;
using namespace std::chrono_literals;

struct launch {
    strings args{};
    std::map<std::string, std::string> env{};  // interposer settings
    strings wrapper{};                         // valgrind, ...
    bool preload = true;                       // the sleep interposer
    bool no_argv = false;                      // an empty argument vector
    bool hostile_signals = false;              // SIGTERM blocked, SIGINT and SIGQUIT ignored
    bool high_fd = false;                      // a descriptor open at the limit, inherited
    std::string argv0{};                       // default: the binary's path
    enum { file, deaf_pipe, read_pipe, closed } console = file;
};

struct run_result {
    bool ended = false;  // by itself, within the time allowed
    int status = 0;      // wait status
    std::string out;     // console (standard output and error)
    strings delays;      // the interposer's log
};

class install_dir {
   public:
    explicit install_dir(const std::string &parent = "/tmp");
    ~install_dir();
    install_dir(const install_dir &) = delete;
    install_dir &operator=(const install_dir &) = delete;

    std::string base, path;  // base holds the install directory and the consoles
    std::string at(const std::string &rel) const { return path + "/" + rel; }
    std::string add_program(const std::string &tag);  // named uniquely for this process
    void write(const std::string &rel, const std::string &text) const;
    std::string read(const std::string &rel) const;
    strings starts(const std::string &program) const;  // argument vector of each start

    pid_t start(const launch &how = {});
    // Waits for the supervisor started last (`while_waiting` in between);
    // kills it after `limit`.
    run_result wait(std::chrono::milliseconds limit = 10s, const std::function<void()> &while_waiting = {});
    run_result stop();  // SIGTERM to the latest supervisor that still runs

   private:
    run_result collect(size_t index, int status, bool ended);
    struct child {
        pid_t pid;
        int pipe;  // read end of a read_pipe console, or -1
        std::string out;
    };
    std::vector<child> started_;
};

std::string slurp(const std::string &path);
strings lines_of(const std::string &text);
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s);
std::string shell(const std::string &command, int *status = nullptr);
bool is_dead(pid_t pid);  // gone, or a zombie
