#!/usr/bin/python3
# docs_test.py BUILD SOURCE: fails where the documents and the code part, naming
# what only the documents say and what only the code has, for each of:
#  metrics   watch_daemon_* names in the README, man pages and alert rules; those
#            watch_status --prometheus prints for a supervisor in a temporary
#            install directory (a program running after exit 160, one waiting
#            after a signal, a boot-check record), running and after SIGTERM.
#  text view row labels (before the gap, "last ends", column headers) of the
#            README's sample (the fenced block from "install dir"); the real ones.
#  layout    HACKING.md's map, the fenced block opened by ```paths: the first word
#            of each line not starting with a blank is a file, a pattern ("*") or
#            a folder ("/" at its end: all below it), which must match a file git
#            tracks; each tracked file under us/ and tests/ must match one.
#            Skipped, saying so, while there is no such block.
#  console   `quoted` lines (placeholders in capitals) in the first column of the
#            README's "Troubleshooting: the console"; the formats of printf, puts
#            and line-ending snprintf in CODE, but run-file records ("%s: ..."),
#            each %-conversion matching any text.
#  alerts    entries in watch_status(8), ALERTS; alert rules naming theirs as runbook_url.
import fnmatch, glob, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time

build, src = map(os.path.abspath, sys.argv[1:3])
CODE = ['us/src_watch/*.cpp', 'us/src_watch/*.h', 'us/include/*.h']
read = lambda path: open(os.path.join(src, path), errors='replace').read()
readme, hacking, rules = read('README.md'), read('HACKING.md'), read('packaging/watch_daemon.rules.yml')
pages = read('packaging/watch_daemon.8.in') + read('packaging/watch_status.8.in')

# The programs' names are unique: the supervisor kills programs by name host-wide.
inst, a, b = tempfile.mkdtemp(prefix='wddocs.'), f'wdd{os.getpid()}a', f'wdd{os.getpid()}b'
put = lambda name, text: pathlib.Path(inst, name).write_text(text)
os.makedirs(f'{inst}/data')
put(a, '#!/bin/sh\n[ -e a.once ] && exec sleep 60\n: > a.once\nexit 160\n')
put(b, '#!/bin/sh\nsleep 0.5\nkill -9 $$\n')
put('config', '{"__watch":{"processes":[{"base":"%s"},{"base":"%s"}]}}' % (a, b))
put('data/.bootchk', '{"version":"3.9.47.2"}')
for name in (a, b): os.chmod(f'{inst}/{name}', 0o755)
for tool in ('watch_daemon', 'watch_status'): shutil.copy(f'{build}/{tool}', inst)
status = lambda *args: subprocess.run([f'{inst}/watch_status', *args], capture_output=True, text=True).stdout
supervisor = subprocess.Popen([f'{inst}/watch_daemon'], stdout=subprocess.DEVNULL, start_new_session=True)
try:
    deadline, want = time.time() + 20, ('_program_start_time', '_last_exit_code', '_last_signal', '_restart_due')
    while not all(w in (prom := status('--prometheus')) for w in want) and time.time() < deadline: time.sleep(0.2)
    view = status()
    supervisor.send_signal(signal.SIGTERM), supervisor.wait(10)
    prom += status('--prometheus')
finally:
    supervisor.kill(), supervisor.wait(), shutil.rmtree(inst)

def labels(text):
    return {w for l in text.splitlines() for w in ([l[:13].strip()] if l[:1] != ' ' else ['last ends'] if 'last ends' in l
                                                   else l.split() if l.startswith('  PROGRAM') else [])}

def fmt_regex(fmt):
    parts = re.split(r'(%%|%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXscf])', fmt)
    return ''.join('%' if p == '%%' else '.*' if p.startswith('%') else re.escape(p) for p in parts)

def console_formats():
    for path in sorted(p for c in CODE for p in glob.glob(os.path.join(src, c))):
        for kind, lits in re.findall(r'\b(printf|puts|snprintf)\(\s*(?:[^;"]*?,\s*){0,2}((?:"(?:[^"\\]|\\.)*"\s*)+)', open(path).read()):
            fmt = ''.join(re.findall(r'"((?:[^"\\]|\\.)*)"', lits)).encode().decode('unicode_escape')
            if kind != 'snprintf' or (fmt.endswith('\n') and not fmt.startswith('%s: ')): yield fmt.rstrip('\n')

def layout():  # (entries that match no tracked file, tracked files no entry matches)
    block = re.search(r'^```paths\n(.*?)^```', hacking, re.S | re.M)
    files = subprocess.run(['git', 'ls-files'], cwd=src, capture_output=True, text=True).stdout.split()
    if not block or not files: return None
    entries = [l.split()[0] for l in block.group(1).splitlines() if l.strip() and not l[0].isspace()]
    hit = lambda e, f: f.startswith(e) if e.endswith('/') else fnmatch.fnmatch(f, e)
    return ([e for e in entries if not any(hit(e, f) for f in files)],
            [f for f in files if f.startswith(('us/', 'tests/')) and not any(hit(e, f) for e in entries)])

both = lambda docs, code: (docs - code, code - docs)
table = readme.split('## Troubleshooting: the console')[1].split('\n## ')[0]
quoted = [q for row in table.splitlines() if row.startswith('|') for q in re.findall(r'`([^`]+)`', row.split('|')[1])]
formats = {f: fmt_regex(f) for f in console_formats()}
alerts = re.findall(r'- alert: (\w+)((?:(?!- alert:).)*)', rules, re.S)
entries = re.findall(r'^\.B (WatchDaemon\w+)$', pages.split('.SH ALERTS')[1].split('\n.SH ')[0], re.M)
checks = {
    'metrics': both(set(re.findall(r'\b(watch_daemon_[a-z_]+)\b(?!\.[a-z])', readme + pages + rules)),
                    set(re.findall(r'^(watch_daemon_\w+)', prom, re.M))),
    'text view': both(labels(re.search(r'^```\n(install dir.*?)^```', readme, re.S | re.M).group(1)), labels(view)),
    'layout': layout(),
    'console': ([q for q in quoted if not any(re.fullmatch(rx, q) for rx in formats.values())],
                [f for f, rx in formats.items() if not any(re.fullmatch(rx, q) for q in quoted)]),
    'alerts': both(set(entries), {n if f'runbook_url: "man:watch_status(8)#{n}"' in body else n + ' (no runbook_url)'
                                  for n, body in alerts}),
}
failed = [name for name, sides in checks.items() if sides and (sides[0] or sides[1])]
for name, sides in checks.items():
    print(f'SKIP: {name}: HACKING.md has no ```paths block (see tests/support/docs_test.py)' if sides is None else
          f'{"FAIL" if name in failed else "ok  "} {name}' + ''.join(f'; only in the {side}: {sorted(only)}'
                                                                for side, only in zip(('docs', 'code'), sides) if only))
sys.exit(1 if failed else 0)
