#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fs.h"
#include "install_dir.h"
#include "libutil/cJSON.h"

namespace {

struct temp_file {
    std::string path;
    explicit temp_file(const std::string &content) {
        char tmpl[] = "/tmp/wdjson.XXXXXX";
        const int fd = mkstemp(tmpl);
        path = tmpl;
        write_all(fd, content.data(), content.size());
        close(fd);
    }
    ~temp_file() { unlink(path.c_str()); }
};

cjson_tree load(const std::string &content) {
    temp_file f(content);
    return cjson_tree(cjson_from_file(f.path.c_str()));
}

TEST(CjsonFromFile, LoadsTheFirstValueOnly) {
    const struct {
        std::string content;
        bool loads;
        const char *name;  // member "name" expected, if any
    } cases[] = {
        {"", false, nullptr},
        {" \n\t\n  ", false, nullptr},
        {"{\"name\":", false, nullptr},
        {"{\"name\":\"a\"}", true, "a"},
        {"\n  {\"name\":\"a\"}", true, "a"},
        {"{\"name\":\"a\"}{\"name\":\"b\"}", true, "a"},
        {"{\"name\":\"a\"} stray words", true, "a"},
        {std::string("{\"name\":\"a\"}\0{\"name\":\"b\"}", 25), true, "a"},
        {"42", true, nullptr},
        {"\"text\"", true, nullptr},
        {"[1,2]", true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        const cjson_tree tree = load(c.content);
        EXPECT_EQ(tree != nullptr, c.loads);
        if (tree) {
            const char *name = cJSON_GetItemString(tree.get(), "name");
            EXPECT_STREQ(name, c.name);
        }
    }
}

TEST(CjsonFromFile, NoTreeForWhatCannotBeRead) {
    EXPECT_EQ(cjson_from_file("/nonexistent/config"), nullptr);
    EXPECT_EQ(cjson_from_file("/tmp"), nullptr);            // a directory
    EXPECT_EQ(cjson_from_file("/proc/self/mem"), nullptr);  // size 0, never opened
}

TEST(CjsonReaders, TypesAreNotExamined) {
    const cjson_tree tree(
        cJSON_Parse(R"({"one":1,"yes":true,"frac":1.9,"half":0.5,"text":"1","no":false,"nil":null,)"
                    R"("arr":[1],"obj":{},"Dup":7,"dup":"second","big":3000000000})"));
    const struct {
        const char *name;
        int number;
        const char *text;
    } cases[] = {
        {"one", 1, nullptr}, {"yes", 1, nullptr},     {"frac", 1, nullptr}, {"half", 0, nullptr},
        {"text", 0, "1"},    {"no", 0, nullptr},      {"nil", 0, nullptr},  {"arr", 0, nullptr},
        {"obj", 0, nullptr}, {"missing", 0, nullptr}, {"DUP", 7, nullptr},  // any case, first match
        {"ONE", 1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cJSON_GetItemNumber(tree.get(), c.name), c.number);
        EXPECT_STREQ(cJSON_GetItemString(tree.get(), c.name), c.text);
    }
    EXPECT_NE(cJSON_GetItemNumber(tree.get(), "big"), 1);
    EXPECT_EQ(cJSON_GetItemNumber(nullptr, "one"), 0);
    EXPECT_EQ(cJSON_GetItemString(nullptr, "one"), nullptr);
}

TEST(CjsonAdd, AppendsEvenWhenTheNameExists) {
    const cjson_tree tree(cJSON_Parse(R"({"plugindata":1})"));
    cJSON_AddNumberToObject(tree.get(), "plugindata", 0);
    cJSON_AddStringLenToObject(tree.get(), "v", "3.9.47.2xyz", 8);
    const cjson_text text(cJSON_PrintUnformatted(tree.get()));
    EXPECT_STREQ(text.get(), R"({"plugindata":1,"plugindata":0,"v":"3.9.47.2"})");
    EXPECT_EQ(cJSON_GetItemNumber(tree.get(), "plugindata"), 1);
}

TEST(CjsonParseArrayString, StoresBorrowedTextsUpToMax) {
    const cjson_tree texts(cJSON_Parse(R"(["a","b","c"])"));
    const cjson_tree mixed(cJSON_Parse(R"(["a",2,"c"])"));
    const cjson_tree empty(cJSON_Parse("[]"));
    const cjson_tree object(cJSON_Parse(R"({"x":"a","y":"b"})"));
    const struct {
        cJSON *array;
        int max;
        int result;
        int stored;
    } cases[] = {
        {texts.get(), 2, 2, 2},  {texts.get(), 5, 3, 3}, {texts.get(), 0, 0, 0},
        {empty.get(), 4, 0, 0},  {nullptr, 4, 0, 0},     {mixed.get(), 3, -1, 1},
        {object.get(), 2, 2, 2},
    };
    for (const auto &c : cases) {
        const char *strings[5] = {};
        EXPECT_EQ(cjson_parse_array_string(c.array, strings, c.max), c.result);
        int stored = 0;
        while (stored < 5 && strings[stored] != nullptr) ++stored;
        EXPECT_EQ(stored, c.stored);
    }
    const char *strings[1] = {};
    cjson_parse_array_string(texts.get(), strings, 1);
    EXPECT_EQ(strings[0], cJSON_GetArrayItem(texts.get(), 0)->valuestring);  // not a copy
}

TEST(CjsonCreateStringLen, CopiesExactlyLenBytes) {
    const struct {
        const char *src;
        int len;
        const char *text;
    } cases[] = {{"abc", 0, ""}, {"abcdef", 3, "abc"}, {"ab\0cd", 5, "ab"}};
    for (const auto &c : cases) {
        const cjson_tree node(cJSON_CreateStringLen(c.src, c.len));
        ASSERT_TRUE(cJSON_IsString(node.get()));
        EXPECT_STREQ(node->valuestring, c.text);
    }
    const cjson_tree node(cJSON_CreateStringLen("ab\0cd", 5));
    EXPECT_EQ(node->valuestring[3], 'c');  // the NUL did not end the copy
}

int init_macro(bool fail_chk) {
    CJSON_INIT(first, -1);
    cJSON *child = nullptr;
    int children = 0;
    cJSON_Array_for_each_entry(child, first)++ children;
    if (fail_chk) {
        CJSON_FREE(first);
        return children;
    }
    CJSON_INIT_CHK(second, first, -2);
    cJSON_AddItemToObject(second, "a", cJSON_CreateNull());
    cJSON_AddItemToObject(second, "b", cJSON_CreateNull());
    cJSON_Array_for_each_entry(child, second)++ children;
    CJSON_FREE(first);
    CJSON_FREE(second);
    cJSON *none = nullptr;
    CJSON_FREE(none);
    return children;
}

TEST(CjsonMacros, CreateWalkAndFree) {
    EXPECT_EQ(init_macro(true), 0);
    EXPECT_EQ(init_macro(false), 2);
}

// Every text of the public JSON test suite loads without a crash or a leak.
TEST(CjsonFromFile, SurvivesTheJsonTestSuite) {
    namespace fs = std::filesystem;
    if (!fs::is_directory(CORPUS_DIR)) GTEST_SKIP() << "no corpus at " << CORPUS_DIR;
    int loaded = 0, files = 0;
    for (const auto &entry : fs::directory_iterator(CORPUS_DIR)) {
        ++files;
        const cjson_tree tree(cjson_from_file(entry.path().c_str()));
        loaded += tree != nullptr;
        if (entry.path().filename().string().starts_with("y_")) {
            EXPECT_TRUE(tree) << entry.path();
        }
    }
    EXPECT_GT(files, 300);
    EXPECT_GT(loaded, 90);
}

}  // namespace
