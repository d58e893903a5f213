#!/usr/bin/python3
"""What the watch daemon takes from the machine it guards, side by side with
runsv, s6-supervise, supervise (daemontools), supervisord and a minimal C
supervisor doing the same work. Prints a table and writes it as Markdown and
JSON. Run through bench/run.sh, which builds and installs what it needs."""

import argparse
import json
import os
import platform
import pty
import resource
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

PEERS = {"runsv": "/usr/bin/runsv", "s6-supervise": "/usr/bin/s6-supervise",
         "supervise": "/usr/bin/supervise", "supervisord": "/usr/bin/supervisord"}


# ---------------------------------------------------------------- /proc reading

def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def field(text, name):
    for line in text.splitlines():
        if line.startswith(name + ":"):
            return int(line.split()[1])
    return 0


def pss_kb(pid):
    return field(read(f"/proc/{pid}/smaps_rollup"), "Pss")


def rss_kb(pid):
    return field(read(f"/proc/{pid}/status"), "VmRSS")


def cpu_ticks(pid):
    parts = read(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()
    return int(parts[11]) + int(parts[12]) if len(parts) > 12 else 0


def ctx_switches(pid):
    status = read(f"/proc/{pid}/status")
    return field(status, "voluntary_ctxt_switches") + field(status, "nonvoluntary_ctxt_switches")


def cpu_ns(pid):
    text = read(f"/proc/{pid}/schedstat").split()
    return int(text[0]) if text else 0


# ---------------------------------------------------------------- supervisors

class Supervised:
    """One supervisor (possibly one process per program) over `programs`,
    each a (name, binary) pair, started in its own scratch directory."""

    def __init__(self, kind, programs, helpers, build, work, preload=False, env=None,
                 nofile=None, timed=None, console=None):
        self.kind, self.helpers, self.build = kind, helpers, build
        self.dir = tempfile.mkdtemp(prefix=f"{kind}.", dir=work)
        self.times = os.path.join(self.dir, "times")
        os.mkdir(self.times)
        self.env = dict(os.environ, WDB_TIMES=self.times, **(env or {}))
        if preload:
            self.env["LD_PRELOAD"] = os.path.join(build, "tests", "libwd_interpose.so")
        # console: a descriptor for the supervisor's output (default: discarded).
        self.nofile, self.timed, self.console = nofile, timed, console
        self.procs = []
        getattr(self, "_start_" + kind.replace("-", "_").replace(" ", "_"))(programs)

    def _spawn(self, argv, cwd):
        if self.timed:
            argv = [os.path.join(self.helpers, "timed_exec"), self.timed] + argv

        def limit():
            os.setsid()
            if self.nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))
        out = subprocess.DEVNULL if self.console is None else self.console
        self.procs.append(subprocess.Popen(argv, cwd=cwd, env=self.env, preexec_fn=limit,
                                           stdout=out, stderr=out))

    def _copy(self, programs, where):
        for name, binary in programs:
            shutil.copy(binary, os.path.join(where, name))

    def _start_watch_daemon(self, programs):
        self._copy(programs, self.dir)
        shutil.copy(os.path.join(self.build, "watch_daemon"), self.dir)
        with open(os.path.join(self.dir, "config"), "w") as f:
            json.dump({"__watch": {"processes": [{"base": n} for n, _ in programs]}}, f)
        self._spawn([os.path.join(self.dir, "watch_daemon")], self.dir)

    def _start_mini(self, programs, mode="restart"):
        self._copy(programs, self.dir)
        paths = [os.path.join(self.dir, n) for n, _ in programs]
        self._spawn([os.path.join(self.helpers, "mini_supervisor"), mode,
                     os.path.join(self.dir, "records")] + paths, self.dir)

    def _start_mini_cjson(self, programs):
        self._copy(programs, self.dir)
        self._spawn([os.path.join(self.helpers, "mini_supervisor_cjson"), "restart",
                     os.path.join(self.dir, "records"), os.path.join(self.dir, programs[0][0])],
                    self.dir)

    def _start_mini_cycle(self, programs):
        self._start_mini(programs, "cycle")

    def _service_dirs(self, programs):
        for name, binary in programs:
            service = os.path.join(self.dir, name)
            os.mkdir(service)
            # The run file is the program itself, so no shell sits in between.
            shutil.copy(binary, os.path.join(service, "run"))
            yield service

    def _start_runsv(self, programs):
        for service in self._service_dirs(programs):
            self._spawn([PEERS["runsv"], service], self.dir)

    def _start_s6_supervise(self, programs):
        for service in self._service_dirs(programs):
            self._spawn([PEERS["s6-supervise"], service], self.dir)

    def _start_supervise(self, programs):
        for service in self._service_dirs(programs):
            self._spawn([PEERS["supervise"], service], self.dir)

    def _start_supervisord(self, programs):
        self._copy(programs, self.dir)
        conf = os.path.join(self.dir, "supervisord.conf")
        with open(conf, "w") as f:
            f.write(f"[supervisord]\nnodaemon=true\nlogfile={self.dir}/supervisord.log\n"
                    f"pidfile={self.dir}/supervisord.pid\nchildlogdir={self.dir}\n")
            for name, _ in programs:
                f.write(f"[program:{name}]\ncommand={self.dir}/{name}\nautorestart=true\n"
                        "startsecs=0\nstartretries=1000000\nstdout_logfile=NONE\n"
                        "stderr_logfile=NONE\n")
        self._spawn([PEERS["supervisord"], "-n", "-c", conf], self.dir)

    def pids(self):
        return [p.pid for p in self.procs]

    def starts(self):
        n = 0
        for name in os.listdir(self.times):
            with open(os.path.join(self.times, name)) as f:
                n += sum(1 for line in f if line.startswith("start"))
        return n

    def gaps_ms(self):
        """From each end to the next start of the same program."""
        gaps = []
        for name in os.listdir(self.times):
            with open(os.path.join(self.times, name)) as f:
                events = [line.split() for line in f]
            for (a, ta), (b, tb) in zip(events, events[1:]):
                if a == "end" and b == "start":
                    gaps.append((int(tb) - int(ta)) / 1e6)
        return gaps

    def first_start_ns(self):
        best = None
        for name in os.listdir(self.times):
            with open(os.path.join(self.times, name)) as f:
                for line in f:
                    if line.startswith("start"):
                        t = int(line.split()[1])
                        best = t if best is None else min(best, t)
        return best

    def stop(self):
        for p in self.procs:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        # Programs that outlived their supervisor (reparented) go too.
        subprocess.run(["pkill", "-KILL", "-f", self.dir + "/"], check=False)


