#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>

#include "in_dir.h"
#include "watch_daemon.h"

namespace {

namespace fs = std::filesystem;
const std::string fresh_plugin = R"({"version":"3.9.47.2","plugindata":1})";

// Builds ./tmp//ttupgrade.tgz holding `files` (name -> contents); `tar_flags`
// shape the members' owners and modes.
void make_package(const install_dir &dir, const std::map<std::string, std::string> &files,
                  const std::string &tar_flags = "") {
    const std::string stage = dir.base() + "/stage";
    fs::remove_all(stage);
    fs::create_directories(stage);
    std::string names;
    for (const auto &[name, text] : files) {
        fs::create_directories(fs::path(stage + "/" + name).parent_path());
        std::ofstream(stage + "/" + name) << text;
        names += " " + name;
    }
    shell("tar -czf " + dir.at("tmp/ttupgrade.tgz") + " -C " + stage + " " + tar_flags + names);
}

std::string run_upgrade(int code) {
    watch_daemon_t daemon{};
    testing::internal::CaptureStdout();
    daemon_upgrade(&daemon, code);
    return testing::internal::GetCapturedStdout();
}

// Mounts a tiny tmpfs on ./data/, or says why not.
bool tiny_data_mount(const install_dir &dir, const char *options) {
    return mount("tmpfs", dir.at("data").c_str(), "tmpfs", 0, options) == 0;
}

TEST(DaemonUpgrade, InstallsAndRecords) {
    const struct {
        const char *name;
        int code;
        const char *record_before;  // null: none
        std::string package;        // "tgz": a real archive; else the bytes
        std::string record_after;
        const char *installed;  // file expected in ./data/ afterwards
    } cases[] = {
        {"plugin, no record", 130, nullptr, "tgz", fresh_plugin, "data/bin/prog"},
        {"not a tgz", 130, nullptr, "garbage", R"({"version":"3.9.47.2"})", nullptr},
        {"empty package", 130, nullptr, "", R"({"version":"3.9.47.2"})", nullptr},
        {"second plugin", 130, fresh_plugin.c_str(), "tgz",
         R"({"version":"3.9.47.2","plugindata":1,"plugindata":1})", "data/bin/prog"},
        {"lua onto a record", 131, fresh_plugin.c_str(), "lua bytes",
         R"({"version":"3.9.47.2","plugindata":1,"luadata":1})", "data/init.bin"},
        {"sig, record not json", 132, "{{{", "sig bytes", R"({"version":"3.9.47.2","sigdata":1})",
         "data/m01_sig.bin"},
        {"old version kept", 131, R"({"version":"1.0"})", "x", R"({"version":"1.0","luadata":1})",
         "data/init.bin"},
        {"unknown code", 7, nullptr, "x", R"({"version":"3.9.47.2"})", nullptr},
        {"record not an object", 131, "[1,2]", "x", R"({"version":"3.9.47.2","luadata":1})",
         "data/init.bin"},
        {"record a number", 132, "42", "x", R"({"version":"3.9.47.2","sigdata":1})",
         "data/m01_sig.bin"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        in_install_dir here;
        if (c.record_before) here.dir.write("data/.bootchk", c.record_before);
        if (c.package == "tgz")
            make_package(here.dir, {{"bin/prog", "#!/bin/sh\n"}});
        else
            here.dir.write("tmp/ttupgrade.tgz", c.package);
        const std::string package = here.dir.read("tmp/ttupgrade.tgz");
        run_upgrade(c.code);
        EXPECT_EQ(here.dir.read("data/.bootchk"), c.record_after);
        EXPECT_FALSE(here.dir.exists("tmp/ttupgrade.tgz"));
        if (c.installed) {
            EXPECT_TRUE(here.dir.exists(c.installed));
            if (c.code != 130) {
                EXPECT_EQ(here.dir.read(c.installed), package);
            }
        }
        // Only the record and what was installed: no temporary file left.
        int entries = 0;
        for (const auto &e : fs::recursive_directory_iterator(here.dir.at("data")))
            entries += e.is_regular_file();
        EXPECT_EQ(entries, 1 + (c.installed ? 1 : 0));
        watch_daemon_t daemon{};
        const bool plugin = c.record_after.find("plugindata") != std::string::npos;
        EXPECT_EQ(find_boot_space(&daemon), plugin ? BOOT_SPACE_DATA : BOOT_SPACE_SYS);
    }
}

TEST(DaemonUpgrade, CopiedFileKeepsItsMode) {
    in_install_dir here;
    here.dir.write("tmp/ttupgrade.tgz", "lua");
    const mode_t old = umask(022);
    run_upgrade(131);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat("data/init.bin", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat("data/.bootchk", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(DaemonUpgrade, NoPackageChangesNothing) {
    in_install_dir here;
    here.dir.write("data/.bootchk", fresh_plugin);
    run_upgrade(132);
    EXPECT_EQ(here.dir.read("data/.bootchk"), fresh_plugin);
    EXPECT_FALSE(here.dir.exists("data/m01_sig.bin"));
}

TEST(DaemonUpgrade, OnlyARegularFileIsAPackage) {
    const struct {
        const char *kind;
        bool package_stays;
    } cases[] = {{"fifo", false}, {"directory", true}, {"symlink", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        in_install_dir here;
        here.dir.write("data/.bootchk", fresh_plugin);
        here.dir.write("data/init.bin", "working");
        here.dir.write("real.tgz", "lua");
        const std::string kind = c.kind;
        if (kind == "fifo") mkfifo("tmp/ttupgrade.tgz", 0644);
        if (kind == "directory") mkdir("tmp/ttupgrade.tgz", 0755);
        if (kind == "symlink") fs::create_symlink("../real.tgz", "tmp/ttupgrade.tgz");
        auto done = std::async(std::launch::async, [] { return run_upgrade(131); });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "hung";
        EXPECT_EQ(here.dir.read("data/init.bin"), "working");
        EXPECT_EQ(here.dir.read("data/.bootchk"), fresh_plugin);
        EXPECT_EQ(here.dir.exists("tmp/ttupgrade.tgz"), c.package_stays);
        EXPECT_EQ(here.dir.read("real.tgz"), "lua");
    }
}

TEST(DaemonUpgrade, PlantedLinksAreReplacedNotFollowed) {
    in_install_dir here;
    here.dir.write("outside-record", "precious");
    here.dir.write("outside-init", "precious");
    fs::create_symlink("../outside-record", "data/.bootchk");
    fs::create_symlink("../outside-init", "data/init.bin");
    here.dir.write("tmp/ttupgrade.tgz", "lua");
    run_upgrade(131);
    EXPECT_EQ(here.dir.read("outside-record"), "precious");
    EXPECT_EQ(here.dir.read("outside-init"), "precious");
    EXPECT_FALSE(fs::is_symlink("data/.bootchk"));
    EXPECT_FALSE(fs::is_symlink("data/init.bin"));
    EXPECT_EQ(here.dir.read("data/init.bin"), "lua");
    EXPECT_EQ(here.dir.read("data/.bootchk"), R"({"version":"3.9.47.2","luadata":1})");
}

TEST(DaemonUpgrade, UnpacksWithoutForeignOwnersOrSetuid) {
    in_install_dir here;
    make_package(here.dir, {{"tool", "#!/bin/sh\n"}, {"dir/file", "x"}},
                 "--owner=4321 --group=4321 --mode=u+s,g+s,o+w,a+x");
    run_upgrade(130);
    for (const char *name : {"data/tool", "data/dir/file", "data/dir"}) {
        SCOPED_TRACE(name);
        struct stat st {};
        ASSERT_EQ(lstat(name, &st), 0);
        EXPECT_EQ(st.st_uid, getuid());
        EXPECT_EQ(st.st_gid, getgid());
        EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID | S_IWOTH), 0u);
    }
    struct stat st {};
    stat("data/tool", &st);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST(DaemonUpgrade, FullDiskKeepsTheOldRecordAndFile) {
    in_install_dir here;
    if (!tiny_data_mount(here.dir, "size=12k")) GTEST_SKIP() << "cannot mount a tmpfs here";
    here.dir.write("data/.bootchk", fresh_plugin);
    here.dir.write("data/init.bin", "working");
    // Fill the rest of the file system.
    shell("dd if=/dev/zero of=data/filler bs=1k count=64 2>/dev/null");
    here.dir.write("tmp/ttupgrade.tgz", std::string(32 * 1024, 'L'));
    const std::string out = run_upgrade(131);
    EXPECT_NE(out.find("data//init.bin"), std::string::npos) << out;
    EXPECT_EQ(here.dir.read("data/init.bin"), "working");
    EXPECT_EQ(here.dir.read("data/.bootchk"), fresh_plugin);  // and no "luadata"
    EXPECT_FALSE(here.dir.exists("tmp/ttupgrade.tgz"));
    umount2(here.dir.at("data").c_str(), MNT_DETACH);
}

TEST(DaemonUpgrade, ReadOnlyDataKeepsTheOldRecord) {
    in_install_dir here;
    here.dir.write("data/.bootchk", R"({"version":"3.9.47.2"})");
    if (system(("chattr +i " + here.dir.at("data") + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i refused on this filesystem";
    here.dir.write("tmp/ttupgrade.tgz", "sig");
    const std::string out = run_upgrade(132);
    shell("chattr -i " + here.dir.at("data"));
    EXPECT_NE(out.find("Failed to read or write, in, "), std::string::npos) << out;
    EXPECT_EQ(here.dir.read("data/.bootchk"), R"({"version":"3.9.47.2"})");
    EXPECT_FALSE(here.dir.exists("data/m01_sig.bin"));
}

TEST(CopyFile, ReportsWhatCannotBeOpened) {
    in_install_dir here;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file("tmp/none", "data/out"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to read or write, in, -1, out, -1\n");
    EXPECT_FALSE(here.dir.exists("data/out"));
    here.dir.write("tmp/src", "abc");
    EXPECT_EQ(copy_file("tmp/src", "data/out"), 0);
    EXPECT_EQ(here.dir.read("data/out"), "abc");
}

}  // namespace
