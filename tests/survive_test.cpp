// What the supervisor survives: full disks, missing tools, read-only data,
// hostile packages, kills in the middle of an upgrade, contention for its
// lock, and thousands of child ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app_dpi_process.h"
#include "in_dir.h"
#include "scenario.h"
#include "watch_daemon.h"

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

bool mount_tmpfs(const std::string &where, const std::string &options) {
    fs::create_directories(where);
    return mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

struct unmount_at_exit {
    std::string where;
    ~unmount_at_exit() { umount2(where.c_str(), MNT_DETACH); }
};

TEST(FullDisk, RunFileKeepsWholeLinesAndSupervisionGoesOn) {
    install_dir dir;
    if (!mount_tmpfs(dir.at("tmp"), "size=4k")) GTEST_SKIP() << "cannot mount a tmpfs here";
    unmount_at_exit guard{dir.at("tmp")};
    // Long names make ~250-byte records: the single page fills after ~16.
    const std::string prog = dir.add_program("full", strings(30, "exit 7"));
    const std::string deep = std::string(150, 'd');
    fs::create_directories(dir.at(deep));
    fs::rename(dir.at(prog), dir.at(deep + "/" + prog));
    dir.write(prog + ".plan", [] {
        std::string plan;
        for (int i = 0; i < 29; ++i) plan += "exit 7\n";
        return plan + "exit 129\n";
    }());
    dir.configure({deep + "/" + prog});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(dir.starts(prog).size(), 30u);
    EXPECT_EQ(count_of(r.out, "Will restart normal prog"), 29u);
    const std::string run = dir.read("tmp/watch_daemon.run");
    EXPECT_EQ(run.back(), '\n');
    const auto lines = lines_of(run);
    EXPECT_LT(lines.size(), 31u);              // some were lost to the full disk...
    for (size_t i = 1; i < lines.size(); ++i)  // ...but none half-written
        EXPECT_TRUE(lines[i].ends_with("exited normally with code(7)")) << lines[i];
}

TEST(FullDisk, UpgradeKeepsTheOldRecordAndSupervisionGoesOn) {
    install_dir dir;
    if (!mount_tmpfs(dir.at("data"), "size=8k")) GTEST_SKIP() << "cannot mount a tmpfs here";
    unmount_at_exit guard{dir.at("data")};
    const std::string prog = dir.add_program("fulld", {"package 131 pkg", "run"});
    dir.write("pkg", std::string(64 * 1024, 'L'));
    dir.write("data/.bootchk", R"({"version":"3.9.47.2"})");
    shell("dd if=/dev/zero of=" + dir.at("data/filler") + " bs=1k count=64 2>/dev/null");
    dir.configure({prog});
    dir.start({}, {{"WD_TEST_LINEBUF", "1"}});
    ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() == 2; }));
    EXPECT_EQ(argv_of(dir, prog)[1], prog + " -r 131");
    dir.stop();
    EXPECT_EQ(dir.read("data/.bootchk"), R"({"version":"3.9.47.2"})");
    EXPECT_FALSE(dir.exists("data/init.bin"));
    EXPECT_FALSE(dir.exists("tmp/ttupgrade.tgz"));
}

TEST(MissingTools, NoTarMeansNoPluginButSupervisionGoesOn) {
    install_dir dir;
    const std::string prog =
        dir.add_program("notar", {"package 130 pkg.tgz", "exit 129", "exit 129"});
    shell("cd " + dir.path() + " && tar -czf pkg.tgz " + prog);
    dir.configure({prog});
    const supervisor_run r = dir.run({}, {{"PATH", "/nonexistent"}});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(argv_of(dir, prog), (strings{prog, prog + " -r 130", prog + " -r 129"}));
    EXPECT_FALSE(dir.exists("data/" + prog));
    EXPECT_FALSE(dir.exists("tmp/ttupgrade.tgz"));
}

