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
#include "tool.h"
#include "watch_daemon.h"

namespace {

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

// tar reads the very file that was checked, on its standard input, in a
// sandbox that lets it change nothing outside ./data/ and make no device.
bool unpack_plugin_bundle(int package) {
    // As root, tar would otherwise restore the archive's owners and setuid bits.
    const char *const argv[] = {"tar", "-zxf", "-", "-C", DPI_DATA_DIRNAME, "--no-same-owner",
                                "--no-same-permissions", nullptr};
    const bool unpacked = run_tool(argv, {.input = package, .writable_dir = DPI_DATA_DIRNAME}) == 0;
    if (landlock_abi() == 0)
        printf("unpacked in %s without a sandbox: this kernel has no Landlock\n", DPI_DATA_DIRNAME);
    return unpacked;
}

bool copy_package(int package, const char *name) {
    char target[8192];
    snprintf(target, sizeof target, "%s/%s", DPI_DATA_DIRNAME, name);
    return copy_fd_to(package, target) == 0;
}

// Installs the package for `ret_code`; returns the record's flag for a
// successful installation, or null.
const char *install_package(int package, int ret_code) {
    switch (ret_code) {
        case APP_RETCODE_UPDATE:
            return unpack_plugin_bundle(package) ? "plugindata" : nullptr;
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
    const unique_fd in = open_regular_file(oldfile);
    if (!in.valid()) {
        print_open_failure(-1, -1);
        return -1;
    }
    return copy_fd_to(in.get(), newfile);
}

int file_write_buf(const char *file, const char *buf, int buflen) {
    if (buflen < 0) return -1;
    return replace_file(file, buf, static_cast<size_t>(buflen), 0666) ? 0 : -1;
}

void daemon_upgrade(watch_daemon_t *daemon, int ret_code) {
    char package_path[510];
    snprintf(package_path, sizeof package_path, "%s/%s", DPI_TMP_DIRNAME, UPGRADE_FILE);
    // Only a regular file is a package: a FIFO would hang tar and the copy,
    // a directory would empty the target. Anything else is just removed.
    unique_fd package = open_regular_file(package_path);
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

    const char *flag = install_package(package.get(), ret_code);
    if (record && flag != nullptr) cJSON_AddNumberToObject(record.get(), flag, 1);
    package.reset();
    unlink(package_path);
    if (!record) return;

    const cjson_text text(cJSON_PrintUnformatted(record.get()));
    if (text &&
        file_write_buf(BOOTCHK_PATH, text.get(), static_cast<int>(strlen(text.get()))) == 0 &&
        daemon != nullptr)
        daemon->bootchk_set_aside = false;
}
