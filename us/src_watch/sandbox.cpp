#include "sandbox.h"

#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "fs.h"

#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)  // ABI 3, newer than some headers
#endif

namespace {

constexpr uint64_t creating_specials = LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                                       LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SOCK;
constexpr uint64_t changing = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                              LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                              LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SYM;

// The rights the ruleset handles (denied unless a rule grants them): later
// ABIs add linking and renaming across directories, then truncation.
uint64_t handled_rights(int abi) {
    return creating_specials | changing | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0) |
           (abi >= 3 ? LANDLOCK_ACCESS_FS_TRUNCATE : 0);
}

}  // namespace

int landlock_abi() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi >= 1) return static_cast<int>(abi);
    return errno == ENOSYS || errno == EOPNOTSUPP ? 0 : -1;
}

int confine_writes_to(int dir_fd, int abi) {
    const landlock_ruleset_attr attr{.handled_access_fs = handled_rights(abi)};
    const unique_fd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
    const landlock_path_beneath_attr rule{.allowed_access = handled_rights(abi) & ~creating_specials, .parent_fd = dir_fd};
    if (!ruleset.valid() || syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
        return -1;
    // Landlock requires that the process can gain no privileges by exec.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0 ? 0 : -1;
}
