#include <dirent.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "app_dpi_process.h"
#include "build_info.h"
#include "console.h"
#include "process.h"
#include "reexec.h"
#include "tool.h"
#include "watch_daemon.h"

namespace {

watch_daemon_t *supervised;  // for a request to stop, taken wherever the supervisor waits

// What an ordinary end (not a request) costs before the program runs again.
int restart_delay(watch_daemon_t *daemon, int code, int exit_normal) {
    if (exit_normal != 1 && code == SIGSEGV) {
        const int delay = segv_sleep(daemon);
        printf("Will restart segv prog after %d secs\n", delay);
        return delay;
    }
    printf("Will restart normal prog after %d secs\n", PROGRAM_REBOOT_TIMEOUT);
    return PROGRAM_REBOOT_TIMEOUT;
}

// Waits for a child to end; a request to re-execute that comes meanwhile is
// taken here, where nothing is under way. The ends of children stay queued
// in the kernel while this image is replaced, for the next one to reap.
pid_t wait_for_end(watch_daemon_t *daemon, int *status) {
    for (;;) {
        const pid_t pid = waitpid(-1, status, WNOHANG);
        if (pid > 0 || (pid < 0 && errno != EINTR)) return pid;
        if (pid == 0 && await_signal({SIGCHLD, SIGUSR2, SIGTERM}, -1) == SIGUSR2) reexec_self(daemon);
    }
}

// What an ended program left in a process group it leads (it called setsid()
// or setpgid(0, 0): workers under another name, a script's subshells) would
// run on beside its next start: it is killed as the program is reaped. A
// program in the supervisor's group leads none, and the kill finds nothing.
// The group's id is still the program's: pids are handed out in turn, and
// this one was freed only now.
void kill_leftovers(pid_t program) {
    kill(-program, SIGKILL);
}

// Whether the slot's child has ended already, reaping it then (`status`).
bool reaped_if_ended(const exec_pid_t &slot, int *status) {
    if (!slot.unreaped || slot.pid <= 0 || waitpid(slot.pid, status, WNOHANG) != slot.pid) return false;
    kill_leftovers(slot.pid);
    return true;
}

bool asks_for_upgrade(int code, int exit_normal) {
    return exit_normal == 1 && code >= APP_RETCODE_UPDATE && code <= APP_RETCODE_UPDATE_SIG;
}

void say_upgrade_not_installed(watch_daemon_t *daemon) {
    printf("upgrade not installed: the supervisor stopped meanwhile; the package stays at %s/%s\n",
           DPI_TMP_DIRNAME, UPGRADE_FILE);
    state_upgraded(daemon, false);
}

// Ends that came before the supervisor stops (one in another program's
// restart delay waits unreaped) are the programs' own: recorded and counted.
// No restart or cycle follows, but an upgrade asked for is installed (the
// package would otherwise wait in ./tmp/, unannounced, for some later
// request), unless the stop came while one installed: that one's tar may
// still be writing, and the package stays for whoever asks next.
void record_ends_before_stop(watch_daemon_t *daemon, bool may_install) {
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        int status = 0, code = 0, exit_normal = 0;
        if (!reaped_if_ended(daemon->pids[i], &status)) continue;
        find_exit_status(daemon->pids[i].pid, status, daemon, &code, &exit_normal);
        record_end(daemon, i, code, exit_normal);
        state_child_ended(daemon, i, code, exit_normal);
        if (!asks_for_upgrade(code, exit_normal)) continue;
        if (!may_install) {
            say_upgrade_not_installed(daemon);
            continue;
        }
        state_publish(daemon);  // the end shows while its package installs
        daemon_upgrade(daemon, code);
    }
}

