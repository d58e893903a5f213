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

// Only the path "__watch" -> "processes" -> [{"base": "..."}] is read; types
// along it are not checked, so a scalar "processes" simply has no elements.
// Programs beyond the fourth are ignored: there are only four slots.
int daemon_init(const char *conf_file, watch_daemon_t *daemon) {
    const cjson_tree conf(cjson_from_file(conf_file));
    if (!conf) return -1;

    // The library's readers take a missing node for one without members.
    const cJSON *processes = cJSON_GetObjectItem(cJSON_GetObjectItem(conf.get(), "__watch"), "processes");
    const int count = cJSON_GetArraySize(processes);
    if (count == 0) return daemon_init_default(daemon), 0;

    daemon->sub_cnt = std::min(count, MAX_SUB_PROCESS);
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        const cJSON *entry = cJSON_GetArrayItem(processes, i);
        const char *base = cJSON_GetItemString(entry, "base");
        if (base == nullptr) return -1;
        if (named_like_supervisor(base, daemon->argv != nullptr ? daemon->argv[0] : nullptr)) {
            char shown[PATH_BUF * 4];
            printf("config: program %s has the supervisor's name, refused\n", escaped(base, shown, sizeof shown));
            return -1;
        }
        snprintf(daemon->pids[i].base.data(), PATH_BUF, "%s", base);
        daemon->pids[i].pid = 0;
    }
    return 0;
}
