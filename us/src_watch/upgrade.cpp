#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"
#include "sandbox.h"
#include "state.h"
#include "tool.h"
#include "watch_daemon.h"

namespace {

// A plugin bundle is unpacked here first, beside what it will replace, and
// moved into ./data/ only once it has unpacked completely.
constexpr char STAGING[] = "./data//.unpack";
constexpr char STAGING_NAME[] = ".unpack";
constexpr int MAX_DEPTH = 64;  // directories within directories in a bundle

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
        print_open_failure(in, -1);
        return -1;
    }
    char block[1024];
    for (;;) {
        const ssize_t n = read(in, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0 || !write_all(out.get(), block, static_cast<size_t>(n))) {
            printf("failed to copy to %s: %s\n", newfile, strerror(errno));
            out.reset();
            unlink(tmp);
            return -1;
        }
    }
    if (!commit_temp(std::move(out), tmp, newfile)) {
        printf("failed to copy to %s: %s\n", newfile, strerror(errno));
        return -1;
    }
    return 0;
}

bool write_record(const cJSON *record) {
    const cjson_text text(cJSON_PrintUnformatted(record));
    if (text && file_write_buf(BOOTCHK_PATH, text.get(), static_cast<int>(strlen(text.get()))) == 0)
        return true;
    printf("failed to write %s: %s\n", BOOTCHK_PATH, strerror(errno));
    return false;
}

// How tar is confined: Landlock with `abi`, or, where that cannot be had, not
// at all (`abi` 0) and why. Unconfined, tar still writes only into the fresh
// staging directory, which holds no link of an earlier package to follow, and
// what it made is checked before it moves; refusing instead would make every
// upgrade impossible on such a host. ABI 1 cannot allow links or renames
// across directories, which ordinary bundles hold.
struct confinement {
    int abi;
    const char *why_not;
};

confinement choose_confinement() {
    const int abi = landlock_abi();
    if (abi >= 2) return {abi, nullptr};
    if (abi == 1) return {0, "this kernel's Landlock (ABI 1) cannot allow links across directories"};
    if (abi == 0) return {0, "this kernel has no Landlock"};
    if (errno == EPERM) return {0, "Landlock is not permitted here"};
    return {0, "Landlock cannot be set up here"};
}

