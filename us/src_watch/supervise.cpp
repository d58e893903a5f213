#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "app_dpi_process.h"
#include "handover.h"
#include "state.h"
#include "tool.h"
#include "watch_daemon.h"

static int slots_in_use(const watch_daemon_t *daemon) {
    return daemon->sub_cnt < MAX_SUB_PROCESS ? daemon->sub_cnt : MAX_SUB_PROCESS;
}

// killall matches names only: it misses a child started as ./data//a/b, and
// does nothing when it is missing. Our own children are killed by pid first.
static void kill_unreaped_children(watch_daemon_t *daemon) {
    for (int i = 0; i < slots_in_use(daemon); ++i) {
        const exec_pid_t &slot = daemon->pids[i];
        if (slot.unreaped && slot.pid > 0) kill(slot.pid, SIGKILL);
    }
}

void watch_clean(watch_daemon_t *daemon) {
    kill_unreaped_children(daemon);
    for (int i = 0; i < slots_in_use(daemon); ++i) {
        const char *const argv[] = {"killall", "-9", "--", daemon->pids[i].base.data(), nullptr};
        run_tool(argv, {.quiet = true});
    }
}

int segv_delay(unsigned int count) {
    return count >= 4 ? PROGRAM_SEGV_TIMEOUT : static_cast<int>(count * 600 - 540);
}

int segv_sleep(watch_daemon_t *daemon) {
    return segv_delay(++daemon->segv_cnt);
}

int find_exit_status(pid_t death, int status, watch_daemon_t *daemon, int *ret_code,
                     int *exit_normal) {
    int i = 0;
    while (i < daemon->sub_cnt && daemon->pids[i].pid != death) ++i;
    if (i == daemon->sub_cnt) {
        printf("No such pid(%d) for reexec\n", death);
        return daemon->sub_cnt;
    }
    daemon->pids[i].unreaped = false;
    *exit_normal = 0;
    if (WIFEXITED(status)) {
        *ret_code = WEXITSTATUS(status);
        *exit_normal = 1;
    } else if (WIFSIGNALED(status)) {
        *ret_code = WTERMSIG(status);
    } else if (WIFSTOPPED(status)) {
        *ret_code = WSTOPSIG(status);
    }
    return i;
}

// What an ordinary end (not a request) costs before the program runs again.
static int restart_delay(watch_daemon_t *daemon, int code, int exit_normal) {
    if (exit_normal != 1 && code == SIGSEGV) {
        const int delay = segv_sleep(daemon);
        printf("Will restart segv prog after %d secs\n", delay);
        return delay;
    }
    printf("Will restart normal prog after %d secs\n", PROGRAM_REBOOT_TIMEOUT);
    return PROGRAM_REBOOT_TIMEOUT;
}

namespace {

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

sigset_t signal_set(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : signals) sigaddset(&set, sig);
    return set;
}

// Waits for a child to end; a request to re-execute that comes meanwhile is
// taken here, where nothing is under way. The ends of children stay queued
// in the kernel while this image is replaced, for the next one to reap.
pid_t wait_for_end(watch_daemon_t *daemon, int *status) {
    for (;;) {
        const pid_t pid = waitpid(-1, status, WNOHANG);
        if (pid > 0 || (pid < 0 && errno != EINTR)) return pid;
        const sigset_t awaited = awaited_signals();
        if (pid == 0 && sigwaitinfo(&awaited, nullptr) == SIGUSR2) reexec_self(daemon);
    }
}

// Waits out the pending restart's delay, then restarts that program. A
// request to re-execute interrupts the wait; the new image waits only for
// what is left. Children that end meanwhile are reaped after the delay.
bool restart_when_due(watch_daemon_t *daemon) {
    pending_restart &restart = daemon->pending;
    const sigset_t requests = signal_set({SIGUSR2});
    for (long long left; (left = restart.due_ns - monotonic_ns()) > 0;) {
        const timespec wait{left / 1000000000LL, left % 1000000000LL};
        const int sig = sigtimedwait(&requests, nullptr, &wait);
        if (sig == SIGUSR2) reexec_self(daemon);
        if (sig < 0 && errno == EAGAIN) break;
    }
    restart.active = false;
    daemon_run_one(daemon, restart.slot, restart.code);
    return daemon->pids[restart.slot].pid >= 0;
}

}  // namespace

sigset_t awaited_signals() {
    return signal_set({SIGCHLD, SIGUSR2});
}

int loop_run(watch_daemon_t *daemon, int *pcode) {
    if (daemon->pending.active && !restart_when_due(daemon)) return -1;
    for (;;) {
        int status = 0;
        const pid_t pid = wait_for_end(daemon, &status);
        if (pid < 0) {
            puts("failed to waitpid");
            return -1;
        }
        int code = 0;
        int exit_normal = 0;
        const int i = find_exit_status(pid, status, daemon, &code, &exit_normal);
        if (i >= daemon->sub_cnt || i > MAX_SUB_PROCESS - 1) continue;

        record_exit_status(code, exit_normal, daemon->pids[i].base.data(), daemon->run_fd);
        state_child_ended(daemon, i, code, exit_normal);
        if (exit_normal == 1) {
            *pcode = code;
            switch (code) {
                case APP_RETCODE_RESTORE:
                    return 0;
                case APP_RETCODE_ERROR:
                    return -1;
                case APP_RETCODE_UPDATE:
                case APP_RETCODE_UPDATE_LUA:
                case APP_RETCODE_UPDATE_SIG:
                    daemon_upgrade(daemon, code);
                    return 0;
                default:
                    break;
            }
        }
        const int delay = restart_delay(daemon, code, exit_normal);
        state_restart_due(daemon, i, delay);
        daemon->pending = {true, i, code, monotonic_ns() + delay * 1000000000LL};
        if (!restart_when_due(daemon)) return -1;
    }
}

// After a failed cycle: true to try again, from the install directory.
static bool fall_back_after_failure(watch_daemon_t *daemon) {
    if (!daemon->bootchk_set_aside) {
        switch (bootchk_exit_clean()) {
            case 1:
                puts("failed boot, then clean bootchk, and try again");
                return true;
            case -1:
                // Retrying with the record in place would spin forever.
                puts("failed boot, and bootchk cannot be removed, so ignore it and try again");
                daemon->bootchk_set_aside = true;
                return true;
            default:
                break;
        }
    }
    puts("failed for normal boot, exit");
    state_stopped(daemon, "gave up: failed for normal boot");
    return false;
}

// Kills what is left, decides the boot space and starts every program;
// false when a start could not fork, which ends the supervisor.
static bool start_cycle(watch_daemon_t *daemon) {
    watch_clean(daemon);
    daemon->boot_space = find_boot_space(daemon);
    state_cycle_started(daemon);
    for (int i = 0; i < slots_in_use(daemon); ++i) {
        daemon_run_one(daemon, i, daemon->cycle_reason);
        if (daemon->pids[i].pid < 0) {
            state_stopped(daemon, "gave up: failed to fork");
            return false;
        }
    }
    return true;
}

void watch_loop(watch_daemon_t *daemon, bool resumed) {
    for (bool fresh = !resumed;; fresh = true) {
        if (fresh && !start_cycle(daemon)) return;
        if (loop_run(daemon, &daemon->cycle_reason) >= 0) continue;
        if (!fall_back_after_failure(daemon)) return;
    }
}
