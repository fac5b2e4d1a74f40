#!/usr/bin/env python3
"""Power-cut explorer for the bridge's data directory.

Records the real bridge under strace while a client drives a scenario, turns the trace into
operations on files and directories, and at every cut point lists the states a file system may
come back in: a weak POSIX one (a file's data durable only after its own sync, a directory entry
only after its directory's sync, any subset of the rest surviving, appends cut at block
boundaries) and ext4 with data=ordered (directory operations survive in order up to some point
after the last journal commit, delayed allocation loses unsynced data unless a rename replaced
an existing file). Each distinct state is checked, then the bridge is started on it, takes one
more batch, and is checked again. Exits 1 on any violation.

Usage: crash_explorer.py OrvaneBridge [scenario...]
"""
import concurrent.futures, functools, itertools, json, os, re, signal, socket, subprocess, sys, tempfile, time

BLOCK = 4096
FILES = ('history.jsonl', 'state.json', 'token', 'orvaned', 'port')
PINNED = ('token', 'orvaned', 'port')  # flushed before whatever answer follows their write
# System calls on the data directory that change nothing the checks look at.
READONLY = {'read', 'pread64', 'readv', 'fstat', 'newfstatat', 'statx', 'stat', 'lstat', 'lseek',
            'fcntl', 'getdents64', 'readlink', 'readlinkat', 'access', 'faccessat', 'faccessat2',
            'chmod', 'fchmod', 'fchmodat', 'mmap', 'fadvise64', 'flock'}
MODELLED = {'openat', 'open', 'write', 'pwrite64', 'writev', 'fsync', 'fdatasync', 'ftruncate',
            'close', 'rename', 'renameat', 'renameat2', 'unlink', 'unlinkat', 'mkdir', 'mkdirat',
            'sendto', 'sendmsg'}
CALL = re.compile(r'(\w+)\((.*)\) += (-?\d+)')
TOKEN = re.compile(r'(AT_FDCWD|\d+)<((?:->|<[^<>]*>|[^<>])*)>|"((?:\\x[0-9a-f]{2})*)"')


def unhex(s):  # strace's -xx string as bytes
    return bytes.fromhex(s.replace('\\x', ''))


def text(s):  # any text with such strings in it, decoded
    return re.sub(r'\\x([0-9a-f]{2})', lambda m: chr(int(m[1], 16)), s)


