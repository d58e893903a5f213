#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scenario.h"

namespace {

using strings = std::vector<std::string>;

TEST(LoopRun, DelaysAndMessagesForOrdinaryEnds) {
    const struct {
        std::string end;
        std::string message;
    } cases[] = {
        {"exit 7", "Will restart normal prog after 10 secs\n"},
        {"exit 11", "Will restart normal prog after 10 secs\n"},  // an exit, not a SIGSEGV
        {"exit 128", "Will restart normal prog after 10 secs\n"},
        {"exit 180", "Will restart normal prog after 10 secs\n"},
        {"signal 9", "Will restart normal prog after 10 secs\n"},
        {"signal 11", "Will restart segv prog after 60 secs\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.end);
        install_dir dir;
        const std::string prog = dir.add_program("delay", {c.end, "exit 129"});
        dir.configure({prog});
        const supervisor_run r = dir.run();
        EXPECT_EQ(r.out, c.message + "failed for normal boot, exit\n");
        const std::string delay = c.message.substr(c.message.find("after ") + 6);
        EXPECT_EQ(r.delays, strings{"sleep " + delay.substr(0, delay.find(' '))});
        EXPECT_EQ(dir.run_lines().size(), 3u);
    }
}

TEST(LoopRun, SegvBackOffIsCountedAcrossPrograms) {
    install_dir dir;
    const std::string a = dir.add_program("segva", {"signal 11", "signal 11", "signal 11", "run"});
    const std::string b = dir.add_program("segvb", {"signal 11", "signal 11"});
    dir.write(b + ".plan", "signal 11\nsignal 11\nawait " + a + ".log 4 exit 129\n");
    dir.configure({a, b});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.delays,
              (strings{"sleep 60", "sleep 660", "sleep 1260", "sleep 7200", "sleep 7200"}));
    EXPECT_EQ(count_of(r.out, "Will restart segv prog after 7200 secs\n"), 2u);
    EXPECT_EQ(count_of(r.out, "killed by signal(11)"), 0u);
    EXPECT_EQ(count_of(dir.read("tmp/watch_daemon.run"), "killed by signal(11)"), 5u);
}

TEST(LoopRun, RestartAllKillsTheOthers) {
    install_dir dir;
    const std::string b = dir.add_program("rstb", {"run", "run"});
    const std::string a = dir.add_program(
        "rsta", {"await " + b + ".log 1 exit 160", "await " + b + ".log 2 exit 129"});
    dir.configure({a, b});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    EXPECT_TRUE(r.delays.empty());
    EXPECT_EQ(argv_of(dir, a), (strings{a, a + " -r 160"}));
    EXPECT_EQ(argv_of(dir, b), (strings{b, b + " -r 160"}));
    // The killed leftover is no slot's child any more.
    EXPECT_EQ(count_of(r.out, "No such pid("), 1u);
    EXPECT_EQ(count_of(r.out, ") for reexec\n"), 1u);
    const auto lines = dir.run_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[1].ends_with(a + " exited normally with code(160)"));
    EXPECT_TRUE(lines[2].ends_with(a + " exited normally with code(129)"));
}

