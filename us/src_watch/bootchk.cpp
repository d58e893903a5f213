#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "boot_record.h"
#include "fs.h"
#include "watch_daemon.h"

// Only what counts as a record is removed: anything else in its place is no
// record, as for the boot-space decision. After a cycle from ./data/, which
// read it, the record counts as cleaned also when it went meanwhile (removed,
// replaced, its disk unmounted), and one that cannot be opened now (a lease,
// a shortage, a failing disk) is removed unread. After a cycle from the
// install directory one that cannot be opened is left: it had no part in it.
int bootchk_exit_clean(bool after_data_cycle) {
    if (!open_exposed(BOOTCHK_PATH).valid()) {
        if (!after_data_cycle) return 0;
        if (errno == ENOENT || refused_for_kind(errno)) return 1;  // none there
    }
    if (unlink(BOOTCHK_PATH) == 0 || errno == ENOENT) return 1;
    return -1;
}

int find_boot_space(watch_daemon_t *daemon) {
    if (daemon != nullptr && daemon->bootchk_set_aside) return BOOT_SPACE_SYS;
    int refused = 0;
    const cjson_tree record(bootchk_load(&refused));
    if (refused != 0) printf("ignoring %s: %s\n", BOOTCHK_PATH, refusal_text(refused));
    const boot_reason reason = bootchk_judge(record.get());
    if (reason == boot_reason::too_old) bootchk_exit_clean(false);
    return reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
}
