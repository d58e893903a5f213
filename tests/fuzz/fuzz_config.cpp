// The configuration loader on arbitrary bytes: never more than four slots,
// every name terminated within its buffer, and a tree released on every path.
#include <cstring>

#include "fuzz_support.h"
#include "watch_daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_scratch_install_dir();
    put_file("config", data, size);
    watch_daemon_t daemon{};
    if (daemon_init("config", &daemon) == 0) {
        if (daemon.sub_cnt < 1 || daemon.sub_cnt > MAX_SUB_PROCESS) abort();
        for (int i = 0; i < daemon.sub_cnt; ++i)
            if (strnlen(daemon.pids[i].base.data(), PATH_BUF) == PATH_BUF) abort();
    } else if (daemon.sub_cnt > MAX_SUB_PROCESS) {
        abort();
    }
    return 0;
}
