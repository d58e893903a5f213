#!/usr/bin/env bash
# rules_test.sh PROMTOOL RULES DIR PROGRAM: checks the alert rules, then runs
# them with promtool over the metrics of a real run: DIR/1.prom (all well),
# 2.prom (an upgrade failed), 3.prom (PROGRAM died by SIGSEGV and waits),
# 4.prom (the supervisor stopped), held for 10, 10, 15 and 20 minutes, and
# watch_status' own time stamp frozen from minute 45 on; every series ends
# at minute 55, as when the metrics file is removed. A crash loop, which a
# real run would take minutes to show, and a failed reload are synthetic
# series, and so are a supervisor started again whose count of failed
# upgrades, and a program whose SIGSEGV count, are back where the last run's
# stood at once: the run's age and the restart's wait show them.
# The annotations are left out: promtool would compare their rendered text.
set -euo pipefail
promtool=$1 rules=$2 dir=$3 program=$4
"$promtool" check rules "$rules" >/dev/null
awk '/^ *annotations:/ {skip = 1; next} skip && /^ *(- alert|groups)/ {skip = 0} !skip' "$rules" >"$dir/rules.yml"
install_dir=$(sed -n 's/^watch_daemon_config_ok{install_dir="\(.*\)"} .*/\1/p' "$dir/1.prom")

# Each series of the four files as promtool's input: its value for each
# minute, "_" where absent; watch_status' time stamp counts the minutes up
# to 45 and then stands still.
series() {
    awk 'BEGIN { split("10 10 15 20", minutes) }
         FNR == 1 { ++file }
         /^#/ { next }
         { key = $0; sub(/ [^ ]*$/, "", key); v[key, file] = $NF; if (!(key in seen)) { seen[key]; order[++n] = key } }
         END { for (j = 1; j <= n; ++j) { key = order[j]; out = ""
            for (f = 1; f <= 4; ++f) for (t = 0; t < minutes[f]; ++t) out = out " " ((key, f) in v ? v[key, f] : "_")
            if (key ~ /^watch_daemon_status_time_seconds/) out = " 0+60x44 2640x10"
            printf "      - series: \047%s\047\n        values: \047%s\047\n", key, substr(out, 2) } }' "$dir"/{1,2,3,4}.prom
}
who="install_dir: \"$install_dir\", supervisor: watch_daemon"
slot="$who, slot: \"0\", program: \"$program\""
cat >"$dir/test.yml" <<TESTS
rule_files: [rules.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
$(series)
      - series: 'watch_daemon_program_ends_total{install_dir="/synthetic",supervisor="watch_daemon",slot="0",program="loop"}'
        values: '0+1x54'
      - series: 'watch_daemon_reloads_failed_total{install_dir="/synthetic",supervisor="watch_daemon"}'
        values: '0x20 1x34'
      - series: 'watch_daemon_upgrades_failed_total{install_dir="/again",supervisor="watch_daemon"}'
        values: '1x54'
      - series: 'watch_daemon_start_time_seconds{install_dir="/again",supervisor="watch_daemon"}'
        values: '-7200x28 1740x25'
      - series: 'watch_daemon_program_segv_total{install_dir="$install_dir",supervisor="watch_daemon",slot="1",program="again"}'
        values: '1x54'
      - series: 'watch_daemon_program_restart_due_timestamp_seconds{install_dir="$install_dir",supervisor="watch_daemon",slot="1",program="again"}'
        values: '_x30 1860 _x23'
    alert_rule_test:
      - {eval_time: 9m, alertname: WatchDaemonUpgradeFailed, exp_alerts: []}
      - {eval_time: 9m, alertname: WatchDaemonProgramDown, exp_alerts: []}
      - {eval_time: 12m, alertname: WatchDaemonUpgradeFailed, exp_alerts: [{exp_labels: {severity: warning, $who}}]}
      - {eval_time: 28m, alertname: WatchDaemonUpgradeFailed, exp_alerts: [{exp_labels: {severity: warning, $who}}]}
      - {eval_time: 30m, alertname: WatchDaemonUpgradeFailed, exp_alerts: [{exp_labels: {severity: warning, $who}}, {exp_labels: {severity: warning, install_dir: /again, supervisor: watch_daemon}}]}
      - {eval_time: 12m, alertname: WatchDaemonSegvBackoff, exp_alerts: []}
      - {eval_time: 22m, alertname: WatchDaemonSegvBackoff, exp_alerts: [{exp_labels: {severity: critical, $slot}}]}
      - {eval_time: 29m, alertname: WatchDaemonSegvBackoff, exp_alerts: [{exp_labels: {severity: critical, $slot}}]}
      - {eval_time: 30m, alertname: WatchDaemonSegvBackoff, exp_alerts: [{exp_labels: {severity: critical, $slot}}, {exp_labels: {severity: critical, $who, slot: "1", program: again}}]}
      - {eval_time: 22m, alertname: WatchDaemonProgramDown, exp_alerts: []}
      - {eval_time: 27m, alertname: WatchDaemonProgramDown, exp_alerts: [{exp_labels: {severity: critical, $slot}}]}
      - {eval_time: 27m, alertname: WatchDaemonProgramCrashLooping, exp_alerts: [{exp_labels: {severity: warning, install_dir: /synthetic, supervisor: watch_daemon, slot: "0", program: loop}}]}
      - {eval_time: 36m, alertname: WatchDaemonDown, exp_alerts: []}
      - {eval_time: 38m, alertname: WatchDaemonDown, exp_alerts: [{exp_labels: {severity: critical, $who}}]}
      - {eval_time: 38m, alertname: WatchDaemonProgramDown, exp_alerts: []}
      - {eval_time: 46m, alertname: WatchDaemonMetricsStale, exp_alerts: []}
      - {eval_time: 52m, alertname: WatchDaemonMetricsStale, exp_alerts: [{exp_labels: {severity: warning, install_dir: "$install_dir"}}]}
      - {eval_time: 19m, alertname: WatchDaemonReloadFailed, exp_alerts: []}
      - {eval_time: 25m, alertname: WatchDaemonReloadFailed, exp_alerts: [{exp_labels: {severity: warning, install_dir: /synthetic, supervisor: watch_daemon}}]}
      - {eval_time: 65m, alertname: WatchDaemonMetricsAbsent, exp_alerts: []}
      - {eval_time: 75m, alertname: WatchDaemonMetricsAbsent, exp_alerts: [{exp_labels: {severity: warning}}, {exp_labels: {severity: warning, install_dir: "$install_dir"}}]}
TESTS
cd "$dir" && "$promtool" test rules test.yml