// Ends the supervisor, the state saying why, once the ends that came before
// are recorded. A fork that failed three times ends it too, at a cycle's
// start and at a restart alike: a shortage of pids or memory is no failed
// boot, and the boot-check record stays for its next start.
[[noreturn]] void stop_supervising(watch_daemon_t *daemon, const char *why) {
    const bool abandoned = upgrade_under_way();  // a stop taken while tar ran or a file was copied
    if (abandoned) say_upgrade_not_installed(daemon);
    record_ends_before_stop(daemon, !abandoned);
    record_waiting_ends(daemon);
    state_stopped(daemon, why);
    // The parent-death signal ends the programs as we exit, but the kernel
    // takes it from one that changed its user (a setuid program): told too,
    // and continued, so that a stopped one takes it rather than linger. So is
    // what one left in a process group of its own (no parent-death signal
    // reaches its workers); its pid, unreaped, still names that group.
    for (int i = 0; i < daemon->sub_cnt; ++i)
        if (daemon->pids[i].unreaped && daemon->pids[i].pid > 0)
            for (const pid_t whom : {daemon->pids[i].pid, -daemon->pids[i].pid})
                kill(whom, SIGTERM), kill(whom, SIGCONT);
    exit(0);
}

// Waits out the pending restart's delay, then restarts that program. A
// request to re-execute interrupts the wait; the new image waits only for
// what is left. Programs that end meanwhile are reaped after the delay;
// other children (orphans a program left, where the supervisor is a pid
// namespace's init) at once: over a back-off of up to two hours their
// zombies would fill the pid limit, and the restart could not fork.
// A restart that cannot fork ends the supervisor (see stop_supervising).
void restart_when_due(watch_daemon_t *daemon) {
    pending_restart &restart = daemon->pending;
    for (long long left; (left = restart.due_ms - monotonic_ms()) > 0;) {
        const int sig = await_signal({SIGUSR2, SIGTERM, SIGCHLD}, left);
        if (sig == SIGCHLD) {
            reap_strays(daemon);
            continue;
        }
        if (sig != SIGUSR2) break;
        reexec_self(daemon);
    }
    restart.active = false;
    daemon_run_one(daemon, restart.slot, restart.code);
    if (daemon->pids[restart.slot].pid < 0) stop_supervising(daemon, "gave up: failed to fork");
}

// Records an end and takes what its exit code asks for: -1 the cycle fails,
// 0 it ends (an upgrade installed first), 1 the program alone restarts.
int take_end(watch_daemon_t *daemon, int slot, int code, int exit_normal, int *pcode) {
    record_end(daemon, slot, code, exit_normal);
    state_child_ended(daemon, slot, code, exit_normal);
    if (exit_normal != 1) return 1;
    *pcode = code;
    const bool upgrade = asks_for_upgrade(code, exit_normal);
    if (!upgrade && code != APP_RETCODE_RESTORE && code != APP_RETCODE_ERROR) return 1;
    state_publish(daemon);  // the end shows while the cycle installs, waits and kills
    if (upgrade) daemon_upgrade(daemon, code);
    return code == APP_RETCODE_ERROR ? -1 : 0;
}

// An end found when a cycle ends, before its kills: recorded and counted as
// any end; a request is taken as far as the cycle still can. The next
// cycle's starts keep the restart reason of the request that ended this one,
// unless this end fails the cycle; with none yet (the programs of a replaced
// build, ended at a reload), this request is the reason.
int take_late_end(watch_daemon_t *daemon, int slot, int status) {
    int code = 0, exit_normal = 0, reason = daemon->cycle_reason;
    find_exit_status(daemon->pids[slot].pid, status, daemon, &code, &exit_normal);
    const int verdict = take_end(daemon, slot, code, exit_normal, &reason);
    if (verdict > 0 && exit_normal != 1 && code == SIGSEGV) segv_sleep(daemon);
    if (verdict < 0 || (verdict == 0 && daemon->cycle_reason == 0)) daemon->cycle_reason = reason;
    return verdict;
}

// Every end that already happened when the cycle ends is handled before the
// cycle kills anything: only the cycle's own kills go unrecorded.
int take_ended(watch_daemon_t *daemon, int result) {
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        int status = 0;
        if (reaped_if_ended(daemon->pids[i], &status) && take_late_end(daemon, i, status) < 0) result = -1;
    }
    return result;
}

