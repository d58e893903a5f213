// SIGKILL before each file operation of an upgrade, against the real binary:
// the record and the installed file are always the old or the new one, byte
// for byte, and the next boot-space decision follows the record in place.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "harness.h"
#include "watch_daemon.h"

namespace {

namespace fs = std::filesystem;

TEST(CrashConsistency, KilledAnywhereDuringAnUpgrade) {
    const std::string before = R"({"version":"3.9.47.2"})";
    for (const int code : {130, 131}) {
        SCOPED_TRACE(code);
        const std::string after = before.substr(0, before.size() - 1) + (code == 130 ? R"(,"plugindata":1})" : R"(,"luadata":1})");
        install_dir dir("/dev/shm");
        const std::string prog = dir.add_program("cc"), package = code == 130 ? "pkg.tgz" : "pkg.bin";
        dir.write("config", R"({"__watch":{"processes":[{"base":")" + prog + "\"}]}}");
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
            dir.start({.env = {{"WD_TEST_KILL_AT", std::to_string(n)}}});
            const run_result r = dir.wait(5s);
            EXPECT_TRUE(r.ended && WIFSIGNALED(r.status));
            const std::string record = dir.read("data/.bootchk"), init = dir.read("data/init.bin");
            ASSERT_TRUE(record == before || record == after) << record;
            (record == before ? olds : news)++;
            EXPECT_TRUE(init == "old contents" || (code == 131 && init == dir.read("pkg.bin")));
            const fs::path old = fs::current_path();
            fs::current_path(dir.path);
            watch_daemon_t daemon{};
            EXPECT_EQ(find_boot_space(&daemon), record == after && code == 130 ? BOOT_SPACE_DATA : BOOT_SPACE_SYS);
            fs::current_path(old);
        }
        EXPECT_GT(olds, 0);
        EXPECT_GT(news, 0);
        printf("exit %d: killed at %d points, old record left %d times, new %d times\n", code, olds + news, olds, news);
    }
}

}  // namespace
