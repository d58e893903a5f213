// Installing the upgrade package a program left in ./tmp/: which package,
// where it goes, and the boot-check record that says what is installed.
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app_dpi_process.h"
#include "boot_record.h"
#include "build_info.h"
#include "bundle.h"
#include "fs.h"
#include "tool.h"
#include "watch_daemon.h"

namespace {

bool installing;  // a package is being installed: a stop now leaves it where it is

void print_open_failure(int in, int out) {
    printf("Failed to read or write, in, %d, out, %d\n", in, out);
}

// Copies everything from `in` into a new file beside `newfile` and renames it
// into place only once the whole copy is on disk: a failure leaves the
// previous file (and never a link's target) untouched.
int copy_fd_to(int in, const char *newfile) {
    char tmp[8300];
    unique_fd out = create_temp_beside(newfile, 0700, tmp, sizeof tmp);
    if (!out.valid()) {
        const int err = errno;
        print_open_failure(in, -1);
        printf("upgrade failed: cannot copy to %s: %s\n", newfile, strerror(err));
        return -1;
    }
    char block[1024];
    ssize_t n;
    for (size_t blocks = 1; (n = read(in, block, sizeof block)) != 0; ++blocks) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || !write_all(out.get(), block, static_cast<size_t>(n))) break;
        // A stop is taken between two MiB: a huge package must not hold it
        // for as long as filling the disk takes, nor leave its copy behind.
        if (blocks % 1024 == 0 && stop_pending()) discard_temp(tmp), stop_on_request();
    }
    if (n == 0 ? commit_temp(std::move(out), tmp, newfile) : discard_temp(tmp)) return 0;
    printf("upgrade failed: cannot copy to %s: %s\n", newfile, strerror(errno));
    return -1;
}

bool copy_package(int package, const char *name) {
    char target[8192];
    snprintf(target, sizeof target, "%s/%s", DPI_DATA_DIRNAME, name);
    return copy_fd_to(package, target) == 0;
}

bool write_record(const cJSON *record) {
    const cjson_text text(cJSON_PrintUnformatted(record));
    if (text && file_write_buf(BOOTCHK_PATH, text.get(), static_cast<int>(strlen(text.get()))) == 0) return true;
    printf("upgrade failed: cannot write %s: %s\n", BOOTCHK_PATH, strerror(errno));
    return false;
}

// Quiet: the upgrade's failure is said already, and this record changes no boot.
void write_version_only(const cJSON *record) {
    const cjson_text text(cJSON_PrintUnformatted(record));
    if (text) file_write_buf(BOOTCHK_PATH, text.get(), static_cast<int>(strlen(text.get())));
}

// A member the record already reads as wanted is not added again, and one it
// reads otherwise (a flag 0 or "1", a version that is no text) is replaced:
// appended after it, the new member would never be read, and a record that
// grew by one member per upgrade would one day pass the size a record may
// have, and be ignored.
void remove_member(cJSON *record, const char *name) {
    while (cJSON_GetObjectItem(record, name) != nullptr) cJSON_DeleteItemFromObject(record, name);
}

// The record as it stands, or a new one. A record that is valid JSON but no
// object (42, []) would silently drop the members added to it when printed:
// it starts afresh, as for none. It gets the build's version if it has none.
// `*unread` is why a record that is there could not be read, if it could not.
// `*fresh` tells a new one. Null, with ENOMEM as the reason, when memory runs
// out for it: cJSON leaves out what it cannot allocate.
cjson_tree record_to_update(int *unread, bool *fresh) {
    cjson_tree record(bootchk_load(unread));
    *fresh = !cJSON_IsObject(record.get());
    if (*fresh) record.reset(cJSON_CreateObject());
    if (record && cJSON_GetItemString(record.get(), "version") == nullptr) {
        remove_member(record.get(), "version");
        if (cJSON_AddStringToObject(record.get(), "version", DPI_PLUGIN_VERSION) == nullptr) record.reset();
    }
    if (!record) *unread = ENOMEM;
    return record;
}

// False when memory ran out for the flag: the record must not go out without it.
bool set_flag(cJSON *record, const char *flag) {
    if (cJSON_GetItemNumber(record, flag) == 1) return true;
    remove_member(record, flag);
    return cJSON_AddNumberToObject(record, flag, 1) != nullptr;
}

// ./data/, made again when a program removed it (resetting its data space).
unique_fd open_data_dir() {
    unique_fd data = open_exposed_dir(AT_FDCWD, DPI_DATA_DIRNAME);
    const int err = errno;  // why it cannot be opened, not why it cannot be made (a dangling link)
    if (!data.valid() && err == ENOENT && mkdir(DPI_DATA_DIRNAME, 0777 & ~S_IWOTH) == 0)  // never world-writable
        data = open_exposed_dir(AT_FDCWD, DPI_DATA_DIRNAME);
    if (!data.valid()) printf("upgrade failed: cannot open %s: %s\n", DPI_DATA_DIRNAME, strerror(err));
    return data;
}