// Removes what an earlier upgrade, or a crash in one, left at `path`; never
// through a link (rm removes the link itself).
void remove_staging(const char *path) {
    if (unlinkat(AT_FDCWD, path, AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    const char *const argv[] = {"rm", "-rf", "--", path, nullptr};
    run_tool(argv, {.quiet = true});
}

unique_fd make_staging() {
    remove_staging(STAGING);
    if (mkdir(STAGING, 0700) != 0) return unique_fd();
    return open_exposed_dir(AT_FDCWD, STAGING);
}

// tar reads the very file that was checked, on its standard input, in the
// staging directory. As root, it would otherwise restore the archive's
// owners and setuid bits.
bool unpack_into(int stage, int package, const confinement &how) {
    const char *const argv[] = {"tar", "-zxf", "-", "--no-same-owner", "--no-same-permissions", nullptr};
    const int status = run_tool(argv, {.input = package, .workdir = stage, .sandbox_abi = how.abi});
    if (status < 0) {
        printf("upgrade failed: cannot run tar: %s\n", strerror(errno));
        return false;
    }
    if (how.abi == 0) printf("unpacked in %s without a sandbox: %s\n", DPI_DATA_DIRNAME, how.why_not);
    if (WIFEXITED(status) && WEXITSTATUS(status) == TOOL_NOT_CONFINED)
        puts("upgrade refused: the sandbox for tar could not be set up");
    return status == 0;
}

enum class walk { check, move };

bool walk_dir(int from, int to, int depth, walk how);

bool is_empty_dir(int at, const char *name) {
    const unique_fd dir = open_exposed_dir(at, name);
    alignas(dirent64) char buf[512];
    const ssize_t n = dir.valid() ? getdents64(dir.get(), buf, sizeof buf) : -1;
    int entries = 0;
    for (ssize_t at_entry = 0; at_entry < n;) {
        const auto *e = reinterpret_cast<const dirent64 *>(buf + at_entry);
        at_entry += e->d_reclen;
        entries += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    }
    return n >= 0 && entries == 0;
}

// Before anything moves: only regular files, directories and symbolic links
// may be installed, and none may take the place of a directory in ./data/
// that is not empty (the move would fail half-way, as tar would).
bool check_entry(int from, int to, const char *name, const struct stat &src, int depth) {
    const bool is_dir = S_ISDIR(src.st_mode);
    if (!is_dir && !S_ISREG(src.st_mode) && !S_ISLNK(src.st_mode)) {
        printf("upgrade refused: %s in the package is a device, FIFO or socket\n", name);
        return false;
    }
    struct stat dst {};
    const bool dst_dir = to >= 0 && fstatat(to, name, &dst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(dst.st_mode);
    if (!is_dir && dst_dir && !is_empty_dir(to, name)) {
        printf("upgrade refused: %s in the package would replace a directory that is not empty\n", name);
        return false;
    }
    if (!is_dir) return true;
    const unique_fd sub = open_exposed_dir(from, name), sub_to = dst_dir ? open_exposed_dir(to, name) : unique_fd();
    return sub.valid() && walk_dir(sub.get(), sub_to.get(), depth + 1, walk::check);
}

// One entry of a staged directory: checked, or moved into `to` by name,
// replacing what is there. A directory that both hold is merged; a file or
// link takes a directory's place only when that is empty. Nothing here
// follows a link: every step is relative to a directory held open.
bool visit(int from, int to, const char *name, int depth, walk how) {
    struct stat src {};
    if (fstatat(from, name, &src, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (how == walk::check) return check_entry(from, to, name, src, depth);
    const bool is_dir = S_ISDIR(src.st_mode);
    struct stat dst {};
    const bool exists = fstatat(to, name, &dst, AT_SYMLINK_NOFOLLOW) == 0;
    bool moved;
    if (exists && is_dir && S_ISDIR(dst.st_mode)) {
        const unique_fd sub_from = open_exposed_dir(from, name), sub_to = open_exposed_dir(to, name);
        moved = sub_from.valid() && sub_to.valid() && walk_dir(sub_from.get(), sub_to.get(), depth + 1, how) &&
                unlinkat(from, name, AT_REMOVEDIR) == 0;
    } else {
        moved = (!exists || is_dir == S_ISDIR(dst.st_mode) ||
                 unlinkat(to, name, S_ISDIR(dst.st_mode) ? AT_REMOVEDIR : 0) == 0) &&
                renameat(from, name, to, name) == 0;
    }
    if (!moved && depth == 0) printf("upgrade failed: cannot move %s into %s: %s\n", name, DPI_DATA_DIRNAME, strerror(errno));
    return moved;
}

// Every entry of the directory `from`. Moving empties it, so it is read
// again from its start until nothing is left.
bool walk_dir(int from, int to, int depth, walk how) {
    if (depth > MAX_DEPTH) {
        printf("upgrade refused: the package nests directories more than %d deep\n", MAX_DEPTH);
        return false;
    }
    alignas(dirent64) char buf[2048];
    for (;;) {
        if (how == walk::move) lseek(from, 0, SEEK_SET);
        const ssize_t n = getdents64(from, buf, sizeof buf);
        if (n <= 0) return n == 0;
        int entries = 0;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const dirent64 *>(buf + at);
            at += e->d_reclen;
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            ++entries;
            if (!visit(from, to, e->d_name, depth, how)) return false;
        }
        if (how == walk::move && entries == 0) return true;
    }
}

// Names in ./data/ that only the supervisor makes: the record and the
// staging directory; and the files that Lua and signature upgrades replace,
// which a bundle may bring only as regular files.
bool holds_reserved_name(int stage) {
    for (const char *name : {BOOTCHK_FILE, STAGING_NAME, "init.bin", "m01_sig.bin"}) {
        struct stat st {};
        if (fstatat(stage, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (name[0] != '.' && S_ISREG(st.st_mode)) continue;
        printf("upgrade refused: the package holds %s, which only the supervisor writes\n", name);
        return true;
    }
    return false;
}

// A crash while the bundle moves in would leave old and new files mixed:
// while it moves, the record says that no bundle is installed, and it says so
// afterwards too if the move fails.
bool move_into_place(int stage, int data, cjson_tree &record) {
    cjson_tree taken_back;
    if (cJSON_GetItemNumber(record.get(), "plugindata") == 1) {
        taken_back.reset(cJSON_Duplicate(record.get(), true));
        while (cJSON_GetObjectItem(taken_back.get(), "plugindata") != nullptr)
            cJSON_DeleteItemFromObject(taken_back.get(), "plugindata");
        if (!taken_back || !write_record(taken_back.get())) return false;
    }
    if (walk_dir(stage, data, 0, walk::move)) return true;
    if (taken_back) record = std::move(taken_back);
    return false;
}

// Unpacks into a fresh staging directory, checks what came out, and only
// then moves it into ./data/. A package that fails any step leaves ./data/
// as it was, so the last complete bundle stays bootable.
bool install_bundle(int package, cjson_tree &record) {
    const confinement how = choose_confinement();
    const unique_fd data = open_exposed_dir(AT_FDCWD, DPI_DATA_DIRNAME);
    const unique_fd stage = make_staging();
    if (!data.valid() || !stage.valid()) {
        printf("upgrade failed: cannot make %s: %s\n", STAGING, strerror(errno));
        return false;
    }
    const bool installed = unpack_into(stage.get(), package, how) && !holds_reserved_name(stage.get()) &&
                           walk_dir(stage.get(), data.get(), 0, walk::check) &&
                           move_into_place(stage.get(), data.get(), record);
    remove_staging(STAGING);
    return installed;
}

bool copy_package(int package, const char *name) {
    char target[8192];
    snprintf(target, sizeof target, "%s/%s", DPI_DATA_DIRNAME, name);
    return copy_fd_to(package, target) == 0;
}

// Installs the package for `ret_code`; returns the record's flag for a
// successful installation, or null.
const char *install_package(int package, int ret_code, cjson_tree &record) {
    switch (ret_code) {
        case APP_RETCODE_UPDATE:
            return install_bundle(package, record) ? "plugindata" : nullptr;
        case APP_RETCODE_UPDATE_LUA:
            return copy_package(package, "init.bin") ? "luadata" : nullptr;
        case APP_RETCODE_UPDATE_SIG:
            return copy_package(package, "m01_sig.bin") ? "sigdata" : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

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

void daemon_upgrade(watch_daemon_t *daemon, int ret_code) {
    char package_path[510];
    snprintf(package_path, sizeof package_path, "%s/%s", DPI_TMP_DIRNAME, UPGRADE_FILE);
    // Only a regular file is a package: a FIFO would hang tar and the copy,
    // a directory would empty the target. Anything else is just removed.
    unique_fd package = open_exposed(package_path);
    if (!package.valid()) {
        unlink(package_path);
        return;
    }

    // A record that is valid JSON but not an object (42, []) would silently
    // drop the members added to it when printed: start afresh, as for none.
    cjson_tree record(bootchk_load());
    if (!cJSON_IsObject(record.get())) record.reset(cJSON_CreateObject());
    if (record && cJSON_GetItemString(record.get(), "version") == nullptr)
        cJSON_AddStringToObject(record.get(), "version", DPI_PLUGIN_VERSION);

    const char *flag = install_package(package.get(), ret_code, record);
    state_upgraded(daemon, ret_code, flag != nullptr);
    // A flag the record already reads as set is not added again, and one it
    // reads otherwise (0, "1") is replaced: appended after it, the new flag
    // would never be read, and a record that grew by one member per upgrade
    // would one day pass the size a record may have, and be ignored.
    if (record && flag != nullptr && cJSON_GetItemNumber(record.get(), flag) != 1) {
        while (cJSON_GetObjectItem(record.get(), flag) != nullptr) cJSON_DeleteItemFromObject(record.get(), flag);
        cJSON_AddNumberToObject(record.get(), flag, 1);
    }
    package.reset();
    unlink(package_path);
    if (record && write_record(record.get()) && daemon != nullptr) daemon->bootchk_set_aside = false;
}