TEST(LoopRun, UpgradesInstallThenRestartAll) {
    const struct {
        int code;
        const char *installed;
        bool data;
    } cases[] = {
        {130, nullptr, true}, {131, "data/init.bin", false}, {132, "data/m01_sig.bin", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        install_dir dir;
        const std::string prog = dir.add_program("upg", {});
        dir.write(prog + ".plan",
                  "package " + std::to_string(c.code) + " pkg.tgz\nexit 129\nexit 129\n");
        // A plugin bundle holding the program itself.
        shell("cd " + dir.path() + " && tar -czf pkg.tgz " + prog);
        dir.configure({prog});
        const supervisor_run r = dir.run();
        ASSERT_TRUE(r.exited);
        EXPECT_TRUE(r.delays.empty());
        const std::string code = std::to_string(c.code);
        const std::string restart =
            c.data ? "./data//" + prog + " -r 130 -T ./tmp/ -D ./data/ -O quorin"
                   : prog + " -r " + code;
        EXPECT_EQ(argv_of(dir, prog), (strings{prog, restart, prog + " -r 129"}));
        if (c.installed) {
            EXPECT_EQ(dir.read(c.installed), dir.read("pkg.tgz"));
        }
        // The failure after the upgrade removes its record and falls back.
        EXPECT_EQ(r.out,
                  "failed boot, then clean bootchk, and try again\nfailed for normal boot, exit\n");
        EXPECT_FALSE(dir.exists("data/.bootchk"));
        EXPECT_FALSE(dir.exists("tmp/ttupgrade.tgz"));
    }
}

TEST(WatchLoop, FailuresOfForkAndWait) {
    constexpr size_t any = ~size_t{0};  // the supervisor may end before its child logs
    const struct {
        const char *name;
        std::map<std::string, std::string> env;
        std::string plan;
        std::string out;
        strings delays;
        size_t starts;
    } cases[] = {
        // Fork 1 runs killall, fork 2 starts the program.
        {"fork fails at a cycle's start",
         {{"WD_TEST_FAIL_FORK", "2+"}},
         "exit 129",
         "failed to fork\n",
         {"pause 1", "pause 2"},
         0},
        {"fork fails for a restart",
         {{"WD_TEST_FAIL_FORK", "3+"}},
         "exit 7",
         "Will restart normal prog after 10 secs\nfailed to fork\nfailed for normal boot, exit\n",
         {"sleep 10", "pause 1", "pause 2"},
         1},
        {"two transient fork failures",
         {{"WD_TEST_FAIL_FORK", "3-4"}},
         "exit 7\nexit 129",
         "Will restart normal prog after 10 secs\nfailed for normal boot, exit\n",
         {"sleep 10", "pause 1", "pause 2"},
         2},
        {"waitpid fails",
         {{"WD_TEST_FAIL_WAITPID", "1:10"}},
         "run",
         "failed to waitpid\nfailed for normal boot, exit\n",
         {},
         any},
        {"waitpid interrupted",
         {{"WD_TEST_FAIL_WAITPID", "1:4"}},
         "exit 129",
         "failed for normal boot, exit\n",
         {},
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        install_dir dir;
        const std::string prog = dir.add_program("fail", {c.plan});
        dir.configure({prog});
        const supervisor_run r = dir.run({}, c.env);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(WEXITSTATUS(r.status), 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.delays, c.delays);
        if (c.starts != any) {
            EXPECT_EQ(dir.starts(prog).size(), c.starts);
        }
    }
}

TEST(WatchLoop, TransientForkFailureKeepsTheRecord) {
    install_dir dir;
    const std::string prog = dir.add_program("keep", {"exit 7", "run"});
    dir.configure({prog});
    boot_from_data(dir, prog);
    // Fork 3 is the restart after exit 7; it fails twice, then succeeds.
    dir.start({}, {{"WD_TEST_FAIL_FORK", "3"}, {"WD_TEST_LINEBUF", "1"}});
    ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() >= 2; }));
    EXPECT_EQ(dir.read("data/.bootchk"), data_record());
    EXPECT_EQ(argv_of(dir, prog)[1], "./data//" + prog + " -r 7 -T ./tmp/ -D ./data/ -O quorin");
    const supervisor_run r = dir.stop();
    EXPECT_EQ(r.delays, (strings{"sleep 10", "pause 1"}));
}

