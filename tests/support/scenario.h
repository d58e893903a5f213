// Helpers for tests that run the real supervisor through a scenario.
#pragma once

#include <string>
#include <vector>

#include "install_dir.h"

// A program's starts without the descriptor list the stand-in appends.
inline std::vector<std::string> argv_of(const install_dir &dir, const std::string &program) {
    std::vector<std::string> starts = dir.starts(program);
    for (auto &s : starts) s = s.substr(0, s.find(" |fds="));
    return starts;
}

// The pid a program's start number `n` logged.
inline pid_t pid_of(const install_dir &dir, const std::string &program, size_t n) {
    const std::string start = dir.starts(program).at(n);
    return static_cast<pid_t>(std::stoi(start.substr(start.find("|pid=") + 5)));
}

// Gone, or a zombie nobody has reaped yet.
inline bool is_dead(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline std::string data_record() {
    return R"({"version":"3.9.47.2","plugindata":1})";
}

// Puts a copy of `program` in ./data/ and a record that boots from there.
inline void boot_from_data(install_dir &dir, const std::string &program) {
    shell("mkdir -p " + dir.at("data") + " && cp " + dir.at(program) + " " + dir.at("data/"));
    dir.write("data/.bootchk", data_record());
}
