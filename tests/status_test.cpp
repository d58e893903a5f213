#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

#include "fs.h"
#include "scenario.h"
#include "status.h"

namespace {

struct status_result {
    int code;
    std::string out;
    cjson_tree json;
};

status_result query(const install_dir &dir, const std::string &extra = "") {
    const std::string cmd =
        std::string(WATCH_STATUS_BIN) + " --json " + extra + " " + dir.path() + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    return {WEXITSTATUS(status), out, cjson_tree(cJSON_Parse(out.c_str()))};
}

const cJSON *first_program(const status_result &r) {
    const cJSON *sup = cJSON_GetArrayItem(cJSON_GetObjectItem(r.json.get(), "supervisors"), 0);
    return cJSON_GetArrayItem(cJSON_GetObjectItem(sup, "programs"), 0);
}

std::string boot_space(const status_result &r) {
    return cJSON_GetItemString(cJSON_GetObjectItem(r.json.get(), "boot_space"), "space");
}

TEST(ParseExitRecord, Forms) {
    const struct {
        std::string line;
        bool ok;
        std::string base;
        bool normal;
        int value;
    } cases[] = {
        {"Mon Mar  4 09:05:07 2024: a b exited normally with code(130)", true, "a b", true, 130},
        {"Mon Mar  4 09:05:07 2024: x: y killed by signal(11)", true, "x: y", false, 11},
        {"Mon Mar  4 09:05:07 2024: killed by signal(11)", false, "", false, 0},
        {"Mon Mar  4 09:05:07 2024: p killed by signal()", false, "", false, 0},
        {"garbage", false, "", false, 0},
        {"", false, "", false, 0},
    };
    for (const auto &c : cases) {
        std::string base;
        program_end end;
        EXPECT_EQ(parse_exit_record(c.line, base, end), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(base, c.base);
        EXPECT_EQ(end.normal, c.normal);
        EXPECT_EQ(end.value, c.value);
    }
}

TEST(LockHolder, FindsTheFlockOnTheInode) {
    const dev_t dev = makedev(0xfd, 0x01);
    const std::string locks =
        "1: POSIX  ADVISORY  WRITE 111 fd:01:42 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 222 fd:01:42 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 333 fd:01:42 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 444 00:2f:77 0 EOF\n";
    EXPECT_EQ(lock_holder(locks, dev, 42), 222);
    EXPECT_EQ(lock_holder(locks, dev, 77), 444);  // other device: inode match only
    EXPECT_EQ(lock_holder(locks, dev, 43), 0);
    EXPECT_EQ(lock_holder("", dev, 42), 0);
}

TEST(WatchStatus, RunningCrashedAndStopped) {
    install_dir dir;
    const std::string prog = dir.add_program("stat", {"signal 11", "signal 11", "run"});
    dir.configure({prog});
    const pid_t supervisor = dir.start({}, {{"WD_TEST_LINEBUF", "1"}});
    ASSERT_TRUE(wait_until([&] { return dir.starts(prog).size() == 3; }));
    ASSERT_TRUE(
        wait_until([&] { return cJSON_GetItemNumber(first_program(query(dir)), "pid") > 0; }));

    const status_result r = query(dir);
    EXPECT_EQ(r.code, 0) << r.out;
    const cJSON *sup = cJSON_GetArrayItem(cJSON_GetObjectItem(r.json.get(), "supervisors"), 0);
    EXPECT_EQ(cJSON_GetItemNumber(sup, "pid"), supervisor);
    EXPECT_STREQ(cJSON_GetItemString(sup, "directory"), dir.path().c_str());
    const cJSON *p = first_program(r);
    EXPECT_STREQ(cJSON_GetItemString(p, "base"), prog.c_str());
    EXPECT_EQ(cJSON_GetItemNumber(p, "ends"), 2);
    EXPECT_EQ(cJSON_GetItemNumber(p, "segv"), 2);
    EXPECT_EQ(cJSON_GetItemNumber(cJSON_GetObjectItem(p, "last_end"), "signal"), 11);
    const pid_t child = cJSON_GetItemNumber(p, "pid");
    EXPECT_EQ(shell("cat /proc/" + std::to_string(child) + "/cmdline | tr '\\0' ' '"),
              prog + " -r 11 ");

    const std::string text = shell(std::string(WATCH_STATUS_BIN) + " " + dir.path());
    EXPECT_NE(text.find("supervisor   running, pid " + std::to_string(supervisor)),
              std::string::npos);
    EXPECT_NE(text.find("signal 11 at "), std::string::npos) << text;

    dir.stop();
    EXPECT_EQ(query(dir).code, 3);
}

TEST(WatchStatus, DataSpaceAfterAnUpgrade) {
    install_dir dir;
    const std::string prog = dir.add_program("sdat", {"package 130 pkg.tgz", "run"});
    shell("cd " + dir.path() + " && tar -czf pkg.tgz " + prog);
    dir.configure({prog});
    dir.start({}, {{"WD_TEST_LINEBUF", "1"}});
    // Wait for the restart from ./data/, not the first start.
    ASSERT_TRUE(wait_until([&] {
        const status_result now = query(dir);
        const char *space = cJSON_GetItemString(first_program(now), "space");
        return space != nullptr && std::string(space) == "data";
    }));
    const status_result r = query(dir);
    EXPECT_EQ(boot_space(r), "data");
    EXPECT_STREQ(cJSON_GetItemString(first_program(r), "space"), "data");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(r.json.get(), "notes")), 0) << r.out;
    dir.stop();
}

TEST(WatchStatus, CorruptFilesAndBadInput) {
    install_dir dir;
    dir.write("config", "{}");
    mkdir(dir.at("tmp").c_str(), 0755);
    mkdir(dir.at("data").c_str(), 0755);
    dir.write("tmp/watch_daemon.run", std::string("/x\n") + '\0' +
                                          "\xff garbage\nMon Mar  4 09:05:07 2024: "
                                          "quorin-dpi-inner exited normally with code(7)\n");
    dir.write("data/.bootchk", R"({"version":"3.9.46","plugindata":1})");
    const status_result r = query(dir);
    EXPECT_EQ(r.code, 3) << r.out;
    ASSERT_TRUE(r.json) << r.out;
    EXPECT_EQ(cJSON_GetItemNumber(first_program(r), "ends"), 1);
    EXPECT_EQ(boot_space(r), "system");
    EXPECT_TRUE(dir.exists("data/.bootchk"));  // judged too old, never removed

    dir.write("data/.bootchk", "\x01\x02 not json");
    EXPECT_EQ(boot_space(query(dir)), "system");

    const status_result missing = query(dir, "/nonexistent/dir");
    EXPECT_EQ(missing.code, 4);
    EXPECT_EQ(count_of(missing.out, "\n"), 1u) << missing.out;
}

// Queries running in a loop never make a starting supervisor fail its lock.
TEST(WatchStatus, QueriesNeverDisturbAStart) {
    install_dir dir;
    const std::string prog = dir.add_program("srace", std::vector<std::string>(15, "exit 129"));
    dir.configure({prog});
    std::atomic<bool> done{false};
    std::thread spam([&] {
        while (!done) query(dir);
    });
    for (int i = 0; i < 15; ++i) {
        const supervisor_run r = dir.run();
        EXPECT_EQ(count_of(r.out, "already in use"), 0u);
    }
    done = true;
    spam.join();
    EXPECT_EQ(dir.starts(prog).size(), 15u);
}

}  // namespace
