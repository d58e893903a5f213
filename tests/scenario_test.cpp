// Runs the scenarios of tests/cases/*.txt against the real binaries, one
// test per case. A case is a title line "== TITLE" and then steps, run in
// order. Lists in a step are separated by " ; " ("none": empty; "ITEM *N": N
// times ITEM). $X is program X's unique name, $PATH_X its configured path,
// ${V:N} the first N characters of V; $DIR, $BASE (its parent), $DAEMON,
// $SUP (the first supervisor's pid), $PID_X (X's latest start), $PID_X1...
// (each start), $SUPPORT (tests/support), $PROM_TOOLS (promtool,
// node_exporter), $REBUILT and $FORMAT99 (builds of the supervisor with
// another revision, and another hand-over format).
//
// Setting up:
//   plan X STEP ; STEP ...   stand-in program X acting out one step per start
//                            (tests/support/standin.c)
//   path X N                 X moves into directories: a path of N characters
//   data X                   X boots from ./data/ (a copy there, and a record)
//   config TEXT | none       the config ("\n": a line end; default: the programs)
//   file PATH TEXT           writes TEXT ("\n": a line end) in the install dir
//   sh CMD / need CMD        runs CMD there; fails / skips the case if it fails
//   env K=V ...              the interposer's settings (tests/support/interpose.c)
//   args A ...               the supervisor's arguments ('' is an empty one)
// Running:
//   run [OPTIONS]            starts a supervisor and waits (10 s at most) for it
//                            to end, by default with status 0. OPTIONS: pipe
//                            (console a pipe), socket (a socket), stalled (full,
//                            read from the next drain on), noargv, argv0=pad:N (padded
//                            with slashes in front), argv0=slash (two behind),
//                            nobody (run as uid and gid 65534).
//                            What a starter hands down (signals,
//                            limits, descriptors): env WD_TEST_INHERIT=...
//   run [OPTIONS] until X N  starts one, waits for X's Nth start, stops it
//   start [OPTIONS] [until X N]  starts one without waiting for its end
//   crash FILE OLD => NEW ; ...  kills the supervisor before each file
//                            operation from the first reap to past the last
//                            rename: each FILE must hold OLD or NEW ("@F": the
//                            contents of F), the first both at some point
//   wait starts X N | CMD    until X has started N times, or the shell
//                            condition CMD holds in the install dir (10 s at most)
//   drain                    reads the latest console pipe, forgetting what it held
//   stop                     SIGTERM to the supervisor still running
//   query ARGS               runs watch_status ARGS from $BASE
// Checking (the latest run, stop or query):
//   out LINES                the console, line by line
//   dies SIG                 the supervisor was killed by SIG
//   delays LINES             the interposer's log ("sleep 10", "pause 1")
//   starts X ARGVS           X's argument vector at each start
//   records LINES            the run file: install dir, then each record after
//                            its time stamp
//   has PATH TEXT / no PATH  a file's contents / nothing at PATH
//   check CMD                CMD succeeds in the install dir
//   shows TEXT / lacks TEXT  in the query's output
//   code N                   the query's exit status
//   json PATH VALUE          a member of the query's JSON (a.0.b); VALUE may
//                            be a range LO..HI
// After every case: each program started with descriptors 0, 1 and 2 only,
// and everything the case started is killed: each supervisor runs in a
// process group of its own, and the groups are killed when the case ends.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "fs.h"
#include "libutil/cJSON.h"

