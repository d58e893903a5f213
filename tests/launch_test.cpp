#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scenario.h"

namespace {

TEST(ExecProcess, ArgumentVectors) {
    const struct {
        const char *name;
        std::vector<std::string> plan;
        std::vector<std::string> args;  // of the supervisor
        bool data;
        std::vector<std::string> starts;  // "P" stands for the program's path
    } cases[] = {
        {"first cycle", {"exit 129"}, {}, false, {"P"}},
        {"after exit 7", {"exit 7", "exit 129"}, {}, false, {"P", "P -r 7"}},
        {"after exit 0", {"exit 0", "exit 129"}, {}, false, {"P", "P"}},
        {"after SIGSEGV", {"signal 11", "exit 129"}, {}, false, {"P", "P -r 11"}},
        {"after SIGKILL", {"signal 9", "exit 129"}, {}, false, {"P", "P -r 9"}},
        {"after SIGABRT", {"signal 6", "exit 129"}, {}, false, {"P", "P -r 6"}},
        {"after exit 128", {"exit 128", "exit 129"}, {}, false, {"P", "P -r 128"}},
        {"after exit 180", {"exit 180", "exit 129"}, {}, false, {"P", "P -r 180"}},
        {"verbose, empty argument", {"exit 7", "exit 129"}, {""}, false, {"P -d", "P -r 7 -d"}},
        {"data space, verbose",
         {"exit 7", "exit 129", "exit 129"},
         {"-x"},
         true,
         {"./data//P -d -T ./tmp/ -D ./data/ -O quorin",
          "./data//P -r 7 -d -T ./tmp/ -D ./data/ -O quorin", "P -r 129 -d"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        install_dir dir;
        const std::string prog = dir.add_program("argv", c.plan);
        dir.configure({prog});
        if (c.data) boot_from_data(dir, prog);
        const supervisor_run r = dir.run(c.args);
        ASSERT_TRUE(r.exited);
        std::vector<std::string> expected;
        for (std::string s : c.starts) {
            const size_t p = s.find('P');
            expected.push_back(s.replace(p, 1, prog));
        }
        EXPECT_EQ(argv_of(dir, prog), expected);
        // Only the standard descriptors reach the program.
        for (const auto &start : dir.starts(prog))
            EXPECT_NE(start.find(" |fds=0,1,2 |pid="), std::string::npos);
    }
}

TEST(ExecProcess, LongPathsAreCutOnlyInTheArgumentVector) {
    install_dir dir;
    const std::string prog = dir.add_program("long", {"exit 129"});
    const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e') + "/";
    std::filesystem::create_directories(dir.at(deep));
    std::filesystem::rename(dir.at(prog), dir.at(deep + prog));
    dir.write(prog + ".plan", "exit 129\n");
    dir.configure({deep + prog});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    // The program ran from its full path; its argv[0] kept 255 characters.
    const auto starts = argv_of(dir, prog);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (deep + prog).substr(0, 255));
}

TEST(ExecProcess, MissingProgramEndsTheCycleWith129) {
    install_dir dir;
    dir.configure({"no-such-prog-x9"});
    const supervisor_run r = dir.run();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out,
              "failed to exec no-such-prog-x9, error is No such file or directory\n"
              "failed for normal boot, exit\n");
    const auto lines = dir.run_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].ends_with(": no-such-prog-x9 exited normally with code(129)"));
}

}  // namespace