// Restart-all cycles come at most once a second, whatever a program asks: a
// program that exits 160 at once would otherwise have them follow each other
// without pause. The first restart-all is at once.
void wait_out_cycle_bound(const watch_daemon_t *daemon) {
    if (daemon->cycle_started_ms != 0) await_signal({SIGTERM}, std::max(0LL, daemon->cycle_started_ms + 1000 - monotonic_ms()));
}

// After a failed cycle the programs start again, from the install directory,
// or from the record an upgrade wrote in the failed cycle, which no failure
// of that cycle can be about; with no record to give up, the supervisor ends.
void fall_back_after_failure(watch_daemon_t *daemon) {
    if (daemon->record_untried) {  // the failure was the boot's before it
        puts("failed boot, but an upgrade was installed meanwhile, so keep bootchk and try it");
        return;
    }
    if (!daemon->bootchk_set_aside) {
        switch (bootchk_exit_clean(daemon->boot_space == BOOT_SPACE_DATA)) {
            case 1:
                puts("failed boot, then clean bootchk, and try again");
                return;
            case 2:
                puts("failed boot, but bootchk names an upgrade this boot did not try, so keep it and try it");
                return;
            case -1:
                // Retrying with the record in place would spin forever.
                puts("failed boot, and bootchk cannot be removed, so ignore it and try again");
                daemon->bootchk_set_aside = true;
                return;
            default:
                break;
        }
    }
    puts("failed for normal boot, exit");
    stop_supervising(daemon, "gave up: failed for normal boot");
}

// Kills what is left, decides the boot space and starts every program. An
// end the kills overtook (one in the wait for the cycle's second, say)
// belongs to the cycle before this one: a failed boot there fails that cycle,
// as at its end, unless it had failed already (`failed`) and fallen back.
void start_cycle(watch_daemon_t *daemon, bool first, bool failed) {
    if (watch_clean(daemon) < 0 && !failed) fall_back_after_failure(daemon);
    daemon->boot_space = find_boot_space(daemon);
    daemon->cycle_started_ms = first ? 0 : monotonic_ms();
    daemon->record_untried = false;
    state_cycle_started(daemon);
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        daemon_run_one(daemon, i, daemon->cycle_reason);
        if (daemon->pids[i].pid < 0) stop_supervising(daemon, "gave up: failed to fork");
    }
}

}  // namespace

sigset_t signal_set(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : signals) sigaddset(&set, sig);
    return set;
}

sigset_t awaited_signals() {
    return signal_set({SIGCHLD, SIGUSR2, SIGHUP, SIGTERM, SIGIO});
}

// Every wait also takes what happened to the state file (SIGIO: its loss of
// its name, another's write, the time to try again a write that failed), and
// goes on waiting. SIGHUP, the reload request most daemons take, is taken
// as SIGUSR2 (unless it was ignored from the start, as nohup leaves it).
int await_signal(std::initializer_list<int> signals, long long ms) {
    sigset_t set = signal_set(signals);
    sigaddset(&set, SIGIO);
    struct sigaction hup {};
    // Blocked, an ignored signal is still queued: it must not be taken.
    if (sigismember(&set, SIGUSR2) == 1 && sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN)
        sigaddset(&set, SIGHUP);
    const long long until = monotonic_ms() + ms;
    int sig = 0;
    // A stop and continue (SIGSTOP, a debugger attaching) ends the wait early
    // with EINTR: the rest of the time is waited out, or a back-off would not
    // hold.
    for (long long left = ms; ms < 0 || left > 0; left = until - monotonic_ms()) {
        const timespec wait{left / 1000, left % 1000 * 1000000};
        sig = ms < 0 ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &wait);
        if (sig == SIGIO && supervised != nullptr) state_keep_in_place(supervised);
        if (sig != SIGIO && (sig >= 0 || errno != EINTR)) break;
    }
    if (sig == SIGTERM) stop_on_request();
    if (sig == SIGHUP) sig = SIGUSR2;
    return sig > 0 && sig != SIGIO ? sig : 0;
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool stop_pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGTERM) == 1;
}