// Shared with unit_test.cpp.
std::string slurp(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;
using namespace std::chrono_literals;

#ifdef WATCH_SANITIZED
constexpr int slowness = 4;  // the sanitized binaries are several times slower
#else
constexpr int slowness = 1;
#endif

strings split(const std::string &text, const std::string &sep = " ; ") {
    strings parts;
    for (size_t at = 0, next = 0; text != "none" && next != std::string::npos; at = next + sep.size())
        parts.push_back(text.substr(at, (next = text.find(sep, at)) - at));
    return parts;
}

// A list of a step: "ITEM *N" stands for N times ITEM.
strings items(const std::string &text) {
    strings out;
    for (const auto &item : split(text)) {
        const size_t star = item.rfind(" *");
        out.insert(out.end(), star == std::string::npos ? 1 : std::stoul(item.substr(star + 2)), item.substr(0, star));
    }
    return out;
}

std::string unescape(const std::string &text) { return std::regex_replace(text, std::regex(R"(\\n)"), "\n"); }

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit * slowness;
    for (; !done(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// Appends what a pipe holds (until its end, when it blocks) to `out`.
void drain(int pipe, std::string &out) {
    char buf[4096];
    for (ssize_t n; pipe >= 0 && (n = read(pipe, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
}

std::string shell(const std::string &command, int *status = nullptr) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    drain(p != nullptr ? fileno(p) : -1, out);
    const int st = p != nullptr ? pclose(p) : -1;
    if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return out;
}

struct step { std::string verb, rest; int line; };
struct scenario { std::string file, title; std::vector<step> steps; };

std::vector<scenario> read_cases(const fs::path &file) {
    std::vector<scenario> cases;
    int n = 0;
    for (const auto &line : lines_of(slurp(file))) {
        ++n;
        if (line.starts_with("== ")) cases.push_back({file.stem(), line.substr(3), {}});
        if (line.empty() || line[0] == '#' || line[0] == '=' || cases.empty()) continue;
        const size_t gap = std::min(line.find(' '), line.size());
        cases.back().steps.push_back({line.substr(0, gap), line.substr(std::min(line.find_first_not_of(' ', gap), line.size())), n});
    }
    return cases;
}

struct run_result {
    bool ended = false;  // by itself, within the time allowed
    int status = 0;
    std::string out;  // console
    strings delays;   // the interposer's log
};

// One case, as a test of its own.
struct runner : testing::Test {
    explicit runner(scenario s);
    ~runner() override;
    void TestBody() override;
    std::string at(const std::string &rel) const { return dir_ + "/" + rel; }
    std::string read(const std::string &rel) const { return slurp(at(rel)); }
    void write(const std::string &rel, const std::string &text) const {
        fs::create_directories(fs::path(at(rel)).parent_path());
        std::ofstream(at(rel), std::ios::binary | std::ios::trunc) << text;
    }
    strings starts(const std::string &program) const {
        strings starts = lines_of(read(program + ".log"));
        for (auto &s : starts) s = s.substr(0, s.find(" |fds="));
        return starts;
    }
    bool started(const std::string &program_and_count) const {  // "X N": X has started N times
        const strings goal = split(program_and_count, " ");
        return starts(vars_.at(goal[0])).size() >= std::stoul(goal[1]);
    }
    pid_t start(const std::string &options, const std::map<std::string, std::string> &extra_env = {});
    run_result wait(std::chrono::milliseconds limit = 10s);
    run_result collect(size_t index, int status, bool ended);
    run_result stop();
    std::string expand(const std::string &text) const {
        static const std::regex var(R"(\$\{([A-Z_0-9]+)(?::(\d+))?\}|\$([A-Z][A-Z_0-9]*))");
        std::string out;
        auto from = text.cbegin();
        for (std::sregex_iterator it(text.begin(), text.end(), var), end; it != end; ++it) {
            const auto &m = *it;
            const auto found = vars_.find(m[1].matched ? m[1].str() : m[3].str());
            const std::string value = found == vars_.end() ? m[0].str() : found->second;
            out.append(from, m[0].first) += m[2].matched ? value.substr(0, std::stoul(m[2].str())) : value;
            from = m[0].second;
        }
        return out.append(from, text.cend());
    }
    void act(const step &st, const std::string &rest);
    void crash(const std::string &expected);
    std::string query(const std::string &args, int *code) const {
        return shell("cd " + base_ + " && timeout 5 " + at("watch_status") + " " + args + " 2>&1", code);
    }
    void write_config() {
        if (config_set_) return;
        std::string list;
        for (const auto &p : programs_) list += (list.empty() ? "" : ",") + ("{\"base\":\"" + vars_["PATH_" + p] + "\"}");
        write("config", "{\"__watch\":{\"processes\":[" + list + "]}}");
    }

    const scenario s_;
    std::string base_, dir_;  // base_ holds the install directory and the consoles
    struct child {
        pid_t pid;
        int pipe;  // read end of a console that is a pipe, or -1
        std::string out;
    };
    std::vector<child> started_;
    std::map<std::string, std::string> vars_, env_;
    strings programs_, args_;
    bool config_set_ = false, skip_ = false, expect_death_ = false;
    run_result last_;
    std::string query_;
    int query_code_ = -1;
};

runner::runner(scenario s) : s_(std::move(s)), base_("/tmp/wdtest.XXXXXX") {
    if (mkdtemp(base_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = base_ + "/inst";
    fs::create_directory(dir_);
    fs::copy_file(WATCH_DAEMON_BIN, at("watch_daemon"));
    fs::copy_file(WATCH_STATUS_BIN, at("watch_status"));
}

runner::~runner() {
    for (const auto &c : started_) {
        kill(-c.pid, SIGKILL);  // the supervisor's group, with its tools
        waitpid(c.pid, nullptr, WNOHANG);
        if (c.pipe >= 0) close(c.pipe);
    }
    // Programs run in groups of their own, and a case may start processes
    // of its own: whatever runs a file of this case's directory, or runs in
    // it, is killed, with its group (a script's subshells).
    std::error_code gone;
    auto ours = [&](const fs::path &link) { return fs::read_symlink(link, gone).string().starts_with(base_ + "/"); };
    for (fs::directory_iterator proc("/proc", gone), end; proc != end; proc.increment(gone)) {  // never throws
        const pid_t pid = atoi(proc->path().filename().c_str());
        if (pid > 0 && (ours(proc->path() / "exe") || ours(proc->path() / "cwd"))) kill(-pid, SIGKILL), kill(pid, SIGKILL);
    }
    shell("chattr -R -i " + base_ + " 2>/dev/null; grep -o ' " + base_ + "/[^ ]*' /proc/mounts | sort -r | xargs -r -n1 umount -l");
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

// Starts a supervisor in a process group of its own; see "run" for OPTIONS.
pid_t runner::start(const std::string &options, const std::map<std::string, std::string> &extra_env) {
    const std::string daemon = at("watch_daemon");
    // Under the sanitizer build the preloaded interposer comes before libasan.
    std::map<std::string, std::string> env = {{"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1"},
                                              {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"}};
    env["LD_PRELOAD"] = INTERPOSER_LIB, env["WD_TEST_LOG"] = base_ + "/delays";
    for (const auto &more : {env_, extra_env}) env.insert(more.begin(), more.end());
    strings argv_text;
    bool pipe = false, argv = true, stalled = false, socket = false, nobody = false;
    for (const auto &o : split(options, " "))
        stalled |= o == "stalled", socket |= o == "socket", pipe |= o == "pipe" || stalled || socket, argv &= o != "noargv",
            nobody |= o == "nobody";
    if (nobody) {  // the build tree may lie under a directory nobody cannot enter (a mkdtemp's 0700)
        fs::copy_file(INTERPOSER_LIB, base_ + "/interpose.so", fs::copy_options::overwrite_existing);
        env["LD_PRELOAD"] = base_ + "/interpose.so";
    }
    if (argv) argv_text.push_back(daemon);
    if (options.find("argv0=pad:") != std::string::npos)  // the binary's path, padded with slashes
        argv_text.back().insert(0, std::stoul(options.substr(options.find("pad:") + 4)) - daemon.size(), '/');
    if (options.find("argv0=slash") != std::string::npos) argv_text.back() += "//";
    argv_text.insert(argv_text.end(), args_.begin(), args_.end());
    std::vector<char *> argvp;
    for (auto &a : argv_text) argvp.push_back(a.data());
    argvp.push_back(nullptr);
    const std::string out = base_ + "/out" + std::to_string(started_.size());
    int fds[2] = {-1, -1};
    if (socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 : pipe && pipe2(fds, O_CLOEXEC) != 0) return -1;
    if (stalled) {  // full: no line goes through until the drain
        if (!socket) fcntl(fds[1], F_SETPIPE_SZ, 4096);
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const std::string page(4096, '\n');
        while (::write(fds[1], page.data(), page.size()) > 0) {
        }
        fcntl(fds[1], F_SETFL, 0);
    }
    const pid_t pid = fork();  // this test process has no other thread
    if (pid == 0) {
        setsid();
        for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        const int fd = fds[1] >= 0 ? fds[1] : open(out.c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(fd, STDOUT_FILENO), dup2(fd, STDERR_FILENO);
        if (nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execv(daemon.c_str(), argvp.data());
        _exit(127);
    }
    if (fds[1] >= 0) close(fds[1]);
    if (fds[0] >= 0) fcntl(fds[0], F_SETFL, O_NONBLOCK);
    started_.push_back({pid, fds[0], ""});
    if (vars_.count("SUP") == 0) vars_["SUP"] = std::to_string(pid);
    return pid;
}

run_result runner::collect(size_t index, int status, bool ended) {
    child &c = started_[index];
    drain(c.pipe, c.out);
    if (c.pipe >= 0) std::ofstream(base_ + "/out" + std::to_string(index)) << c.out;  // for checks too
    run_result r{ended, status, c.pipe >= 0 ? c.out : slurp(base_ + "/out" + std::to_string(index)), lines_of(slurp(base_ + "/delays"))};
    for (const char *report : {"Sanitizer", "runtime error:"})
        if (r.out.find(report) != std::string::npos) ADD_FAILURE() << "supervisor: " << r.out;
    return r;
}

run_result runner::wait(std::chrono::milliseconds limit) {
    const size_t last = started_.size() - 1;
    int status = 0;
    const bool ended = wait_until(
        [&] {
            drain(started_[last].pipe, started_[last].out);
            return waitpid(started_[last].pid, &status, WNOHANG) == started_[last].pid;
        },
        limit);
    if (!ended) kill(-started_[last].pid, SIGKILL), waitpid(started_[last].pid, &status, 0);
    return collect(last, status, ended);
}

run_result runner::stop() {
    for (size_t i = started_.size(); i-- > 0;) {
        int status = 0;
        if (waitpid(started_[i].pid, &status, WNOHANG) != 0) continue;  // already ended
        kill(started_[i].pid, SIGTERM);
        if (!wait_until([&] { return waitpid(started_[i].pid, &status, WNOHANG) != 0; })) {
            ADD_FAILURE() << "the supervisor did not stop on SIGTERM";
            kill(-started_[i].pid, SIGKILL), waitpid(started_[i].pid, &status, 0);
        }
        return collect(i, status, false);
    }
    ADD_FAILURE() << "no supervisor runs";
    return {};
}

void runner::act(const step &st, const std::string &rest) {
    const std::string &v = st.verb;
    const std::string word = rest.substr(0, rest.find(' '));
    const std::string after = rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);
    // What a step starts itself is not waited for at its end: the sanitized
    // build's leak check, which stops the whole process at exit, once hung a
    // supervisor a step had ended, so such processes go without it.
    auto sh = [&](int *status) {
        return shell("cd " + dir_ + " && export ASAN_OPTIONS=detect_leaks=0 && (\n" + rest + "\n) 2>&1", status);
    };
    int status = 0;

    // Setting up
    if (v == "plan") {
        // Unique to this process, within killall's 15 characters, and at least
        // as wide as the status view's name column, whatever the pid.
        static std::atomic<int> counter;
        char pid[16];
        snprintf(pid, sizeof pid, "%05d", static_cast<int>(getpid()));
        const std::string name = word.substr(0, 3) + pid + "_" + std::to_string(counter++);
        fs::copy_file(STANDIN_BIN, at(name));
        vars_[word] = vars_["PATH_" + word] = name;  // a plan may name its own program
        programs_.push_back(word);
        std::string plan;
        for (const auto &item : items(expand(st.rest.substr(std::min(st.rest.find(' ') + 1, st.rest.size()))))) plan += item + "\n";
        write(name + ".plan", plan);
    } else if (v == "path") {  // moves program X into directories: a path of N characters
        std::string p = vars_[word];
        for (size_t left = std::stoul(after) - p.size(); left > 0;) {
            const size_t k = std::min<size_t>(200, left - 1) - (left == 202 ? 1 : 0);  // never a lone "/"
            p = std::string(k, 'd') + "/" + p;
            left -= k + 1;
        }
        fs::create_directories(fs::path(at(p)).parent_path());
        fs::rename(at(vars_[word]), at(p));
        vars_["PATH_" + word] = p;
    } else if (v == "config") {  // written at once: later steps may lock the directory
        config_set_ = true;
        if (rest != "none") write("config", unescape(rest));
    } else if (v == "file") {
        write(word, unescape(after));
    } else if (v == "sh" || v == "need" || v == "check") {  // "check" is one of the checks below
        const std::string out = sh(&status);
        skip_ = status != 0 && v == "need";
        EXPECT_TRUE(status == 0 || skip_) << "status " << status << ": " << out;
    } else if (v == "data") {
        fs::create_directories(at("data"));
        fs::copy_file(at(vars_[word]), at("data/" + vars_[word]));
        write("data/.bootchk", R"({"version":"3.9.47.2","plugindata":1})");
    } else if (v == "env") {
        for (const auto &kv : split(rest, " ")) env_[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    } else if (v == "args") {
        for (const auto &a : split(rest, " ")) args_.push_back(a == "''" ? "" : a);

    // Running
    } else if (v == "run" || v == "start") {
        write_config();
        const size_t until = rest.find("until ");
        start(rest.substr(0, until));
        if (until != std::string::npos) {
            ASSERT_TRUE(wait_until([&] { return started(rest.substr(until + 6)); })) << "timed out";
            if (v == "run") last_ = stop();
        }
        if (v == "start" || until != std::string::npos) return;
        last_ = wait();
        ASSERT_TRUE(last_.ended) << "did not end within its time\n" << last_.out;
        EXPECT_TRUE(expect_death_ || (WIFEXITED(last_.status) && WEXITSTATUS(last_.status) == 0)) << last_.out;
    } else if (v == "crash") {
        crash(rest);
    } else if (v == "drain") {
        drain(started_.back().pipe, started_.back().out);
        started_.back().out.clear();
    } else if (v == "stop") {
        last_ = stop();
    } else if (v == "wait") {
        std::function<bool()> done = [&] { return sh(&status), status == 0; };
        if (word == "starts") done = [&] { return started(after); };
        ASSERT_TRUE(wait_until(done, 10s)) << "timed out";
    } else if (v == "query") {
        query_ = query(rest, &query_code_);

    // Checking
    } else if (v == "out" || v == "delays" || v == "starts") {
        const strings got = v == "out" ? lines_of(last_.out) : v == "delays" ? last_.delays : starts(vars_[word]);
        EXPECT_EQ(got, items(v == "starts" ? after : rest));
    } else if (v == "dies") {
        EXPECT_TRUE(WIFSIGNALED(last_.status) && WTERMSIG(last_.status) == std::stoi(rest));
    } else if (v == "records") {  // after the install directory, each record without its time stamp
        static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d \d{4}: )");
        strings lines = lines_of(read("tmp/watch_daemon.run"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], dir_);
        for (auto &line : lines) line = std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
        EXPECT_EQ(strings(lines.begin() + 1, lines.end()), items(rest));
    } else if (v == "has") {
        EXPECT_EQ(read(word), unescape(after));
    } else if (v == "no") {
        EXPECT_FALSE(fs::exists(fs::symlink_status(at(rest)))) << rest;
    } else if (v == "shows" || v == "lacks") {
        EXPECT_EQ(query_.find(rest) != std::string::npos, v == "shows") << query_;
    } else if (v == "code") {
        EXPECT_EQ(query_code_, std::stoi(rest)) << query_;
    } else if (v == "json") {
        const cjson_tree tree(cJSON_Parse(query_.c_str()));
        const cJSON *node = tree.get();
        for (const auto &key : split(word, "."))
            node = isdigit(key[0]) ? cJSON_GetArrayItem(node, std::stoi(key)) : cJSON_GetObjectItemCaseSensitive(node, key.c_str());
        ASSERT_NE(node, nullptr) << word << " missing in " << query_;
        const cjson_text text(cJSON_PrintUnformatted(node));
        if (cJSON_IsNumber(node) && after.find("..") != std::string::npos)
            EXPECT_TRUE(node->valuedouble >= std::stod(after) && node->valuedouble <= std::stod(after.substr(after.find("..") + 2)));
        else
            EXPECT_EQ(cJSON_IsString(node) ? node->valuestring : text.get(), after);
    } else {
        ADD_FAILURE() << "unknown step";
    }
}

// A traced run numbers the supervisor's file operations; then, from a copy of
// the install directory each time, one run per operation killed just before it.
void runner::crash(const std::string &expected) {
    struct outcome {
        std::string file, old_text, new_text;
        int olds = 0, news = 0;
    };
    std::vector<outcome> files;
    auto text = [&](const std::string &t) { return t.starts_with("@") ? read(t.substr(1)) : unescape(t); };
    for (const auto &item : split(expected)) {
        const size_t gap = item.find(' '), arrow = item.find(" => ");
        files.push_back({item.substr(0, gap), text(item.substr(gap + 1, arrow - gap - 1)), text(item.substr(arrow + 4))});
    }
    write_config();
    shell("cp -a " + dir_ + " " + base_ + "/pristine");
    start("", {{"WD_TEST_TRACE", "1"}});
    ASSERT_TRUE(wait_until([&] { return started(programs_[0] + " 2"); }));
    long first = 0, last = 0;
    for (const auto &call : stop().delays) {
        const long n = std::stol(call.substr(call.rfind(' ') + 1));
        if (call.starts_with("call waitpid") && first == 0) first = n;
        if (call.starts_with("call rename")) last = n;
    }
    ASSERT_GT(last, first);
    for (long n = first + 1; n <= last + 4; ++n) {
        shell("rm -rf " + dir_ + " && cp -a " + base_ + "/pristine " + dir_);
        start("", {{"WD_TEST_KILL_AT", std::to_string(n)}});
        EXPECT_TRUE(WIFSIGNALED(wait(5s).status)) << "kill point " << n;
        for (auto &f : files) {
            const std::string now = read(f.file);
            EXPECT_TRUE(now == f.old_text || now == f.new_text) << f.file << " at kill point " << n << ": " << now;
            f.olds += now == f.old_text, f.news += now == f.new_text;
        }
    }
    EXPECT_TRUE(files[0].olds > 0 && files[0].news > 0);
    printf("killed at %ld points: %s old %d times, new %d times\n", last + 4 - first, files[0].file.c_str(),
           files[0].olds, files[0].news);
}

void runner::TestBody() {
    for (const auto &st : s_.steps) expect_death_ |= st.verb == "dies";
    vars_ = {{"DIR", dir_}, {"BASE", base_}, {"DAEMON", at("watch_daemon")},
             {"SUPPORT", SUPPORT_DIR}, {"PROM_TOOLS", PROM_TOOLS_DIR},
             {"REBUILT", REBUILT_BIN}, {"FORMAT99", FORMAT99_BIN}};
    for (const auto &st : s_.steps) {
        const std::string rest = expand(st.rest);
        SCOPED_TRACE(s_.file + ".txt:" + std::to_string(st.line) + ": " + st.verb + " " + rest);
        act(st, rest);
        if (skip_) GTEST_SKIP() << "precondition refused here: " + rest;
        if (testing::Test::HasFatalFailure()) break;
        for (const auto &p : programs_) {  // PID_X1, PID_X2...: its starts; PID_X: the latest
            const strings log = lines_of(read(vars_[p] + ".log"));
            for (size_t i = 0; i < log.size(); ++i)
                vars_["PID_" + p + std::to_string(i + 1)] = vars_["PID_" + p] = log[i].substr(log[i].find("|pid=") + 5);
        }
    }
    // Whatever the case, a program never inherits more than 0, 1 and 2.
    for (const auto &p : programs_)
        for (const auto &line : lines_of(read(vars_[p] + ".log")))
            EXPECT_NE(line.find(" |fds=0,1,2 |pid="), std::string::npos) << line;
}

// One test per case, registered before main runs the tests.
const bool registered = [] {
    std::set<fs::path> files;  // in order of their names
    for (const auto &e : fs::directory_iterator(CASES_DIR))
        if (e.path().extension() == ".txt") files.insert(e.path());
    for (const auto &file : files) {
        size_t n = 0;
        for (auto &c : read_cases(file)) {
            std::string name = std::to_string(++n) + "_";
            for (const char ch : c.title.substr(0, 60)) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
            testing::RegisterTest(("Scenario_" + c.file).c_str(), name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                  [c]() -> testing::Test * { return new runner(c); });
        }
    }
    return true;
}();

}  // namespace
