// The watch daemon: keeps up to four programs of its install directory
// running, records how each ended, and acts on their exit codes.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <iterator>
#include <ctime>
#include <initializer_list>
#include <string_view>

#include "build_info.h"
#include "libutil/cJSON.h"
#include "state_file.h"

inline constexpr int MAX_SUB_PROCESS = 4;          // programs supervised at most
inline constexpr int MAX_ARGS_COUNT = 16;          // child argument vector, null entry included
inline constexpr int MAX_CMD_LEN = 256;            // bytes per child argument
inline constexpr int PROGRAM_REBOOT_TIMEOUT = 10;  // seconds before an ordinary restart
inline constexpr int PROGRAM_SEGV_TIMEOUT = 7200;  // seconds after the 4th and later SIGSEGV
inline constexpr char UPGRADE_FILE[] = "ttupgrade.tgz";
inline constexpr size_t PATH_BUF = 4096;
static_assert(MAX_SUB_PROCESS == STATE_SLOTS);

enum {
    BOOT_SPACE_SYS = 0,   // programs start from the install directory
    BOOT_SPACE_DATA = 1,  // programs start from ./data/ with the data-space arguments
};

struct exec_pid_ {
    std::array<char, PATH_BUF> base;  // program as configured, relative to the install dir
    pid_t pid;                        // latest child; 0 before the first start, -1 if fork failed
    bool unreaped;                    // `pid` is a child of ours that waitpid has not returned yet
    slot_record published;            // its state, ends and restart, as the state file says
};
using exec_pid_t = exec_pid_;

// A program's restart that waits out its delay; carried across a
// re-execution, which then only waits for what is left.
struct pending_restart {
    bool active;
    int slot, code;    // the program, and its restart reason
    long long due_ms;  // CLOCK_MONOTONIC, the same for every process
};

struct watch_daemon_ {
    std::array<char, PATH_BUF> runfile;  // ./tmp/NAME.run
    std::array<char, PATH_BUF> statefile;  // ./tmp/NAME.state
    char **argv;                         // as started, to re-execute with
    int verbose;                         // 1: started with an argument; children get "-d"
    int boot_space;                      // BOOT_SPACE_*, decided at every cycle
    int run_fd = -1;                     // the run file, open and locked; -1 until then
    int dir_fd = -1;                     // the install directory, open and locked; -1 until then
    int sub_cnt;                         // configured programs, 1 to MAX_SUB_PROCESS
    exec_pid_t pids[MAX_SUB_PROCESS];
    unsigned int segv_cnt;               // SIGSEGV deaths since start, never reset
    bool bootchk_set_aside;              // a record we could not remove: ignore it
    bool record_untried;                 // an upgrade wrote the record in this cycle
    int cycle_reason;                    // the restart reason of the next cycle's starts
    long long cycle_started_ms;          // CLOCK_MONOTONIC; 0 until the first restart-all
    pending_restart pending;
    rlim_t nofile_soft;                  // the open-file limit the programs get, the starter's
    int state_fd = -1;                   // the state file, held open; -1 when not open
    int state_watch = -1;                // an inotify descriptor on the state file (SIGIO); -1 when none
    std::array<int, 2> state_watched{-1, -1};  // its watches: of the file there is now, and of ./tmp/
    bool state_unwritten;                // the state file's last write failed, and said so
    unsigned int ends_lost;              // ends past the bound of what waits to be recorded
    time_t started;                      // the supervisor's start (Unix seconds)
    time_t started_boot;                 // the same on the boot clock
    time_t build_since;                  // when the running build took over (Unix seconds)
    time_t build_since_boot;             // the same on the boot clock
    time_t stopped_at;                   // when the supervisor stopped, 0 while it runs
    const char *stopped_why;             // why, a static text; null while it runs
    unsigned int upgrades_installed, upgrades_failed;  // since the supervisor started
    unsigned int reloads_failed;         // reloads that could not happen
};
using watch_daemon_t = watch_daemon_;

// Start-up and configuration
int prepare_needful_dir(const char *dirname);
int daemon_init(const char *conf_file, watch_daemon_t *daemon);
// Whether the file `name` leads to is the supervisor's own binary.
bool leads_to_supervisor(const char *name);
void daemon_init_default(watch_daemon_t *daemon);

// Run file
int daemon_run_set(const char *argv0, watch_daemon_t *daemon);
void record_exit_status(int ret_code, int exit_normal, const char *base, int fd);
// Records an end in the run file at its name: one that was removed or
// renamed away is followed by a fresh one, which starts with the install
// directory as at start.
// Records that find no room (a full disk, the file-size limit) wait in order
// and go in first once the file takes them again.
void record_end(watch_daemon_t *daemon, int slot, int code, int exit_normal);
// At a stop: the records that wait go in if there is room now; a console
// line counts the ends that never reached the run file, if any.
void record_waiting_ends(watch_daemon_t *daemon);
// The records that wait, oldest first, whole lines.
std::string_view records_waiting();
// Puts records another image handed over in their place, each line whole,
// as many as the bound takes: how many it did not.
unsigned records_waiting_take(std::string_view text);

