#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "app_dpi_process.h"
#include "fs.h"
#include "install_dir.h"
#include "watch_daemon.h"

namespace {

std::string record_of(int code, int exit_normal, const std::string &base) {
    char path[] = "/tmp/wdrec.XXXXXX";
    const unique_fd fd(mkstemp(path));
    record_exit_status(code, exit_normal, base.c_str(), fd.get());
    const std::string text = slurp(path);
    unlink(path);
    return text;
}

TEST(RecordExitStatus, Forms) {
    const std::string stamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d \d{4})";
    const struct {
        int code, exit_normal;
        std::string expected;  // after the time stamp
    } cases[] = {
        {130, 1, ": prog exited normally with code(130)\n"},
        {0, 1, ": prog exited normally with code(0)\n"},
        {9, 0, ": prog killed by signal(9)\n"},
        {11, 2, ": prog killed by signal(11)\n"},  // only exactly 1 is a normal exit
    };
    for (const auto &c : cases) {
        const std::string text = record_of(c.code, c.exit_normal, "prog");
        EXPECT_TRUE(std::regex_match(
            text,
            std::regex(stamp + std::regex_replace(c.expected, std::regex(R"([()])"), R"(\$&)"))))
            << text;
    }
}

TEST(RecordExitStatus, LongRecordIsCutButEndsItsLine) {
    const std::string text = record_of(130, 1, std::string(300, 'b'));
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), 254u);
}

TEST(RecordExitStatus, IgnoresNonPositiveDescriptors) {
    // Descriptor 0 is never the run file; writing there would hit stdin.
    record_exit_status(1, 1, "prog", 0);
    record_exit_status(1, 1, "prog", -1);
}

TEST(ProcessRunSet, LocksTruncatesAndIsCloseOnExec) {
    install_dir dir;
    const std::string path = dir.at("x.run");
    dir.write("x.run", "old contents\nmore\n");
    const unique_fd fd(process_run_set(path.c_str(), "abc", 3));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(dir.read("x.run"), "abc");
    EXPECT_TRUE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);

    // A second holder is refused and changes nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(process_run_set(path.c_str(), "zz", 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "already in use for " + path + "\n");
    EXPECT_EQ(dir.read("x.run"), "abc");

    testing::internal::CaptureStdout();
    EXPECT_EQ(process_run_set(nullptr, "", 0), -1);
    EXPECT_EQ(process_run_set("/nonexistent/x.run", "", 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "NULL file name\nfailed to open /nonexistent/x.run\n");
}

TEST(Startup, RunFileHoldsTheInstallDirectoryAndTheLock) {
    install_dir dir;
    const std::string prog = dir.add_program("lock", {"run"});
    dir.configure({prog});
    dir.start({}, {{"WD_TEST_LINEBUF", "1"}});
    ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() == 1; }));
    EXPECT_EQ(dir.run_lines(), std::vector<std::string>{dir.path()});

    // As another supervisor would: the lock is held, the file untouched.
    const std::string before = dir.read("tmp/watch_daemon.run");
    const std::string second = dir.at("watch_daemon");
    const std::string out = shell(second + " -v; echo rc=$?");
    EXPECT_EQ(out, "already in use for ./tmp/watch_daemon.run\nprocess(" + second +
                       ") already run\nrc=0\n");
    EXPECT_EQ(dir.read("tmp/watch_daemon.run"), before);
    dir.stop();

    // Restarted, it keeps only the new run's history.
    dir.write(prog + ".plan", "exit 129\n");
    dir.write(prog + ".log", "");
    const supervisor_run r = dir.run();
    const auto lines = dir.run_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], dir.path());
    EXPECT_NE(lines[1].find(prog + " exited normally with code(129)"), std::string::npos);
}

TEST(Startup, LockHeldByAnotherProcessRefusesTheStart) {
    install_dir dir;
    dir.write("config", "{}");
    mkdir(dir.at("tmp").c_str(), 0755);
    dir.write("tmp/watch_daemon.run", "/somewhere\nrecord\n");
    const unique_fd held(open(dir.at("tmp/watch_daemon.run").c_str(), O_RDONLY));
    ASSERT_EQ(flock(held.get(), LOCK_EX | LOCK_NB), 0);
    const supervisor_run r = dir.run({"x"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out, "already in use for ./tmp/watch_daemon.run\nprocess(" +
                         dir.at("watch_daemon") + ") already run\n");
    EXPECT_EQ(dir.read("tmp/watch_daemon.run"), "/somewhere\nrecord\n");
}

TEST(Startup, ClosedStandardDescriptorsGetDevNull) {
    install_dir dir;
    const std::string prog = dir.add_program("stdfd", {"exit 129"});
    dir.configure({prog});
    const std::string daemon = dir.at("watch_daemon");
    shell("exec 0<&- 1>&- 2>&- ; " + daemon);
    ASSERT_TRUE(wait_until([&] { return dir.run_lines().size() == 2; }));
    // The console message went to /dev/null, not into the run file.
    const auto lines = dir.run_lines();
    EXPECT_EQ(lines[0], dir.path());
    EXPECT_NE(lines[1].find("code(129)"), std::string::npos);
    EXPECT_NE(dir.starts(prog)[0].find("|fds=0,1,2"), std::string::npos);
}

TEST(ProcessClosefdFrom, ClosesUpToTheRaisedLimit) {
    const pid_t pid = fork();
    if (pid == 0) {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        const int top = static_cast<int>(lim.rlim_cur) - 1;
        if (dup2(1, top) != top || dup2(1, 3) != 3 || dup2(1, top / 2) != top / 2) _exit(2);
        process_closefd_from(3);
        for (int fd = 3; fd <= top; ++fd)
            if (fcntl(fd, F_GETFD) != -1) _exit(3);
        _exit(fcntl(2, F_GETFD) == -1 ? 4 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
