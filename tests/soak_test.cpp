// Thousands of child ends through the real supervisor, with its descriptors,
// resident memory and unreaped children sampled as it goes. WD_SOAK_ENDS sets
// the number of ends (default 10000).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "scenario.h"

namespace {

struct sample {
    int fds;
    long rss_kb;
    int zombies;
};

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
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = slurp(e.path().string() + "/stat");
        const size_t close = stat.rfind(") ");
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) == 2 && ppid == parent &&
            state == 'Z')
            ++n;
    }
    return n;
}

TEST(Soak, ThousandsOfEndsCostNothing) {
    const char *env = getenv("WD_SOAK_ENDS");
    const long ends = env ? atol(env) : 10000;
    install_dir dir("/dev/shm");
    std::filesystem::copy_file(SOAK_CHILD_BIN, dir.at("soak"));
    std::filesystem::copy_file(SOAK_CHILD_BIN, dir.at("soakrun"));
    dir.write("soak.limit", std::to_string(ends));
    dir.configure({"soak", "soakrun"});

    // No delay log: its per-sleep descriptor would blur the descriptor count.
    const pid_t supervisor = dir.start({}, {{"WD_TEST_LOG", ""}});
    // Sample only once the supervisor itself (not the fork before its exec) runs.
    ASSERT_TRUE(wait_until([&] { return dir.exists("soak.count"); }));
    std::vector<sample> samples;
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        while (!done) {
            const sample s{count_fds(supervisor), rss_kb(supervisor), zombie_children(supervisor)};
            if (s.rss_kb > 0) samples.push_back(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    const supervisor_run r = dir.wait(std::chrono::seconds(120));
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    monitor.join();
    ASSERT_TRUE(r.exited);
    ASSERT_GE(samples.size(), 3u);

    // Every end of a slot's own child is one record; the leftovers killed at
    // each restart-all are reported on the console instead.
    const auto lines = dir.run_lines();
    EXPECT_EQ(static_cast<long>(lines.size()), ends + 1);
    const long cycles = ends / 25;
    EXPECT_GE(static_cast<long>(count_of(r.out, "No such pid(")), cycles - 1);
    EXPECT_EQ(r.out.find("failed to"), std::string::npos);

    const auto [fmin, fmax] = std::minmax_element(samples.begin(), samples.end(),
                                                  [](auto &a, auto &b) { return a.fds < b.fds; });
    const auto [rmin, rmax] = std::minmax_element(
        samples.begin() + 1, samples.end(), [](auto &a, auto &b) { return a.rss_kb < b.rss_kb; });
    const int zmax = std::max_element(samples.begin(), samples.end(), [](auto &a, auto &b) {
                         return a.zombies < b.zombies;
                     })->zombies;
    EXPECT_EQ(fmin->fds, fmax->fds);
    EXPECT_LE(rmax->rss_kb - rmin->rss_kb, 64);
    EXPECT_LE(zmax, 2);
    printf(
        "soak: %ld ends, %ld restart-all cycles in %.1f s; %zu samples: fds %d..%d, "
        "VmRSS %ld..%ld kB, unreaped children at most %d\n",
        ends, cycles, secs, samples.size(), fmin->fds, fmax->fds, rmin->rss_kb, rmax->rss_kb, zmax);
}

}  // namespace
