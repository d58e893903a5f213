#include <cerrno>
#include <cstring>

#include "build_info.h"
#include "fs.h"
#include "libutil/cJSON.h"

// The configuration is the operator's: a link to it is followed.
cJSON *cjson_from_file(const char *conf_file) {
    const unique_fd fd = open_plain(conf_file);
    size_t len = 0;
    const heap_text text = fd.valid() ? read_capped(fd.get(), CONFIG_MAX, &len) : nullptr;
    return text && len > 0 ? cJSON_Parse(text.get()) : nullptr;
}

int cjson_parse_array_string(cJSON *array, const char **strings, int max) {
    if (array == nullptr) return 0;
    int count = cJSON_GetArraySize(array);
    if (count > max) count = max;
    for (int i = 0; i < count; ++i) {
        const cJSON *item = cJSON_GetArrayItem(array, i);
        if (item == nullptr || item->valuestring == nullptr) return -1;
        strings[i] = item->valuestring;
    }
    return count;
}

static char *cJSON_strndup(const char *str, int len) {
    auto *copy = static_cast<char *>(cJSON_malloc(static_cast<size_t>(len) + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, str, static_cast<size_t>(len));
    copy[len] = '\0';
    return copy;
}

cJSON *cJSON_CreateStringLen(const char *string, int len) {
    // An empty string node from the library, so the node's type and flags are
    // the library's own; its text is then swapped for the counted copy.
    cJSON *item = cJSON_CreateString("");
    if (item == nullptr) return nullptr;
    cJSON_free(item->valuestring);
    item->valuestring = cJSON_strndup(string, len);
    return item;
}
