// The boot-space decision on an arbitrary record: a valid space, and the
// record removed exactly when it is judged too old.
#include "fuzz_support.h"
#include "watch_daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_scratch_install_dir();
    put_file(BOOTCHK_PATH, data, size);
    const cjson_tree record(bootchk_load());
    const boot_reason reason = bootchk_judge(record.get());
    watch_daemon_t daemon{};
    const int space = find_boot_space(&daemon);
    if (space != (reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS)) abort();
    if ((access(BOOTCHK_PATH, F_OK) == 0) == (reason == boot_reason::too_old)) abort();
    return 0;
}
