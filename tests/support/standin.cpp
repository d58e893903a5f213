// A stand-in for a supervised program. Each start appends one line to
// NAME.log in the working directory: its arguments, then its open
// descriptors. It then acts out line K of NAME.plan (K = starts before this
// one; past the end, "run"):
//   run                     wait until killed
//   immortal                the same, but ignoring SIGTERM
//   exit N                  exit with code N
//   signal N                die by signal N
//   package CODE FILE       copy FILE to ./tmp//ttupgrade.tgz, exit CODE
//   rm FILE ACTION          remove FILE first
//   await FILE N ACTION     wait (5 s at most) until FILE has N lines
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

static std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

static std::string open_fds() {
    std::string fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    const int own = dirfd(dir);
    std::vector<int> list;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::stoi(e->d_name);
        if (fd != own) list.push_back(fd);
    }
    closedir(dir);
    std::sort(list.begin(), list.end());
    for (int fd : list) fds += (fds.empty() ? "" : ",") + std::to_string(fd);
    return fds;
}

[[noreturn]] static void act(std::istringstream &plan) {
    std::string verb;
    plan >> verb;
    if (verb == "await") {
        std::string file;
        size_t lines = 0;
        plan >> file >> lines;
        for (int i = 0; i < 5000 && read_lines(file).size() < lines; ++i) usleep(1000);
        act(plan);
    }
    if (verb == "rm") {
        std::string file;
        plan >> file;
        unlink(file.c_str());
        act(plan);
    }
    if (verb == "exit") {
        int code = 0;
        plan >> code;
        _exit(code);
    }
    if (verb == "signal") {
        int sig = 0;
        plan >> sig;
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        signal(sig, SIG_DFL);
        raise(sig);
        _exit(99);
    }
    if (verb == "package") {
        int code = 0;
        std::string file;
        plan >> code >> file;
        std::filesystem::copy_file(file, "./tmp//ttupgrade.tgz",
                                   std::filesystem::copy_options::overwrite_existing);
        _exit(code);
    }
    if (verb == "immortal") signal(SIGTERM, SIG_IGN);
    for (;;) pause();
}

int main(int argc, char *argv[]) {
    const std::string name = std::filesystem::path(argv[0]).filename();
    const size_t starts = read_lines(name + ".log").size();
    {
        const std::string fds = open_fds();
        std::ofstream log(name + ".log", std::ios::app);
        for (int i = 0; i < argc; ++i) log << (i ? " " : "") << argv[i];
        log << " |fds=" << fds << " |pid=" << getpid() << "\n";
    }
    const std::vector<std::string> plan = read_lines(name + ".plan");
    std::istringstream step(starts < plan.size() ? plan[starts] : "run");
    act(step);
}