def sum_over(sup, metric):
    return sum(metric(pid) for pid in sup.pids())


def median(values):
    return statistics.median(values) if values else float("nan")


def wait_for(predicate, timeout=10.0):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False


# ---------------------------------------------------------------- measurements

def available(kinds):
    return [k for k in kinds if k not in PEERS or os.access(PEERS[k], os.X_OK)]


def measure_memory(ctx, kinds, n, repeats):
    """Pss and VmRSS of the supervising process(es) with n idle programs.
    The kinds take turns within each repeat, so that whatever else runs on
    the machine weighs on all of them alike, and the median is kept: every
    start maps the libraries at new addresses, which moves the 64 KiB windows
    that fault-around maps, and so how much of libc is counted."""
    pss = {k: [] for k in kinds}
    rss = {k: [] for k in kinds}
    for _ in range(repeats):
        for kind in kinds:
            progs = [(f"idle{i}", ctx.idle) for i in range(1 if kind.startswith("mini") else n)]
            s = Supervised(kind, progs, ctx.helpers, ctx.build, ctx.work)
            time.sleep(1.0)
            pss[kind].append(sum_over(s, pss_kb))
            rss[kind].append(sum_over(s, rss_kb))
            s.stop()
    return {k: {"pss_kb": median(pss[k]), "rss_kb": median(rss[k])} for k in kinds}


def measure_idle(ctx, kinds, seconds):
    out = {}
    sups = {k: Supervised(k, [(f"idle{i}", ctx.idle) for i in range(4)], ctx.helpers,
                          ctx.build, ctx.work) for k in kinds}
    time.sleep(1.0)
    before = {k: (sum_over(s, cpu_ticks), sum_over(s, ctx_switches)) for k, s in sups.items()}
    time.sleep(seconds)
    for k, s in sups.items():
        out[k] = {"cpu_ticks": sum_over(s, cpu_ticks) - before[k][0],
                  "ctx_switches": sum_over(s, ctx_switches) - before[k][1]}
        s.stop()
    return out


