#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <cstdlib>
#include <memory>

#include "fs.h"
#include "libutil/cJSON.h"

cJSON *cjson_from_file(const char *conf_file) {
    struct stat st {};
    if (stat(conf_file, &st) != 0 || st.st_size <= 0) return nullptr;
    unique_fd fd(open(conf_file, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return nullptr;

    const auto size = static_cast<size_t>(st.st_size);
    const std::unique_ptr<char, decltype(&free)> buf(static_cast<char *>(malloc(size + 1)), &free);
    if (!buf) return nullptr;
    // Parse only what was actually read: the file may have shrunk since stat.
    const ssize_t got = read_full(fd.get(), buf.get(), size);
    if (got <= 0) return nullptr;
    buf.get()[got] = '\0';
    return cJSON_Parse(buf.get());
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
