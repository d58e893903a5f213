#include "process.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "fs.h"

std::string_view read_proc(pid_t pid, const char *name, std::span<char> buf) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    const unique_fd fd = pid > 0 ? open_plain(path) : unique_fd();
    const ssize_t n = fd.valid() ? read_full(fd.get(), buf.data(), buf.size()) : -1;
    return {buf.data(), n > 0 ? static_cast<size_t>(n) : 0};
}

std::string_view stat_field(std::string_view stat, size_t index) {
    const size_t close = stat.rfind(')');
    if (close == stat.npos) return {};
    stat.remove_prefix(close + 1);
    for (size_t i = 0;; ++i) {
        const size_t begin = stat.find_first_not_of(" \n");
        if (begin == stat.npos) return {};
        stat.remove_prefix(begin);
        const size_t end = std::min(stat.find_first_of(" \n"), stat.size());
        if (i == index) return stat.substr(0, end);
        stat.remove_prefix(end);
    }
}

long long stat_started(std::string_view stat) {
    const std::string_view start = stat_field(stat, 19);
    long long ticks = 0;
    if (std::from_chars(start.data(), start.data() + start.size(), ticks).ec != std::errc() || ticks < 0) return -1;
    return ticks / sysconf(_SC_CLK_TCK);
}

long long started_on_boot_clock(pid_t pid) {
    char buf[1024];  // some 52 numbers after a command name of at most 64 bytes
    return stat_started(read_proc(pid, "stat", buf));
}

bool proc_numbers_ours() {
    char self[32] = "";
    return readlink("/proc/self", self, sizeof self - 1) > 0 && atoi(self) == getpid();
}

std::string_view next_arg(std::string_view &cmdline) {
    const size_t end = std::min(cmdline.find('\0'), cmdline.size());
    const std::string_view arg = cmdline.substr(0, end);
    cmdline.remove_prefix(std::min(end + 1, cmdline.size()));
    return arg;
}
