// A fresh install directory with the real watch_daemon and uniquely named
// stand-in programs; everything it started is ended when it goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct supervisor_run {
    bool exited = false;              // ended by itself within the time allowed
    int status = 0;                   // wait status
    std::string out;                  // standard output and error
    std::vector<std::string> delays;  // "sleep N" / "pause N" as requested
};

class install_dir {
   public:
    // `parent` holds the fresh directory; tmpfs (/dev/shm) makes fsync free.
    explicit install_dir(const std::string &parent = "/tmp");
    ~install_dir();
    install_dir(const install_dir &) = delete;
    install_dir &operator=(const install_dir &) = delete;

    const std::string &path() const { return dir_; }
    std::string at(const std::string &rel) const { return dir_ + "/" + rel; }

    // Adds a stand-in with a name unique to this test, acting out `plan`.
    std::string add_program(const std::string &tag, const std::vector<std::string> &plan);
    // Writes a config listing `programs`.
    void configure(const std::vector<std::string> &programs);

    void write(const std::string &rel, const std::string &text) const;
    std::string read(const std::string &rel) const;
    bool exists(const std::string &rel) const;
    std::vector<std::string> starts(const std::string &program) const;  // lines of NAME.log
    std::vector<std::string> run_lines() const;                         // ./tmp/watch_daemon.run

    // Starts the supervisor with `env` added to the interposer's settings;
    // its output goes to `out_fd` if given, else to a file that wait() reads.
    pid_t start(const std::vector<std::string> &args = {},
                const std::map<std::string, std::string> &env = {}, int out_fd = -1);
    // Waits for the supervisor started last to end; kills it after `limit`.
    supervisor_run wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    supervisor_run run(const std::vector<std::string> &args = {},
                       const std::map<std::string, std::string> &env = {},
                       std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Starts the bare supervisor (no interposer) as `argv0`, its standard
    // output to `out_path`; the caller waits for it.
    pid_t spawn_plain(const std::string &argv0, const std::string &out_path) const;
    // Stops a running supervisor (SIGTERM; its children follow) and collects it.
    supervisor_run stop();

    std::string base() const { return base_; }

    // A command that runs the supervisor (valgrind, strace), or none.
    std::vector<std::string> wrapper;

   private:
    supervisor_run collect(int status, bool exited);

    std::string base_;  // holds the install directory and the captured output
    std::string dir_;
    std::vector<std::string> programs_;
    pid_t supervisor_ = -1;
};

std::string slurp(const std::string &path);
std::vector<std::string> lines_of(const std::string &text);
bool wait_until(const std::function<bool()> &done,
                std::chrono::milliseconds limit = std::chrono::seconds(5));
std::string shell(const std::string &command);  // runs it, returns its output
