// The heavy proofs, each against the real binary: crash consistency of an
// upgrade, the race for the instance lock, and a soak of thousands of ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "watch_daemon.h"

namespace {

namespace fs = std::filesystem;

// SIGKILL before each file operation of an upgrade: the record and the
// installed file are always the old or the new one, byte for byte, and the
// next boot-space decision follows the record that is wholly in place.
TEST(CrashConsistency, KilledAnywhereDuringAnUpgrade) {
    const std::string before = R"({"version":"3.9.47.2"})";
    for (const int code : {130, 131}) {
        SCOPED_TRACE(code);
        const std::string after = code == 130 ? R"({"version":"3.9.47.2","plugindata":1})"
                                              : R"({"version":"3.9.47.2","luadata":1})";
        install_dir dir("/dev/shm");
        const std::string prog = dir.add_program({}, "cc");
        const std::string package = code == 130 ? "pkg.tgz" : "pkg.bin";
        dir.configure({prog});
        shell("cd " + dir.path + " && tar -czf pkg.tgz " + prog);
        dir.write("pkg.bin", std::string(3000, 'P'));
        auto prepare = [&] {
            shell("cd " + dir.path + " && rm -rf tmp data " + prog + ".log " + prog + ".count && mkdir data");
            dir.write(prog + ".plan", "package " + std::to_string(code) + " " + package + "\nrun\n");
            dir.write("data/.bootchk", before);
            dir.write("data/init.bin", "old contents");
        };
        // A traced run numbers the calls; the upgrade lies between the first
        // reap and the last rename.
        prepare();
        dir.start({.env = {{"WD_TEST_TRACE", "1"}}});
        ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() == 2; }));
        long first = 0, last = 0;
        for (const auto &call : dir.stop().delays) {
            const long n = std::stol(call.substr(call.rfind(' ') + 1));
            if (call.starts_with("call waitpid") && first == 0) first = n;
            if (call.starts_with("call rename")) last = n;
        }
        ASSERT_GT(last, first);
        int olds = 0, news = 0;
        for (long n = first + 1; n <= last + 4; ++n) {
            SCOPED_TRACE(n);
            prepare();
            const run_result r = dir.run({.env = {{"WD_TEST_KILL_AT", std::to_string(n)}}}, 5s);
            EXPECT_TRUE(r.ended && WIFSIGNALED(r.status));
            const std::string record = dir.read("data/.bootchk");
            ASSERT_TRUE(record == before || record == after) << record;
            (record == before ? olds : news)++;
            const std::string init = dir.read("data/init.bin");
            EXPECT_TRUE(init == "old contents" || (code == 131 && init == dir.read("pkg.bin")));
            const std::string old = fs::current_path();
            fs::current_path(dir.path);
            watch_daemon_t daemon{};
            EXPECT_EQ(find_boot_space(&daemon), record == after && code == 130 ? BOOT_SPACE_DATA : BOOT_SPACE_SYS);
            fs::current_path(old);
        }
        EXPECT_GT(olds, 0);
        EXPECT_GT(news, 0);
        printf("exit %d: killed at %d points, old record left %d times, new %d times\n", code,
               olds + news, olds, news);
    }
}

// 50 supervisors started at once in one install directory: exactly one runs.
TEST(InstanceLock, FiftyAtOnce) {
    install_dir dir;
    const std::string prog = dir.add_program({"run"}, "race");
    dir.configure({prog});
    fs::create_directories(dir.at("tmp"));
    std::vector<pid_t> pids;
    for (int i = 0; i < 50; ++i) pids.push_back(dir.start({.preload = false}));
    int refused = 0, running = 0;
    for (size_t i = 0; i < pids.size(); ++i) {
        int status = 0;
        if (!wait_until([&] { return waitpid(pids[i], &status, WNOHANG) == pids[i]; }, 1500ms)) {
            ++running;
            continue;
        }
        EXPECT_EQ(status, 0);
        refused += slurp(dir.base + "/out" + std::to_string(i)) ==
                   "already in use for ./tmp/watch_daemon.run\nprocess(" + dir.at("watch_daemon") +
                       ") already run\n";
    }
    EXPECT_EQ(running, 1);
    EXPECT_EQ(refused, 49);
    EXPECT_EQ(dir.run_lines(), strings{dir.path});
    EXPECT_EQ(dir.starts(prog).size(), 1u);
}

int count_fds(pid_t pid) {
    int n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

long rss_kb(pid_t pid) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

int zombie_children(pid_t parent) {
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc")) {
        const std::string stat = slurp(e.path().string() + "/stat");
        const size_t close = stat.rfind(") ");
        char state = 0;
        int ppid = 0;
        n += close != std::string::npos && sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) == 2 &&
             ppid == parent && state == 'Z';
    }
    return n;
}

// Thousands of ends (WD_SOAK_ENDS, default 2000) through the real supervisor,
// its descriptors, resident memory and unreaped children sampled as it goes.
TEST(Soak, ThousandsOfEndsCostNothing) {
    const long ends = getenv("WD_SOAK_ENDS") ? atol(getenv("WD_SOAK_ENDS")) : 2000;
    install_dir dir("/dev/shm");
    const std::string soak = dir.add_program({"soak " + std::to_string(ends)}, "sk");
    const std::string idle = dir.add_program({}, "si");
    dir.configure({soak, idle});
    // No delay log: its per-sleep descriptor would blur the descriptor count.
    const pid_t supervisor = dir.start({.env = {{"WD_TEST_LOG", ""}}});
    ASSERT_TRUE(wait_until([&] { return dir.exists(soak + ".count"); }));
    struct sample {
        int fds;
        long rss_kb;
        int zombies;
    };
    std::vector<sample> samples;
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        while (!done) {
            const sample s{count_fds(supervisor), rss_kb(supervisor), zombie_children(supervisor)};
            if (s.rss_kb > 0) samples.push_back(s);
            std::this_thread::sleep_for(50ms);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    const run_result r = dir.wait(60s);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    monitor.join();
    ASSERT_TRUE(r.ended);
    ASSERT_GE(samples.size(), 3u);

    // Every end of a slot's own child is one record; the leftovers killed at
    // each restart-all are reported on the console instead.
    EXPECT_EQ(static_cast<long>(dir.run_lines().size()), ends + 1);
    EXPECT_EQ(r.out.find("failed to"), std::string::npos);
    auto by = [](auto field) { return [field](const sample &a, const sample &b) { return a.*field < b.*field; }; };
    const auto [fmin, fmax] = std::minmax_element(samples.begin(), samples.end(), by(&sample::fds));
    const auto [rmin, rmax] = std::minmax_element(samples.begin() + 1, samples.end(), by(&sample::rss_kb));
    const int zmax = std::max_element(samples.begin(), samples.end(), by(&sample::zombies))->zombies;
    // A descriptor may be open for a moment (a tool's /dev/null); none stays.
    EXPECT_LE(fmax->fds - fmin->fds, 1);
    EXPECT_EQ(samples.back().fds, samples.front().fds);
    EXPECT_LE(rmax->rss_kb - rmin->rss_kb, 64);
    EXPECT_LE(zmax, 2);
    printf("soak: %ld ends in %.1f s; %zu samples: fds %d..%d, VmRSS %ld..%ld kB, unreaped children at most %d\n",
           ends, secs, samples.size(), fmin->fds, fmax->fds, rmin->rss_kb, rmax->rss_kb, zmax);
}

}  // namespace
