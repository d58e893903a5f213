#!/usr/bin/env python3
# Random faults against the real watch_daemon, and invariants instead of cases.
#
# Per seed: a fresh install directory (a small tmpfs where mounting is
# allowed) with two to four stand-ins of unique names, the real supervisor
# started under random starting conditions, then random actions, each
# followed by a quiescent point where the invariants are checked, and a last
# check after a stop.
#
#   nemesis.py BUILD_DIR [--seed S ...] [--seeds N] [--minutes M] [--seconds S]
#
# A failure prints the seed, the actions applied and the invariant violated;
# --seed S applies the same actions again (timing may make a replay differ).
import argparse, collections, contextlib, faulthandler, fcntl, io, json, os, random, re, resource, select, shutil, signal, stat
import subprocess, sys, tarfile, tempfile, threading, time, traceback

SCALE = 1000  # restart delays last a thousandth of their time
GAVE_UP = 'failed for normal boot, exit'
RECORD = re.compile(r'^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}: (.*) (exited normally with code|killed by signal)\((\d+)\)$')
BAD_BINARIES = {'noexec': (b'\x7fELF not really', 0o644), 'garbage': (b'\x7fELF not really', 0o755),
                'wrong': (b'#!/bin/sh\necho hello\n', 0o755), 'mute': (b'#!/bin/sh\nsleep 60\n', 0o755),
                'holder': (b'#!/bin/sh\nsleep 60 &\necho no such option >&2\nexit 3\n', 0o755)}
NO_CAPS = ('setpriv', '--bounding-set=-all', '--inh-caps=-all', '--no-new-privs')
# another user, where /proc hides root's processes from it; exit 99 where no /proc can be mounted
HIDDEN = ('unshare', '-m', '--propagation', 'private', 'sh', '-c', 'mount -t proc -o hidepid=2 proc /proc || exit 99; '
          'exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"', 'hidden')
PACKAGES = ('good', 'payload', 'garbage', 'escape', 'device', 'reserved', 'forge', 'none', 'link', 'fifo')
REQUESTS = ('exit 129', 'exit 130', 'exit 131', 'exit 132', 'exit 160')
FLAGS = {'exit 130': 'plugindata', 'exit 131': 'luadata', 'exit 132': 'sigdata'}
STDBUF = '/usr/libexec/coreutils/libstdbuf.so'
LEAKS = (b'NOTIFY_SOCKET=', b'_STDBUF_O=', b'WATCH_DAEMON_HANDOVER=')


class Violation(Exception):
    pass


def need(ok, invariant, detail):
    if not ok:
        raise Violation(f'{invariant}: {detail}')


def read(path):  # a regular file's contents; nothing for anything else, without blocking
    try:
        with open(path, 'rb', opener=lambda name, flags: os.open(name, flags | os.O_NONBLOCK)) as f:
            return f.read() if stat.S_ISREG(os.fstat(f.fileno()).st_mode) else b''
    except OSError:  # none there, a directory, or a process gone meanwhile
        return b''


def write(path, data, mode='wb'):  # never through a link, never waiting for a fifo's reader
    with open(path, mode, opener=lambda name, flags: os.open(name, flags | os.O_NONBLOCK | os.O_NOFOLLOW)) as f:
        f.write(data.encode() if isinstance(data, str) else data)


def parse(data):  # the JSON in data, or {} when it holds none
    try:
        return json.loads(data)
    except ValueError:
        return {}


def alive_under(pid):  # its parent, or None when it is gone or a zombie
    fields = read(f'/proc/{pid}/stat').decode(errors='replace').rpartition(')')[2].split()
    return int(fields[1]) if len(fields) > 1 and fields[0] not in 'ZX' else None


def link(path):
    with contextlib.suppress(OSError):
        return os.readlink(path)
    return ''


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.unlink(path)


def plant(path, kind, what=b''):
    # In path's place: nothing ('none', 'remove'), a fifo, a directory, a
    # symbolic link to what, or else a file that holds what.
    remove(path)
    makers = {'fifo': os.mkfifo, 'dir': lambda p: os.makedirs(f'{p}/sub'), 'link': lambda p: os.symlink(what, p),
              'none': remove, 'remove': remove}
    makers.get(kind, lambda p: write(p, what))(path)


def swap_in(path, kind, what, mode=None):
    # Whole or not at all, as a package does: planted under another name, then
    # renamed over path. Nothing changes when a full disk has no room for it.
    try:
        plant(f'{path}.new', kind, what)
        mode and os.chmod(f'{path}.new', mode)
        os.rename(f'{path}.new', path)
        return True
    except OSError:
        remove(f'{path}.new')


def fill_up(fd, chunk):  # writes until there is no room (a full pipe or disk), then closes fd
    with contextlib.suppress(OSError):
        while os.write(fd, b'\0' * chunk):
            pass
    os.close(fd)


def poll_until(cond, seconds, step=0.01):  # cond's last value: once true, or when the time is up
    limit = time.time() + seconds
    while not (value := cond()) and time.time() < limit:
        time.sleep(step)
    return value


def matches(chosen, got):
    # Whether the records `got` are the ends `chosen` ((text, may be missing)),
    # in order, each once, lacking only those that may be missing.
    at = {0}  # how many of `got` the ends so far can account for
    for text, optional in chosen:
        at = {j + 1 for j in at if j < len(got) and got[j] == text} | (at if optional else set())
    return len(got) in at


