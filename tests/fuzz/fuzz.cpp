// libFuzzer harnesses for the files an attacker or a power cut can shape;
// each fuzz_NAME binary is this file built with FUZZ_HARNESS=NAME. Each runs
// inside a fresh install directory under $TMPDIR, as the supervisor does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app_dpi_process.h"
#include "boot_record.h"
#include "fs.h"
#include "handover.h"
#include "watch_daemon.h"

namespace {

void put_file(const char *path, const void *data, size_t size) {
    unlink(path);
    const unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.valid() || !write_all(fd.get(), data, size)) abort();
}

std::string get_file(const char *path) {
    size_t len = 0;
    const heap_text text = read_capped(unique_fd(open(path, O_RDONLY)).get(), 1 << 20, &len);
    return text ? std::string(text.get(), len) : std::string();
}

// The config loader: never more than four slots, every name terminated.
[[maybe_unused]] void config(const uint8_t *data, size_t size) {
    put_file("config", data, size);
    watch_daemon_t daemon{};
    const bool loaded = daemon_init("config", &daemon) == 0;
    if (daemon.sub_cnt > MAX_SUB_PROCESS || (loaded && daemon.sub_cnt < 1)) abort();
    for (int i = 0; loaded && i < daemon.sub_cnt; ++i)
        if (strnlen(daemon.pids[i].base.data(), PATH_BUF) == PATH_BUF) abort();
}

// The boot-space decision: a valid space, and the record removed exactly
// when it is judged too old.
[[maybe_unused]] void bootchk(const uint8_t *data, size_t size) {
    put_file(BOOTCHK_PATH, data, size);
    const cjson_tree record(bootchk_load());
    const boot_reason reason = bootchk_judge(record.get());
    watch_daemon_t daemon{};
    if (find_boot_space(&daemon) != (reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS)) abort();
    if ((access(BOOTCHK_PATH, F_OK) == 0) == (reason == boot_reason::too_old)) abort();
}

// The record update of an upgrade over any old record: one JSON object with
// a "version" and the new flag, added last unless the old record read it as
// set already; the package gone and copied whole.
[[maybe_unused]] void upgrade(const uint8_t *data, size_t size) {
    put_file(BOOTCHK_PATH, data, size);
    static const char package[] = "package bytes";
    put_file("./tmp//ttupgrade.tgz", package, sizeof package);
    const bool lua = size > 0 && (data[0] & 1);
    const char *flag = lua ? "luadata" : "sigdata";
    const cjson_tree old(bootchk_load());
    const bool was_set = cJSON_IsObject(old.get()) && cJSON_GetItemNumber(old.get(), flag) == 1;
    watch_daemon_t daemon{};
    daemon_upgrade(&daemon, lua ? APP_RETCODE_UPDATE_LUA : APP_RETCODE_UPDATE_SIG);
    if (daemon.state_fd >= 0) close(daemon.state_fd);  // the supervisor holds it for life
    const cjson_tree record(cJSON_Parse(get_file(BOOTCHK_PATH).c_str()));
    if (!cJSON_IsObject(record.get()) || cJSON_GetObjectItem(record.get(), "version") == nullptr) abort();
    const cJSON *last = cJSON_GetArrayItem(record.get(), cJSON_GetArraySize(record.get()) - 1);
    if (was_set ? cJSON_GetItemNumber(record.get(), flag) != 1 : last == nullptr || strcmp(last->string, flag) != 0) abort();
    if (access("./tmp//ttupgrade.tgz", F_OK) == 0) abort();
    if (get_file(lua ? "./data//init.bin" : "./data//m01_sig.bin") != std::string(package, sizeof package)) abort();
}

// The hand-over reader, over whatever a channel may hold: a state it takes is
// one the supervisor can run on, every field in range.
[[maybe_unused]] void handover(const uint8_t *data, size_t size) {
    watch_daemon_t daemon{};
    handover_envelope env{};
    bool taken = false;
    if (!handover_read(reinterpret_cast<const char *>(data), size, env, daemon, taken)) return;
    if (env.run_fd <= 2 || env.dir_fd <= 2 || env.run_fd == env.dir_fd || !taken) return;
    if (daemon.sub_cnt < 1 || daemon.sub_cnt > MAX_SUB_PROCESS || daemon.boot_space > BOOT_SPACE_DATA) abort();
    for (int i = 0; i < daemon.sub_cnt; ++i)
        if (daemon.pids[i].published.state > SLOT_WAITING || strnlen(daemon.pids[i].base.data(), PATH_BUF) == PATH_BUF) abort();
    if (daemon.pending.active && (daemon.pending.slot < 0 || daemon.pending.slot >= daemon.sub_cnt)) abort();
}

// The dotted-version order: no undefined behaviour; reflexive, antisymmetric.
[[maybe_unused]] void version(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const size_t split = text.find('\n');
    const std::string a = text.substr(0, split), b = split == std::string::npos ? "3.9.47.2" : text.substr(split + 1);
    const int ab = version_cmp(a.c_str(), b.c_str()), ba = version_cmp(b.c_str(), a.c_str());
    if (version_cmp(a.c_str(), a.c_str()) != 0 || (ab > 0) != (ba < 0) || (ab == 0) != (ba == 0)) abort();
    if ((ab == 0) != (ip_int(a.c_str()) == ip_int(b.c_str()))) abort();
}

}  // namespace

// Once per process, before any input: a fresh install directory of its own,
// so that runs side by side never meet (the caller removes $TMPDIR).
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *parent = getenv("TMPDIR");
    std::string dir = std::string(parent ? parent : "/tmp") + "/wdfuzz.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) abort();
    mkdir("tmp", 0755), mkdir("data", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FUZZ_HARNESS(data, size);
    return 0;
}
