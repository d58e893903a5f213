// The supervisor's library, called directly: the tables of tests/cases/*.table
// and what only a direct call can reach.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <vector>

#include "app_dpi_process.h"
#include "boot_record.h"
#include "fs.h"
#include "handover.h"
#include "proc.h"
#include "process.h"
#include "status.h"
#include "tool.h"
#include "watch_daemon.h"

// scenario_test.cpp's, linked into the same binary.
std::string slurp(const std::string &path);
std::vector<std::string> lines_of(const std::string &text);

namespace {

namespace fs = std::filesystem;

// Rows "LEFT => RIGHT" of a table; the padding before "=>" is not part of LEFT.
std::vector<std::pair<std::string, std::string>> table(const std::string &name) {
    static const std::regex row(R"((?!#)(.*?) *=> *(.*))");
    std::vector<std::pair<std::string, std::string>> rows;
    std::smatch m;
    for (const auto &line : lines_of(slurp(std::string(CASES_DIR) + "/" + name)))
        if (std::regex_match(line, m, row)) rows.emplace_back(m[1], m[2]);
    return rows;
}

// Runs the test body inside a fresh install directory, as the supervisor runs.
struct in_install_dir {
    fs::path old = fs::current_path(), dir = fs::temp_directory_path() / ("wdunit." + std::to_string(getpid()));
    in_install_dir() { fs::create_directories(dir / "data"), fs::current_path(dir); }
    ~in_install_dir() { fs::current_path(old), fs::remove_all(dir); }
    void write(const std::string &rel, const std::string &text) { std::ofstream(rel) << text; }
};

// watch_status must call a config loadable exactly when the supervisor loads it.
bool status_says_loadable(const std::string &config) {
    install_status status;
    std::string error;
    const bool gathered = gather_status(status, error);
    EXPECT_TRUE(gathered) << error << " " << config;
    return gathered && status.config_ok;
}

TEST(DaemonInit, ConfigTable) {
    for (const auto &[config, expected] : table("config.table")) {
        in_install_dir here;
        here.write("config", config);
        watch_daemon_t daemon{};
        const bool ok = daemon_init("config", &daemon) == 0;
        std::string loaded = ok ? "" : "refused";
        for (int i = 0; ok && i < daemon.sub_cnt; ++i) loaded += (i ? ", " : "") + std::string(daemon.pids[i].base.data());
        EXPECT_LE(daemon.sub_cnt, MAX_SUB_PROCESS);
        EXPECT_EQ(loaded, expected) << config;
        EXPECT_EQ(status_says_loadable(config), ok) << config;
    }
    in_install_dir here;  // a name the slot cannot hold whole is refused, never cut: that would name another file
    watch_daemon_t daemon{};
    // (and one that could not start whole from ./data/: "./data//" comes in front, 4095 bytes at most)
    for (const size_t len : {size_t{4087}, size_t{4088}}) {
        here.write("config", R"({"__watch":{"processes":[{"base":")" + std::string(len, 'n') + "\"}]}}");
        EXPECT_EQ(daemon_init("config", &daemon) == 0, len == 4087) << len;
        EXPECT_EQ(std::string(daemon.pids[0].base.data()), std::string(4087, 'n'));
        EXPECT_EQ(status_says_loadable("a program path of " + std::to_string(len)), len == 4087);
    }
    // a config over its 16 MiB cap is refused, however valid
    here.write("config", R"({"__watch":{"processes":[{"base":"a"}]},"pad":")" + std::string(17 << 20, ' ') + "\"}");
    EXPECT_NE(daemon_init("config", &daemon), 0);
    EXPECT_FALSE(status_says_loadable("over 16 MiB"));
}

TEST(FindBootSpace, RecordTable) {
    for (const auto &[record, expected] : table("boot_record.table")) {
        in_install_dir here;
        if (record != "none") here.write("data/.bootchk", record);
        watch_daemon_t daemon{};
        const std::string space = find_boot_space(&daemon) == BOOT_SPACE_DATA ? "data   " : "system ";
        EXPECT_EQ(space + (fs::exists("data/.bootchk") ? "kept" : record == "none" ? "absent" : "removed"), expected)
            << record;
    }
}