def measure_restarts(ctx, kinds, seconds):
    """All side by side in one window: CPU per restart and end-to-start gap."""
    sups = {}
    for k in kinds:
        preload = k in ("watch_daemon", "mini")
        sups[k] = Supervised(k, [(f"flap_{k.replace('-', '_')}", ctx.flap)], ctx.helpers,
                             ctx.build, ctx.work, preload=preload)
    time.sleep(1.0)
    before = {k: (sum_over(s, cpu_ns), s.starts()) for k, s in sups.items()}
    time.sleep(seconds)
    out = {}
    for k, s in sups.items():
        cpu = sum_over(s, cpu_ns) - before[k][0]
        restarts = s.starts() - before[k][1]
        gaps = s.gaps_ms()
        out[k] = {"restarts": restarts,
                  "cpu_us_per_restart": cpu / 1e3 / restarts if restarts else float("nan"),
                  "gap_ms_median": median(gaps)}
        s.stop()
    return out


def measure_nofile(ctx, seconds):
    limits = [1024, 4096, ctx.max_nofile]
    out = {}
    for limit in limits:
        s = Supervised("watch_daemon", [("flap_nofile", ctx.flap)], ctx.helpers, ctx.build,
                       ctx.work, preload=True, nofile=limit)
        time.sleep(0.5)
        c0, n0, t0 = sum_over(s, cpu_ns), s.starts(), time.time()
        time.sleep(seconds)
        cpu, n, wall = sum_over(s, cpu_ns) - c0, s.starts() - n0, time.time() - t0
        out[str(limit)] = {"cpu_us_per_start": cpu / 1e3 / n if n else float("nan"),
                           "wall_us_per_start": wall * 1e6 / n if n else float("nan")}
        s.stop()
    return out


def measure_cycles(ctx, seconds):
    """Restart-all cycles: a program that exits 160 at once, beside idle ones.
    With a stand-in killall that does nothing, the rest is the cost of
    starting; the difference is the cost of killing by name."""
    fake = os.path.join(ctx.work, "fakebin")
    os.makedirs(fake, exist_ok=True)
    if not os.path.exists(os.path.join(fake, "killall")):
        os.symlink("/bin/true", os.path.join(fake, "killall"))
    out = {}
    for n in (1, 4):
        row = {}
        for kind in ("watch_daemon", "mini_cycle"):
            for real in (True, False):
                env = {} if real else {"PATH": fake + ":" + os.environ["PATH"]}
                progs = [("restore_c", ctx.flap)] + [(f"idlec{i}", ctx.idle) for i in range(n - 1)]
                s = Supervised(kind, progs, ctx.helpers, ctx.build, ctx.work, preload=True, env=env)
                time.sleep(0.5)
                n0, t0 = s.starts(), time.time()
                time.sleep(seconds)
                cycles, wall = s.starts() - n0, time.time() - t0
                s.stop()
                row[f"{kind}{'' if real else '_no_killall'}_ms_per_cycle"] = (
                    wall * 1e3 / cycles if cycles else float("nan"))
        row["watch_daemon_killall_share"] = 1 - (row["watch_daemon_no_killall_ms_per_cycle"] /
                                                 row["watch_daemon_ms_per_cycle"])
        row["ratio_to_mini"] = row["watch_daemon_ms_per_cycle"] / row["mini_cycle_ms_per_cycle"]
        out[str(n)] = row
    return out


def measure_startup(ctx, kinds, repeats):
    out = {}
    for kind in kinds:
        samples = []
        for _ in range(repeats):
            stamp = os.path.join(ctx.work, "exec_time")
            s = Supervised(kind, [("stamp_idle", ctx.flap)], ctx.helpers, ctx.build, ctx.work,
                           timed=stamp)
            if wait_for(lambda: s.first_start_ns() is not None):
                with open(stamp) as f:
                    samples.append((s.first_start_ns() - int(f.read())) / 1e6)
            s.stop()
        out[kind] = {"ms_to_first_child": median(samples)}
    return out