// A crash while a bundle moves in would leave old and new files mixed: while
// it moves, the record says that no bundle is installed, and it says so
// afterwards too if the move fails once it changed ./data/; a move that
// failed before that gives the installed bundle its record back. `*keep` is
// set when the package is not to blame: anything but a bad archive or a
// refused member.
bool install_bundle(int package, cjson_tree &record, bool *keep) {
    const unique_fd data = open_data_dir();
    if (!data.valid()) return !(*keep = true);
    int stage = -1;
    const bool checked = unpack_bundle(package, &stage, keep) && bundle_fits(stage, data.get(), keep);
    bool installed = checked;
    bool unflagged = false;  // the record on disk no longer names the installed bundle
    if (installed && cJSON_GetItemNumber(record.get(), "plugindata") == 1)
        remove_member(record.get(), "plugindata"), installed = unflagged = write_record(record.get());
    bool touched = false;
    installed = installed && move_bundle_into_place(stage, data.get(), &touched);
    if (unflagged && !installed && !touched && set_flag(record.get(), "plugindata")) write_record(record.get());
    if (stage >= 0) remove_bundle_staging(stage);
    if (checked && !installed) *keep = true;  // past the check only this host fails it: the record, the move
    return installed;
}

// Installs the package for `ret_code`; returns the record's flag for a
// successful installation, or null.
const char *install_package(int package, int ret_code, cjson_tree &record, bool *keep) {
    switch (ret_code) {
        case APP_RETCODE_UPDATE:
            return install_bundle(package, record, keep) ? "plugindata" : nullptr;
        case APP_RETCODE_UPDATE_LUA:
        case APP_RETCODE_UPDATE_SIG: {
            const bool lua = ret_code == APP_RETCODE_UPDATE_LUA;
            if (open_data_dir().valid() && copy_package(package, lua ? "init.bin" : "m01_sig.bin"))
                return lua ? "luadata" : "sigdata";
            *keep = true;  // a copy fails for want of room or of a sound disk, never for the package
            return nullptr;
        }
        default:
            return nullptr;
    }
}

void say_package_stays(const char *package_path) {
    printf("the package stays at %s for the next request\n", package_path);
}

}  // namespace

bool upgrade_under_way() {
    return installing;
}

void remove_upgrade_leftovers() {
    remove_bundle_staging(-1);  // what a stop during an unpack left
    for (const char *target : {BOOTCHK_PATH, "./data//init.bin", "./data//m01_sig.bin"}) {
        char pattern[64];
        snprintf(pattern, sizeof pattern, "%s.tmp??????", target);
        glob_t found{};
        if (glob(pattern, GLOB_NOSORT, nullptr, &found) == 0)
            for (size_t i = 0; i < found.gl_pathc; ++i) unlink(found.gl_pathv[i]);
        globfree(&found);
    }
}

int copy_file(const char *oldfile, const char *newfile) {
    const unique_fd in = open_exposed(oldfile);
    if (!in.valid()) {
        print_open_failure(-1, -1);
        return -1;
    }
    return copy_fd_to(in.get(), newfile);
}

// Whoever can write the record chooses what the programs run: never
// world-writable, whatever the umask.
int file_write_buf(const char *file, const char *buf, int buflen) {
    if (buflen < 0) return -1;
    return replace_file(file, buf, static_cast<size_t>(buflen), 0666 & ~S_IWOTH) ? 0 : -1;
}

// An upgrade counts as installed once the record names it, and every other
// one as failed, with a line that says why; no package at all is no upgrade.
void daemon_upgrade(watch_daemon_t *daemon, int ret_code) {
    char package_path[510];
    snprintf(package_path, sizeof package_path, "%s/%s", DPI_TMP_DIRNAME, UPGRADE_FILE);
    // Only a regular file is a package: a FIFO would hang tar and the copy,
    // a directory would empty the target. Anything else is just removed; a
    // package that could not be opened for want of descriptors or memory
    // stays for the next request.
    unique_fd package = open_exposed(package_path);
    if (!package.valid()) {
        const int err = errno;
        if (err == ENOENT) return;
        printf("upgrade failed: %s: %s\n", package_path, refusal_text(err));
        if (err == ELOOP || err == EINVAL || err == ENXIO) remove(package_path);  // a link, a FIFO, an empty directory
        return state_upgraded(daemon, false);
    }
    int unread = 0;
    bool fresh = false;
    cjson_tree record = record_to_update(&unread, &fresh);
    if (host_at_fault(unread)) {  // replaced by a new one, it would lose what is installed
        printf("upgrade failed: cannot read %s: %s\n", BOOTCHK_PATH, strerror(unread));
        say_package_stays(package_path);
        return state_upgraded(daemon, false);
    }
    bool keep = false;
    installing = true;
    const char *flag = install_package(package.get(), ret_code, record, &keep);
    installing = false;
    // A failed installation leaves the record on disk as it was: one whose
    // bundle never moved (the record could not be written before the move)
    // must keep booting it.
    const bool recorded = record && flag != nullptr && set_flag(record.get(), flag) && write_record(record.get());
    // Where there was no record, a failed one still leaves the build's
    // version, which names nothing to boot: the install directory stays.
    if (record && flag == nullptr && fresh) write_version_only(record.get());
    // The package goes only once its upgrade is recorded, or once it proved
    // bad (tar could not unpack it, a member was refused): a crash, or a
    // fault of this host's (room, disk, descriptors, the record), leaves it
    // for the next request; and one a program put in its place meanwhile stays.
    if (keep || (flag != nullptr && !recorded))
        say_package_stays(package_path);
    else if (names_file(package.get(), package_path) && unlink(package_path) != 0)
        printf("cannot remove %s: %s\n", package_path, strerror(errno));
    if (recorded && daemon != nullptr) {
        daemon->bootchk_set_aside = false;
        daemon->record_untried |= flag != nullptr;  // a record that names nothing new is no new boot
    }
    state_upgraded(daemon, flag != nullptr && recorded);
}