// Helpers the supervisor does not call: a counted copy keeps a NUL inside,
// and texts are borrowed up to the first element without one.
TEST(CjsonHelpers, CountedStringsAndArrays) {
    const cjson_tree s(cJSON_CreateStringLen("ab\0cd", 5)), array(cJSON_Parse(R"(["a", 1, "c"])"));
    const char *texts[3] = {};
    EXPECT_EQ(memcmp(s->valuestring, "ab\0cd", 6), 0);
    EXPECT_EQ(cjson_parse_array_string(array.get(), texts, 1), 1);
    EXPECT_EQ(cjson_parse_array_string(array.get(), texts, 3), -1);
    EXPECT_EQ(texts[0], array->child->valuestring);
}

// A copy the supervisor does not make itself: whole, or a failure said so.
TEST(CopyFile, WholeOrFailed) {
    in_install_dir here;
    here.write("from", "text");
    EXPECT_EQ(copy_file("from", "to"), 0);
    EXPECT_EQ(slurp("to"), "text");
    EXPECT_EQ(copy_file("missing", "to"), -1);
}

TEST(SaidHostFault, ReasonTable) {
    for (const auto &[said, expected] : table("tool_output.table")) {
        const unique_fd fd(memfd_create("said", 0));
        ASSERT_EQ(write(fd.get(), said.data(), said.size()), static_cast<ssize_t>(said.size()));
        EXPECT_EQ(said_host_fault(fd.get()) ? "host" : "package", expected) << said;
    }
}

TEST(ParseExitRecord, RecordTable) {
    program_end junk;  // no supervisor writes it; long enough to exhaust a recursive match's stack
    EXPECT_FALSE(parse_exit_record("Mon Mar  4 09:05:07 2024: " + std::string(1 << 20, 'a'), {}, junk));
    const std::string base(240, 'b');
    for (auto [line, expected] : table("exit_records.table")) {
        line = std::regex_replace(line, std::regex("BBB"), base).substr(0, 254);  // cut as the supervisor cuts
        line = std::regex_replace(line, std::regex(" BB$"), " " + std::string(227, 'b'));
        program_end end;
        const char *how[] = {"exited", "killed", "cut"};
        const bool ok = parse_exit_record(line, {base}, end);
        EXPECT_EQ(ok ? end.base + " " + how[end.how] + " " + std::to_string(end.value) : "none",
                  std::regex_replace(expected.substr(0, expected.find("  (")), std::regex("BBB"), base))
            << line;
    }
    // programs that share the part a cut record keeps: it names neither
    const std::string cut = ("Mon Mar  4 09:05:07 2024: " + base + " killed by signal(11)").substr(0, 254);
    program_end shared;
    ASSERT_TRUE(parse_exit_record(cut, {base + "-first", base + "-second"}, shared));
    EXPECT_EQ(shared.base, cut.substr(26));
}

TEST(HandoverRead, ForgedFieldsRefusedWhole) {
    const std::string seed = slurp(std::string(CASES_DIR) + "/../fuzz/corpus/handover/two_slots.json");
    for (const auto &[edit, expected] : table("handover.table")) {
        std::string text = seed;
        if (const size_t arrow = edit.find(" -> "); arrow != std::string::npos) {
            const std::string from = edit.substr(0, arrow);
            ASSERT_NE(text.find(from), std::string::npos) << edit;
            text.replace(text.find(from), from.size(), edit.substr(arrow + 4));
        }
        handover_envelope env{};
        watch_daemon_t daemon{};
        bool state_ok = false;
        const bool read = handover_read(text.data(), text.size(), env, daemon, state_ok);
        EXPECT_EQ(read && state_ok ? "taken" : "refused", expected) << edit;
    }
}

// Runs `attempt` once with each of cJSON's allocations failing in turn (only
// that one: memory comes back), then once with none failing, and `check`
// after each run; how many runs.
template <typename A, typename C>
int with_each_allocation_failing(A attempt, C check) {
    static int allocations, failing_one;
    cJSON_Hooks failing{[](size_t n) {
                            if (allocations++ != failing_one) return malloc(n);
                            errno = ENOMEM;
                            return static_cast<void *>(nullptr);
                        },
                        free};
    for (failing_one = 0; failing_one < 1000; ++failing_one) {
        allocations = 0;
        cJSON_InitHooks(&failing);
        attempt();
        cJSON_InitHooks(nullptr);
        check(failing_one);
        if (allocations <= failing_one) return failing_one + 1;
    }
    return -1;
}

