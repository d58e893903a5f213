#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot_record.h"
#include "fs.h"
#include "watch_daemon.h"

// Only what counts as a record is removed: anything else in its place is no
// record, as for the boot-space decision. After a cycle from ./data/, which
// read it, the record counts as cleaned also when it went meanwhile (removed,
// replaced, its disk unmounted), and one that cannot be opened now (a lease,
// a shortage, a failing disk) is removed unread. After a cycle from the
// install directory one that cannot be opened or read is left: it had no
// part in it; and so is one that names a bundle to boot, which that cycle
// did not try (it could not be read when the cycle began): 2.
int bootchk_exit_clean(bool after_data_cycle) {
    if (!after_data_cycle) {
        int refused = 0;
        const cjson_tree record(bootchk_load(&refused));
        if (host_at_fault(refused)) return 0;
        if (bootchk_judge(record.get()) == boot_reason::data_space) return 2;
    }
    if (!open_exposed(BOOTCHK_PATH).valid()) {
        if (!after_data_cycle) return 0;
        if (errno == ENOENT || refused_for_kind(errno)) return 1;  // none there
    }
    if (unlink(BOOTCHK_PATH) == 0 || errno == ENOENT) return 1;
    return -1;
}

// A record that cannot be read for now (a shortage, a failing disk) says
// nothing new: the programs start from where the last cycle's did.
int find_boot_space(watch_daemon_t *daemon) {
    if (daemon != nullptr && daemon->bootchk_set_aside) return BOOT_SPACE_SYS;
    int refused = 0;
    const cjson_tree record(bootchk_load(&refused));
    if (host_at_fault(refused)) {
        const int kept = daemon != nullptr ? daemon->boot_space : BOOT_SPACE_SYS;
        printf("cannot read %s for now: %s; the programs start from %s as before\n", BOOTCHK_PATH, refusal_text(refused),
               kept == BOOT_SPACE_DATA ? DPI_DATA_DIRNAME : "the install directory");
        return kept;
    }
    if (refused != 0) printf("ignoring %s: %s\n", BOOTCHK_PATH, refusal_text(refused));
    const boot_reason reason = bootchk_judge(record.get());
    if (reason == boot_reason::too_old) bootchk_exit_clean(false);
    return reason == boot_reason::data_space ? BOOT_SPACE_DATA : BOOT_SPACE_SYS;
}
