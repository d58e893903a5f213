// Runs the scenarios of tests/cases/*.txt against the real binaries, one
// test per case. A case is a title line "== TITLE" and then steps, run in
// order. Lists in a step are separated by " ; " ("none": empty). $X is
// program X's unique name, $PATH_X its configured path, ${V:N} the first N
// characters of V; $DIR, $BASE (its parent), $DAEMON, $SUP (the first
// supervisor's pid), $PID_X (X's latest start), $PID_X1... (each start),
// $SUPPORT (tests/support), $PROM_TOOLS (promtool, node_exporter),
// $SOAK_ENDS ($WD_SOAK_ENDS, default 2000).
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
//                            hostile (SIGTERM blocked, SIGINT, SIGQUIT ignored),
//                            high-fd (a descriptor inherited at the limit)
//   start [OPTIONS]          the same without waiting
//   run-sampled SECONDS      run, sampling the supervisor's descriptors,
//                            resident memory and unreaped children as it goes
//   race N                   N plain supervisors at once: exactly one may run
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
//   steady                   over the sampled run: no descriptor kept, RSS
//                            grown 64 kB at most, 2 unreaped children at most
// After every case: each program started with descriptors 0, 1 and 2 only,
// and everything the case started is killed.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

strings split(const std::string &text, const std::string &sep = " ; ") {
    strings parts;
    for (size_t at = 0; text != "none";) {
        const size_t next = text.find(sep, at);
        parts.push_back(text.substr(at, next - at));
        if (next == std::string::npos) break;
        at = next + sep.size();
    }
    return parts;
}

std::string unescape(const std::string &text) { return std::regex_replace(text, std::regex(R"(\\n)"), "\n"); }

std::vector<scenario> read_cases(const fs::path &file) {
    std::vector<scenario> cases;
    int n = 0;
    for (const auto &line : lines_of(slurp(file))) {
        ++n;
        if (line.starts_with("== ")) cases.push_back({file.stem(), line.substr(3), {}});
        if (line.empty() || line[0] == '#' || line[0] == '=' || cases.empty()) continue;
        const size_t gap = std::min(line.find(' '), line.size());
        const size_t text = std::min(line.find_first_not_of(' ', gap), line.size());
        cases.back().steps.push_back({line.substr(0, gap), line.substr(text), n});
    }
    return cases;
}

struct sample {
    int fds = 0, zombies = 0;
    long rss_kb = 0;
};

sample sample_of(pid_t pid) {
    sample s;
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const auto &e : fs::directory_iterator(proc + "/fd", fs::directory_options::skip_permission_denied)) s.fds += !e.path().empty();
    const std::string status = slurp(proc + "/status");
    s.rss_kb = status.find("VmRSS:") == std::string::npos ? 0 : std::stol(status.substr(status.find("VmRSS:") + 6));
    for (const auto &child : split(slurp(proc + "/task/" + std::to_string(pid) + "/children"), " "))
        s.zombies += !child.empty() && child != "\n" && slurp("/proc/" + child + "/stat").find(") Z ") != std::string::npos;
    return s;
}

class runner {
   public:
    explicit runner(const scenario &s) : s_(s) {}
    void run();

   private:
    std::string expand(const std::string &text) const;
    void act(const step &st, const std::string &v, const std::string &rest);
    launch launch_of(const std::string &options) const;
    std::string query_output(const std::string &args, int *code) const;
    void write_config();

    const scenario &s_;
    install_dir dir_;
    std::map<std::string, std::string> vars_;
    strings programs_, args_;
    std::map<std::string, std::string> env_;
    bool config_set_ = false, skip_ = false, expect_death_ = false;
    run_result last_;
    std::string query_;
    int query_code_ = -1, query_uid_ = 0;
    std::vector<unique_fd> locks_;
    std::vector<sample> samples_;
};

