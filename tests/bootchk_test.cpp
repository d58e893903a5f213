#include <gtest/gtest.h>

#include <string>

#include "in_dir.h"
#include "watch_daemon.h"

namespace {

TEST(IpInt, PacksDottedVersions) {
    const struct {
        const char *version;
        unsigned packed;
    } cases[] = {
        {"3.9.47.2", 0x03092F02u},
        {"3.9.303.2", 0x03092F02u},
        {"3..9.47.2", 0x03092F02u},
        {".3.9.47.2.", 0x03092F02u},
        {"3.9", 0x03090000u},
        {"3.9.47.2.99", 0x03092F02u},
        {"", 0u},
        {"...", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"256.1", 0x00010000u},
        {"1a", ((1u * 10 + 49) & 0xffu) << 24},
        {"\xff", ((0xffu - 48u) & 0xffu) << 24},
    };
    for (const auto &c : cases) EXPECT_EQ(ip_int(c.version), c.packed) << c.version;
    EXPECT_EQ(ip_int(nullptr), 0u);
    // Long components wrap in unsigned arithmetic (checked under UBSan).
    EXPECT_EQ(ip_int("99999999999999999999.1"), 0xFF010000u);
}

TEST(VersionCmp, OrdersUnsigned) {
    const struct {
        const char *a, *b;
        int sign;
    } cases[] = {
        {"3.9.47.2", "3.9.47.2", 0},  {"3.9.47.10", "3.9.47.2", 1}, {"4.0", "3.9.47.2", 1},
        {"3.9.47.1", "3.9.47.2", -1}, {"3.9.46", "3.9.47.2", -1},   {"", "3.9.47.2", -1},
        {"200.0", "100.0", 1},  // the top byte is above 127: still unsigned order
    };
    for (const auto &c : cases) {
        const int r = version_cmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(FindBootSpace, DecidesFromTheRecord) {
    const struct {
        const char *record;  // null: no file
        int space;
        bool kept;
    } cases[] = {
        {nullptr, BOOT_SPACE_SYS, false},
        {"", BOOT_SPACE_SYS, true},
        {"not json", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","plugindata":1})", BOOT_SPACE_DATA, true},
        {R"({"version":"3.9.47.10","plugindata":1})", BOOT_SPACE_DATA, true},
        {R"({"version":"4.0","plugindata":1})", BOOT_SPACE_DATA, true},
        {R"({"version":"3.9.303.2","plugindata":1})", BOOT_SPACE_DATA, true},
        {R"({"version":"3..9.47.2","plugindata":1})", BOOT_SPACE_DATA, true},
        {R"({"VERSION":"3.9.47.2","PluginData":1})", BOOT_SPACE_DATA, true},
        {R"({"version":"3.9.47.1","plugindata":1})", BOOT_SPACE_SYS, false},
        {R"({"version":"3.9.46","plugindata":1})", BOOT_SPACE_SYS, false},
        {R"({"version":"","plugindata":1})", BOOT_SPACE_SYS, false},
        {R"({"version":"3.9.47.2","plugindata":0})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2"})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","luadata":1})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","plugindata":1.9})", BOOT_SPACE_DATA, true},
        {R"({"version":"3.9.47.2","plugindata":true})", BOOT_SPACE_DATA, true},
        {R"({"version":"3.9.47.2","plugindata":"1"})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","plugindata":false})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","plugindata":null})", BOOT_SPACE_SYS, true},
        {R"({"version":"3.9.47.2","plugindata":1,"plugindata":0})", BOOT_SPACE_DATA, true},
        {R"({"plugindata":1})", BOOT_SPACE_SYS, true},
        {R"({"version":3.9,"plugindata":1})", BOOT_SPACE_SYS, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.record ? c.record : "(none)");
        in_install_dir here;
        if (c.record) here.dir.write("data/.bootchk", c.record);
        watch_daemon_t daemon{};
        EXPECT_EQ(find_boot_space(&daemon), c.space);
        EXPECT_EQ(here.dir.exists("data/.bootchk"), c.kept);
    }
}

TEST(FindBootSpace, ARecordSetAsideIsNotRead) {
    in_install_dir here;
    here.dir.write("data/.bootchk", R"({"version":"3.9.47.2","plugindata":1})");
    watch_daemon_t daemon{};
    daemon.bootchk_set_aside = true;
    EXPECT_EQ(find_boot_space(&daemon), BOOT_SPACE_SYS);
}

TEST(BootchkExitClean, ReportsWhatHappened) {
    {
        in_install_dir here;
        EXPECT_EQ(bootchk_exit_clean(), 0);
        here.dir.write("data/.bootchk", "{}");
        EXPECT_EQ(bootchk_exit_clean(), 1);
        EXPECT_FALSE(here.dir.exists("data/.bootchk"));
    }
    {
        // A directory is readable but cannot be unlinked: still there.
        in_install_dir here;
        mkdir("data/.bootchk", 0755);
        EXPECT_EQ(bootchk_exit_clean(), -1);
        EXPECT_TRUE(here.dir.exists("data/.bootchk"));
    }
}

}  // namespace