// Child launching
// The starter's soft open-file limit, which every program gets back: the
// supervisor itself, and the tools it runs, have the hard limit.
extern rlim_t children_nofile;
pid_t exec_process(const char *pname, int ret_code, int verbose, int bootdata);
// The path a program starts by, its argv[0]: as configured, or its copy in
// the data space.
struct program_path_t {
    std::array<char, sizeof DPI_DATA_DIRNAME + PATH_BUF> text;
};
program_path_t program_path(const char *base, bool data);
void daemon_run_one(watch_daemon_t *daemon, int i, int ret_code);
// Kills the child `pid` and reaps it within a second: its wait status, or -1
// when it is not reaped by then (it is reaped later, as no slot's child).
int kill_and_reap(pid_t pid);
// Every child of this process, killed and left for the loop to reap: the
// programs of an image whose state could not be taken over.
void end_children();
// Reaps the children that have ended and that no slot names (orphans a
// program left), each said as the loop says them.
void reap_strays(const watch_daemon_t *daemon);
// The programs a supervisor before this one left running, by the pids its
// state file names (see launch.cpp).
void end_previous_run(const watch_daemon_t *daemon, const state_facts &facts);

// Supervision loop
// Runs cycles until the supervisor ends (giving up, or stopped); never
// returns. `resumed`: a re-executed image goes on where the old one stood,
// without a fresh cycle. `failed_before`: an end found before the first
// cycle (the old image's programs, ended at a reload) failed the boot.
[[noreturn]] void watch_loop(watch_daemon_t *daemon, bool resumed = false, bool failed_before = false);
// The signals the supervisor waits for instead of handling them: a child's
// end, a request to re-execute, a request to stop. Blocked for its whole
// life, so that none can come between two waits and be missed.
sigset_t awaited_signals();
sigset_t signal_set(std::initializer_list<int> signals);
// Waits up to `ms` milliseconds (for ever when negative) for one of
// `signals`, and returns it, or 0 when the time is up. A request to stop
// (SIGTERM) among them is taken at once: the state says so, and the
// programs get SIGTERM as the supervisor ends.
int await_signal(std::initializer_list<int> signals, long long ms);
[[noreturn]] void stop_on_request();
// From now on a request to stop ends `daemon` as a stop does: the ends that
// came before recorded, the state saying so. Before, it just exits.
void take_stops(watch_daemon_t *daemon);
bool stop_pending();  // a request to stop waits to be taken
long long monotonic_ms();
// A momentary shortage of pids or memory must not count as a failed boot,
// which would delete the boot-check record, nor skip a cycle's killall: a
// child is started by `start` up to three times, 1 s and 2 s apart.
template <typename Start>
pid_t with_fork_retries(Start start) {
    constexpr long long pauses_ms[] = {1000, 2000};
    for (size_t attempt = 0;; ++attempt) {
        const pid_t pid = start();
        if (pid >= 0 || attempt == std::size(pauses_ms) || (errno != EAGAIN && errno != ENOMEM)) return pid;
        await_signal({SIGTERM}, pauses_ms[attempt]);
    }
}
int loop_run(watch_daemon_t *daemon, int *pcode);
int find_exit_status(pid_t death, int status, watch_daemon_t *daemon, int *ret_code, int *exit_normal);
int segv_sleep(watch_daemon_t *daemon);
int segv_delay(unsigned int count);  // the delay after the `count`th SIGSEGV death
int watch_clean(watch_daemon_t *daemon);

// Boot-check record
int bootchk_exit_clean(bool after_data_cycle);
int find_boot_space(watch_daemon_t *daemon);

// Upgrade installation
void daemon_upgrade(watch_daemon_t *daemon, int ret_code);
// Removes the temporary copies a supervisor killed during an installation
// left beside the files it replaces.
void remove_upgrade_leftovers();
// Whether a package is being installed at this moment.
bool upgrade_under_way();
int copy_file(const char *oldfile, const char *newfile);
int file_write_buf(const char *file, const char *buf, int buflen);

// State file
state_facts state_of(const watch_daemon_t *daemon);  // as published, and handed over
void state_publish(watch_daemon_t *daemon);
// What the supervisor before this one published, if it was this user's.
bool state_read_previous(const watch_daemon_t *daemon, state_facts &facts, cjson_tree &tree);
void state_cycle_started(watch_daemon_t *daemon);
void state_child_started(watch_daemon_t *daemon, int slot);
void state_child_ended(watch_daemon_t *daemon, int slot, int code, int exit_normal);
void state_restart_due(watch_daemon_t *daemon, int slot, int delay_s);
void state_upgraded(watch_daemon_t *daemon, bool installed);
void state_stopped(watch_daemon_t *daemon, const char *why);
void state_watch_path(watch_daemon_t *daemon);
void state_keep_in_place(watch_daemon_t *daemon);
void state_unwatch_path(watch_daemon_t *daemon);