class Console:
    """A terminal given to a supervisor as its console, read from this side.
    On a terminal the C library makes standard output line buffered, as on a
    real console, with nothing preloaded into the supervisor: each line is
    read the moment it is printed."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.pending = b""

    def line(self, timeout):
        """The next line, or None when none came within timeout seconds."""
        end = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                return None
            try:
                self.pending += os.read(self.master, 4096)
            except OSError:  # EIO: nothing holds the terminal any more
                return None
        text, self.pending = self.pending.split(b"\n", 1)
        return text.decode(errors="replace").rstrip("\r")

    def drain(self):
        while self.line(0) is not None:
            pass

    def close(self):
        for fd in (self.master, self.slave):
            os.close(fd)


def children(pid):
    return {int(p) for p in read(f"/proc/{pid}/task/{pid}/children").split()}


def waiting(pid):
    """The process sleeps (in its wait for a child's end or a request)."""
    return read(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()[:1] == ["S"]


def measure_reexec(ctx, requests):
    """watch_daemon over four idle programs, asked to re-execute itself
    (SIGUSR2) `requests` times, each once the previous one is done and the
    supervisor waits again: the time from the signal to the new image's
    "re-executed" line, printed right before it goes back to waiting, and
    how many programs were started again (each stamps its starts)."""
    console = Console()
    progs = [(f"idle_r{i}", ctx.flap) for i in range(4)]
    s = Supervised("watch_daemon", progs, ctx.helpers, ctx.build, ctx.work, console=console.slave)
    sup = s.pids()[0]
    samples, refused, said = [], [], None
    try:
        if not wait_for(lambda: s.starts() == len(progs) and len(children(sup)) == len(progs)
                        and waiting(sup)):
            raise RuntimeError("watch_daemon did not start its four programs")
        time.sleep(0.2)
        programs = children(sup)
        for _ in range(requests):
            console.drain()
            t0 = time.monotonic_ns()
            os.kill(sup, signal.SIGUSR2)
            while True:
                text = console.line(10.0)
                if text is None or "re-executed" in text:
                    break
            t1 = time.monotonic_ns()
            if text is None or not text.startswith("re-executed: build "):
                refused.append(text or "no answer within 10 s")
                if text is None:
                    break
                continue
            samples.append((t1 - t0) / 1e6)
            said = text
            # The next request only once this image waits again.
            wait_for(lambda: waiting(sup), 5.0)
            time.sleep(0.01)
        time.sleep(0.2)
        same_supervisor = s.procs[0].poll() is None
        now = children(sup) if same_supervisor else set()
        restarted = max(s.starts() - len(progs), len(programs - now))
    finally:
        s.stop()
        console.close()
    return {"requests": requests, "reexecuted": len(samples),
            "ms_median": median(samples), "ms_worst": max(samples, default=float("nan")),
            "ms_best": min(samples, default=float("nan")),
            "same_supervisor_pid": same_supervisor,
            "program_pids_unchanged": programs == now,
            "programs_restarted": restarted, "not_reexecuted": refused, "last_line": said,
            "samples_ms": [round(x, 3) for x in samples]}


# ---------------------------------------------------------------- report

def load_segments(path):
    """The loadable segments of an ELF64 file: what each maps and how many
    pages its file-backed part spans. A process keeps every page of a segment
    it touches mapped, so a segment just over a page boundary costs a page."""
    with open(path, "rb") as f:
        elf = f.read()
    phoff, = struct.unpack_from("<Q", elf, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", elf, 0x36)
    out = []
    for i in range(phnum):
        p_type, p_flags, _, vaddr, _, filesz, memsz, _ = struct.unpack_from(
            "<IIQQQQQQ", elf, phoff + i * phentsize)
        if p_type != 1:  # PT_LOAD
            continue
        perms = "".join(c if p_flags & bit else "-" for c, bit in (("r", 4), ("w", 2), ("x", 1)))
        first, end = vaddr // 4096, (vaddr + filesz + 4095) // 4096
        out.append({"perms": perms, "file_bytes": filesz, "memory_bytes": memsz,
                    "file_pages": end - first})
    return out


def fmt(x, digits=1):
    if isinstance(x, float):
        return "-" if x != x else f"{x:.{digits}f}"
    return str(x)


def report(results):
    kinds = results["kinds"]
    lines = [f"Machine: {results['machine']}", ""]
    lines += ["| | " + " | ".join(kinds) + " |", "|---" * (len(kinds) + 1) + "|"]

    def row(label, values, digits=1):
        lines.append(f"| {label} | " + " | ".join(fmt(v, digits) for v in values) + " |")

    for n in ("1", "4"):
        mem = results["memory"][n]
        row(f"Pss kB, {n} program(s)", [mem.get(k, {}).get("pss_kb", float("nan")) for k in kinds], 0)
        row(f"VmRSS kB, {n} program(s)", [mem.get(k, {}).get("rss_kb", float("nan")) for k in kinds], 0)
    idle = results["idle"]
    row(f"idle CPU ticks / {results['idle_seconds']} s", [idle.get(k, {}).get("cpu_ticks", "-") for k in kinds])
    row(f"idle context switches / {results['idle_seconds']} s", [idle.get(k, {}).get("ctx_switches", "-") for k in kinds])
    rs = results["restarts"]
    # watch_daemon and mini restart with the test sleep interposer: no delay.
    instant = "watch_daemon, mini: instant delays"
    row(f"restarts in the window ({instant})", [rs.get(k, {}).get("restarts", "-") for k in kinds])
    row(f"supervisor CPU µs per restart ({instant})", [rs.get(k, {}).get("cpu_us_per_restart", float("nan")) for k in kinds])
    row(f"end-to-start gap ms, median ({instant})", [rs.get(k, {}).get("gap_ms_median", float("nan")) for k in kinds], 2)
    st = results["startup"]
    row("exec to first child ms (watch_daemon: killall scans /proc first)", [st.get(k, {}).get("ms_to_first_child", float("nan")) for k in kinds], 2)
    # Only watch_daemon can replace its own binary under running programs.
    rx = results["reexec"]
    only_wd = lambda value: [value if k == "watch_daemon" else "-" for k in kinds]  # noqa: E731
    row(f"re-exec: SIGUSR2 to waiting again ms (median / worst of {rx['requests']})",
        only_wd(f"{fmt(rx['ms_median'], 2)} / {fmt(rx['ms_worst'], 2)}"))
    row(f"programs restarted by {rx['requests']} re-execs", only_wd(rx["programs_restarted"]))
    if rx["reexecuted"] != rx["requests"] or not rx["program_pids_unchanged"]:
        lines.append("")
        lines.append(f"Re-exec: {rx['reexecuted']} of {rx['requests']} requests re-executed; program pids "
                     f"{'unchanged' if rx['program_pids_unchanged'] else 'changed'}; not re-executed: "
                     + "; ".join(rx["not_reexecuted"][:3]))
    lines.append("")
    lines.append("Child start cost by open-file limit (watch_daemon, instant delays):")
    lines.append("")
    lines.append("| limit | CPU µs per start | wall µs per start |")
    lines.append("|---|---|---|")
    for limit, v in results["nofile"].items():
        lines.append(f"| {limit} | {fmt(v['cpu_us_per_start'])} | {fmt(v['wall_us_per_start'])} |")
    lines.append("")
    lines.append("Restart-all cycle (a program exits 160 at once):")
    lines.append("")
    lines.append("| programs | watch_daemon ms/cycle | without killall | killall share | minimal C ms/cycle | without killall | ratio |")
    lines.append("|---|---|---|---|---|---|---|")
    for n, v in results["cycles"].items():
        lines.append(f"| {n} | {fmt(v['watch_daemon_ms_per_cycle'], 2)} | "
                     f"{fmt(v['watch_daemon_no_killall_ms_per_cycle'], 2)} | "
                     f"{fmt(100 * v['watch_daemon_killall_share'], 0)} % | "
                     f"{fmt(v['mini_cycle_ms_per_cycle'], 2)} | "
                     f"{fmt(v['mini_cycle_no_killall_ms_per_cycle'], 2)} | {fmt(v['ratio_to_mini'], 2)} |")
    lines.append("")
    lines.append("watch_daemon's loadable segments (file-backed pages; the writable one also")
    lines.append("holds the zero-filled state after its file part):")
    lines.append("")
    lines.append("| segment | file bytes | pages | memory bytes |")
    lines.append("|---|---|---|---|")
    for seg in results["segments"]:
        lines.append(f"| {seg['perms']} | {seg['file_bytes']} | {seg['file_pages']} | {seg['memory_bytes']} |")
    lines.append("")
    lines.append("Ratios measured in the same run:")
    lines.append("")
    for label, value in results["ratios"].items():
        note = " (instant delays for watch_daemon and mini)" if "per restart" in label or "start CPU" in label else ""
        lines.append(f"- {label}{note}: {fmt(value, 2)}")
    return "\n".join(lines) + "\n"


class Context:
    pass


def find_max_nofile():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    for want in (1 << 20, 1 << 19, 1 << 17):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, want))
            return want
        except (ValueError, OSError):
            continue
    return hard


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--helpers", required=True)
    ap.add_argument("--out", required=True, help="directory for results.md and results.json")
    ap.add_argument("--quick", action="store_true", help="short windows, to prove it works")
    args = ap.parse_args()

    ctx = Context()
    ctx.build, ctx.helpers = os.path.abspath(args.build), os.path.abspath(args.helpers)
    ctx.work = tempfile.mkdtemp(prefix="wdbench.", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    ctx.idle = os.path.join(ctx.helpers, "idle_child")
    ctx.flap = os.path.join(ctx.helpers, "flap_child")
    ctx.max_nofile = find_max_nofile()

    quick = args.quick
    kinds = available(["watch_daemon", "mini", "runsv", "s6-supervise", "supervise", "supervisord"])
    memory_repeats, repeats = (1, 1) if quick else (9, 5)
    results = {"machine": f"{platform.node()}, {os.cpu_count()} cores, {platform.release()}",
               "kinds": kinds + ["mini_cjson"], "quick": quick}
    results["segments"] = load_segments(os.path.join(ctx.build, "watch_daemon"))
    results["memory"] = {str(n): measure_memory(ctx, kinds + ["mini_cjson"], n, memory_repeats) for n in (1, 4)}
    results["idle_seconds"] = 2 if quick else 10
    results["idle"] = measure_idle(ctx, kinds, results["idle_seconds"])
    results["restarts"] = measure_restarts(ctx, kinds, 4 if quick else 40)
    results["nofile"] = measure_nofile(ctx, 1 if quick else 5)
    results["cycles"] = measure_cycles(ctx, 1 if quick else 5)
    results["startup"] = measure_startup(ctx, kinds, 1 if quick else 5)
    results["reexec"] = measure_reexec(ctx, 20 if quick else 100)

    wd, mini = results["restarts"]["watch_daemon"], results["restarts"]["mini"]
    nof = results["nofile"]
    results["ratios"] = {
        "Pss watch_daemon / minimal C with libcjson (1 program)":
            results["memory"]["1"]["watch_daemon"]["pss_kb"] / results["memory"]["1"]["mini_cjson"]["pss_kb"],
        **{f"Pss watch_daemon / {peer} (1 program)":
           results["memory"]["1"]["watch_daemon"]["pss_kb"] / results["memory"]["1"][peer]["pss_kb"]
           for peer in ("runsv", "supervise") if peer in results["memory"]["1"]},
        "CPU per restart watch_daemon / minimal C":
            wd["cpu_us_per_restart"] / mini["cpu_us_per_restart"],
        f"child start CPU at nofile {ctx.max_nofile} / at 1024":
            nof[str(ctx.max_nofile)]["cpu_us_per_start"] / nof["1024"]["cpu_us_per_start"],
        "restart-all cycle watch_daemon / minimal C (4 programs)": results["cycles"]["4"]["ratio_to_mini"],
    }
    for peer in ("runsv", "s6-supervise", "supervise", "supervisord"):
        if peer in results["restarts"]:
            results["ratios"][f"CPU per restart watch_daemon / {peer}"] = (
                wd["cpu_us_per_restart"] / results["restarts"][peer]["cpu_us_per_restart"])

    text = report(results)
    print(text)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=2)
    shutil.rmtree(ctx.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