def fnv1a(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


class World:
    def __init__(self, build, seed, seconds, sanitized):
        self.rng, self.build, self.sanitized, self.actions, self.kinds = random.Random(seed), build, sanitized, [], []
        self.base = tempfile.mkdtemp(prefix='wdnemesis.')
        os.chmod(self.base, 0o711)  # another user may read the status
        self.inst, self.logs, self.sentinel, self.pkgs = (f'{self.base}/{d}' for d in ('inst', 'logs', 'sentinel', 'pkgs'))
        for d in (self.inst, self.logs, self.sentinel, self.pkgs):
            os.makedirs(d)
        self.tmpfs = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=24m', 'tmpfs', self.inst],
                                    stderr=subprocess.DEVNULL).returncode == 0
        self.deadline, self.slack = time.time() + seconds, 8 if sanitized else 4
        os.makedirs(f'{self.inst}/data')
        # Names unique on this host: the supervisor kills by name.
        self.progs = [f'nm{os.getpid() % 100000:05d}{c}' for c in 'abcd'[:self.rng.randint(2, 4)]]
        # Maybe named through a link to a release directory, as a package may lay them out.
        self.rel = 'rel/' if self.rng.random() < 0.3 else ''
        if self.rel:
            os.makedirs(f'{self.inst}/r1'), os.makedirs(f'{self.inst}/data/rel'), os.symlink('r1', f'{self.inst}/rel')
        for name, to in [('watch_daemon', self.pkgs), ('watch_daemon', self.inst), ('watch_status', self.inst)] + \
                [('tests/standin', f'{self.inst}/{d}{self.rel}{p}') for p in self.progs for d in ('', 'data/')]:
            shutil.copy(f'{build}/{name}', to)
        write(f'{self.inst}/config', json.dumps({'__watch': {'processes': [{'base': self.rel + p} for p in self.progs]}}))
        self.make_packages()
        write(f'{self.sentinel}/file', b'precious\n')
        self.sentinel_before = self.fingerprint()
        self.inherit = ','.join(i for i in (
            'nofile=%d' % self.rng.choice((6, 8, 16, 64)), 'fsize=%d' % (4 << 20), 'itimer',
            'ignore=%d' % self.rng.choice((1, 2, 3, 13, 15)), 'block=%d' % self.rng.choice((10, 15, 17)),
            f'open={self.rng.randint(3, 40)}:{self.sentinel}/file', 'open=%d:/dev/null' % self.rng.randint(41, 60))
            if self.rng.random() < 0.4)
        # a passing shortage as a program starts: that start is tried again, no boot failed
        self.exec_fault = '%d:%d' % (self.rng.randint(2, 30), self.rng.choice((11, 12))) if self.rng.random() < 0.3 else ''
        self.small_stack = self.rng.random() < 0.15  # the smallest the supervisor runs with
        self.notify, self.stdbuf = self.rng.random() < 0.4, self.rng.random() < 0.5 and os.path.exists(STDBUF)
        self.console, self.stalled, self.running = bytearray(), threading.Event(), True
        self.r, self.w = os.pipe()
        fcntl.fcntl(self.w, 1031, 4096)  # F_SETPIPE_SZ: one page, so that a stall fills it at once
        self.reader = threading.Thread(target=self.read_console, daemon=True)
        self.reader.start()
        self.gens, self.rotated, self.upgrades, self.tolerated, self.told = {}, [], {}, set(), []
        self.waiting = set()  # ends told on a full disk: their records wait for room
        self.blocked = False  # a directory holds the run file's name
        self.told_now, self.before, self.full, self.fresh, self.binary, self.sup = [], {}, False, False, 'good', None
        self.from_data = False
        self.path_format = self.image_format = 2  # the hand-over format of the binary at the path, and of the one running
        self.gave_up = self.ever_stalled = self.segv = 0
        if self.tmpfs and self.rng.random() < 0.15:
            self.log('disk full at start')
            self.disk(True)
        if self.small_stack:
            self.log('stack limit 256 KiB')
        if self.exec_fault:
            self.log('exec fails once', self.exec_fault)
        self.start_supervisor()

    # -- set-up ------------------------------------------------------------
    def make_packages(self):
        def entry(name, data=b'', kind=tarfile.REGTYPE, target=''):
            info = tarfile.TarInfo(name)
            info.type, info.linkname, info.mode, info.size = kind, target, 0o755, len(data)
            return info, io.BytesIO(data)

        prog = read(f'{self.inst}/{self.rel}{self.progs[0]}')
        # A name that holds a console line: a good bundle brings it as a
        # directory, a forged one as a file in its way, refused by name.
        forged = f'd\n{GAVE_UP}\n'
        bundles = {'good': [entry(self.rel + p, prog) for p in self.progs] + [entry('lib/extra.so', b'x'), entry(forged + '/x', b'x')],
                   'escape': [entry('../../sentinel/file', b'evil'), entry('out', kind=tarfile.SYMTYPE, target=self.sentinel),
                              entry('out/file', b'evil'), entry('/abs/evil', b'evil')],
                   'device': [entry('disk', kind=tarfile.BLKTYPE), entry('fifo', kind=tarfile.FIFOTYPE)],
                   'reserved': [entry('.bootchk', b'{}'), entry('init.bin/x', b'x')], 'forge': [entry(forged, b'x')]}
        for name, members in bundles.items():
            with tarfile.open(f'{self.pkgs}/{name}', 'w:gz') as t:
                for info, data in members:
                    t.addfile(info, data)
        for name, data in (('garbage', b'not a package'), ('payload', os.urandom(3000))):
            write(f'{self.pkgs}/{name}', data)

    def env(self):
        env = dict(os.environ, LD_PRELOAD=f'{self.build}/tests/libwd_interpose.so', WD_TEST_LOG=f'{self.base}/delays',
                   WD_TEST_SCALE=str(SCALE), WD_TEST_KILL_LOG=f'{self.base}/kills', WD_STANDIN_DIR=self.logs,
                   WD_TEST_INHERIT=self.inherit, WD_TEST_FAIL_EXEC=self.exec_fault, WD_TEST_ORPHAN_KILL='1', ASAN_OPTIONS='verify_asan_link_order=0:detect_leaks=1',
                   UBSAN_OPTIONS='print_stacktrace=1:halt_on_error=1')
        if self.notify:
            env['NOTIFY_SOCKET'] = f'{self.base}/notify'
        if self.stdbuf:  # as the unit of older packages started it
            env['LD_PRELOAD'], env['_STDBUF_O'] = f'{env["LD_PRELOAD"]}:{STDBUF}', 'L'
        return env

    def start_supervisor(self):
        self.unblock()  # a fresh start needs the run file's name
        if self.binary != 'good':
            self.replace_binary('good')
        if self.binary != 'good':  # a full disk kept a bad one: an operator would make room first
            self.disk(False)
            self.replace_binary('good')
        self.image_format = self.path_format
        # by its full path, as the unit does, or by one relative to where it was started
        relative = self.rng.random() < 0.3
        self.sup = subprocess.Popen(['inst/watch_daemon' if relative else f'{self.inst}/watch_daemon'],
                                    stdin=subprocess.DEVNULL, stdout=self.w, stderr=self.w, env=self.env(),
                                    cwd=self.base if relative else '/', start_new_session=True,
                                    preexec_fn=self.limit_stack if self.small_stack else None)
        self.gens[self.sup.pid], self.upgrades[self.sup.pid], self.fd0, self.full_ends = [], 0, None, set()
        self.ledger, self.shown = [], None  # what the package counts went through, for the report
        self.counted = {}  # ends and SIGSEGVs recorded before the running image's counts began
        if self.rng.random() < 0.2:  # reloads while it starts, once it holds them (before, nothing can)
            self.log('reloads while starting')
            poll_until(lambda: int(re.search(rb'SigBlk:\s+(\w+)', read(f'/proc/{self.sup.pid}/status') or b'SigBlk: 800')[1], 16) & 0x800, 2, 0.001)
            for _ in range(self.rng.randint(1, 3)):
                time.sleep(self.rng.uniform(0, 0.03))
                os.kill(self.sup.pid, signal.SIGUSR2)
            poll_until(self.quiet, 12 + 2 * self.slack)
        # until it has emptied its run file and started its programs
        poll_until(lambda: self.sup.poll() is not None or
                   all((self.starts(p) or [(0, 0)])[-1][1] == self.sup.pid for p in self.progs), 10)

    @staticmethod
    def limit_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (256 << 10, 256 << 10))  # the hard one too: it cannot raise it

    def read_console(self):
        while self.running:
            if self.stalled.is_set() or not select.select([self.r], [], [], 0.05)[0]:
                time.sleep(0.01)
                continue
            self.console += os.read(self.r, 65536).replace(b'\0', b'')

    # -- what happened -------------------------------------------------------
    def starts(self, p):  # [(pid, ppid)] of each start of program p
        return [(int(m[2]), int(m[1])) for m in re.finditer(rb' \|ppid=(\d+) \|pid=(\d+)$', read(f'{self.logs}/{p}.log'), re.M)]

    def chosen(self, p):  # [(pid, record text)] of each end program p chose, in order
        ends = (line.split() + [''] for line in read(f'{self.logs}/{p}.ends').decode().splitlines())
        return [(int(pid), ('exited normally with code(%s)' if verb == 'exit' else 'killed by signal(%s)') % n)
                for pid, verb, n, *_ in ends if verb != 'immortal']

    def records(self, sup):  # {base: [text]} over every generation of supervisor sup's run file
        texts = [t for _, t in self.gens[sup]]
        if sup == self.sup.pid and self.sup.poll() is None:
            texts.append(read(f'{self.inst}/tmp/watch_daemon.run'))
        out = {}
        for text in texts:
            need(b'\0' not in text, 'records', 'a run file holds NUL bytes (a hole)')
            for line in text.decode(errors='replace').splitlines()[1:]:
                m = RECORD.match(line)
                need(m, 'records', f'a run file line is no record: {line!r}')
                out.setdefault(m[1].removeprefix(self.rel), []).append(f'{m[2]}({m[3]})')
        return out

    def unrecorded(self, sup, room=False):
        # The programs of supervisor sup whose chosen ends its run file lacks; a
        # record of an end nobody chose fails. An end may lack its record when
        # the supervisor killed its program first (a cycle's own kill, which a
        # SIGKILL of its own at that moment looks like), or, until a stop with
        # room on the disk (`room`), the disk had no room.
        kills = [l.split() for l in read(f'{self.base}/kills').decode().splitlines()]
        killed, killed_anyway = {int(pid) for pid, how in kills if how == 'alive'}, {int(pid) for pid, _ in kills}
        recs, missing = self.records(sup), []
        for p in self.progs:
            ours = {pid for pid, ppid in self.starts(p) if ppid == sup}
            chosen = [(text, pid in killed or pid in self.tolerated or (pid in self.waiting and not room) or
                       (pid in killed_anyway and text.endswith('(9)')))
                      for pid, text in self.chosen(p) if pid in ours]
            got, it = recs.get(p, []), iter(text for text, _ in chosen)
            need(all(g in it for g in got), 'records', f'{p}: recorded but never chosen, or twice: {got} of {chosen}')
            if not matches(chosen, got):
                missing.append(f'{p}: chose {chosen[-4:]}, recorded {got[-4:]}')
        return missing

    def snapshot(self):  # {program: latest pid} when every program runs under the supervisor, else None
        pids = {p: (self.starts(p) or [(0, 0)])[-1][0] for p in self.progs}
        return pids if self.sup and all(alive_under(pid) == self.sup.pid for pid in pids.values()) else None

    def state(self):  # the JSON after the state file's header line
        return parse(read(f'{self.inst}/tmp/watch_daemon.state').partition(b'\n')[2])

    def slot(self, p):
        slots = self.state().get('slots')
        return slots[self.progs.index(p)] if isinstance(slots, list) and len(slots) == len(self.progs) else {}

    def reloading(self):  # a reload pending, being taken (not waiting for a signal), or a child not a program (a probe)
        if self.sup.poll() is not None:
            return False
        m = re.search(rb'ShdPnd:\s+([0-9a-f]+)', read(f'/proc/{self.sup.pid}/status'))
        return bool(m and int(m[1], 16) >> (signal.SIGUSR2 - 1) & 1) or \
            not read(f'/proc/{self.sup.pid}/wchan').startswith(b'do_sigtimedwait') or any(
                os.path.basename(link(f'/proc/{c}/exe')) not in self.progs for c in self.children())

    def quiet(self, pids=None):  # five looks in a row, 10 ms apart: no reload, and only the programs as children
        def look():
            time.sleep(0.01)
            return not self.reloading() and (pids is None or self.children() == sorted(pids.values()))
        return all(look() for _ in range(5))

    def children(self):
        return sorted(map(int, read(f'/proc/{self.sup.pid}/task/{self.sup.pid}/children').split()))

    # -- quiescence and the invariants ---------------------------------------
    def settle(self, extra=0.0):
        # Each end waits out the delays of the ends before it: one program's delay holds the others.
        delay = sum(7200 if self.segv + i >= 3 else (self.segv + i) * 600 + 60 for i in range(len(self.told_now) or 1))
        limit = time.time() + self.slack + extra + delay / SCALE
        while True:
            if self.sup.poll() is not None:
                self.supervisor_ended()
            pids, missing = self.snapshot(), self.unrecorded(self.sup.pid)
            if pids and not missing and self.acted(pids):
                return self.tidy(pids)
            wchan = read(f'/proc/{self.sup.pid}/wchan').decode()
            need(time.time() < limit or pids, 'liveness', f'a program does not run again in time; the supervisor waits in {wchan}')
            need(time.time() < limit, 'records', f'ends never recorded: {missing}; the supervisor waits in {wchan}')
            time.sleep(0.01)

    def acted(self, pids):
        # Whether every told program acted on what it was told, and every
        # program that must run anew since (it ended, or asked for a cycle) does.
        # Gone first, chosen after: a program notes its choice before it ends,
        # so one gone and then not among the chosen never chose.
        gone = {pid for _, pid, _ in self.told_now if alive_under(pid) is None}
        chosen, must = {pid for p in self.progs for pid, _ in self.chosen(p)}, {}
        for p, pid, step in self.told_now:
            if pid not in chosen and pid not in gone:
                return False
            if pid in chosen:
                must.update(self.before if step in REQUESTS else {p: pid})
        return all(pids[p] != old for p, old in must.items())

    def tidy(self, pids):
        # A package whose program was killed before it asked for it is no
        # request. One the supervisor kept after counting it (the install
        # failed for the host's sake) was one, and the requests that came
        # after it in the same cycle took it again.
        if os.path.lexists(f'{self.inst}/tmp/ttupgrade.tgz'):
            remove(f'{self.inst}/tmp/ttupgrade.tgz')
            done = sum(self.state().get(k) or 0 for k in ('upgrades_installed', 'upgrades_failed'))
            if self.placed != self.sup.pid or done < self.upgrades[self.placed]:
                self.upgrades[self.placed] -= 1
                self.ledger.append(f'#{len(self.actions)} -1 left unasked')
            elif done > self.upgrades[self.placed]:
                self.ledger.append(f'#{len(self.actions)} +{done - self.upgrades[self.placed]} took a kept package')
                self.upgrades[self.placed] = done
        shown = list(map(self.state().get, ('upgrades_installed', 'upgrades_failed')))  # one read
        if shown != self.shown:
            self.shown = shown
            self.ledger.append(f'#{len(self.actions)} shown {shown}')
        # At most this many SIGSEGV deaths (those a cycle overtook count too)
        self.segv = sum(1 for p in self.progs for pid, text in self.chosen(p) if text == 'killed by signal(11)')
        return pids

    def supervisor_ended(self):
        need(self.sup.returncode == 0 and 'exit 129' in [s for _, s in self.told[-2:]], 'liveness',
             f'the supervisor ended ({self.sup.returncode}) but not by giving up after a 129 '
             f'(its state: pid {self.state().get("pid")}, stopped {self.state().get("stopped")})')
        # Programs started since the action began (a cycle the first end asked for) ran from the install directory
        since = any(step == 'exit 129' and pid not in self.before.values() for _, pid, step in self.told_now)
        need(not self.from_data or since, 'liveness', 'gave up after failed boots from ./data/, without trying the install directory')
        self.tolerated |= {pid for pid, _ in self.told[-2:]}  # ends the give-up overtook
        self.gave_up += 1
        self.finish_lifetime('gave up')
        self.start_supervisor()

    def finish_lifetime(self, how):
        self.gens[self.sup.pid].append((how, read(f'{self.inst}/tmp/watch_daemon.run')))
        missing = self.unrecorded(self.sup.pid, room=not self.full and not self.blocked)
        need(not missing, 'records', f'ends never recorded by supervisor {self.sup.pid}: {missing}')
        for how, fd, size in self.rotated:
            need(os.fstat(fd).st_size == size, 'records', f'records went into a run file that was {how}d away')

    def check(self, pids):
        for attempt in range(3):
            try:
                return self.check_once(pids)
            except Violation as v:
                if attempt == 2 or ", '')" not in str(v):
                    raise
                pids = self.settle()  # a process caught exiting: look again once it is gone

    def check_once(self, pids):
        sup = self.sup.pid
        procs = [(int(d), os.path.basename(link(f'/proc/{d}/exe')).split(' ')[0]) for d in os.listdir('/proc')
                 if d.isdigit() and link(f'/proc/{d}/cwd') == self.inst and alive_under(int(d))]
        for p in self.progs:
            live = [pid for pid, exe in procs if exe == p]
            need(live == [pids[p]], 'one of each', f'{p} runs as {live}, not {pids[p]}: {procs}')
            environ, status = read(f'/proc/{pids[p]}/environ').split(b'\0'), read(f'/proc/{pids[p]}/status')
            need(not any(e.startswith(LEAKS) for e in environ), 'containment', f'{p} sees the starter\'s {LEAKS}')
            masks = [int(re.search(rb'%s:\s+([0-9a-f]+)' % k, status)[1], 16) for k in (b'SigBlk', b'SigIgn')]
            # The stand-in blocks SIGUSR1 itself; an ignored SIGHUP is nohup's, and stays.
            need(masks[0] & ~(1 << signal.SIGUSR1 - 1) == 0 == masks[1] & ~(1 << signal.SIGHUP - 1), 'containment',
                 f'{p} starts with signals blocked or ignored')
        sups = [pid for pid, exe in procs if exe.startswith(('watch_daemon', 'wd_'))]
        need(sups == [sup], 'one of each', f'supervisors of the install directory: {sups}')
        comm = (read(f'/proc/{sup}/comm') or b'').strip()  # ps -C, pgrep and the journal know it by this
        need(comm == b'watch_daemon', 'reload', f'the supervisor is named {comm!r}')
        need(self.children() == sorted(pids.values()), 'no leaks', f'children {self.children()}, programs {pids}')
        fds, rss = len(os.listdir(f'/proc/{sup}/fd')), int(re.search(rb'VmRSS:\s+(\d+)', read(f'/proc/{sup}/status'))[1])
        self.fd0 = self.fd0 or fds
        need(fds <= self.fd0 + 1, 'no leaks', f'{fds} descriptors, {self.fd0} at first')
        need(self.sanitized or rss <= 6 << 10, 'no leaks', f'RSS {rss} kB')
        self.check_status(pids)

    def status(self, *args, wrapper=()):
        r = subprocess.run([*wrapper, f'{self.inst}/watch_status', *args, self.inst], capture_output=True, timeout=20)
        need(b'runtime error' not in r.stderr and b'Sanitizer' not in r.stderr, 'status truth', r.stderr.decode())
        return r.returncode, r.stdout.decode(errors='replace')

    def check_status(self, pids):
        run = read(f'{self.inst}/tmp/watch_daemon.run')
        code, text = self.status('--json')
        need(code == 0, 'status truth', f'exit {code} while the supervisor runs:\n{text}')
        sups = json.loads(text)['supervisors']
        need([s.get('pid') for s in sups] == [self.sup.pid], 'status truth', f'shown: {[(s["name"], s.get("pid")) for s in sups]}')
        if run and run == read(f'{self.inst}/tmp/watch_daemon.run'):
            need(sups[0]['directory'] == self.inst, 'status truth', f'directory shown as {sups[0]["directory"]!r}')
        rec = None
        with contextlib.suppress(OSError):
            rec = os.lstat(f'{self.inst}/data/.bootchk')
        ignored = rec is not None and (not stat.S_ISREG(rec.st_mode) or rec.st_size > 64 << 10)
        boot = json.loads(text)['boot_space']
        need(ignored == ('is ignored' in boot['reason']), 'status truth', f'the record is {rec}, shown {boot}')
        up = re.findall(r'^watch_daemon_up\{.*\} (\d+)$', self.status('--prometheus')[1], re.M)
        need(up == ['1'], 'status truth', f'watch_daemon_up series: {up}')
        need(f'running, pid {self.sup.pid}' in self.status()[1], 'status truth', 'the text view does not say running')
        # as the metrics unit reads it: root without capabilities
        need(f'running, pid {self.sup.pid}' in self.status(wrapper=NO_CAPS)[1], 'status truth',
             'read without capabilities, the text view does not say running')
        code, hidden = self.status('--json', wrapper=HIDDEN)
        shown = json.loads(hidden)['supervisors'] if code == 0 else []
        need(code == 99 or [s.get('pid') for s in shown] == [self.sup.pid], 'status truth',
             f'read by another user under hidepid: exit {code}\n{hidden}')
        need(code == 99 or not self.fresh or self.full or {p['state'] for p in shown[0]['programs']} == {'unknown'},
             'status truth', f'programs hidden by hidepid shown as {[p["state"] for p in shown[0]["programs"]]}')
        if not self.fresh or self.full:
            return
        recs, state = self.records(self.sup.pid), self.state()
        need(sups[0].get('started') == state.get('started'), 'status truth',
             f'started shown at {sups[0].get("started")}, published {state.get("started")}')
        for p, shown in zip(self.progs, sups[0]['programs']):
            ends, segv = self.counted.get(p, (0, 0))
            want = {'pid': pids[p], 'state': 'running', 'ends': len(recs.get(p, [])) - ends,
                    'segv': recs.get(p, []).count('killed by signal(11)') - segv, 'started': self.slot(p).get('started')}
            if p in self.full_ends:  # ends counted whose records found no room
                del want['ends'], want['segv']
            need({k: shown.get(k) for k in want} == want, 'status truth', f'{p}: shown {shown}, happened {want}')
        done = (sups[0].get('upgrades_installed') or 0) + (sups[0].get('upgrades_failed') or 0)
        need(done == self.upgrades[self.sup.pid], 'status truth', f'{done} upgrades counted, {self.upgrades[self.sup.pid]} asked for: {self.ledger}')

    def fingerprint(self):
        return {f'{r}/{n}': (os.lstat(f'{r}/{n}').st_mode, os.lstat(f'{r}/{n}').st_mtime_ns, read(f'{r}/{n}'))
                for r, dirs, files in os.walk(self.sentinel) for n in dirs + files}

    def tail(self, n=3000):
        return bytes(self.console[-n:] if n else self.console).decode(errors="replace")

    def report(self):  # what a violation's reader needs beside the actions: a stalled console lost lines
        try:
            run = read(f'{self.inst}/tmp/watch_daemon.run').decode(errors='replace').splitlines()[-8:]
            seen = '\n'.join(f'{p}: starts {self.starts(p)[-3:]}, chose {self.chosen(p)[-3:]}' for p in self.progs)
            return (self.tail() + '\n  run file tail:\n' + '\n'.join(run) + f'\n  told now: {self.told_now}, supervisor '
                    f'{self.sup.pid}, before: {self.before}, its last SIGKILLs: {read(f"{self.base}/kills").split()[-12:]}\n' + seen)
        except Exception as e:  # whatever state the failure left
            return f'{self.tail()}\n  (no more: {e!r})'

    # -- the nemesis ---------------------------------------------------------
    def log(self, *what):
        self.actions.append(' '.join(map(str, what)))
        self.kinds.append(what[0])
        self.told_now, self.before = [], self.snapshot() or {}

    def tell(self, p, step):
        pid = self.starts(p)[-1][0]
        write(f'{self.logs}/{pid}.ctl', step + '\n')
        self.told.append((pid, step))
        self.told_now.append((p, pid, step))
        if self.full or self.blocked:  # its record waits for room, or for the run file's name
            self.waiting.add(pid)
            self.full_ends.add(p)
        # Only to our own program: a pid that ended may be another process's by
        # now. Gone, a cycle another end asked for ended it first: not told.
        with contextlib.suppress(ProcessLookupError):
            if alive_under(pid) == self.sup.pid:
                os.kill(pid, signal.SIGUSR1)
                return
        remove(f'{self.logs}/{pid}.ctl')

    def place_package(self, kind):
        path = f'{self.inst}/tmp/ttupgrade.tgz'
        if kind == 'none' or os.path.lexists(path):
            return
        # Whole or not at all, under a name no request takes: a program told
        # before may be asking for it while it is written, and the disk may fill.
        what = f'{self.sentinel}/file' if kind == 'link' else read(f'{self.pkgs}/{kind}')
        if swap_in(path, kind, what):
            self.placed = self.sup.pid
            self.upgrades[self.placed] += 1
            self.ledger.append(f'#{len(self.actions)} +1 {kind}')

    def a_end(self, count=1, gap=0.003, told=None):
        ends = []
        # Programs told now run from ./data/: their failed boots fall back to the install directory first,
        # whatever became of the record since the cycle read it
        self.from_data = self.fresh and not self.full and self.state().get('boot_space') == 'data'
        bad_bundle = count > 1 and self.from_data and self.rng.random() < 0.5  # all its programs fail
        for p in self.rng.sample(self.progs, count):
            r = 1.0 if bad_bundle or told else self.rng.random()
            step = told or ('exit %d' % self.rng.choice((0, 1, 7, 11, 128, 180, 255)) if r < 0.35 else
                    'signal %d' % self.rng.choice((11, 9, 6, 15, 4)) if r < 0.6 else 'exit 160' if r < 0.75 else
                    'exit %d' % self.rng.choice((130, 131, 132)) if r < 0.95 else 'exit 129')
            ends.append((p, step, self.rng.choice(PACKAGES) if step in FLAGS else ''))
        self.log('end', ends, gap)
        installed = self.state().get('upgrades_installed')
        for p, step, package in ends:
            package and self.place_package(package)
            self.tell(p, step)
            time.sleep(self.rng.uniform(0, gap))
        self.fresh = not self.full
        pids, now = self.settle(), self.state().get('upgrades_installed')
        failed_boot = any(s == 'exit 129' for _, s, _ in ends)  # which cleans the record, maybe after the install
        if isinstance(installed, int) and isinstance(now, int) and now > installed and not failed_boot:
            path = f'{self.inst}/data/.bootchk'
            record = parse(read(path)) if not os.path.islink(path) else {}
            need(any(isinstance(record, dict) and record.get(FLAGS.get(s)) == 1 for _, s, _ in ends), 'status truth',
                 f'an upgrade counted as installed that the record does not name: {read(path)[:200]!r}')
        return pids

    def a_reload(self):
        binary = self.rng.choice(('good', 'rebuilt', 'good', 'format99') + tuple(BAD_BINARIES))
        burst, waiting = self.rng.choice((1, 1, 2, 5, 30)), self.rng.choice(self.progs + [None] * 2 * len(self.progs))
        self.replace_binary(binary)
        # A build of another hand-over format starts afresh, with the programs
        # it replaced when the config has become invalid meanwhile.
        afresh = self.binary == 'good' and self.path_format != self.image_format
        broken = afresh and self.rng.random() < 0.5
        self.log('reload', binary, burst, waiting and f'during the back-off of {waiting}', 'config invalid' if broken else '')
        config = read(f'{self.inst}/config')
        if broken:
            write(f'{self.inst}/config', b'{"__watch": nope')
        said, due, other = self.console.count(b'not re-executed'), None, None
        if waiting:  # a SIGSEGV, and the reload inside its back-off
            self.tell(waiting, 'signal 11')
            due = poll_until(lambda: self.slot(waiting).get('restart_due'), 0.3, 0)
            other = self.rng.choice([p for p in self.progs if p != waiting] + [None])
            if other:  # an end in that back-off, which waits unreaped across the reload
                self.tell(other, 'exit 3')
                poll_until(lambda: b'Z' in (read(f'/proc/{self.starts(other)[-1][0]}/stat') or b'Z').split(b')')[-1][:3], 0.3, 0)
        since, recorded = self.state().get('build_since'), self.records(self.sup.pid)
        for i in range(burst):  # SIGHUP asks too, where it was not ignored from the start
            hup = i % 2 and 'ignore=1' not in self.inherit.split(',')
            os.kill(self.sup.pid, signal.SIGHUP if hup else signal.SIGUSR2)
            time.sleep(self.rng.uniform(0, 0.002))
        if due is not None:  # the state the new image publishes keeps the restart's time
            poll_until(lambda: self.state().get('build_since') != since, 2, 0.005)
            now = self.slot(waiting)
            need(now.get('state') != 'waiting' or now.get('restart_due') == due, 'reload',
                 f'the restart of {waiting} moved from {due} to {now.get("restart_due")}')
        pids = self.settle(12 if self.binary in ('mute', 'holder') else 0)  # what is there: a full disk keeps the old one

        poll_until(lambda: self.quiet(pids), 12)
        pids, self.fd0 = self.settle(), None  # a new image may have another baseline
        if broken:
            write(f'{self.inst}/config', config)
        if afresh:  # its counts start again from what is recorded now
            self.image_format, self.upgrades[self.sup.pid] = self.path_format, 0
            self.counted = {p: (len(r), r.count('killed by signal(11)')) for p, r in recorded.items()}
        moved = {p for p in self.progs if pids[p] != self.before[p]}
        need(afresh or moved <= {waiting, other}, 'reload', f'programs restarted by a reload: {moved}')
        if self.binary in BAD_BINARIES and not self.stalled.is_set():
            need(poll_until(lambda: self.console.count(b'not re-executed') > said, 8, 0.05), 'reload',
                 'a reload that cannot happen does not say why')
            need(self.binary != 'holder' or b'no such option' in self.console, 'reload', 'the probe\'s error is not shown')
        return pids

    def replace_binary(self, kind):
        data, mode = BAD_BINARIES[kind] if kind in BAD_BINARIES else (
            read(f'{self.pkgs}/watch_daemon' if kind == 'good' else f'{self.build}/tests/watch_daemon_{kind}'), 0o755)
        # As a package does it; a full disk keeps the old binary.
        if swap_in(f'{self.inst}/watch_daemon', 'file', data, mode):
            self.binary = kind if kind in BAD_BINARIES else 'good'
            self.path_format = 99 if kind == 'format99' else 2 if kind not in BAD_BINARIES else self.path_format

    def a_runfile(self):
        how = self.rng.choice(('remove', 'rename', 'create', 'copytruncate', 'wipe', 'replace'))
        self.log('run file', how)
        run = f'{self.inst}/tmp/watch_daemon.run'
        self.unblock()
        if os.path.exists(run):
            self.gens[self.sup.pid].append((how, read(run)))
            if how == 'copytruncate':
                os.truncate(run, 0)
            else:  # kept open: no record may reach it any more
                fd = os.open(run, os.O_RDONLY)
                self.rotated.append((how, fd, os.fstat(fd).st_size))
                if how in ('rename', 'create'):
                    os.rename(run, f'{run}.{len(self.rotated)}')
                if how == 'create':
                    write(run, b'')
        if how == 'replace':  # by a directory: records wait until it is gone
            remove(run)
            with contextlib.suppress(OSError):  # a full disk
                os.mkdir(run)
                self.blocked = True
        for n in os.listdir(f'{self.inst}/tmp') if how == 'wipe' else ['watch_daemon.run'] if how == 'remove' else []:
            remove(f'{self.inst}/tmp/{n}')
        self.fresh = self.fresh and (how != 'wipe' or self.republished('./tmp/ was emptied'))

    def republished(self, why):  # the state, gone while all is quiet, is published again at once (room permitting)
        again = poll_until(lambda: self.state().get('pid') == self.sup.pid, 2)
        need(again or self.full, 'status truth', f'the state is not published again after {why}')
        return again

    def unblock(self):
        if self.blocked:
            remove(f'{self.inst}/tmp/watch_daemon.run')
            self.blocked = False

    def a_state(self):
        how = self.rng.choice(('remove', 'pad', 'garbage', 'hostile', 'link', 'fifo', 'foreign'))
        self.log('state file', how)
        path, tmp = f'{self.inst}/tmp/watch_daemon.state', f'{self.inst}/tmp'
        body = json.dumps({'pid': 2 ** 40, 'slots': [{'pid': -5, 'ends': 1e12, 'segv': 2 ** 33, 'state': 'running',
                                                      'last_end': {'exit_code': 2 ** 40, 'time': -1}}] * 4}).encode()
        with contextlib.suppress(OSError):  # a full disk
            if how == 'foreign':  # the programs' own files: ./tmp/ is their temporary directory
                for n in ('a.run', 'b.state', '.state', 'x.run.state'):
                    write(f'{tmp}/{n}', '/elsewhere\n')
                os.chmod(f'{tmp}/b.state', 0)
                os.path.lexists(f'{tmp}/f.run') or os.mkfifo(f'{tmp}/f.run')
            elif how == 'pad':
                write(path, b'x' * (3 << 20), 'ab')
            else:
                plant(path, how, f'{self.sentinel}/' + self.rng.choice(('file', 'created')) if how == 'link' else
                      b'junk' if how == 'garbage' else b'%d %016x\n' % (len(body), fnv1a(body)) + body)
        self.fresh = self.fresh and (how == 'foreign' or how == 'remove' and self.republished('its removal'))
        for prog in (q for sup in json.loads(self.status('--json')[1])['supervisors'] for q in sup['programs']):
            need(all((prog.get(k) or 0) >= 0 for k in ('pid', 'ends', 'segv')), 'status truth', f'shown: {prog}')

    def a_record(self):
        how = self.rng.choice(('fifo', 'link', 'huge', 'hostile', 'nested', 'data', 'dir', 'none'))
        self.log('record', how)
        path = f'{self.inst}/data/.bootchk'
        record = ('{"version":"3.9.47.2\\u0000","plugindata":[1],"version":"9"}' if how == 'hostile'
                  else '[' * 999 + ']' * 999 if how == 'nested' else '{"version":"3.9.47.2","plugindata":1}')
        with contextlib.suppress(OSError):  # a full disk
            plant(path, how, f'{self.sentinel}/file' if how == 'link' else record)
            how == 'huge' and os.truncate(path, 8 << 30)
        if self.rng.random() < 0.3:  # a failed boot right after: from ./data/ it must still fall back
            return self.a_end(told='exit 129')

    def a_second(self):
        how = self.rng.choice(('same', 'symlink', 'hardlink'))
        self.log('second supervisor', how)
        path = f'{self.inst}/watch_daemon' if how == 'same' else f'{self.inst}/wd_{how}'
        try:
            if self.binary != 'good':
                return None
            how == 'symlink' and os.symlink('watch_daemon', path)
            how == 'hardlink' and os.link(f'{self.inst}/watch_daemon', path)
        except OSError:  # a full disk
            return None
        p = subprocess.Popen([path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env(), cwd='/',
                             start_new_session=True)
        try:
            out = p.communicate(timeout=10)[0]
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            need(False, 'one of each', f'a second supervisor ({how}) still runs')
        finally:
            how != 'same' and remove(path)
        need(p.returncode == 0 and b'already run' in out and b'already in use for ./tmp/' in out, 'one of each',
             f'a second supervisor ({how}) said {out!r}')
        pids = self.settle()
        need(pids == self.before, 'one of each', 'a refused supervisor changed the programs')
        return pids

    def a_stall(self):
        self.log('console', 'drained' if self.stalled.is_set() else 'stalled')
        if self.stalled.is_set():
            self.stalled.clear()
        else:  # filled through a description of its own: the supervisor's flags stay as they are
            self.stalled.set()
            self.ever_stalled = True
            fill_up(os.open(f'/proc/self/fd/{self.w}', os.O_WRONLY | os.O_NONBLOCK), 4096)

    def a_full(self):
        if self.tmpfs:
            self.log('disk', 'room again' if self.full else 'full')
            self.disk(not self.full)

    def disk(self, full):  # the install directory's disk full, or room on it again
        remove(f'{self.inst}/filler')
        if full:
            fill_up(os.open(f'{self.inst}/filler', os.O_WRONLY | os.O_CREAT, 0o600), 1 << 20)
        self.full = full

    def run(self):
        acts = [(self.a_end, 30), (lambda: self.a_end(2, self.rng.choice((0.0, 0.003, 0.05))), 10),
                (self.a_reload, 12), (self.a_runfile, 6), (self.a_state, 6), (self.a_record, 4), (self.a_second, 3),
                (self.a_stall, 4), (self.a_full, 4), (self.a_restart, 3), (self.a_crash, 3)]
        self.check(self.settle())
        while time.time() < self.deadline:  # an action that has not settled itself is settled here
            self.check(self.rng.choices([a for a, _ in acts], [w for _, w in acts])[0]() or self.settle())
        self.full and self.a_full()
        self.unblock()
        self.stalled.is_set() and self.a_stall()
        self.check(self.settle())

    def stop(self):
        # Stops the supervisor: nothing may be left running, or changed outside.
        if self.rng.random() < 0.4:  # ends just before the stop, one maybe in another's delay: theirs, to be recorded
            ends = [(p, self.rng.choice(('signal 11', 'exit 7', 'signal 6'))) for p in self.rng.sample(self.progs, 2)]
            self.log('ends before the stop', ends)
            self.end_unreaped(ends)
        self.stop_supervisor()
        need(b'Sanitizer' not in self.console and b'runtime error' not in self.console, 'no leaks', 'a sanitizer report')
        given_up = len(re.findall(rf'^{GAVE_UP}$', self.tail(None), re.M))
        need(self.ever_stalled or given_up == self.gave_up, 'containment', f'"{GAVE_UP}" said {given_up} times, done {self.gave_up}')
        need(self.fingerprint() == self.sentinel_before, 'containment', 'something outside the install directory changed')

    def end_unreaped(self, ends):  # each program ends as told, and the supervisor may not have reaped it yet
        for p, step in ends:
            self.tell(p, step)
            poll_until(lambda: alive_under(self.starts(p)[-1][0]) is None, 2, 0.001)

    def stop_supervisor(self):
        pids = [pid for p in self.progs for pid, _ in self.starts(p)]
        if self.rng.random() < 0.3:  # one stopped (job control, a debugger) must not outlive the stop either
            stopped = self.rng.choice(self.progs)
            self.log('stopped at the stop', stopped)
            with contextlib.suppress(OSError):  # it ended already
                os.kill(self.starts(stopped)[-1][0], signal.SIGSTOP)
        self.sup.send_signal(signal.SIGTERM)
        need(poll_until(lambda: self.sup.poll() is not None, 10), 'liveness', 'the supervisor does not stop on SIGTERM')
        need(poll_until(lambda: not any(alive_under(p) for p in pids), 5, 0.02), 'one of each',
             'a program outlived its supervisor')
        self.finish_lifetime('stopped')

    def a_restart(self):
        # A stop at a moment of its own, inside a back-off and behind ends not
        # reaped yet, one maybe asking for an upgrade; then a fresh start.
        waiting = self.rng.choice(self.progs + [None])
        ends = [(p, self.rng.choice(('exit 7', 'signal 6') + tuple(FLAGS))) for p in self.progs if p != waiting]
        ends = self.rng.sample(ends, self.rng.randint(0, min(2, len(ends))))
        # One request at most: a stop that interrupts an install leaves the package to the next request.
        ends = [(p, 'exit 7' if step in FLAGS and any(s in FLAGS for _, s in ends[:i]) else step) for i, (p, step) in enumerate(ends)]
        self.log('stop and start', waiting and f'in the back-off of {waiting}', ends)
        if waiting:
            self.tell(waiting, 'signal 11')
            poll_until(lambda: self.slot(waiting).get('restart_due'), 0.3, 0)
        for _, step in ends:
            step in FLAGS and self.place_package(self.rng.choice(PACKAGES))
        self.end_unreaped(ends)
        self.stop_supervisor()
        if self.fresh and not self.full:  # an upgrade asked for is installed or failed, never dropped
            done = (self.state().get('upgrades_installed') or 0) + (self.state().get('upgrades_failed') or 0)
            need(done == self.upgrades[self.sup.pid], 'status truth',
                 f'{done} upgrades counted at the stop, {self.upgrades[self.sup.pid]} asked for: {self.ledger}')
        self.start_supervisor()
        self.fresh = not self.full

    def a_crash(self):
        # The supervisor killed at a moment of its own (the OOM killer), maybe
        # as an end comes in, one maybe asking for an upgrade; then a fresh
        # start, which must run one of each and recover whatever was under way.
        # Ends recorded so far must all be there; the rest died with it.
        missing = self.unrecorded(self.sup.pid)
        need(not missing, 'records', f'ends never recorded by supervisor {self.sup.pid}: {missing}')
        ends = [(p, self.rng.choice(('exit 7', 'signal 11', 'exit 160') + tuple(FLAGS))) for p in self.rng.sample(self.progs, self.rng.randint(0, 1))]
        delay = self.rng.choice((0, 0.001, 0.01, 0.05, 0.2))
        # One that ignores SIGTERM outlives it; its release maybe switched before the next start.
        immortal = self.rng.choice([p for p in self.progs if p not in dict(ends)] + [None] * 2)
        flip = self.rel and not self.full and self.rng.random() < 0.5
        self.log('crash', ends, delay, f'{immortal} ignoring SIGTERM' if immortal else '', 'release switched' if flip else '')
        if immortal:
            pid = self.starts(immortal)[-1][0]
            write(f'{self.logs}/{pid}.ctl', 'immortal\n')
            os.kill(pid, signal.SIGUSR1)
            poll_until(lambda: f'{pid} immortal'.encode() in read(f'{self.logs}/{immortal}.ends'), 2)
        package, asked = f'{self.inst}/tmp/ttupgrade.tgz', []
        for p, step in ends:
            if step in FLAGS and not os.path.lexists(package):
                self.place_package('good')
                asked += [FLAGS[step]] if os.path.lexists(package) else []
            self.tell(p, step)
        time.sleep(delay)
        self.sup.kill()
        self.sup.wait()
        self.tolerated |= {pid for p in self.progs for pid, ppid in self.starts(p) if ppid == self.sup.pid}
        if flip:
            now = os.readlink(f'{self.inst}/rel')
            new = 'r2' if now == 'r1' else 'r1'
            shutil.rmtree(f'{self.inst}/{new}', ignore_errors=True)
            with contextlib.suppress(OSError):  # no room: the release stays
                shutil.copytree(f'{self.inst}/{now}', f'{self.inst}/{new}')
                os.symlink(new, f'{self.inst}/rel.new')
                os.replace(f'{self.inst}/rel.new', f'{self.inst}/rel')
        self.gens[self.sup.pid].append(('crashed', read(f'{self.inst}/tmp/watch_daemon.run')))
        if asked and not self.full and not os.path.lexists(package):  # a good package gone: installed
            record = parse(read(f'{self.inst}/data/.bootchk')) if not os.path.islink(f'{self.inst}/data/.bootchk') else {}
            need(isinstance(record, dict) and record.get(asked[0]) == 1, 'records',
                 f'a package taken by a crashed supervisor that the record does not name: {record}')
        self.start_supervisor()
        self.fresh = not self.full

    def cleanup(self):
        self.running = False
        for pid in [self.sup.pid] + [pid for p in self.progs for pid, _ in self.starts(p)]:
            with contextlib.suppress(OSError):  # gone already
                os.killpg(pid, signal.SIGKILL) if pid == self.sup.pid else os.kill(pid, signal.SIGKILL)
        self.reader.join()
        for fd in [self.r, self.w] + [fd for _, fd, _ in self.rotated]:
            os.close(fd)
        if os.environ.get('NEMESIS_KEEP'):  # for a look afterwards
            return
        if self.tmpfs:
            subprocess.run(['umount', '-l', self.inst])
        shutil.rmtree(self.base, ignore_errors=True)


def run_seed(build, seed, seconds, sanitized):
    w = World(build, seed, seconds, sanitized)
    try:
        w.run()
        w.stop()
        return w.kinds, None
    except Violation as v:
        return w.kinds, (v, w.actions, w.report())
    except Exception:  # the harness's own fault, reported as one
        return w.kinds, ('harness: ' + traceback.format_exc(), w.actions, w.report())
    finally:
        w.cleanup()


def main():
    ap = argparse.ArgumentParser(description='Random faults against the real watch_daemon, invariants checked.')
    ap.add_argument('build')
    ap.add_argument('--seed', type=int, nargs='*', default=[])
    ap.add_argument('--seeds', type=int, default=0, help='this many random seeds more')
    ap.add_argument('--minutes', type=float, default=0, help='random seeds for this long')
    ap.add_argument('--seconds', type=float, default=6, help='actions per seed for this long')
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    sanitized = b'__asan' in read(f'{a.build}/watch_daemon')
    seeds, until, began = a.seed + [random.randrange(1 << 30) for _ in range(a.seeds)], time.time() + a.minutes * 60, time.time()
    ran = failures = 0
    kinds = collections.Counter()
    while seeds or time.time() < until:
        seed = seeds.pop(0) if seeds else random.randrange(1 << 30)
        print(f'seed {seed}', file=sys.stderr, flush=True)
        faulthandler.dump_traceback_later(a.seconds + 120, exit=True)  # the harness itself stuck
        n, failure = run_seed(a.build, seed, a.seconds, sanitized)
        ran += 1
        kinds.update(n)
        if failure:
            failures += 1
            v, acts, tail = failure
            print(f'seed {seed}: VIOLATED {v}\n  actions: ' + '\n           '.join(acts) +
                  f'\n  console tail:\n{tail}\n  replay: {sys.argv[0]} {a.build} --seed {seed}'
                  ' (timing may make a replay differ)', flush=True)
    print(f'nemesis: {ran} seeds, {sum(kinds.values())} actions, {failures} violated, {(time.time() - began) / 60:.1f} minutes')
    print('  of which ' + ', '.join(f'{k} {n}' for k, n in kinds.most_common()))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