// cJSON leaves out a member it cannot allocate: whichever allocation fails,
// the hand-over is refused or whole, never one that lost the waiting records.
TEST(HandoverWrite, WholeOrRefusedWhateverAllocationFails) {
    std::string text = slurp(std::string(CASES_DIR) + "/../fuzz/corpus/handover/two_slots.json");
    text.insert(text.rfind('}'), R"(,"unrecorded":"bin/collector 1\n")");
    handover_envelope env{};
    watch_daemon_t daemon{};
    bool state_ok = false;
    ASSERT_TRUE(handover_read(text.data(), text.size(), env, daemon, state_ok) && state_ok);
    daemon.run_fd = env.run_fd, daemon.dir_fd = env.dir_fd;
    std::string written;
    unique_fd channel;
    EXPECT_GT(with_each_allocation_failing([&] { channel = handover_write(daemon); },
              [&](int k) {
                  written.assign(1 << 16, '\0');
                  written.resize(channel.valid() ? pread(channel.get(), written.data(), written.size(), 0) : 0);
                  if (written.empty()) return;
                  watch_daemon_t taken{};
                  state_ok = false;
                  records_waiting_take("");
                  EXPECT_TRUE(handover_read(written.data(), written.size(), env, taken, state_ok) && state_ok) << k;
                  EXPECT_EQ(records_waiting(), "bin/collector 1\n") << k;
              }),
              0);
    EXPECT_FALSE(written.empty());
    records_waiting_take("");
}

// Whichever allocation fails, an upgrade is recorded with what the record
// held, or its package stays for the next request: never gone unrecorded.
TEST(Upgrade, RecordedWholeOrPackageKeptWhateverAllocationFails) {
    in_install_dir here;
    fs::create_directories("tmp");
    const std::string package = std::string(DPI_TMP_DIRNAME) + "/" + UPGRADE_FILE;
    const auto fresh = [&] {
        here.write(BOOTCHK_PATH, R"({"version":"1.0.0.0","plugindata":1,"kept":"x"})");
        here.write(package, "lua v2");
        fs::remove("data/init.bin");
    };
    fresh();
    const auto upgrade = [] {
        testing::internal::CaptureStdout();
        daemon_upgrade(nullptr, APP_RETCODE_UPDATE_LUA);
        testing::internal::GetCapturedStdout();
    };
    bool installed = false;
    EXPECT_GT(with_each_allocation_failing(upgrade,
              [&](int k) {
                  installed = !fs::exists(package);
                  if (!installed) return fresh();
                  const cjson_tree record(cJSON_Parse(slurp(BOOTCHK_PATH).c_str()));
                  EXPECT_EQ(cJSON_GetItemNumber(record.get(), "luadata"), 1) << k;
                  EXPECT_EQ(cJSON_GetItemNumber(record.get(), "plugindata"), 1) << k;
                  EXPECT_STREQ(cJSON_GetItemString(record.get(), "kept"), "x") << k;
                  EXPECT_EQ(slurp("data/init.bin"), "lua v2") << k;
                  fresh();
              }),
              0);
    EXPECT_TRUE(installed);
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
    // A busy host's other locks, listed before an early one, fill more than
    // any fixed share of the file would take.
    const std::string path = testing::TempDir() + "locks";
    std::string busy;
    for (int i = 0; i < 400000; ++i) busy += "9: POSIX  ADVISORY  WRITE 111 fd:01:7 0 EOF\n";
    std::ofstream(path) << busy << locks;
    bool ok = false;
    EXPECT_EQ(lock_holder(read_flocks(path.c_str(), &ok), dev, 42, holding({222})), 222);
    EXPECT_TRUE(ok);
    std::filesystem::remove(path);
}

