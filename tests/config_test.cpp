#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "install_dir.h"
#include "watch_daemon.h"

namespace {

struct loaded {
    int result;
    std::vector<std::string> bases;
};

loaded init_from(const std::string &config) {
    install_dir dir;
    dir.write("config", config);
    watch_daemon_t daemon{};
    loaded l{daemon_init(dir.at("config").c_str(), &daemon), {}};
    EXPECT_LE(daemon.sub_cnt, MAX_SUB_PROCESS);
    if (l.result == 0)
        for (int i = 0; i < daemon.sub_cnt; ++i) l.bases.emplace_back(daemon.pids[i].base.data());
    return l;
}

TEST(DaemonInit, ConfigurationShapes) {
    const std::vector<std::string> fallback{"quorin-dpi-inner"};
    const struct {
        std::string config;
        int result;
        std::vector<std::string> bases;
    } cases[] = {
        {"{}", 0, fallback},
        {"[]", 0, fallback},
        {R"({"__watch":{}})", 0, fallback},
        {R"({"__watch":{"processes":[]}})", 0, fallback},
        {R"({"__watch":{"processes":7}})", 0, fallback},
        {R"({"__watch":"x"})", 0, fallback},
        {R"({"__watch":{"processes":[{"base":"a"},{"base":"b"}]}})", 0, {"a", "b"}},
        {R"({"__WATCH":{"Processes":[{"BASE":"a"}]}})", 0, {"a"}},
        {R"({"__watch":{"processes":{"x":{"base":"a"},"y":{"base":"b"}}}})", 0, {"a", "b"}},
        {R"({"__watch":{"processes":[{"base":"a"},{"other":1}]}})", -1, {}},
        {R"({"__watch":{"processes":[{"base":5}]}})", -1, {}},
        {R"({"__watch":{"processes":["a"]}})", -1, {}},
        {R"({"__watch":{"processes":[{"base":""}]}})", 0, {""}},
        {R"({"__watch":{"processes":[{"base":"1"},{"base":"2"},{"base":"3"},{"base":"4"},)"
         R"({"base":"5"},{"other":0}]}})",
         0,
         {"1", "2", "3", "4"}},
        {R"({"__watch":{"processes":[{"base":"a"}]}} trailing)", 0, {"a"}},
        {"", -1, {}},
        {"  \n", -1, {}},
        {"{\"__watch\":", -1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        const loaded l = init_from(c.config);
        EXPECT_EQ(l.result, c.result);
        EXPECT_EQ(l.bases, c.bases);
    }
}

TEST(DaemonInit, LongBaseIsCutNotOverflowed) {
    const std::string name(5000, 'n');
    const loaded l = init_from(R"({"__watch":{"processes":[{"base":")" + name + "\"}]}}");
    ASSERT_EQ(l.bases.size(), 1u);
    EXPECT_EQ(l.bases[0], name.substr(0, PATH_BUF - 1));
}

TEST(Startup, RefusesWithoutAUsableConfig) {
    for (const char *config : {static_cast<const char *>(nullptr), "", "not json"}) {
        install_dir dir;
        if (config != nullptr) dir.write("config", config);
        const supervisor_run r = dir.run();
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(WEXITSTATUS(r.status), 0);
        EXPECT_EQ(r.out, "failed to init daemon\n");
        EXPECT_TRUE(dir.exists("tmp"));
        EXPECT_TRUE(dir.exists("data"));
        EXPECT_FALSE(dir.exists("tmp/watch_daemon.run"));
    }
}

TEST(Startup, WorkingDirectoriesThatCannotBeMade) {
    {
        // A plain file named tmp counts as present; the run file then fails.
        install_dir dir;
        dir.write("config", "{}");
        dir.write("tmp", "");
        const supervisor_run r = dir.run();
        EXPECT_EQ(r.out, "failed to open ./tmp/watch_daemon.run\nprocess(" +
                             dir.at("watch_daemon") + ") already run\n");
    }
    {
        // An immutable install directory refuses mkdir even to root.
        install_dir dir;
        dir.write("config", "{}");
        if (system(("chattr +i " + dir.path() + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "chattr +i refused on this filesystem";
        const supervisor_run r = dir.run();
        shell("chattr -i " + dir.path());
        EXPECT_EQ(r.out, "mkdir (./tmp/) error: Operation not permitted");
    }
}

TEST(Startup, OverlongProgramPathIsRefused) {
    install_dir dir;
    dir.write("config", "{}");
    // Slashes keep the path valid; it just does not fit the 4096-byte buffer.
    const std::string argv0 = std::string(4200, '/') + dir.at("watch_daemon");
    const std::string out_path = dir.base() + "/out";
    const pid_t pid = dir.spawn_plain(argv0, out_path);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slurp(out_path), "program path too long (" + std::to_string(argv0.size()) +
                                   " bytes), refusing to start\n");
    EXPECT_FALSE(dir.exists("tmp"));
}

}  // namespace
