#include "process.h"

#include <climits>
#include <cstdlib>
#include <algorithm>

#include "fs.h"

// A page at a time, on the stack: the supervisor reads /proc at each start,
// and a larger buffer would stay resident in its stack for good.
std::string read_some(const std::string &path, size_t limit, bool *ok) {
    const unique_fd fd = open_plain(path.c_str());
    std::string text;
    char buf[4096];
    ssize_t n = fd.valid() ? 0 : -1;
    while (fd.valid() && text.size() < limit &&
           (n = read(fd.get(), buf, std::min(sizeof buf, limit - text.size()))) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (ok != nullptr) *ok = n >= 0;
    return text;
}

// Split by hand, not by a string stream: the supervisor reads a stat at each
// start, and the streams' locale machinery is a lot of code to run and map.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = pid > 0 ? read_some("/proc/" + std::to_string(pid) + "/stat", 4096) : "";
    const size_t close = stat.rfind(')');
    std::vector<std::string> field;
    for (size_t at = close; close != std::string::npos && field.size() < 20;) {
        const size_t begin = stat.find_first_not_of(" \n", at + 1);
        if (begin == std::string::npos) break;
        at = std::min(stat.find_first_of(" \n", begin), stat.size());
        field.push_back(stat.substr(begin, at - begin));
    }
    if (field.size() < 20) field.clear();
    return field;
}

long long started_on_boot_clock(pid_t pid) {
    const std::vector<std::string> field = stat_fields(pid);
    return field.empty() ? -1 : atoll(field[19].c_str()) / sysconf(_SC_CLK_TCK);
}

bool proc_numbers_ours() {
    char self[32] = "";
    return readlink("/proc/self", self, sizeof self - 1) > 0 && atoi(self) == getpid();
}

std::vector<std::string> args_of(pid_t pid, size_t count) {
    const std::string cmdline = read_some("/proc/" + std::to_string(pid) + "/cmdline", count * (PATH_MAX + 1));
    std::vector<std::string> args;
    for (size_t at = 0; args.size() < count && at < cmdline.size();) {
        const size_t end = std::min(cmdline.find('\0', at), cmdline.size());
        args.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    return args;
}

std::string argv0_of(pid_t pid) {
    const std::vector<std::string> args = args_of(pid, 1);
    return args.empty() ? "" : args[0];
}
