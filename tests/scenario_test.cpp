// Runs the scenarios of tests/cases/*.txt against the real binaries, one
// test per case. A case is a title line "== TITLE" and then steps, run in
// order. Lists in a step are separated by " ; " ("none": empty). $X is
// program X's unique name, $PATH_X its configured path, ${V:N} the first N
// characters of V; $DIR, $BASE (its parent), $DAEMON, $SUP (the first
// supervisor's pid), $PID_X (X's latest start), $PID_X1... (each start),
// $SUPPORT (tests/support), $PROM_TOOLS (promtool, node_exporter).
//
// Setting up:
//   plan X STEP ; STEP ...   stand-in program X acting out one step per start
//                            (tests/support/standin.c); "STEP *N": N times
//   script X                 program X is a shell script that runs until killed
//   path X N                 X moves into directories: a path of N characters
//   data X                   X boots from ./data/ (a copy there, and a record)
//   config TEXT | none       the config ("\n": a line end; default: the programs)
//   file PATH TEXT           writes TEXT ("\n": a line end) in the install dir
//   sh CMD / need CMD        runs CMD there; fails / skips the case if it fails
//   env K=V ...              the interposer's settings (tests/support/interpose.c)
//   args A ...               the supervisor's arguments ('' is an empty one)
//   lock PATH                this test holds a flock on PATH
//   as nobody                later queries run as user nobody
// Running:
//   run [OPTIONS]            starts a supervisor and waits (10 s at most) for it
//                            to end, by default with status 0. OPTIONS: pipe
//                            (console a pipe), deaf (a pipe nobody reads),
//                            closed (no standard descriptors), plain (no
//                            interposer), noargv, argv0=pad:N, valgrind,
//                            hostile (SIGTERM blocked, SIGINT, SIGQUIT ignored)
//   start [OPTIONS]          the same without waiting
//   wait starts X N | records N | dead X | query TEXT    until then (5 s at most)
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
// and everything the case started is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>

#include "fs.h"
#include "harness.h"
#include "libutil/cJSON.h"

namespace {

namespace fs = std::filesystem;

struct step {
    std::string verb, rest;
    int line;
};

struct scenario {
    std::string file, title;
    std::vector<step> steps;
};

bool sanitized() {
#ifdef WATCH_SANITIZED
    return true;  // valgrind cannot run a binary built with AddressSanitizer
#else
    return false;
#endif
}

strings split(const std::string &text, const std::string &sep = " ; ") {
    strings parts;
    if (text == "none") return parts;
    for (size_t at = 0;;) {
        const size_t next = text.find(sep, at);
        parts.push_back(text.substr(at, next - at));
        if (next == std::string::npos) return parts;
        at = next + sep.size();
    }
}

std::vector<scenario> read_cases(const fs::path &file) {
    std::vector<scenario> cases;
    std::istringstream in(slurp(file));
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        if (line.starts_with("== ")) {
            cases.push_back({file.stem(), line.substr(3), {}});
            continue;
        }
        const size_t gap = line.find(' ');
        std::string rest = gap == std::string::npos ? "" : line.substr(gap + 1);
        rest.erase(0, rest.find_first_not_of(' '));
        if (!cases.empty()) cases.back().steps.push_back({line.substr(0, gap), rest, n});
    }
    return cases;
}

class runner {
   public:
    explicit runner(const scenario &s) : s_(s) {}
    void run();

   private:
    std::string expand(const std::string &text) const;
    void act(const step &st);
    launch launch_of(const std::string &options) const;
    std::string query_output(const std::string &args, int *code) const;
    const cJSON *json_at(const std::string &path) const;

    const scenario &s_;
    install_dir dir_;
    std::map<std::string, std::string> vars_;
    strings programs_;  // in config order
    strings args_;
    std::map<std::string, std::string> env_;
    bool config_set_ = false, skip_ = false, expect_death_ = false;
    run_result last_;
    std::string query_;
    int query_code_ = -1, query_uid_ = 0;
    std::vector<int> locks_;
};