TEST(ReadOnlyData, RemountedTmpfsWithAFailingProgramDoesNotSpin) {
    install_dir dir;
    if (!mount_tmpfs(dir.at("data"), "size=1m")) GTEST_SKIP() << "cannot mount a tmpfs here";
    unmount_at_exit guard{dir.at("data")};
    const std::string prog = dir.add_program("rodat", strings(5, "exit 129"));
    dir.configure({prog});
    boot_from_data(dir, prog);
    ASSERT_EQ(mount(nullptr, dir.at("data").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(argv_of(dir, prog),
              (strings{"./data//" + prog + " -T ./tmp/ -D ./data/ -O quorin", prog + " -r 129"}));
    EXPECT_TRUE(r.out.ends_with("failed for normal boot, exit\n"));
}

// Members that try to leave ./data/, foreign owners and special bits.
TEST(HostilePackage, NothingLandsOutsideData) {
    in_install_dir here;
    const std::string outside = here.dir.base() + "/outside";
    fs::create_directories(outside);
    const std::string stage = here.dir.base() + "/stage";
    fs::create_directories(stage + "/sub");
    here.dir.write("../stage/sub/x", "x");
    here.dir.write("../abs_target", "original");
    // Absolute and ".." member names, a link pointing out, then a member
    // through that link, all in one archive.
    shell("cd " + stage + " && ln -s " + outside + " out && echo evil > evil && tar -P -czf " +
          here.dir.at("tmp/ttupgrade.tgz") + " --owner=4321 --group=4321 --mode=u+s " +
          here.dir.base() + "/abs_target ../stage/sub/x out out/ sub evil 2>/dev/null");
    watch_daemon_t daemon{};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    daemon_upgrade(&daemon, APP_RETCODE_UPDATE);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(here.dir.read("../abs_target"), "original");
    EXPECT_TRUE(fs::is_empty(outside));
    for (const auto &e : fs::recursive_directory_iterator(here.dir.at("data"))) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        EXPECT_EQ(st.st_uid, getuid()) << e.path();
        EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u) << e.path();
    }
}

// The residual that tar options cannot close: a link planted by one package
// is followed by the next package's members. Documented in the README.
TEST(HostilePackage, LinkPlantedByAnEarlierPackageIsFollowed) {
    in_install_dir here;
    const std::string outside = here.dir.base() + "/outside";
    fs::create_directories(outside);
    const std::string stage = here.dir.base() + "/stage";
    fs::create_directories(stage + "/lnk");
    shell("cd " + stage + " && ln -s " + outside + " link && tar -czf " +
          here.dir.at("tmp/ttupgrade.tgz") + " link");
    watch_daemon_t daemon{};
    daemon_upgrade(&daemon, APP_RETCODE_UPDATE);
    shell("cd " + stage + " && mkdir -p two/link && echo evil > two/link/evil && tar -czf " +
          here.dir.at("tmp/ttupgrade.tgz") + " -C two link/evil");
    daemon_upgrade(&daemon, APP_RETCODE_UPDATE);
    EXPECT_TRUE(fs::exists(outside + "/evil")) << "tar no longer follows planted links";
}

// SIGKILL before each file operation of an upgrade: the record and the
// installed file are always the old or the new one, byte for byte, and the
// next decision follows the record that is completely in place.
TEST(CrashConsistency, KilledAnywhereDuringAnUpgrade) {
    const struct {
        int code;
        const char *installed;
    } cases[] = {{130, nullptr}, {131, "data/init.bin"}, {132, "data/m01_sig.bin"}};
    const std::string before = R"({"version":"3.9.47.2"})";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        const std::string after =
            c.code == 130 ? R"({"version":"3.9.47.2","plugindata":1})"
                          : before.substr(0, before.size() - 1) +
                                (c.code == 131 ? R"(,"luadata":1})" : R"(,"sigdata":1})");
        auto prepare = [&](install_dir &dir, const std::string &prog) {
            // A plugin bundle holds the program; the copies are 3 blocks long.
            const std::string package = c.code == 130 ? "pkg.tgz" : "pkg.bin";
            dir.write(prog + ".plan",
                      "package " + std::to_string(c.code) + " " + package + "\nrun\n");
            dir.write(prog + ".log", "");
            fs::create_directories(dir.at("data"));
            dir.write("data/.bootchk", before);
            if (c.installed) dir.write(c.installed, "old contents");
            shell("rm -rf " + dir.at("data/" + prog) + " " + dir.at("tmp"));
        };
        // A traced run numbers the calls; the upgrade lies between the reap
        // of the requesting child and the start of its successor.
        install_dir dir("/dev/shm");
        const std::string prog = dir.add_program("crash", {});
        dir.configure({prog});
        shell("cd " + dir.path() + " && tar -czf pkg.tgz " + prog);
        dir.write("pkg.bin", std::string(3000, 'P'));
        prepare(dir, prog);
        dir.start({}, {{"WD_TEST_TRACE", "1"}});
        ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() == 2; }));
        const supervisor_run traced = dir.stop();
        long first = 0, last = 0;
        for (const auto &call : traced.delays) {
            const long n = std::stol(call.substr(call.rfind(' ') + 1));
            if (call.starts_with("call waitpid") && first == 0) first = n;
            if (call.starts_with("call rename")) last = n;
        }
        ASSERT_GT(first, 0);
        ASSERT_GT(last, first);
        int olds = 0, news = 0;
        for (long n = first + 1; n <= last + 4; ++n) {
            SCOPED_TRACE(n);
            prepare(dir, prog);
            dir.start({}, {{"WD_TEST_KILL_AT", std::to_string(n)}});
            const supervisor_run r = dir.wait(std::chrono::seconds(5));
            EXPECT_TRUE(r.exited && WIFSIGNALED(r.status));
            const std::string record = dir.read("data/.bootchk");
            ASSERT_TRUE(record == before || record == after) << record;
            (record == before ? olds : news)++;
            if (c.installed) {
                const std::string file = dir.read(c.installed);
                EXPECT_TRUE(file == "old contents" || file == dir.read("pkg.bin"));
            }
            in_install_dir_at decide(dir.path());
            watch_daemon_t daemon{};
            const bool data = record == after && c.code == 130;
            EXPECT_EQ(find_boot_space(&daemon), data ? BOOT_SPACE_DATA : BOOT_SPACE_SYS);
        }
        EXPECT_GT(olds, 0);
        EXPECT_GT(news, 0);
        printf("exit %d: killed at %d points, old record left %d times, new %d times\n", c.code,
               olds + news, olds, news);
    }
}