void take_stops(watch_daemon_t *daemon) {
    supervised = daemon;
}

void stop_on_request() {
    if (supervised != nullptr) stop_supervising(supervised, "on request (SIGTERM)");
    exit(0);
}

namespace {

// Whether any step of the path `name` is a symbolic link, but ./data, which
// an operator may link elsewhere (to a tmpfs, say).
bool passes_a_link(const char *name) {
    char prefix[PATH_MAX];
    const size_t data_len = strlen(DPI_DATA_DIRNAME) - 1;  // without its slash
    for (const char *slash = name; slash != nullptr; slash = strchr(slash + 1, '/')) {
        const char *end = strchr(slash + 1, '/');
        const size_t len = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
        struct stat st {};
        if (len == 0 || len >= sizeof prefix) continue;
        memcpy(prefix, name, len);
        prefix[len] = '\0';
        if (len == data_len && strncmp(prefix, DPI_DATA_DIRNAME, len) == 0) continue;
        if (lstat(prefix, &st) == 0 && S_ISLNK(st.st_mode)) return true;
    }
    return false;
}

// Whether the mount `id` shows a file system of its own: from its root (a
// volume, a tmpfs), and mounted nowhere else, so that its files run only
// from beneath the install directory. A bind mount, of a part of a file
// system or of the root of one mounted elsewhere, brings in files that run
// outside too (/proc/self/mountinfo: ID PARENT MAJOR:MINOR ROOT ...).
bool mounts_its_own(unsigned long long id) {
    unique_fd fd = open_plain("/proc/self/mountinfo");
    FILE *mounts = fd.valid() ? fdopen(fd.get(), "r") : nullptr;
    if (mounts == nullptr) return false;
    fd.release();  // the stream's now
    char *line = nullptr;
    size_t size = 0;
    struct mount_line {
        unsigned long long id = 0;
        unsigned major = 0, minor = 0;
        int root = 0;
    };
    auto parse = [&](mount_line &m) {
        return sscanf(line, "%llu %*u %u:%u %n", &m.id, &m.major, &m.minor, &m.root) == 3 && m.root > 0;
    };
    // Its device first, then how often that device is mounted.
    mount_line ours{}, other{};
    bool found = false, from_root = false;
    while (!found && getline(&line, &size, mounts) > 0)
        if (parse(ours) && ours.id == id) found = true, from_root = strncmp(line + ours.root, "/ ", 2) == 0;
    int mounted = 0;
    rewind(mounts);
    while (found && from_root && getline(&line, &size, mounts) > 0)
        mounted += parse(other) && other.major == ours.major && other.minor == ours.minor;
    free(line);
    fclose(mounts);
    return found && from_root && mounted == 1;
}

// Whether `path` is a file of the install directory's own: on its mount, or
// on a file system of its own mounted beneath it (./data/ a volume or a
// tmpfs). A file or directory bind-mounted in from elsewhere runs outside too.
// Where the kernel cannot tell mounts apart, it is taken as one.
bool on_install_mount(const char *path) {
    struct statx file {}, dir {};
    if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &file) != 0 || statx(AT_FDCWD, ".", 0, STATX_MNT_ID, &dir) != 0)
        return false;
    if ((file.stx_mask & dir.stx_mask & STATX_MNT_ID) == 0) return true;
    return file.stx_mnt_id == dir.stx_mnt_id || mounts_its_own(file.stx_mnt_id);
}

// killall matches a name with a slash by the file it leads to, host-wide. A
// link put there since (a bundle may bring one) could lead to the supervisor
// itself, or out of the install directory to any program (a shell, another
// install's supervisor): such a name is not given to killall. A path
// configured outright, through no link, is what it names, wherever it is.
// One that cannot be resolved is not given either: a missing file matches
// nothing, and one past PATH_MAX could not be checked. Nor is a file with
// other hard links: killall matches its inode, and another install made
// with `cp -al` runs the same one. Nor, for the same reason, is a file
// bind-mounted in from elsewhere (a shell, a tool).
bool kills_only_programs(const char *name) {
    char real[PATH_MAX], here[PATH_MAX];
    struct stat st {};
    if (strchr(name, '/') == nullptr) return true;  // by process name
    if (realpath(name, real) == nullptr || stat(real, &st) != 0 || st.st_nlink > 1) return false;
    if (leads_to_supervisor(name) || getcwd(here, sizeof here) == nullptr) return false;
    const size_t len = strlen(here);
    if (strncmp(real, here, len) == 0 && real[len] == '/') return on_install_mount(real);
    return !passes_a_link(name);
}

