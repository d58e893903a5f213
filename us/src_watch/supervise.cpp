#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app_dpi_process.h"
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

int loop_run(watch_daemon_t *daemon, int *pcode) {
    for (;;) {
        int status = 0;
        const pid_t pid = wait_child(-1, &status);
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
        sleep(static_cast<unsigned>(delay));
        daemon_run_one(daemon, i, code);
        if (daemon->pids[i].pid < 0) return -1;
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

void watch_loop(watch_daemon_t *daemon) {
    int reason = 0;
    for (;;) {
        watch_clean(daemon);
        daemon->boot_space = find_boot_space(daemon);
        state_cycle_started(daemon);
        for (int i = 0; i < slots_in_use(daemon); ++i) {
            daemon_run_one(daemon, i, reason);
            if (daemon->pids[i].pid < 0) {
                state_stopped(daemon, "gave up: failed to fork");
                return;
            }
        }
        if (loop_run(daemon, &reason) >= 0) continue;
        if (!fall_back_after_failure(daemon)) return;
    }
}