std::string runner::expand(const std::string &text) const {
    static const std::regex var(R"(\$\{([A-Z_0-9]+)(?::(\d+))?\}|\$([A-Z][A-Z_0-9]*))");
    std::string out;
    auto from = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), var), end; it != end; ++it) {
        const auto &m = *it;
        out.append(from, m[0].first);
        const std::string name = m[1].matched ? m[1].str() : m[3].str();
        const auto found = vars_.find(name);
        std::string value = found == vars_.end() ? m[0].str() : found->second;
        if (m[2].matched) value = value.substr(0, std::stoul(m[2].str()));
        out += value;
        from = m[0].second;
    }
    return out.append(from, text.cend());
}

launch runner::launch_of(const std::string &options) const {
    launch how;
    how.args = args_;
    how.env = env_;
    for (const auto &o : split(options, " ")) {
        if (o == "pipe") how.console = launch::read_pipe;
        if (o == "deaf") how.console = launch::deaf_pipe;
        if (o == "closed") how.console = launch::closed;
        if (o == "plain") how.preload = false;
        if (o == "noargv") how.no_argv = true;
        if (o == "hostile") how.hostile_signals = true;
        if (o.starts_with("argv0=pad:"))  // the binary's path, padded with slashes
            how.argv0 = std::string(std::stoul(o.substr(10)) - dir_.at("watch_daemon").size(), '/') +
                        dir_.at("watch_daemon");
        if (o == "valgrind")
            how.wrapper = {"/usr/bin/valgrind.bin", "-q",          "--error-exitcode=99",
                           "--leak-check=full",     "--show-leak-kinds=all",
                           "--errors-for-leak-kinds=all"};
    }
    return how;
}

std::string runner::query_output(const std::string &args, int *code) const {
    std::string cmd = "cd " + dir_.base + " && ";
    if (query_uid_ != 0) cmd += "setpriv --reuid=" + std::to_string(query_uid_) +
                                " --regid=" + std::to_string(query_uid_) + " --clear-groups ";
    return shell(cmd + "timeout 5 " + dir_.at("watch_status") + " " + args + " 2>&1", code);
}

const cJSON *runner::json_at(const std::string &path) const {
    static cjson_tree tree;
    tree.reset(cJSON_Parse(query_.c_str()));
    const cJSON *node = tree.get();
    EXPECT_NE(node, nullptr) << "not JSON: " << query_;
    for (const auto &key : split(path, ".")) {
        if (node == nullptr) break;
        node = isdigit(static_cast<unsigned char>(key[0]))
                   ? cJSON_GetArrayItem(node, std::stoi(key))
                   : cJSON_GetObjectItemCaseSensitive(node, key.c_str());
    }
    return node;
}