void say_leftover_may_run(const char *name) {
    printf("a leftover of %s may run beside its new start\n", shown_name(name).text);
}

// killall ends what is left of a program by its name. A missing killall
// kills nothing, quietly; one that could not be started (no pids,
// descriptors), or could not end a leftover (another user's process), leaves
// it running beside the new start: say so.
void kill_by_name(const char *name) {
    const unique_fd said(memfd_create("killall-output", MFD_CLOEXEC));
    const char *const argv[] = {"killall", "-9", "--", name, nullptr};
    // Without a memory file (no descriptor to spare) its lines go nowhere.
    const int status = run_tool(argv, said.valid() ? tool_options{.output = said.get()} : tool_options{.quiet = true});
    const int err = errno;
    char nothing_found[PATH_MAX + sizeof ": no process found"];
    snprintf(nothing_found, sizeof nothing_found, "%s: no process found", name);
    if (status < 0 && err != ENOENT)
        printf("failed to run killall for %s: %s\n", shown_name(name).text, strerror(err));
    else if (status >= 0 && said.valid() && relay_output(said.get(), nothing_found) > 0)
        say_leftover_may_run(name);
}

// The root directory as a mount sees it: a chroot made of a bind mount of /
// has the same inode as / itself, but a mount of its own.
bool root_of(const char *path, struct statx &root) {
    return statx(AT_FDCWD, path, 0, STATX_INO | STATX_MNT_ID, &root) == 0 && (root.stx_mask & STATX_MNT_ID) != 0;
}

// killall matches a name with a slash by its file's inode, and misses a
// leftover whose file was renamed over since (a bundle moved in, a package
// manager's upgrade): that one runs a deleted file of the same path. Only
// under our own root and in our own mount namespace: from a chroot or a
// container the same path may be another install's.
bool runs_our_deleted(const char *pid, std::string_view deleted, const struct statx &root, const struct stat &mnt) {
    char link[sizeof dirent::d_name + 16], exe[PATH_MAX + sizeof " (deleted)"];
    struct stat file {};
    struct statx their_root {};
    snprintf(link, sizeof link, "/proc/%s/exe", pid);
    const ssize_t n = readlink(link, exe, sizeof exe);
    if (n <= 0 || std::string_view(exe, static_cast<size_t>(n)) != deleted || stat(link, &file) != 0 || file.st_nlink != 0)
        return false;
    snprintf(link, sizeof link, "/proc/%s/root", pid);
    if (!root_of(link, their_root) || their_root.stx_mnt_id != root.stx_mnt_id || their_root.stx_ino != root.stx_ino)
        return false;
    snprintf(link, sizeof link, "/proc/%s/ns/mnt", pid);
    return stat(link, &file) == 0 && file.st_ino == mnt.st_ino;
}

// One that may not be ended (another user's) is said. Nothing when /proc's
// pids are not ours to kill by.
void kill_running_replaced(const char *name) {
    char real[PATH_MAX];
    struct statx root {};
    struct stat mnt {};
    if (!proc_numbers_ours() || realpath(name, real) == nullptr || !root_of("/", root) || stat("/proc/self/ns/mnt", &mnt) != 0)
        return;
    const dir_ptr proc(open_listing("/proc"));
    if (proc == nullptr) return;
    char deleted[sizeof real + sizeof " (deleted)"];
    snprintf(deleted, sizeof deleted, "%s (deleted)", real);
    bool refused = false;
    for (const dirent *e; (e = readdir(proc.get())) != nullptr;) {
        const pid_t pid = atoi(e->d_name);
        if (pid > 0 && pid != getpid() && runs_our_deleted(e->d_name, deleted, root, mnt) && kill(pid, SIGKILL) != 0 &&
            errno == EPERM)
            refused = true;
    }
    if (refused) say_leftover_may_run(name);
}

}  // namespace