TEST(WatchLoop, UnremovableRecordDoesNotSpin) {
    for (const bool immutable : {false, true}) {
        SCOPED_TRACE(immutable ? "read-only data directory" : "record is a directory");
        install_dir dir;
        const std::string prog = dir.add_program("spin", {"exit 129", "exit 129", "exit 129"});
        dir.configure({prog});
        if (immutable) {
            boot_from_data(dir, prog);
            if (system(("chattr +i " + dir.at("data") + " 2>/dev/null").c_str()) != 0)
                GTEST_SKIP() << "chattr +i refused on this filesystem";
        } else {
            std::filesystem::create_directories(dir.at("data/.bootchk"));
        }
        const supervisor_run r = dir.run();
        shell("chattr -i " + dir.at("data") + " 2>/dev/null");
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.out,
                  "failed boot, and bootchk cannot be removed, so ignore it and try again\n"
                  "failed for normal boot, exit\n");
        const auto starts = argv_of(dir, prog);
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_EQ(starts[1], prog + " -r 129");
        EXPECT_TRUE(dir.exists("data/.bootchk"));
    }
}

TEST(WatchClean, ProgramNamesAreNotShellCode) {
    install_dir dir;
    dir.configure({"x;touch PWNED1", "$(touch PWNED2)", "`touch PWNED3`"});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    for (const char *f : {"PWNED1", "PWNED2", "PWNED3"}) EXPECT_FALSE(dir.exists(f)) << f;
    EXPECT_FALSE(std::filesystem::exists("PWNED1"));
    // Whichever exec failure comes first ends the cycle.
    EXPECT_NE(r.out.find("failed to exec "), std::string::npos);
}

// Without killall on the search path, a leftover that ignores SIGTERM (so
// the parent-death signal cannot end it) is still killed, by its pid.
TEST(WatchClean, LeftoversAreKilledWithoutKillall) {
    install_dir dir;
    const std::string b = dir.add_program("nkb", {"immortal", "immortal"});
    const std::string a = dir.add_program(
        "nka", {"await " + b + ".log 1 exit 160", "await " + b + ".log 2 exit 129"});
    dir.configure({a, b});
    const supervisor_run r = dir.run({}, {{"PATH", "/nonexistent"}});
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(dir.starts(b).size(), 2u);
    EXPECT_TRUE(wait_until([&] { return is_dead(pid_of(dir, b, 0)); }, std::chrono::seconds(2)));
    EXPECT_FALSE(is_dead(pid_of(dir, b, 1)));  // proof that SIGTERM alone would not do
}

TEST(ExecProcess, ChildOfAGoneSupervisorExits) {
    install_dir dir;
    const std::string prog = dir.add_program("orph", {"run"});
    dir.configure({prog});
    // The program's child kills the supervisor before it is armed.
    const supervisor_run r = dir.run({}, {{"WD_TEST_ORPHAN_FORK", "2"}});
    EXPECT_TRUE(WIFSIGNALED(r.status));
    usleep(200 * 1000);
    EXPECT_FALSE(dir.exists(prog + ".log"));
    EXPECT_EQ(shell("pgrep -x " + prog), "");
}

TEST(ExecProcess, FailureDoesNotRepeatTheSupervisorsLines) {
    install_dir dir;
    // The first start removes the program, so its restart cannot exec.
    const std::string prog = dir.add_program("dup", {});
    dir.write(prog + ".plan", "rm " + prog + " exit 7\n");
    dir.configure({prog});
    // The console is a pipe, as under a journal: fully buffered.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dir.start({}, {}, fds[1]);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    ASSERT_TRUE(dir.wait().exited);
    EXPECT_EQ(count_of(out, "Will restart normal prog after 10 secs\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "failed to exec " + prog + ", error is No such file"), 1u);
}

// With the console a pipe nobody reads, neither the supervisor nor a child
// whose exec failed is killed by SIGPIPE: the failure is still a 129.
TEST(Startup, GoneLogReaderKillsNothing) {
    install_dir dir;
    const std::string prog = dir.add_program("sigp", {});
    dir.write(prog + ".plan", "rm " + prog + " exit 7\n");
    dir.configure({prog});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    dir.start({}, {{"WD_TEST_LINEBUF", "1"}}, fds[1]);
    close(fds[1]);
    const supervisor_run r = dir.wait();
    ASSERT_TRUE(r.exited);
    EXPECT_TRUE(WIFEXITED(r.status));
    const auto lines = dir.run_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[2].ends_with(prog + " exited normally with code(129)"));
}

}  // namespace