// The state file an earlier supervisor left names pids: only a process that
// is still the program it started there is ended, and only for configured
// names, from a file of this user's, of this pid namespace.
TEST(PreviousRun, EndsOnlyTheProgramsItStarted) {
    struct row {
        std::vector<const char *> argv;  // the file executed, then the argument vector
        const char *base;
        long long start_off;
        std::string how;  // "" as started; "elsewhere" (another working directory), "masked" (one at the same path), "unconfigured"
        bool ends;
    };
    const std::vector<row> rows = {
        {{"/bin/sleep", "prev-a", "30"}, "prev-a", 0, "", true},
        {{"/bin/sleep", "prev-dup", "30"}, "prev-dup", 0, "", true},  // configured twice
        {{"/bin/sleep", "prev-dup", "30"}, "prev-dup", 0, "", true},
        {{"prev-s", "prev-s"}, "prev-s", 0, "", true},  // a script: argv[0] is its interpreter
        {{"/bin/sleep", "./data//dir/prev-b", "30"}, "dir/prev-b", 1, "", true},
        {{"/bin/sleep", "prev-c", "30"}, "prev-c", -30, "", false},  // the pid handed out again since
        {{"/bin/sleep", "sleep", "30"}, "prev-d", 0, "", false},     // another program at the pid
        {{"/bin/sh", "sh", "prev-t"}, "prev-t", 0, "", true},        // a script through env: argv[0] its interpreter's
        {{"/bin/sleep", "prev-e", "30"}, "prev-e", 0, "elsewhere", false},  // a copied install's state
        {{"/bin/sleep", "prev-m", "30"}, "prev-m", 0, "masked", false},  // a copy at the same path, in a chroot
        {{"/bin/sleep", "prev-f", "30"}, "prev-f", 0, "unconfigured", false},
    };
    const fs::path back = fs::current_path(), dir = testing::TempDir() + "prev-run";
    fs::create_directories(dir);
    fs::current_path(dir);
    std::ofstream("prev-s") << "#!/bin/sh\nsleep 30\n";
    std::ofstream("prev-t") << "sleep 30\n";
    fs::permissions("prev-s", fs::perms::owner_all);
    static watch_daemon_t daemon;
    for (const std::string variant : {"ours", "another pid namespace", "another user's file"})
        for (size_t from = 0; from < rows.size(); from += STATE_SLOTS) {
            if (variant == "another user's file" && geteuid() != 0) continue;
            daemon = {};
            snprintf(daemon.statefile.data(), PATH_BUF, "prev.state");
            state_facts facts{};
            facts.pid_ns = own_pid_namespace() + (variant == "another pid namespace");
            for (; facts.slot_count < STATE_SLOTS && from + facts.slot_count < rows.size(); ++facts.slot_count) {
                const row &r = rows[from + facts.slot_count];
                const pid_t pid = fork();
                if (pid == 0) {
                    setpgid(0, 0);
                    if (r.how == "elsewhere" && chdir("/") != 0) _exit(126);
                    // Without the right to mount, at least another directory.
                    if (r.how == "masked" && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                              mount("none", dir.c_str(), "tmpfs", 0, nullptr) != 0 || chdir(dir.c_str()) != 0))
                        if (chdir("/") != 0) _exit(126);
                    std::vector<char *> argv;
                    for (const char *arg : r.argv) argv.push_back(const_cast<char *>(arg));
                    argv.push_back(nullptr);
                    execv(argv[0], argv.data() + 1), _exit(127);
                }
                // Until it has exec'd: the parent's arguments before, none at all
                // for a moment within the exec.
                for (int wait = 0; wait < 500 && (argv0_of(pid).empty() || argv0_of(pid) == argv0_of(getpid())); ++wait)
                    usleep(10000);
                slot_facts &slot = facts.slots[facts.slot_count];
                slot = {r.base, pid, {}};
                slot.record.started_boot = started_on_boot_clock(pid) + r.start_off;
                if (r.how != "unconfigured") snprintf(daemon.pids[daemon.sub_cnt++].base.data(), PATH_BUF, "%s", r.base);
            }
            std::ofstream("prev.state") << state_text(facts).get();
            if (variant == "another user's file") {
                ASSERT_EQ(chown("prev.state", 65534, 65534), 0);
            }
            state_facts previous{};
            cjson_tree tree;
            if (state_read_previous(&daemon, previous, tree)) end_previous_run(&daemon, previous);
            for (int i = 0; i < facts.slot_count; ++i) {
                const row &r = rows[from + i];
                const pid_t pid = facts.slots[i].pid;
                const bool expected = r.ends && variant == "ours";
                int status = 0;
                bool ended = false;
                for (int wait = 0; wait < (expected ? 200 : 5) && !ended; ++wait, usleep(10000))
                    ended = waitpid(pid, &status, WNOHANG) == pid;
                EXPECT_EQ(ended, expected) << variant << ": " << r.argv[1] << " as " << r.base << " " << r.how;
                if (!ended) kill(-pid, SIGKILL), waitpid(pid, &status, 0);
            }
        }
    fs::current_path(back);
    fs::remove_all(dir);
}

