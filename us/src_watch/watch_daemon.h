// The watch daemon: keeps up to four programs of its install directory
// running, records how each ended, and acts on their exit codes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <ctime>

#include <array>
#include <ctime>
#include <initializer_list>

#include "libutil/cJSON.h"

inline constexpr int MAX_SUB_PROCESS = 4;          // programs supervised at most
inline constexpr int MAX_ARGS_COUNT = 16;          // child argument vector, null entry included
inline constexpr int MAX_CMD_LEN = 256;            // bytes per child argument
inline constexpr int PROGRAM_REBOOT_TIMEOUT = 10;  // seconds before an ordinary restart
inline constexpr int PROGRAM_SEGV_TIMEOUT = 7200;  // seconds after the 4th and later SIGSEGV
inline constexpr char UPGRADE_FILE[] = "ttupgrade.tgz";
inline constexpr char DEFAULT_PROGRAM[] = "quorin-dpi-inner";
inline constexpr size_t PATH_BUF = 4096;
inline constexpr size_t BOOTCHK_MAX = 64 << 10;  // far above any real record

enum {
    BOOT_SPACE_SYS = 0,   // programs start from the install directory
    BOOT_SPACE_DATA = 1,  // programs start from ./data/ with the data-space arguments
};

// The small fields come before the names in both structures: a page of the
// state becomes resident only when written, and a short name then shares its
// page with the fields written beside it.
// What a slot is doing, as the state file publishes it.
enum slot_state : unsigned char { SLOT_STARTING = 0, SLOT_RUNNING, SLOT_WAITING };

struct exec_pid_ {
    pid_t pid;                        // latest child; 0 before the first start, -1 if fork failed
    bool unreaped;                    // `pid` is a child of ours that waitpid has not returned yet
    slot_state state;                 // published in the state file
    bool last_signaled;               // the last end was by a signal, `last_code` its number
    int last_code;                    // the last end's exit code or signal
    unsigned int ends, segv_ends;     // since the supervisor started
    time_t started;                   // the latest child's start (Unix seconds), 0 if none
    time_t last_end;                  // the last end (Unix seconds), 0 if none
    time_t restart_due;               // while waiting: when the restart comes
    std::array<char, PATH_BUF> base;  // program as configured, relative to the install dir
};
using exec_pid_t = exec_pid_;

// A program's restart that waits out its delay; carried across a
// re-execution, which then only waits for what is left.
struct pending_restart {
    bool active;
    int slot, code;       // the program, and its restart reason
    long long due_ns;     // CLOCK_MONOTONIC, the same for every process
};

struct watch_daemon_ {
    int verbose;                         // 1: started with an argument; children get "-d"
    int boot_space;                      // BOOT_SPACE_*, decided at every cycle
    int run_fd;                          // the run file, open and locked
    int dir_fd;                          // the install directory, open and locked
    int sub_cnt;                         // configured programs, 1 to MAX_SUB_PROCESS
    unsigned int segv_cnt;               // SIGSEGV deaths since start, never reset
    bool bootchk_set_aside;              // a record we could not remove: ignore it
    int cycle_reason;                    // the restart reason of the next cycle's starts
    pending_restart pending;
    bool state_unwritten;                // the state file's last write failed, and said so
    int state_fd;                        // the state file, held open; 0 when not open
    unsigned int state_len;              // what it holds
    time_t started;                      // the supervisor's start (Unix seconds)
    time_t build_since;                  // when the running build took over (Unix seconds)
    time_t stopped_at;                   // when the supervisor gave up, 0 while it runs
    const char *stopped_why;             // why, a static text; null while it runs
    unsigned int upgrades_installed, upgrades_failed;  // since the supervisor started
    std::array<char, PATH_BUF> runfile;  // ./tmp/NAME.run
    exec_pid_t pids[MAX_SUB_PROCESS];
};
using watch_daemon_t = watch_daemon_;

// Start-up and configuration
int prepare_needful_dir(const char *dirname);
int daemon_init(const char *conf_file, watch_daemon_t *daemon);
void daemon_init_default(watch_daemon_t *daemon);

// Run file
int daemon_run_set(const char *argv0, watch_daemon_t *daemon);
void record_exit_status(int ret_code, int exit_normal, const char *base, int fd);
// The UTC offset of the last record's local time stamp; LONG_MIN before the
// first (reading the zone only for that keeps its code out of an idle
// supervisor's memory).
extern long record_utc_offset;

// Child launching
pid_t exec_process(const char *pname, int ret_code, int verbose, int bootdata);
void daemon_run_one(watch_daemon_t *daemon, int i, int ret_code);

// Supervision loop
// Runs cycles until it gives up. `resumed`: a re-executed image goes on
// where the old one stood, without a fresh cycle.
void watch_loop(watch_daemon_t *daemon, bool resumed = false);
// The signals the supervisor waits for instead of handling them: a child's
// end and a request to re-execute. Blocked for its whole life, so that
// neither can come between two waits and be missed.
sigset_t awaited_signals();
int loop_run(watch_daemon_t *daemon, int *pcode);
int find_exit_status(pid_t death, int status, watch_daemon_t *daemon, int *ret_code,
                     int *exit_normal);
int segv_sleep(watch_daemon_t *daemon);
int segv_delay(unsigned int count);  // the delay after the `count`th SIGSEGV death
void watch_clean(watch_daemon_t *daemon);

// Boot-check record
enum class boot_reason { no_record, no_version, too_old, no_plugindata, data_space };
boot_reason bootchk_judge(const cJSON *record);
// The record if it is a regular file of at most BOOTCHK_MAX bytes beginning
// with JSON; `refused`, if given, is the errno of one that fails those rules.
cJSON *bootchk_load(int *refused = nullptr);
int bootchk_exit_clean();
int find_boot_space(watch_daemon_t *daemon);
int version_cmp(const char *v1, const char *v2);
unsigned int ip_int(const char *v);
unsigned int ip_one(char *s, char **save, int shift);
extern const char BOOTCHK_PATH[];

// Upgrade installation
void daemon_upgrade(watch_daemon_t *daemon, int ret_code);
int copy_file(const char *oldfile, const char *newfile);
int file_write_buf(const char *file, const char *buf, int buflen);

// Joins `parts` into the `size` bytes at `dst`, cut to fit and always
// terminated: what snprintf("%s%s", ...) makes of plain texts, without
// bringing its formatting code into memory for a copy.
inline void join_bounded(char *dst, size_t size, std::initializer_list<const char *> parts) {
    if (size == 0) return;
    char *out = dst;
    char *const last = dst + size - 1;
    for (const char *part : parts)
        for (; *part != '\0' && out < last; ++part) *out++ = *part;
    *out = '\0';
}

// Copies `src` into `dst`, cut to fit and always terminated.
template <size_t N>
void copy_bounded(std::array<char, N> &dst, const char *src) {
    join_bounded(dst.data(), N, {src});
}