// 50 supervisors started at once in one install directory: one runs.
TEST(InstanceLock, FiftyAtOnce) {
    install_dir dir;
    const std::string prog = dir.add_program("race", {"run"});
    dir.configure({prog});
    mkdir(dir.at("tmp").c_str(), 0755);
    std::vector<pid_t> pids;
    for (int i = 0; i < 50; ++i)
        pids.push_back(
            dir.spawn_plain(dir.at("watch_daemon"), dir.base() + "/out" + std::to_string(i)));
    int refused = 0;
    pid_t winner = 0;
    for (size_t i = 0; i < pids.size(); ++i) {
        int status = 0;
        if (!wait_until([&] { return waitpid(pids[i], &status, WNOHANG) == pids[i]; },
                        std::chrono::milliseconds(1500))) {
            EXPECT_EQ(winner, 0) << "two supervisors run";
            winner = pids[i];
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string out = slurp(dir.base() + "/out" + std::to_string(i));
        refused += out == "already in use for ./tmp/watch_daemon.run\nprocess(" +
                              dir.at("watch_daemon") + ") already run\n";
    }
    EXPECT_EQ(refused, 49);
    ASSERT_NE(winner, 0);
    EXPECT_EQ(dir.run_lines(), strings{dir.path()});
    EXPECT_EQ(dir.starts(prog).size(), 1u);
    kill(winner, SIGTERM);
    waitpid(winner, nullptr, 0);
}

}  // namespace

namespace {

// One run through every reaction of the exit-code contract under Valgrind's
// memcheck: no invalid access, no leak of any kind.
TEST(Valgrind, EveryReactionIsClean) {
    if (access("/usr/bin/valgrind.bin", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
#ifdef WATCH_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a binary built with AddressSanitizer";
#endif
    install_dir dir;
    const std::string prog =
        dir.add_program("vg", {"exit 7", "signal 11", "exit 128", "exit 180", "signal 9", "exit 0",
                               "exit 160", "package 131 pkg.bin", "package 132 pkg.bin",
                               "package 130 pkg.tgz", "exit 129", "exit 129"});
    dir.write("pkg.bin", "lua");
    shell("cd " + dir.path() + " && tar -czf pkg.tgz " + prog);
    dir.configure({prog});
    // The launcher itself: Debian's valgrind is a shell script around it.
    dir.wrapper = {"/usr/bin/valgrind.bin", "-q",
                   "--error-exitcode=99",   "--leak-check=full",
                   "--show-leak-kinds=all", "--errors-for-leak-kinds=all"};
    const supervisor_run r = dir.run({"-v"}, {}, std::chrono::seconds(60));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
    EXPECT_EQ(r.out.find("=="), std::string::npos) << r.out;
    EXPECT_EQ(dir.starts(prog).size(), 12u);
    EXPECT_TRUE(
        r.out.ends_with("failed boot, then clean bootchk, and try again\n"
                        "failed for normal boot, exit\n"))
        << r.out;
}

}  // namespace
