// The record update of an upgrade over an arbitrary old record: the result is
// always one valid JSON object with a "version" text and the new flag, the
// package is gone, and the installed copy equals the package.
#include <cstring>

#include "app_dpi_process.h"
#include "fuzz_support.h"
#include "watch_daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_scratch_install_dir();
    put_file(BOOTCHK_PATH, data, size);
    static const uint8_t package[] = "package bytes";
    put_file("./tmp//ttupgrade.tgz", package, sizeof package);
    const bool lua = size > 0 && (data[0] & 1);

    watch_daemon_t daemon{};
    daemon_upgrade(&daemon, lua ? APP_RETCODE_UPDATE_LUA : APP_RETCODE_UPDATE_SIG);

    const std::string text = get_file(BOOTCHK_PATH);
    const cjson_tree record(cJSON_Parse(text.c_str()));
    if (!cJSON_IsObject(record.get())) abort();
    // The flag is the last member; a "version" member exists (the first of the
    // name is what readers see, and is kept even when it is not a text).
    const cJSON *last = record->child;
    while (last != nullptr && last->next != nullptr) last = last->next;
    if (last == nullptr || strcmp(last->string, lua ? "luadata" : "sigdata") != 0) abort();
    if (cJSON_GetObjectItem(record.get(), "version") == nullptr) abort();
    if (access("./tmp//ttupgrade.tgz", F_OK) == 0) abort();
    if (get_file(lua ? "./data//init.bin" : "./data//m01_sig.bin") !=
        std::string(reinterpret_cast<const char *>(package), sizeof package))
        abort();
    return 0;
}