// A container that kept its host's /proc shows other processes under the
// pids it hands out: nothing is read or killed by them then.
TEST(ProcNumbers, NotOursInAPidNamespaceWithItsHostsProc) {
    EXPECT_TRUE(proc_numbers_ours());
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(2);  // no right to: nothing to check
        const pid_t first = fork();
        if (first == 0) _exit(proc_numbers_ours() ? 1 : 0);
        int status = 0;
        _exit(waitpid(first, &status, 0) == first && WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2)) << status;
}

// Months of a program failing every few seconds: the text view's columns
// stay apart however many digits the counts take.
TEST(TextView, CountsStayApart) {
    install_status s;
    s.now = 1000000;
    program_status p;
    p.base = "engine", p.state = "waiting", p.restart_due = s.now + 7199, p.ends = 1234567, p.segv = 765432;
    s.sup.programs.push_back(p);
    EXPECT_NE(format_status_text(s, 0).find(" in 1h59m 1234567 765432 "), std::string::npos) << format_status_text(s, 0);
}

// Past the bound of what may wait for room, ends are counted; the first end
// once there is room again goes in after those that waited.
TEST(RecordEnd, WaitingEndsBoundedThenWritten) {
    in_install_dir here;
    fs::create_directories("tmp");
    watch_daemon_t daemon{};
    snprintf(daemon.runfile.data(), PATH_BUF, "./tmp/wdunit.run");
    snprintf(daemon.pids[0].base.data(), PATH_BUF, "prog");
    daemon.sub_cnt = 1;
    daemon.run_fd = open(daemon.runfile.data(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    rlimit room{};
    getrlimit(RLIMIT_FSIZE, &room);
    const rlimit none{0, room.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &none);
    const int ends = 1200;
    for (int i = 0; i < ends; ++i) record_end(&daemon, 0, 1, 1);
    setrlimit(RLIMIT_FSIZE, &room);
    signal(SIGXFSZ, SIG_DFL);
    record_end(&daemon, 0, 77, 1);
    close(daemon.run_fd);
    const auto lines = lines_of(slurp(daemon.runfile.data()));
    ASSERT_GT(daemon.ends_lost, 0u);
    EXPECT_TRUE(records_waiting().empty());
    EXPECT_EQ(lines.size() - 1 + daemon.ends_lost, ends + 1u);  // the install directory's line first
    EXPECT_NE(lines.back().find("code(77)"), std::string::npos) << lines.back();
}

}  // namespace

// Orphans an init adopts come last in /proc's list of its children, after
// however many live ones: the list is read to its end.
TEST(ReapStrays, EveryEndedChildNoSlotNamesPastAPageOfLiveOnes) {
    std::vector<pid_t> live, ended;
    for (int i = 0; i < 800; ++i) {  // past 4 KiB of pids of five digits or more
        const pid_t pid = fork();
        if (pid == 0) pause(), _exit(0);
        live.push_back(pid);
    }
    for (int i = 0; i < 20; ++i) {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        ended.push_back(pid);
    }
    for (const pid_t pid : ended) {
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }
    watch_daemon_t daemon{};
    daemon.sub_cnt = 1;
    daemon.pids[0].pid = ended[0];  // a slot's end stays for the loop
    reap_strays(&daemon);
    EXPECT_EQ(waitpid(ended[0], nullptr, WNOHANG), ended[0]);
    for (size_t i = 1; i < ended.size(); ++i) EXPECT_EQ(waitpid(ended[i], nullptr, WNOHANG), -1) << ended[i];
    for (const pid_t pid : live) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
}

TEST(AppChangeDir, NullPathDoesNothing) {
    const auto before = std::filesystem::current_path();
    EXPECT_EQ(app_change_dir(nullptr), 0);
    EXPECT_EQ(std::filesystem::current_path(), before);
}