void runner::act(const step &st) {
    const std::string &v = st.verb;
    const std::string rest = expand(st.rest);
    SCOPED_TRACE(s_.file + ".txt:" + std::to_string(st.line) + ": " + v + " " + rest);
    const std::string word = rest.substr(0, rest.find(' '));
    const std::string after = rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);

    // Setting up
    if (v == "plan" || v == "script") {
        const std::string name = dir_.add_program({}, word);
        vars_[word] = vars_["PATH_" + word] = name;  // a plan may name its own program
        programs_.push_back(word);
        std::string plan;  // "STEP *N" stands for N times STEP
        for (const auto &item : split(expand(st.rest.substr(st.rest.find(' ') + 1)))) {
            const size_t star = item.rfind(" *");
            const size_t times = star == std::string::npos ? 1 : std::stoul(item.substr(star + 2));
            for (size_t i = 0; i < times; ++i) plan += item.substr(0, star) + "\n";
        }
        dir_.write(name + ".plan", plan);
        if (v == "script")  // a shell script that logs its start and waits
            dir_.write(name, "#!/bin/sh\necho \"$0 $* |fds=0,1,2 |pid=$$\" >>" + name +
                                 ".log\nwhile :; do sleep 1; done\n");
    } else if (v == "path") {  // moves program X into directories: a path of N characters
        const std::string name = vars_[word];
        std::string p = name;
        for (size_t left = std::stoul(after) - name.size(); left > 0;) {
            size_t k = std::min<size_t>(200, left - 1);
            if (left - k - 1 == 1) --k;  // never leave room for a lone "/"
            p = std::string(k, 'd') + "/" + p;
            left -= k + 1;
        }
        fs::create_directories(fs::path(dir_.at(p)).parent_path());
        fs::rename(dir_.at(name), dir_.at(p));
        vars_["PATH_" + word] = p;
    } else if (v == "config") {  // written at once: later steps may lock the directory
        config_set_ = true;
        if (rest != "none") dir_.write("config", std::regex_replace(rest, std::regex(R"(\\n)"), "\n"));
    } else if (v == "file") {
        dir_.write(word, std::regex_replace(after, std::regex(R"(\\n)"), "\n"));
    } else if (v == "sh" || v == "need") {
        int status = 0;
        const std::string out = shell("cd " + dir_.path + " && (\n" + rest + "\n) 2>&1", &status);
        if (status != 0 && v == "need") skip_ = true;
        EXPECT_TRUE(status == 0 || v == "need") << out;
    } else if (v == "data") {
        fs::create_directories(dir_.at("data"));
        fs::copy_file(dir_.at(vars_[word]), dir_.at("data/" + vars_[word]));
        dir_.write("data/.bootchk", R"({"version":"3.9.47.2","plugindata":1})");
    } else if (v == "env") {
        for (const auto &kv : split(rest, " ")) env_[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    } else if (v == "args") {
        for (const auto &a : split(rest, " ")) args_.push_back(a == "''" ? "" : a);
    } else if (v == "lock") {
        const int fd = open(dir_.at(rest).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        locks_.push_back(fd);
    } else if (v == "as") {
        query_uid_ = rest == "nobody" ? 65534 : 0;

    // Running
    } else if (v == "run" || v == "start") {
        if (!config_set_) {
            strings names;
            for (const auto &p : programs_) names.push_back(vars_["PATH_" + p]);
            dir_.configure(names);
        }
        const launch how = launch_of(rest);
        if (!how.wrapper.empty() && (sanitized() || access(how.wrapper[0].c_str(), X_OK) != 0))
            return void(skip_ = true);
        const pid_t pid = dir_.start(how);
        if (v == "start") {
            if (vars_.count("SUP") == 0) vars_["SUP"] = std::to_string(pid);
            return;
        }
        last_ = dir_.wait(how.wrapper.empty() ? 10s : 60s);
        ASSERT_TRUE(last_.ended) << "did not end within its time\n" << last_.out;
        EXPECT_TRUE(expect_death_ || (WIFEXITED(last_.status) && WEXITSTATUS(last_.status) == 0)) << last_.out;
    } else if (v == "stop") {
        last_ = dir_.stop();
    } else if (v == "wait") {
        bool done = false;
        if (word == "starts") {
            const auto n = split(after, " ");
            done = wait_until([&] { return dir_.starts(vars_[n[0]]).size() >= std::stoul(n[1]); });
        } else if (word == "dead") {
            done = wait_until([&] { return is_dead(std::stoi(vars_["PID_" + after])); });
        } else if (word == "records") {
            done = wait_until([&] { return dir_.run_lines().size() >= std::stoul(after) + 1; });
        } else if (word == "query") {
            done = wait_until([&] { return query_output(dir_.path, nullptr).find(after) != std::string::npos; });
        }
        ASSERT_TRUE(done) << "timed out";
    } else if (v == "query") {
        query_ = query_output(rest, &query_code_);

    // Checking
    } else if (v == "out") {
        EXPECT_EQ(lines_of(last_.out), split(rest));
    } else if (v == "dies") {
        EXPECT_TRUE(WIFSIGNALED(last_.status) && WTERMSIG(last_.status) == std::stoi(rest));
    } else if (v == "delays") {
        EXPECT_EQ(last_.delays, split(rest));
    } else if (v == "starts") {
        EXPECT_EQ(dir_.starts(vars_[word]), split(expand(after)));
    } else if (v == "records") {
        static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d \d{4}: )");
        strings records, lines = dir_.run_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], dir_.path);
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_TRUE(std::regex_search(lines[i], stamp, std::regex_constants::match_continuous)) << lines[i];
            records.push_back(lines[i].substr(std::min<size_t>(26, lines[i].size())));
        }
        EXPECT_EQ(records, split(rest));
    } else if (v == "has") {
        EXPECT_EQ(dir_.read(word), std::regex_replace(after, std::regex(R"(\\n)"), "\n"));
    } else if (v == "no") {
        EXPECT_FALSE(dir_.exists(rest));
    } else if (v == "check") {
        int status = 0;
        const std::string out = shell("cd " + dir_.path + " && (\n" + rest + "\n) 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
    } else if (v == "shows" || v == "lacks") {
        EXPECT_EQ(query_.find(rest) != std::string::npos, v == "shows") << query_;
    } else if (v == "code") {
        EXPECT_EQ(query_code_, std::stoi(rest)) << query_;
    } else if (v == "json") {
        const cJSON *node = json_at(word);
        ASSERT_NE(node, nullptr) << word << " missing in " << query_;
        if (after.find("..") != std::string::npos && cJSON_IsNumber(node)) {
            const double lo = std::stod(after), hi = std::stod(after.substr(after.find("..") + 2));
            EXPECT_TRUE(node->valuedouble >= lo && node->valuedouble <= hi) << node->valuedouble;
        } else {
            const cjson_text text(cJSON_PrintUnformatted(node));
            const std::string got = cJSON_IsString(node) ? node->valuestring : text.get();
            EXPECT_EQ(got, after);
        }
    } else {
        ADD_FAILURE() << "unknown step";
    }
}

