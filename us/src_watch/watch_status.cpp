// watch_status [--json | --prometheus] [--history N] [--output FILE] [INSTALL_DIR]:
// what the watch daemon of an install directory (by default the one this
// program lives in) is doing and what it did. Read-only: it never takes the
// run file's lock and never removes a boot-check record.
#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs.h"
#include "status.h"

// LSB status conventions.
enum { STATUS_RUNNING = 0, STATUS_NOT_RUNNING = 3, STATUS_UNKNOWN = 4 };

namespace {

int usage(const char *problem) {
    if (problem != nullptr) fprintf(stderr, "watch_status: %s\n", problem);
    fputs("usage: watch_status [--json | --prometheus] [--history N] [--output FILE] [INSTALL_DIR]\n",
          problem ? stderr : stdout);
    return problem ? STATUS_UNKNOWN : STATUS_RUNNING;
}

// As watch_daemon does: the directory of the path it was started by, or,
// when found on the search path, of the executable itself.
std::string own_directory(const char *argv0) {
    std::string path = argv0 != nullptr && strchr(argv0, '/') ? argv0 : "";
    if (path.empty()) {
        char exe[PATH_BUF] = "";
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "./watch_status";
    }
    return dirname(path.data());
}

}  // namespace

int main(int argc, char *argv[]) {
    enum { text, json, prometheus } format = text;
    size_t history = 5;
    std::string dir, output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") return usage(nullptr);
        if (arg == "--json" || arg == "--prometheus") {
            format = arg == "--json" ? json : prometheus;
        } else if ((arg == "--history" || arg == "--output") && i + 1 < argc) {
            if (arg == "--output") output = argv[++i];
            else history = strtoul(argv[++i], nullptr, 10);
        } else if (arg.starts_with("-") || !dir.empty()) {
            return usage(("unexpected argument " + arg).c_str());
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) dir = own_directory(argc > 0 ? argv[0] : nullptr);
    char cwd[PATH_BUF];
    if (!output.empty() && output[0] != '/' && getcwd(cwd, sizeof cwd)) output = cwd + ("/" + output);
    if (chdir(dir.c_str()) != 0) {
        fprintf(stderr, "watch_status: cannot enter install directory %s: %s\n", dir.c_str(), strerror(errno));
        return STATUS_UNKNOWN;
    }
    install_status status;
    status.dir = getcwd(cwd, sizeof cwd) ? cwd : dir;
    std::string error;
    if (!gather_status(status, error)) {
        fprintf(stderr, "watch_status: %s\n", error.c_str());
        return STATUS_UNKNOWN;
    }
    const std::string report = format == json         ? format_status_json(status, history)
                               : format == prometheus ? format_status_prometheus(status)
                                                      : format_status_text(status, history);
    // A file that collectors read is replaced whole, never seen half-written.
    if (!output.empty() && !replace_file(output.c_str(), report.data(), report.size(), 0644)) {
        fprintf(stderr, "watch_status: cannot write %s: %s\n", output.c_str(), strerror(errno));
        return STATUS_UNKNOWN;
    }
    if (output.empty()) fwrite(report.data(), 1, report.size(), stdout);
    return status.running() ? STATUS_RUNNING : STATUS_NOT_RUNNING;
}
