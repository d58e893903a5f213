#include "boot_record.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app_dpi_process.h"
#include "build_info.h"
#include "fs.h"

const char BOOTCHK_PATH[] = "./data//.bootchk";
static_assert(sizeof BOOTCHK_PATH == sizeof DPI_DATA_DIRNAME + 1 + sizeof BOOTCHK_FILE - 1);

cJSON *bootchk_load(int *refused) {
    int why = 0;
    cJSON *record = nullptr;
    const unique_fd fd = open_exposed(BOOTCHK_PATH);
    if (fd.valid()) {
        size_t len = 0;
        const heap_text text = read_capped(fd.get(), BOOTCHK_MAX, &len);
        if (!text) why = errno;
        errno = 0;  // a parse that ran out of memory is no bad record: an upgrade must not write over it
        record = text && len > 0 ? cJSON_Parse(text.get()) : nullptr;
        if (record == nullptr && errno == ENOMEM) why = ENOMEM;
    } else if (errno != ENOENT) {
        why = errno;
    }
    if (refused != nullptr) *refused = why;
    return record;
}

boot_reason bootchk_judge(const cJSON *record) {
    if (record == nullptr) return boot_reason::no_record;
    const char *version = cJSON_GetItemString(record, "version");
    if (version == nullptr) return boot_reason::no_version;
    if (version_cmp(version, DPI_PLUGIN_VERSION) < 0) return boot_reason::too_old;
    if (cJSON_GetItemNumber(record, "plugindata") != 1) return boot_reason::no_plugindata;
    return boot_reason::data_space;
}

unsigned int ip_one(char *s, char **save, int shift) {
    const char *component = strtok_r(s, ".", save);
    if (component == nullptr) return 0;
    unsigned int value = 0;
    for (const char *c = component; *c != '\0'; ++c) value = value * 10u + static_cast<unsigned char>(*c) - 48u;
    return (value & 0xffu) << shift;
}

unsigned int ip_int(const char *v) {
    if (v == nullptr) return 0;
    const std::unique_ptr<char, decltype(&free)> copy(strdup(v), &free);
    if (!copy) return 0;
    char *save = nullptr;
    unsigned int value = ip_one(copy.get(), &save, 24);
    for (int shift : {16, 8, 0}) value |= ip_one(nullptr, &save, shift);
    return value;
}

int version_cmp(const char *v1, const char *v2) {
    const unsigned int a = ip_int(v1);
    const unsigned int b = ip_int(v2);
    return a < b ? -1 : (a > b ? 1 : 0);
}
