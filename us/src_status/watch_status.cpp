// watch_status [--json | --prometheus] [--history N] [--output FILE] [INSTALL_DIR]:
// what the watch daemon of an install directory (by default the one this
// program lives in) is doing and what it did. Read-only: it never takes the
// run file's lock and never removes a boot-check record.
#include <getopt.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs.h"
#include "status.h"

// LSB status conventions.
enum { STATUS_RUNNING = 0, STATUS_NOT_RUNNING = 3, STATUS_UNKNOWN = 4 };

namespace {

struct options {
    enum { text, json, prometheus } format = text;
    size_t history = 5;
    std::string dir, output;
};

int usage(const char *problem) {
    if (problem != nullptr) fprintf(stderr, "watch_status: %s\n", problem);
    fputs("usage: watch_status [--json | --prometheus] [--history N] [--output FILE] [INSTALL_DIR]\n",
          problem ? stderr : stdout);
    return problem ? STATUS_UNKNOWN : STATUS_RUNNING;
}

int fail(const std::string &message) {
    fprintf(stderr, "watch_status: %s\n", message.c_str());
    return STATUS_UNKNOWN;
}

// The directory that holds watch_status as it was run: the install
// directory its path names (a link there to another install's copy is this
// install's tool), else the one that holds the executable (found on PATH,
// or a link in a directory of commands). "" when that cannot be read (no
// /proc, a path past PATH_MAX): the working directory would be a guess, and
// another directory's status a lie.
std::string own_directory(const char *argv0) {
    if (argv0 != nullptr && strchr(argv0, '/') != nullptr) {
        std::string path = argv0;
        const std::string named = dirname(path.data());
        struct stat st {};
        if (lstat((named + "/config").c_str(), &st) == 0) return named;
    }
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof exe - 1)) return "";
    exe[n] = '\0';
    return dirname(exe);
}

// -1 when the arguments are fine, else the exit status.
int parse_args(int argc, char *argv[], options &o) {
    const option longs[] = {{"json", no_argument, nullptr, 'j'},   {"prometheus", no_argument, nullptr, 'p'},
                            {"history", required_argument, nullptr, 'n'}, {"output", required_argument, nullptr, 'o'},
                            {"help", no_argument, nullptr, 'h'},   {}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", longs, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        if (c == 'h') return usage(nullptr);
        const auto format = c == 'j' ? options::json : options::prometheus;
        if ((c == 'j' || c == 'p') && o.format != options::text && o.format != format)
            return usage("--json and --prometheus exclude each other");
        if (c == 'j' || c == 'p') o.format = format;
        if (c == ':') return usage(optopt == 'n' ? "--history takes a count" : "--output takes a file name");
        if (c == 'o' && value.empty()) return usage("--output takes a file name");
        if (c == 'o') o.output = value;
        if (c == 'n' && (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos))
            return usage(("--history takes a count, not " + value).c_str());
        if (c == 'n') o.history = std::stoul(value);
        if (c == '?' && optopt != 0) return usage(("unexpected option -" + std::string(1, static_cast<char>(optopt))).c_str());
        if (c == '?') return usage(("unexpected argument " + std::string(argv[optind - 1])).c_str());
    }
    if (argc - optind > 1) return usage(("unexpected argument " + std::string(argv[optind + 1])).c_str());
    o.dir = optind < argc ? argv[optind] : own_directory(argv[0]);
    char cwd[PATH_MAX];
    if (!o.output.empty() && o.output[0] != '/' && getcwd(cwd, sizeof cwd)) o.output = cwd + ("/" + o.output);
    return -1;
}

std::string report_of(const install_status &status, const options &o) {
    return o.format == options::json         ? format_status_json(status, o.history)
           : o.format == options::prometheus ? format_status_prometheus(status)
                                             : format_status_text(status, o.history);
}

}  // namespace

int main(int argc, char *argv[]) {
    signal(SIGXFSZ, SIG_IGN);  // past a file-size limit a write fails with EFBIG, which is said, instead of killing us
    options o;
    if (const int done = parse_args(argc, argv, o); done >= 0) return done;
    if (o.dir.empty()) return fail("cannot tell which install directory holds watch_status: name it");
    if (chdir(o.dir.c_str()) != 0) return fail("cannot enter install directory " + o.dir + ": " + strerror(errno));
    install_status status;
    char cwd[PATH_MAX];
    status.dir = getcwd(cwd, sizeof cwd) ? cwd : o.dir;
    std::string error;
    if (!gather_status(status, error)) return fail(error);
    judge_status(status);
    const std::string report = report_of(status, o);
    if (o.output.empty()) {
        // A report lost on a full disk or a closed reader is no status.
        if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0)
            return fail(std::string("cannot write the report: ") + strerror(errno));
    } else if (!write_report(status, o.output, report, error)) {
        return fail(error);
    }
    return status.running() ? STATUS_RUNNING : STATUS_NOT_RUNNING;
}