std::string runner::expand(const std::string &text) const {
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

launch runner::launch_of(const std::string &options) const {
    launch how{.args = args_, .env = env_};
    for (const auto &o : split(options, " ")) {
        if (o == "pipe") how.console = launch::read_pipe;
        if (o == "deaf") how.console = launch::deaf_pipe;
        if (o == "closed") how.console = launch::closed;
        how.preload &= o != "plain";
        how.no_argv |= o == "noargv";
        how.hostile_signals |= o == "hostile";
        how.high_fd |= o == "high-fd";
        if (o.starts_with("argv0=pad:"))  // the binary's path, padded with slashes
            how.argv0 = std::string(std::stoul(o.substr(10)) - dir_.at("watch_daemon").size(), '/') + dir_.at("watch_daemon");
        if (o == "valgrind")
            how.wrapper = {"/usr/bin/valgrind.bin", "-q", "--error-exitcode=99", "--leak-check=full",
                           "--show-leak-kinds=all", "--errors-for-leak-kinds=all"};
    }
    return how;
}

std::string runner::query_output(const std::string &args, int *code) const {
    const std::string as = query_uid_ == 0 ? "" : "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    return shell("cd " + dir_.base + " && " + as + "timeout 5 " + dir_.at("watch_status") + " " + args + " 2>&1", code);
}

void runner::write_config() {
    if (config_set_) return;
    std::string list;
    for (const auto &p : programs_) list += (list.empty() ? "" : ",") + ("{\"base\":\"" + vars_["PATH_" + p] + "\"}");
    dir_.write("config", "{\"__watch\":{\"processes\":[" + list + "]}}");
}

void runner::act(const step &st, const std::string &v, const std::string &rest) {
    const std::string word = rest.substr(0, rest.find(' '));
    const std::string after = rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);
    auto sh = [&](int *status) { return shell("cd " + dir_.path + " && (\n" + rest + "\n) 2>&1", status); };
    int status = 0;

    // Setting up
    if (v == "plan" || v == "script") {
        const std::string name = dir_.add_program(word);
        vars_[word] = vars_["PATH_" + word] = name;  // a plan may name its own program
        programs_.push_back(word);
        std::string plan;  // "STEP *N" stands for N times STEP
        for (const auto &item : split(expand(st.rest.substr(std::min(st.rest.find(' ') + 1, st.rest.size()))))) {
            const size_t star = item.rfind(" *");
            for (size_t i = star == std::string::npos ? 1 : std::stoul(item.substr(star + 2)); i > 0; --i)
                plan += item.substr(0, star) + "\n";
        }
        dir_.write(name + ".plan", plan);
        if (v == "script")  // a shell script that logs its start and waits
            dir_.write(name, "#!/bin/sh\necho \"$0 $* |fds=0,1,2 |pid=$$\" >>" + name + ".log\nwhile :; do sleep 1; done\n");
    } else if (v == "path") {  // moves program X into directories: a path of N characters
        std::string p = vars_[word];
        for (size_t left = std::stoul(after) - p.size(); left > 0;) {
            const size_t k = std::min<size_t>(200, left - 1) - (left == 202 ? 1 : 0);  // never a lone "/"
            p = std::string(k, 'd') + "/" + p;
            left -= k + 1;
        }
        fs::create_directories(fs::path(dir_.at(p)).parent_path());
        fs::rename(dir_.at(vars_[word]), dir_.at(p));
        vars_["PATH_" + word] = p;
    } else if (v == "config") {  // written at once: later steps may lock the directory
        config_set_ = true;
        if (rest != "none") dir_.write("config", unescape(rest));
    } else if (v == "file") {
        dir_.write(word, unescape(after));
    } else if (v == "sh" || v == "need") {
        const std::string out = sh(&status);
        skip_ = status != 0 && v == "need";
        EXPECT_TRUE(status == 0 || skip_) << out;
    } else if (v == "data") {
        fs::create_directories(dir_.at("data"));
        fs::copy_file(dir_.at(vars_[word]), dir_.at("data/" + vars_[word]));
        dir_.write("data/.bootchk", R"({"version":"3.9.47.2","plugindata":1})");
    } else if (v == "env") {
        for (const auto &kv : split(rest, " ")) env_[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    } else if (v == "args") {
        for (const auto &a : split(rest, " ")) args_.push_back(a == "''" ? "" : a);
    } else if (v == "lock") {
        locks_.emplace_back(open(dir_.at(rest).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(flock(locks_.back().get(), LOCK_EX | LOCK_NB), 0);
    } else if (v == "as") {
        query_uid_ = rest == "nobody";

    // Running
    } else if (v == "run" || v == "start" || v == "run-sampled") {
        write_config();
        const launch how = launch_of(rest);
#ifdef WATCH_SANITIZED
        skip_ = !how.wrapper.empty();  // valgrind cannot run a binary built with AddressSanitizer
#endif
        if (skip_ || (!how.wrapper.empty() && access(how.wrapper[0].c_str(), X_OK) != 0)) return void(skip_ = true);
        const pid_t pid = dir_.start(how);
        if (vars_.count("SUP") == 0) vars_["SUP"] = std::to_string(pid);
        if (v == "start") return;
        int polls = 0;  // samples every 50 ms, once the first record shows the supervisor is up
        auto probe = [&] {
            std::error_code ec;
            if (v == "run-sampled" && ++polls % 10 == 0 &&
                fs::file_size(dir_.at("tmp/watch_daemon.run"), ec) > dir_.path.size() + 1 && !ec)
                if (const sample s = sample_of(pid); s.rss_kb > 0) samples_.push_back(s);
        };
        last_ = dir_.wait(v == "run" ? (how.wrapper.empty() ? 10s : 60s) : std::chrono::seconds(std::stoi(word)), probe);
        ASSERT_TRUE(last_.ended) << "did not end within its time\n" << last_.out;
        EXPECT_TRUE(expect_death_ || (WIFEXITED(last_.status) && WEXITSTATUS(last_.status) == 0)) << last_.out;
    } else if (v == "race") {
        write_config();
        fs::create_directories(dir_.at("tmp"));
        std::vector<pid_t> pids;
        for (int i = std::stoi(rest); i > 0; --i) pids.push_back(dir_.start({.preload = false}));
        int running = 0, refused = 0;
        for (size_t i = 0; i < pids.size(); ++i) {
            running += !wait_until([&] { return waitpid(pids[i], &status, WNOHANG) == pids[i]; }, 1500ms);
            refused += slurp(dir_.base + "/out" + std::to_string(i)) ==
                       "already in use for ./tmp/watch_daemon.run\nprocess(" + dir_.at("watch_daemon") + ") already run\n";
        }
        EXPECT_EQ(running, 1);
        EXPECT_EQ(refused, std::stoi(rest) - 1);
    } else if (v == "stop") {
        last_ = dir_.stop();
    } else if (v == "wait") {
        std::function<bool()> done = [&] { return query_output(dir_.path, nullptr).find(after) != std::string::npos; };
        if (word == "starts")
            done = [&] { return dir_.starts(vars_[split(after, " ")[0]]).size() >= std::stoul(split(after, " ")[1]); };
        if (word == "records") done = [&] { return lines_of(dir_.read("tmp/watch_daemon.run")).size() > std::stoul(after); };
        if (word == "dead") done = [&] { return is_dead(std::stoi(vars_["PID_" + after])); };
        ASSERT_TRUE(wait_until(done)) << "timed out";
    } else if (v == "query") {
        query_ = query_output(rest, &query_code_);

    // Checking
    } else if (v == "out" || v == "delays" || v == "starts") {
        const strings got = v == "out" ? lines_of(last_.out) : v == "delays" ? last_.delays : dir_.starts(vars_[word]);
        EXPECT_EQ(got, split(v == "starts" ? after : rest));
    } else if (v == "dies") {
        EXPECT_TRUE(WIFSIGNALED(last_.status) && WTERMSIG(last_.status) == std::stoi(rest));
    } else if (v == "records") {
        static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d \d{4}: (.*))");
        strings records, lines = lines_of(dir_.read("tmp/watch_daemon.run"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], dir_.path);
        for (size_t i = 1; i < lines.size(); ++i) {
            std::smatch m;
            EXPECT_TRUE(std::regex_match(lines[i], m, stamp)) << lines[i];
            records.push_back(m[1]);
        }
        EXPECT_EQ(records, split(rest));
    } else if (v == "has") {
        EXPECT_EQ(dir_.read(word), unescape(after));
    } else if (v == "no") {
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.at(rest)))) << rest;
    } else if (v == "check") {
        const std::string out = sh(&status);
        EXPECT_EQ(status, 0) << out;
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
    } else if (v == "steady") {
        ASSERT_GE(samples_.size(), 3u);
        auto [fmin, fmax] = std::minmax_element(samples_.begin(), samples_.end(), [](auto &a, auto &b) { return a.fds < b.fds; });
        auto [rmin, rmax] = std::minmax_element(samples_.begin() + 1, samples_.end(), [](auto &a, auto &b) { return a.rss_kb < b.rss_kb; });
        const int zmax = std::max_element(samples_.begin(), samples_.end(), [](auto &a, auto &b) { return a.zombies < b.zombies; })->zombies;
        EXPECT_LE(fmax->fds - fmin->fds, 1);  // a tool's /dev/null may be open for a moment
        EXPECT_LE(rmax->rss_kb - rmin->rss_kb, 64);
        EXPECT_LE(zmax, 2);
        printf("%zu samples: descriptors %d..%d, VmRSS %ld..%ld kB, unreaped children at most %d\n",
               samples_.size(), fmin->fds, fmax->fds, rmin->rss_kb, rmax->rss_kb, zmax);
    } else {
        ADD_FAILURE() << "unknown step";
    }
}