// Our own children are killed by pid, and reaped at once: one that ended on
// its own just before is taken as any end, and -1 says it failed the cycle.
// killall then ends what is left of the names (and does nothing when it is
// missing). A name with a slash it matches by the file it names, so the data
// space's copy is named too.
int watch_clean(watch_daemon_t *daemon) {
    int result = 0;
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        exec_pid_t &slot = daemon->pids[i];
        if (!slot.unreaped || slot.pid <= 0) continue;
        int status = 0;
        const bool ended_before = reaped_if_ended(slot, &status);
        if (!ended_before) {
            slot.unreaped = false;  // our kill: a stop while it is reaped must not record it
            status = kill_and_reap(slot.pid);
        }
        if (status == -1) continue;  // still unreaped: the loop reaps it later, as no slot's child
        // A SIGKILL that came before ours (the OOM killer, an operator) is an end like any.
        if (!ended_before && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            printf("No such pid(%d) for reexec\n", slot.pid);
        } else if (take_late_end(daemon, i, status) < 0) {
            result = -1;
        }
    }
    for (int i = 0; i < daemon->sub_cnt; ++i) {
        const char *base = daemon->pids[i].base.data();
        const program_path_t in_data = program_path(base, true);
        for (const char *name : {base, strchr(base, '/') != nullptr ? in_data.text.data() : nullptr})
            if (name != nullptr && kills_only_programs(name)) {
                kill_by_name(name);
                if (strchr(name, '/') != nullptr) kill_running_replaced(name);
            }
    }
    return result;
}

int segv_delay(unsigned int count) {
    return count >= 4 ? PROGRAM_SEGV_TIMEOUT : static_cast<int>(count * 600 - 540);
}

int segv_sleep(watch_daemon_t *daemon) {
    return segv_delay(++daemon->segv_cnt);
}

int find_exit_status(pid_t death, int status, watch_daemon_t *daemon, int *ret_code, int *exit_normal) {
    int i = 0;
    while (i < daemon->sub_cnt && daemon->pids[i].pid != death) ++i;
    if (i == daemon->sub_cnt) {
        printf("No such pid(%d) for reexec\n", death);
        return daemon->sub_cnt;
    }
    daemon->pids[i].unreaped = false;
    *exit_normal = WIFEXITED(status) ? 1 : 0;
    *ret_code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    return i;
}

int loop_run(watch_daemon_t *daemon, int *pcode) {
    if (daemon->pending.active) restart_when_due(daemon);
    for (;;) {
        int status = 0;
        const pid_t pid = wait_for_end(daemon, &status);
        if (pid < 0) {
            puts("failed to waitpid");
            return -1;
        }
        int code = 0, exit_normal = 0;
        const int i = find_exit_status(pid, status, daemon, &code, &exit_normal);
        if (i >= daemon->sub_cnt) continue;
        kill_leftovers(pid);

        const int verdict = take_end(daemon, i, code, exit_normal, pcode);
        if (verdict <= 0) return verdict;
        const int delay = restart_delay(daemon, code, exit_normal);
        state_restart_due(daemon, i, delay);
        daemon->pending = {true, i, code, monotonic_ms() + delay * 1000LL};
        restart_when_due(daemon);
    }
}

void watch_loop(watch_daemon_t *daemon, bool resumed, bool failed_before) {
    take_stops(daemon);
    if (failed_before) fall_back_after_failure(daemon);
    for (bool first = !resumed, fresh = !resumed, failed = failed_before;; first = false, fresh = true) {
        if (fresh) start_cycle(daemon, first, failed);
        failed = take_ended(daemon, loop_run(daemon, &daemon->cycle_reason)) < 0;
        if (failed) fall_back_after_failure(daemon);
        wait_out_cycle_bound(daemon);
    }
}