void runner::run() {
    for (const auto &st : s_.steps) expect_death_ |= st.verb == "dies";
    vars_["DIR"] = dir_.path;
    vars_["BASE"] = dir_.base;
    vars_["DAEMON"] = dir_.at("watch_daemon");
    vars_["SUPPORT"] = SUPPORT_DIR;
    vars_["PROM_TOOLS"] = PROM_TOOLS_DIR;  // promtool and node_exporter, as tests/run.sh fetches them
    for (const auto &st : s_.steps) {
        act(st);
        if (skip_) GTEST_SKIP() << "precondition refused here: " << st.rest;
        if (testing::Test::HasFatalFailure()) break;
        for (const auto &p : programs_) {  // PID_X1, PID_X2...: its starts; PID_X: the latest
            const strings log = lines_of(dir_.read(vars_[p] + ".log"));
            for (size_t i = 0; i < log.size(); ++i)
                vars_["PID_" + p + std::to_string(i + 1)] = vars_["PID_" + p] =
                    log[i].substr(log[i].find("|pid=") + 5);
        }
    }
    // Whatever the case, a program never inherits more than 0, 1 and 2.
    for (const auto &p : programs_)
        for (const auto &line : lines_of(dir_.read(vars_[p] + ".log")))
            EXPECT_NE(line.find(" |fds=0,1,2 |pid="), std::string::npos) << line;
    for (const int fd : locks_) close(fd);
}

class scenario_test : public testing::Test {
   public:
    explicit scenario_test(scenario s) : s_(std::move(s)) {}
    void TestBody() override { runner(s_).run(); }

   private:
    scenario s_;
};

std::string test_name(const std::string &title, size_t n) {
    std::string name = std::to_string(n) + "_";
    for (const char c : title.substr(0, 60)) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// One test per case, registered before main runs the tests.
const bool registered = [] {
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(CASES_DIR))
        if (e.path().extension() == ".txt") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        size_t n = 0;
        for (auto &c : read_cases(file)) {
            const std::string suite = "Scenario_" + c.file;
            testing::RegisterTest(suite.c_str(), test_name(c.title, ++n).c_str(), nullptr,
                                  nullptr, __FILE__, __LINE__,
                                  [c]() -> testing::Test * { return new scenario_test(c); });
        }
    }
    return true;
}();

}  // namespace
