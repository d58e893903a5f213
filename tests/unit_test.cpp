// The supervisor's library, called directly: the tables of tests/cases/*.table
// and what only a direct call can reach.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fs.h"
#include "status.h"
#include "watch_daemon.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Rows "LEFT => RIGHT" of a table; the padding before "=>" is not part of LEFT.
std::vector<std::pair<std::string, std::string>> table(const std::string &name) {
    std::vector<std::pair<std::string, std::string>> rows;
    std::istringstream in(slurp(std::string(CASES_DIR) + "/" + name));
    for (std::string line; std::getline(in, line);) {
        const size_t arrow = line.find("=>");
        if (line.starts_with("#") || arrow == std::string::npos) continue;
        std::string left = line.substr(0, arrow), right = line.substr(arrow + 2);
        left.erase(left.find_last_not_of(' ') + 1);
        right.erase(0, right.find_first_not_of(' '));
        rows.emplace_back(left, right);
    }
    return rows;
}

// Runs the test body inside a fresh install directory, as the supervisor runs.
struct in_install_dir {
    fs::path old = fs::current_path(), dir = fs::temp_directory_path() / ("wdunit." + std::to_string(getpid()));
    in_install_dir() { fs::create_directories(dir / "data"), fs::current_path(dir); }
    ~in_install_dir() { fs::current_path(old), fs::remove_all(dir); }
    void write(const std::string &rel, const std::string &text) { std::ofstream(rel) << text; }
};

TEST(DaemonInit, ConfigTable) {
    for (const auto &[config, expected] : table("config.table")) {
        SCOPED_TRACE(config);
        in_install_dir here;
        here.write("config", config);
        watch_daemon_t daemon{};
        const int result = daemon_init("config", &daemon);
        EXPECT_LE(daemon.sub_cnt, MAX_SUB_PROCESS);
        std::string loaded = result == 0 ? "" : "refused";
        for (int i = 0; result == 0 && i < daemon.sub_cnt; ++i)
            loaded += (i ? ", " : "") + std::string(daemon.pids[i].base.data());
        EXPECT_EQ(loaded, expected);
    }
    in_install_dir here;  // a name beyond the buffer is cut, never overflows it
    here.write("config", R"({"__watch":{"processes":[{"base":")" + std::string(5000, 'n') + "\"}]}}");
    watch_daemon_t daemon{};
    ASSERT_EQ(daemon_init("config", &daemon), 0);
    EXPECT_EQ(std::string(daemon.pids[0].base.data()), std::string(PATH_BUF - 1, 'n'));
}

TEST(FindBootSpace, RecordTable) {
    for (const auto &[record, expected] : table("boot_record.table")) {
        SCOPED_TRACE(record);
        in_install_dir here;
        if (record != "none") here.write("data/.bootchk", record);
        watch_daemon_t daemon{};
        const int space = find_boot_space(&daemon);
        std::istringstream want(expected);
        std::string want_space, want_record;
        want >> want_space >> want_record;
        EXPECT_EQ(space == BOOT_SPACE_DATA ? "data" : "system", want_space);
        EXPECT_EQ(fs::exists("data/.bootchk") ? "kept" : record == "none" ? "absent" : "removed",
                  want_record);
    }
}

TEST(ParseExitRecord, WholeAndCutRecords) {
    const std::string stamp = "Mon Mar  4 09:05:07 2024: ", base(240, 'b');
    const struct {
        std::string line;
        bool ok;
        std::string base;
        int how, value;
    } cases[] = {
        {stamp + "a b exited normally with code(130)", true, "a b", program_end::exited, 130},
        {stamp + "x: y killed by signal(11)", true, "x: y", program_end::killed, 11},
        {(stamp + base + " killed by signal(11)").substr(0, 254), true, base, program_end::cut, 0},
        {(stamp + base + " killed by signal(11)").substr(0, 253), false, "", 0, 0},
        {stamp + "killed by signal(11)", false, "", 0, 0},
        {stamp + "p killed by signal()", false, "", 0, 0},
        {"Mon Mar  4 09:05:07 2024 p killed by signal(9)", false, "", 0, 0},
    };
    for (const auto &c : cases) {
        program_end end;
        EXPECT_EQ(parse_exit_record(c.line, {base}, end), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(std::tie(end.base, end.how, end.value), std::tie(c.base, c.how, c.value));
        EXPECT_EQ(end.time, stamp.substr(0, 24));
    }
}

// The holder must have the file open; one on the file's own device is
// preferred to one that only shares the inode number (another mount).
TEST(LockHolder, OnlyAProcessHoldingTheFile) {
    const dev_t dev = makedev(0xfd, 0x01);
    const std::string locks =
        "1: POSIX  ADVISORY  WRITE 111 fd:01:42 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 444 00:2f:42 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 222 fd:01:42 0 EOF\n"
        "3: -> FLOCK  ADVISORY  WRITE 333 fd:01:42 0 EOF\n";
    auto holding = [](std::set<pid_t> pids) { return [pids](pid_t p) { return pids.count(p) ? 1 : 0; }; };
    EXPECT_EQ(lock_holder(locks, dev, 42, holding({222, 444})), 222);
    EXPECT_EQ(lock_holder(locks, dev, 42, holding({444})), 444);
    EXPECT_EQ(lock_holder(locks, dev, 42, holding({111, 333})), 0);
    EXPECT_EQ(lock_holder(locks, dev, 43, holding({222})), 0);
    // Another user's processes: the same device still counts, the inode alone not.
    EXPECT_EQ(lock_holder(locks, dev, 42, [](pid_t) { return -1; }), 222);
    EXPECT_EQ(lock_holder(locks, makedev(1, 1), 42, [](pid_t) { return -1; }), 0);
}

}  // namespace