void runner::run() {
    for (const auto &st : s_.steps) expect_death_ |= st.verb == "dies";
    vars_ = {{"DIR", dir_.path}, {"BASE", dir_.base}, {"DAEMON", dir_.at("watch_daemon")},
             {"SUPPORT", SUPPORT_DIR}, {"PROM_TOOLS", PROM_TOOLS_DIR},
             {"SOAK_ENDS", getenv("WD_SOAK_ENDS") ? getenv("WD_SOAK_ENDS") : "2000"}};
    for (const auto &st : s_.steps) {
        const std::string rest = expand(st.rest);
        SCOPED_TRACE(s_.file + ".txt:" + std::to_string(st.line) + ": " + st.verb + " " + rest);
        act(st, st.verb, rest);
        if (skip_) GTEST_SKIP() << "precondition refused here: " << rest;
        if (testing::Test::HasFatalFailure()) break;
        for (const auto &p : programs_) {  // PID_X1, PID_X2...: its starts; PID_X: the latest
            const strings log = lines_of(dir_.read(vars_[p] + ".log"));
            for (size_t i = 0; i < log.size(); ++i)
                vars_["PID_" + p + std::to_string(i + 1)] = vars_["PID_" + p] = log[i].substr(log[i].find("|pid=") + 5);
        }
    }
    // Whatever the case, a program never inherits more than 0, 1 and 2.
    for (const auto &p : programs_)
        for (const auto &line : lines_of(dir_.read(vars_[p] + ".log")))
            EXPECT_NE(line.find(" |fds=0,1,2 |pid="), std::string::npos) << line;
}

class scenario_test : public testing::Test {
   public:
    explicit scenario_test(scenario s) : s_(std::move(s)) {}
    void TestBody() override { runner(s_).run(); }

   private:
    scenario s_;
};

// One test per case, registered before main runs the tests.
const bool registered = [] {
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(CASES_DIR))
        if (e.path().extension() == ".txt") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        size_t n = 0;
        for (auto &c : read_cases(file)) {
            std::string name = std::to_string(++n) + "_";
            for (const char ch : c.title.substr(0, 60)) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
            testing::RegisterTest(("Scenario_" + c.file).c_str(), name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                  [c]() -> testing::Test * { return new scenario_test(c); });
        }
    }
    return true;
}();

}  // namespace
