#!/usr/bin/env bash
# rules_test.sh PROMTOOL RULES DIR PROGRAM: checks the alert rules, then runs
# them with promtool over the metrics of a real run: DIR/1.prom (all well),
# 2.prom (an upgrade failed), 3.prom (PROGRAM died by SIGSEGV and waits),
# 4.prom (the supervisor stopped), each held for 10 minutes (the last for
# 20), and watch_status' own time stamp frozen from minute 45 on; every
# series ends at minute 55, as when the metrics file is removed. A crash loop,
# which a real run would take minutes to show, and a failed reload are
# synthetic series.
# The annotations are left out: promtool would compare their rendered text.
set -euo pipefail
promtool=$1 rules=$2 dir=$3 program=$4
"$promtool" check rules "$rules" >/dev/null
awk '/^ *annotations:/ {skip = 1; next} skip && /^ *(- alert|groups)/ {skip = 0} !skip' "$rules" >"$dir/rules.yml"
install_dir=$(sed -n 's/^watch_daemon_config_ok{install_dir="\(.*\)"} .*/\1/p' "$dir/1.prom")

# One line per series: "SERIES VALUE-FOR-EACH-MINUTE...", "_" where absent.
series() {
    local minutes=(10 10 15 20) i n
    for i in 1 2 3 4; do grep -v '^#' "$dir/$i.prom" | sed "s/^/$i /"; done | awk -v m="${minutes[*]}" '
        BEGIN { split(m, len, " ") }
        { key = $2; for (k = 3; k < NF; ++k) key = key " " $k; v[key, $1] = $NF; if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
        END { for (j = 1; j <= n; ++j) { key = order[j]; out = ""
                  for (s = 1; s <= 4; ++s) for (t = 0; t < len[s]; ++t) out = out " " ((key, s) in v ? v[key, s] : "_")
                  print key "\t" substr(out, 2) } }'
}
{
    echo "rule_files: [rules.yml]"
    echo "evaluation_interval: 1m"
    echo "tests:"
    echo "  - interval: 1m"
    echo "    input_series:"
    series | while IFS=$'\t' read -r name values; do
        [[ $name == watch_daemon_status_time_seconds* ]] && values="0+60x44 2640x10"
        printf "      - series: '%s'\n        values: '%s'\n" "$name" "$values"
    done
    echo "      - series: 'watch_daemon_program_ends_total{install_dir=\"/synthetic\",supervisor=\"watch_daemon\",slot=\"0\",program=\"loop\"}'"
    echo "        values: '0+1x54'"
    echo "      - series: 'watch_daemon_reloads_failed_total{install_dir=\"/synthetic\",supervisor=\"watch_daemon\"}'"
    echo "        values: '0x20 1x34'"
    who="install_dir: \"$install_dir\", supervisor: watch_daemon"
    slot="$who, slot: \"0\", program: \"$program\""
    cat <<TESTS
    alert_rule_test:
      - {eval_time: 9m, alertname: WatchDaemonUpgradeFailed, exp_alerts: []}
      - {eval_time: 9m, alertname: WatchDaemonProgramDown, exp_alerts: []}
      - {eval_time: 12m, alertname: WatchDaemonUpgradeFailed, exp_alerts: [{exp_labels: {severity: warning, $who}}]}
      - {eval_time: 12m, alertname: WatchDaemonSegvBackoff, exp_alerts: []}
      - {eval_time: 22m, alertname: WatchDaemonSegvBackoff, exp_alerts: [{exp_labels: {severity: critical, $slot}}]}
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
} >"$dir/test.yml"
cd "$dir" && "$promtool" test rules test.yml
