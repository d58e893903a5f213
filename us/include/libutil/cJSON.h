// The product's layer over the cJSON library: whole-file loading, member
// readers, and a few conveniences for building and walking trees.
#pragma once

#include <cjson/cJSON.h>

#include <cstring>

// Loads and parses a whole file; the caller owns the tree. Null when the file
// is missing, empty, unreadable or does not begin with a JSON value.
cJSON *cjson_from_file(const char *conf_file);

// Stores borrowed pointers to the texts of the first `max` children of
// `array` into `strings`. Returns how many, 0 for no array, -1 at the first
// child without text (the pointers stored before it stay stored).
int cjson_parse_array_string(cJSON *array, const char **strings, int max);

// A string node holding a copy of exactly `len` bytes of `string`.
cJSON *cJSON_CreateStringLen(const char *string, int len);

// The text of member `string` (any letter case, first match), borrowed from
// the tree; null when there is no such member or it holds no text.
static inline const char *cJSON_GetItemString(const cJSON *object, const char *string) {
    if (object == nullptr) return nullptr;
    const cJSON *item = cJSON_GetObjectItem(object, string);
    return item == nullptr ? nullptr : item->valuestring;
}

// The integer value of member `string`; 0 when missing. `true` reads as 1.
static inline int cJSON_GetItemNumber(const cJSON *object, const char *string) {
    if (object == nullptr) return 0;
    const cJSON *item = cJSON_GetObjectItem(object, string);
    return item == nullptr ? 0 : item->valueint;
}

#define cJSON_AddStringLenToObject(object, name, s, len) \
    cJSON_AddItemToObject(object, name, cJSON_CreateStringLen(s, len))

#define CJSON_INIT(result, ret)           \
    cJSON *result = cJSON_CreateObject(); \
    if (result == nullptr) return ret

#define CJSON_INIT_CHK(res, old, ret)  \
    cJSON *res = cJSON_CreateObject(); \
    if (res == nullptr) {              \
        CJSON_FREE(old);               \
        return ret;                    \
    }

#define CJSON_FREE(result)                             \
    do {                                               \
        if ((result) != nullptr) cJSON_Delete(result); \
    } while (0)

#define cJSON_Array_for_each_entry(c, json) \
    for ((c) = (json)->child; (c) != nullptr; (c) = (c)->next)