class Trace:
    """The operations that completed on files under `root`, in order; `snaps[c]` is what each
    data file held, logically, after the first c of them."""

    def __init__(self, root, data):
        self.root, self.data, self.ops, self.fds, self.inos = root, data, [], {}, {}
        self.names = {}  # path -> ino, 'd' for a directory, None when absent
        for top, dirs, files in os.walk(root):
            self.names[top] = 'd'
            for f in files:
                self.names[os.path.join(top, f)] = self.new(open(os.path.join(top, f), 'rb').read())
        self.initial = dict(self.names)
        self.initialData = {i: bytes(b) for i, b in self.inos.items()}
        self.snaps = [self.snap()]
        self.acked = set()

    def parse(self, lines):
        pending = {}
        for line in lines:
            pid, rest = re.match(r'(\d+) +(.*)', line).groups()
            if rest.endswith('<unfinished ...>'):
                pending[pid] = rest[:-len('<unfinished ...>')]
                continue
            resumed = re.match(r'<\.\.\. \w+ resumed>(.*)', rest)
            if resumed:
                rest = pending.pop(pid) + resumed[1]
            call = CALL.match(rest)
            if call:
                self.call(call[1], call[2], int(call[3]))

    def new(self, content=b''):
        self.inos[len(self.inos) + 1] = bytearray(content)
        return len(self.inos)

    def snap(self):
        values = [self.names.get(os.path.join(self.data, n)) for n in FILES]
        return {n: None if v in (None, 'd') else bytes(self.inos[v]) for n, v in zip(FILES, values)}

    def add(self, *op):
        if op[0] in ('write', 'trunc'):
            self.inos[op[1]][:] = self.apply(self.inos[op[1]], op)
        self.ops.append(op)
        self.snaps.append(self.snap())

    def bind(self, path, value):
        replaced, self.names[path] = self.names.get(path) is not None, value
        self.add('dir', path, value, replaced)

    def call(self, name, args, ret):
        tokens = TOKEN.findall(args)
        if self.root not in text(args) and name not in ('write', 'writev', 'sendto', 'sendmsg'):
            return
        if name not in MODELLED | READONLY | {'execve'}:
            sys.exit(f'unmodelled system call on the data directory: {name}({text(args)})')
        if ret < 0 or name in READONLY:
            return
        paths, base = [], None
        for fd, annotation, string in tokens:
            if fd:
                base = text(annotation)
            elif string is not None and name not in ('write', 'pwrite64', 'writev'):
                paths.append(os.path.join(base or '/', text(string)))
                base = None
        fd = int(tokens[0][0]) if tokens and tokens[0][0].isdigit() else None
        handle = self.fds.get(fd)
        if name in ('openat', 'open') and (paths[0] + '/').startswith(self.root + '/'):
            path, value = paths[0], self.names.get(paths[0])
            if value is None and 'O_CREAT' in args:
                value = self.new()
                self.bind(path, value)
            elif value != 'd' and 'O_TRUNC' in args:
                self.add('trunc', value, 0)
            self.fds[ret] = [value, 0, 'O_APPEND' in args, path]
        elif name in ('write', 'pwrite64', 'writev') and handle:
            data = b''.join(unhex(s) for _, _, s in tokens[1:] if s)[:ret]
            at = int(args.rsplit(',', 1)[1]) if name == 'pwrite64' else handle[1]
            at = len(self.inos[handle[0]]) if handle[2] else at
            self.add('write', handle[0], at, data)
            handle[1] = at + len(data)
        elif name in ('write', 'writev', 'sendto', 'sendmsg'):
            peer = re.search(r'TCP:\[.*->.*:(\d+)\]', text(args))
            label = int(peer[1]) if peer else ('card' if fd == 1 else None)
            if label is not None and label not in self.acked:
                self.acked.add(label)
                self.add('ack', label)
        elif name in ('fsync', 'fdatasync') and handle:
            self.add('sync', handle[3] if handle[0] == 'd' else handle[0])
        elif name == 'ftruncate' and handle:
            self.add('trunc', handle[0], int(args.rsplit(',', 1)[1]))
        elif name == 'close':
            self.fds.pop(fd, None)
        elif name.startswith('rename'):
            value = self.names.get(paths[0])
            if value == 'd':
                sys.exit(f'unmodelled rename of a directory: {paths}')
            self.bind(paths[1], value)
            self.bind(paths[0], None)
        elif name.startswith('unlink'):
            self.bind(paths[0], None)
        elif name.startswith('mkdir'):
            self.bind(paths[0], 'd')

    def variants(self, op):  # how a pending data operation may survive: whole, or a write cut at a block
        if op[0] == 'write':
            _, ino, at, data = op
            yield from (('write', ino, at, data[:b - at])
                        for b in range((at // BLOCK + 1) * BLOCK, at + len(data), BLOCK))
        yield op

    @staticmethod
    def apply(content, op):  # a write past the end leaves a hole of zeros
        end = op[2] if op[0] == 'trunc' else max(len(content), op[2] + len(op[3]))
        content = bytearray(content[:end]).ljust(end, b'\0')
        if op[0] == 'write':
            content[op[2]:op[2] + len(op[3])] = op[3]
        return bytes(content)

    def contents(self, ino, cut, ext4, commit):
        """Every content inode `ino` may hold after a power cut at `cut`."""
        if ino in (None, 'd'):
            return [None]
        ops = [(i, op) for i, op in enumerate(self.ops[:cut]) if op[0] in ('write', 'trunc') and op[1] == ino]
        durable = max([i for i, op in enumerate(self.ops[:cut]) if op == ('sync', ino)], default=-1)
        if ext4:  # a rename over an existing file that the journal kept flushed its data first
            durable = max([durable] + [i for i, op in enumerate(self.ops[:commit])
                                      if op[0] == 'dir' and op[2] == ino and op[3]])
        base = functools.reduce(self.apply, [op for i, op in ops if i < durable],
                                self.initialData.get(ino, b''))
        pending = [op for i, op in ops if i > durable]
        if ext4:  # written back in order, the last one possibly in part
            choices = [pending[:k] + [v] for k in range(len(pending)) for v in self.variants(pending[k])]
        else:
            choices = [[v for v in combo if v] for combo in
                       itertools.product(*[[None, *self.variants(op)] for op in pending])]
        return {functools.reduce(self.apply, chosen, base) for chosen in [[]] + choices}

    def states(self, cut, ext4):
        """The distinct crash states at `cut`: tuples of FILES' contents, None where absent."""
        ops = list(enumerate(self.ops[:cut]))
        syncs = [i for i, op in ops if op[0] == 'sync']
        chain = [p for p in self.names if self.data.startswith(p + '/') or p == self.data]
        watched = [p for p in chain if p != self.root] + [os.path.join(self.data, n) for n in FILES]
        if ext4:
            bindings = []
            for k in range(max(syncs, default=-1) + 1, cut + 1):
                names = {**self.initial, **{op[1]: op[2] for i, op in ops[:k] if op[0] == 'dir'}}
                bindings.append((k, [names.get(p) for p in watched]))
        else:
            options = []
            for p in watched:
                synced = max([i for i, op in ops if op == ('sync', os.path.dirname(p))], default=-1)
                value, later = self.initial.get(p), []
                for i, op in ops:
                    if op[0] == 'dir' and op[1] == p:
                        value, later = (op[2], later) if i < synced else (value, later + [op[2]])
                options.append(sorted({value, *later}, key=str))
            bindings = [(cut, list(b)) for b in itertools.product(*options)]
        out = set()
        for k, bound in bindings:
            reach = all(b == 'd' for b in bound[:len(chain) - 1])
            files = [self.contents(b if reach else None, cut, ext4, k) for b in bound[len(chain) - 1:]]
            out.update(itertools.product(*files))
        return out


def launch(exe, data, args=(), trace=None):
    with socket.socket() as s:  # a free port
        s.bind(('127.0.0.1', 0))
        port, cmd = s.getsockname()[1], [exe, *args]
    if trace:
        cmd = ['strace', '-f', '-qq', '-y', '-yy', '-xx', '-s', '1048576', '-e',
               'trace=%file,%desc,%network', '-o', trace, '--'] + cmd
    env = dict(os.environ, ORVANE_DIR=data, ORVANE_PORT=str(port))
    return subprocess.Popen(cmd, env=env, cwd='/', stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), port


def serve(exe, data, trace=None):
    proc, port = launch(exe, data, (), trace)
    for _ in range(1000):
        try:
            socket.create_connection(('127.0.0.1', port), 1).close()
            return proc, port, open(os.path.join(data, 'token')).read().strip()
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.01)
    stop(proc)
    raise RuntimeError('the bridge did not start')


def stop(proc):
    """Terminates the bridge, which under strace is strace's only child."""
    if proc.poll() is None:
        kids = open(f'/proc/{proc.pid}/task/{proc.pid}/children').read().split()
        os.kill(int(kids[0]) if kids else proc.pid, signal.SIGTERM)
    proc.wait(timeout=60)


def post(port, token, path, body):
    """Sends one request and returns the client's port, which names its answer in the trace."""
    data = json.dumps(body).encode()
    with socket.create_connection(('127.0.0.1', port), 10) as s:
        s.settimeout(60)
        s.sendall(b'POST %s HTTP/1.1\r\nHost: l\r\nAuthorization: Bearer %s\r\nContent-Length: %d\r\n\r\n%s'
                  % (path.encode(), token.encode(), len(data), data))
        label, reply = s.getsockname()[1], b''
        while chunk := s.recv(65536):
            reply += chunk
    if not reply.startswith(b'HTTP/1.1 200'):
        raise RuntimeError(f'{path} answered {reply[:40]!r}')
    return label


SEQ = itertools.count(int(time.time()) - 10 ** 6)


def batch(n):  # every sample has a timestamp of its own, which names its history line
    return [{'type': 'heart_rate', 'value': 60 + i % 40, 'ts': next(SEQ), 'unit': 'count/min'} for i in range(n)]


def ingests(*sizes, together=False):  # together: sent at once, to meet in the engine and share flushes
    def drive(port, token):
        with concurrent.futures.ThreadPoolExecutor(len(sizes) if together else 1) as pool:
            sent = [(pool.submit(post, port, token, '/ingest', {'samples': b, 'device': 'crash'}), b)
                    for b in map(batch, sizes)]
        return {future.result(): b for future, b in sent}
    return drive


def flags(port, token):
    return {post(port, token, '/orvane', {'enabled': enabled}): [] for enabled in (False, True)}


# name: (data directory under the scenario's root, set-up before the trace, traced run); a list
# is a one-shot run's arguments. The 80-sample batch is larger than a block.
SCENARIOS = {'first': ('new/data', None, ingests(3, 2)), 'append': ('data', ingests(3), ingests(2, 80, 1)),
             'flag': ('data', ingests(1), flags), 'rotate': ('data', ['--pairing'], ['--rotate-pairing']),
             'pairing': ('new/data', None, ['--pairing']),
             'together': ('data', ingests(3), ingests(2, 80, 1, together=True))}
# Batches pending together may, on the weak model, keep a later one's lines without an earlier
# one's, leaving zeros inside a line that was never acknowledged; only ext4's order is checked.
MODELS = {'together': ('ext4',)}
EXTRA = batch(2)


def drive(exe, data, how, trace=None):
    if isinstance(how, list):
        proc, _ = launch(exe, data, how, trace)
        proc.wait(timeout=120)
        return {'card': []}
    proc, port, token = serve(exe, data, trace)
    try:
        return how(port, token)
    finally:
        stop(proc)


def history(content):
    """The samples named by complete lines, and the first complete line that is not a record."""
    seen, bad = set(), None
    for line in (content or b'').split(b'\n')[:-1]:
        try:
            record = json.loads(line)
            seen.add((record['type'], record['ts']))
        except (ValueError, KeyError, TypeError):
            bad = bad or repr(line[:60])
    return seen, bad


# One row per promise: (name, test of FILES' contents against the acknowledged samples and the
# contents each replaced file may have). A test returns an example of the breach, or None.
CHECKS = [
    ('acknowledged sample lost', lambda f, acked, allowed: next(
        (f'ts {s["ts"]}' for s in acked if (s['type'], s['ts']) not in history(f[0])[0]), None)),
    ('history line not a record', lambda f, acked, allowed: history(f[0])[1]),
    ('replaced file torn or rolled back', lambda f, acked, allowed: allowed and next(
        (f'{n} = {c!r:.50}' for n, c in zip(FILES, f) if n != FILES[0] and c not in allowed[n]), None)),
]


def restart(exe, state, tmp):
    """FILES after the bridge started on `state` and took one more batch; None if it could not."""
    data = os.path.join(tempfile.mkdtemp(dir=tmp), 'data')
    for name, content in zip(FILES, state):
        if content is not None:
            os.makedirs(data, exist_ok=True)
            open(os.path.join(data, name), 'wb').write(content)
    try:
        drive(exe, data, lambda port, token: post(port, token, '/ingest', {'samples': EXTRA}))
    except (RuntimeError, OSError, subprocess.TimeoutExpired):
        return None
    return tuple(open(os.path.join(data, n), 'rb').read() if os.path.exists(os.path.join(data, n)) else None
                 for n in FILES)


def explore(exe, name, tmp, restarts):
    sub, setup, how = SCENARIOS[name]
    root, data = os.path.join(tmp, name), os.path.join(tmp, name, sub)
    os.makedirs(root)
    if setup:
        drive(exe, data, setup)
    trace = Trace(root, data)
    acks = drive(exe, data, how, root + '.trace')
    with open(root + '.trace') as f:
        trace.parse(f)
    if set(acks) - trace.acked:
        sys.exit(f'{name}: answers missing from the trace: {set(acks) - trace.acked}')
    failed = 0
    for model in MODELS.get(name, ('weak', 'ext4')):
        seen, violations, bad = set(), {}, 0
        for cut in range(len(trace.ops) + 1):
            done = [i for i, op in enumerate(trace.ops[:cut]) if op[0] == 'ack']
            acked = [s for i in done for s in acks.get(trace.ops[i][1], [])]
            allowed = {n: {trace.snaps[t][n] for t in range(done[-1] + 1 if done and n in PINNED else 0, cut + 1)}
                       for n in FILES}
            for state in trace.states(cut, model == 'ext4'):
                if (state, len(done)) in seen:
                    continue
                seen.add((state, len(done)))
                if state not in restarts:
                    restarts[state] = restart(exe, state, tmp)
                after = restarts[state]
                found = [(c, why) for c, test in CHECKS if (why := test(state, acked, allowed))]
                found += [('after restart: ' + c, why) for c, test in CHECKS[:2]
                          if after and (why := test(after, acked + EXTRA, None))]
                found += [('restart failed', '')] if after is None else []
                for c, why in found:
                    at = ' '.join(os.path.basename(str(x)) for x in trace.ops[cut - 1][:3]) if cut else 'start'
                    violations.setdefault(c, [0, f'cut {cut} after {at}: {why}'])[0] += 1
                bad += bool(found)
        print(f'{name}/{model}: {len(trace.ops)} operations, {len(seen)} distinct states, {bad} violations')
        for c, (count, example) in violations.items():
            print(f'  {c}: {count}, e.g. {example}')
        failed += bad
    return failed


def main():
    exe, names = os.path.abspath(sys.argv[1]), sys.argv[2:] or list(SCENARIOS)
    restarts, failed = {}, 0
    with tempfile.TemporaryDirectory(prefix='orvane-crash-') as tmp:
        for name in names:
            failed += explore(exe, name, tmp, restarts)
    print('crash states:', 'FAILED' if failed else 'all hold')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
