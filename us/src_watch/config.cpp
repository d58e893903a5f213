#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "build_info.h"
#include "console.h"
#include "fs.h"
#include "watch_daemon.h"

int prepare_needful_dir(const char *dirname) {
    // What opendir() would find out, without its 32 KiB directory buffer.
    if (open_plain(dirname, O_RDONLY | O_DIRECTORY).valid()) return 0;
    // Never world-writable, whatever the umask: whoever can write ./data/
    // chooses what the programs run.
    if (mkdir(dirname, 0777 & ~S_IWOTH) == 0 || errno == EEXIST) return 0;
    printf("mkdir (%s) error: %s", dirname, strerror(errno));
    return -1;
}

void daemon_init_default(watch_daemon_t *daemon) {
    daemon->sub_cnt = 1;
    snprintf(daemon->pids[0].base.data(), PATH_BUF, "%s", DEFAULT_PROGRAM);
}

bool leads_to_supervisor(const char *name) {
    struct stat self {}, target {};
    return stat("/proc/self/exe", &self) == 0 && stat(name, &target) == 0 && self.st_dev == target.st_dev &&
           self.st_ino == target.st_ino;
}

namespace {

static_assert(PROGRAM_PATH_MAX + sizeof DPI_DATA_DIRNAME + 1 == PATH_BUF, "a slot holds a path from ./data/");

// A program that is the supervisor would have killall end the supervisor
// (and every other one of the host) at each cycle: by its name, or, for a
// name with a slash, by the file it leads to (a link, a hard link). The
// name is judged as the slot keeps it.
bool is_supervisor(const char *base, const char *argv0) {
    return named_like_supervisor(base, argv0) || leads_to_supervisor(base) ||
           leads_to_supervisor(program_path(base, true).text.data());
}

}  // namespace

// Only the path "__watch" -> "processes" -> [{"base": "..."}] is read; types
// along it are not checked, so a scalar "processes" simply has no elements.
// Programs beyond the fourth are ignored: there are only four slots. A config
// refused leaves the programs as they were.
int daemon_init(const char *conf_file, watch_daemon_t *daemon) {
    const cjson_tree conf(cjson_from_file(conf_file));
    if (!conf) return -1;

    // The library's readers take a missing node for one without members.
    const cJSON *processes = cJSON_GetObjectItem(cJSON_GetObjectItem(conf.get(), "__watch"), "processes");
    const int count = std::min(cJSON_GetArraySize(processes), MAX_SUB_PROCESS);
    if (count == 0) return daemon_init_default(daemon), 0;

    auto base_of = [&](int i) { return cJSON_GetItemString(cJSON_GetArrayItem(processes, i), "base"); };
    for (int i = 0; i < count; ++i) {
        if (base_of(i) == nullptr) return -1;
        // A slot holds a path whole or not at all: a cut one names another
        // file, and one that cannot start from ./data/ would fail a bundle.
        if (strlen(base_of(i)) > PROGRAM_PATH_MAX) {
            printf("config: a program path of %zu bytes is too long (at most %zu), refused\n", strlen(base_of(i)),
                   PROGRAM_PATH_MAX);
            return -1;
        }
        if (is_supervisor(base_of(i), daemon->argv != nullptr ? daemon->argv[0] : nullptr)) {
            printf("config: program %s has the supervisor's name, refused\n", shown_name(base_of(i)).text);
            return -1;
        }
    }
    daemon->sub_cnt = count;
    for (int i = 0; i < count; ++i) {
        snprintf(daemon->pids[i].base.data(), PATH_BUF, "%s", base_of(i));
        daemon->pids[i].pid = 0;
    }
    return 0;
}
