#!/usr/bin/env python3
"""watch_property.py SKELVANE [STEPS [SEEDS [CASE...]]]: edits under --watch.

For each seed (a comma list; "new" draws one; SKELVANE_SEED adds one) STEPS
random steps in watch.steps' language edit a small site as users and
editors do; then each CASE of watch.steps ("all") runs its steps. Once the
watch rests it must stay at rest, Ctrl-C ends it with the status expected,
every file is what a plain run makes of the same files, nothing is left
behind. A failure prints its steps and how to run it again.
SKELVANE_WRAPPER runs the program under wine, SKELVANE_PLATFORM=windows
leaves out links and the cases that need them.
"""
import codecs, os, random, shutil, signal, subprocess, sys, tempfile, time

program = os.path.realpath(sys.argv[1])
steps = int(sys.argv[2]) if len(sys.argv) > 2 else 30
seeds = (sys.argv[3] if len(sys.argv) > 3 else "new").split(",") + [os.environ.get("SKELVANE_SEED", "")]
wanted = sys.argv[4:]
wrapper = os.environ.get("SKELVANE_WRAPPER", "").split()
windows = os.environ.get("SKELVANE_PLATFORM") == "windows"
patience = 90 if wrapper else 30

# Six patterns for four pages: patterns stop being read and are named again.
PARTS = ["lib/parts/p%d.inc" % i for i in range(6)]
PATTERNS = PARTS + ([] if windows else ["link.inc"])
# Only link.inc leads to these, so their folder is watched only through it.
ELSEWHERE = [] if windows else ["alt/q0.inc", "alt/q1.inc"]
PAGES = ["a.html", "b.html", "sub/c.html", "sub/d.html"]
watches, jobs = [], []  # what a run started, ended after it
escape, unescape = (lambda b: codecs.escape_encode(b)[0].decode()), (lambda s: codecs.escape_decode(s.encode())[0])


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def page(*names):
    return b"".join(b"<!--#pattern file=\"%s\" -->\nold\n<!--#endpattern -->\n" % n.encode() for n in names)


def inplace(name, data):
    os.makedirs(os.path.dirname(name) or ".", exist_ok=True)  # the folder may have moved away
    with open(name, "r+b" if os.path.exists(name) else "wb") as f:
        f.write(data)
        f.truncate()


def truncate(name, data):
    open(name, "wb").close()
    with open(name, "ab") as f:
        f.write(data)


def rename(name, data):
    write(name + ".part", data)
    os.replace(name + ".part", name)


def backup(name, data):
    os.rename(name, name + "~")
    write(name, data)


def sametime(name, data):
    # The same size and modification time as before, other bytes.
    if not os.path.exists(name):
        return inplace(name, data)
    before, old = os.stat(name), open(name, "rb").read()
    inplace(name, bytes((b + 1 - 97) % 26 + 97 if 97 <= b <= 122 else b for b in old) if old else data)
    os.utime(name, ns=(before.st_atime_ns, before.st_mtime_ns))


def rest(files, quiet, limit):
    """Waits until the files stop growing for quiet seconds; False when they never do."""
    sizes, since, start = None, time.monotonic(), time.monotonic()
    while time.monotonic() - start < limit:
        now = [os.path.getsize(f) for f in files]
        if now != sizes:
            sizes, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return True
        time.sleep(0.1)
    return False


def snapshot(top="."):
    found = {}
    for where, dirs, files in os.walk(top):
        for f in files:
            path = os.path.join(where, f)
            found[os.path.relpath(path, top)] = (b"-> " + os.readlink(path).encode() if os.path.islink(path)
                                                 else open(path, "rb").read())
    return found


def pages(args, top):
    """A plain run's arguments: it refuses a folder, so it is given the pages the watch finds in one."""
    found, seen = [], set()

    def walk(folder):
        where = os.stat(os.path.join(top, folder))
        if (where.st_dev, where.st_ino) not in seen:  # a folder reached twice through links is walked once
            seen.add((where.st_dev, where.st_ino))
            for name in sorted(n for n in os.listdir(os.path.join(top, folder)) if not n.startswith(".")):
                path = os.path.join(folder, name)
                walk(path) if os.path.isdir(os.path.join(top, path)) else (
                    name.lower().endswith((".html", ".htm")) and found.append(path))

    for arg in args:
        walk(arg) if os.path.isdir(os.path.join(top, arg)) else found.append(arg)
    return found


class Watch:
    """A watch in the current directory, its stdout and stderr in files beside it."""

    def __init__(self, args, wrap=()):
        self.args, self.wrapped, self.unjudged = args, bool(wrap), []
        base = "../" + os.path.basename(os.getcwd())
        self.out, self.err = open(base + ".out", "wb"), open(base + ".err", "wb")
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0") if wrap else None  # no leak checks under strace
        self.process = subprocess.Popen(list(wrap) + wrapper + [program, "--watch"] + args,
                                        stdout=self.out, stderr=self.err, env=env)
        watches.append(self)

    def lines(self, path):
        with open({"out": self.out.name, "err": self.err.name}.get(path, path), "rb") as f:
            return f.read().decode(errors="replace").replace("\r", "").split("\n")[:-1]

    def count(self, path, text):
        try:
            return sum(text[1:] in line if text.startswith("~") else line == text for line in self.lines(path))
        except OSError:
            return 0

    def stop(self, status, quiet, failures):
        """Waits for rest, stops with Ctrl-C, then compares every file with a plain run's."""
        if not rest([self.out.name, self.err.name], quiet, 90):
            failures.append("the watch never rests: it keeps making passes")
        grown = os.path.getsize(self.out.name)
        # Under strace the signal goes to the program, not to strace.
        children = open(f"/proc/{self.process.pid}/task/{self.process.pid}/children").read().split()
        os.kill(int(children[0]) if self.wrapped and children else self.process.pid, signal.SIGINT)
        try:
            got = self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            got = "none: still running 30 s after SIGINT"
        if got != status:
            failures.append(f"status {got} after SIGINT, expected {status}")
        watched = snapshot()
        # What a plain run makes of the same files, in a copy.
        copy = tempfile.mkdtemp(prefix="skelvane-plain-")
        shutil.copytree(".", copy, symlinks=True, dirs_exist_ok=True)
        # Windows writes CR LF: a page whose text stayed the same is one the
        # watch leaves alone, and so does --if-changed.
        subprocess.run(wrapper + [program] + (["--if-changed"] if windows else []) + pages(self.args, copy), cwd=copy,
                       capture_output=True)
        for path, data in snapshot(copy).items():
            if watched.get(path) != data and path not in self.unjudged:
                failures.append(f"{path}: the watch left {watched.get(path)!r:.300}, a plain run makes {data!r:.300}")
        shutil.rmtree(copy)
        # skelvane.tmp is left when a message says so.
        told = "skelvane.tmp" in open(self.err.name, errors="replace").read()
        left = [p for p in watched if os.path.basename(p).startswith(".skelvane-") or p == "skelvane.tmp" and not told]
        if left:
            failures.append(f"left behind: {left}")
        if os.path.getsize(self.out.name) != grown and "out" not in self.unjudged:
            failures.append("a pass after the watch had rested")

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.out.close(), self.err.close()
        tail = open(self.err.name, "rb").read().decode(errors="replace")[-2000:]
        os.remove(self.out.name), os.remove(self.err.name)
        return tail


def randomrun(seed):
    """A random run's steps, in the language of watch.steps, each drawn once the last is done."""
    rng = random.Random(seed)

    def text():  # a pattern's text: never a directive keyword, any length
        return escape(b"".join(rng.choice([b"nav ", b"<a href=x>", b"\n", b"\t", b"\xc3\xa9", b"line\r\n"])
                               for _ in range(rng.randrange(0, 12))))

    def step():
        kind = rng.choice(["save"] * 3 + ["delete"] + ["switch"] * 3 + ([] if windows else ["relink", "move"]))
        if kind == "save":
            name, how = rng.choice(PARTS + ELSEWHERE), rng.choice(["inplace", "rename", "sametime"])
            return [f"save {how} {name} {text()}"]
        if kind == "delete":
            name = rng.choice(PARTS)
            return [f"remove {name}" if os.path.exists(name) else f"file {name} {text()}"]
        if kind == "switch":
            name, pattern = rng.choice(PAGES), rng.choice(PATTERNS)
            lines = [f"save rename {name} {escape(page(pattern))}"]
            if pattern in PARTS and rng.random() < 0.3:
                # The pattern made anew (deleted, then written) while the page is read.
                lines += [f"sleep {rng.choice([0.1, 0.2, 0.4])}", f"remove {pattern}",
                          f"sleep {rng.choice([0, 0.05, 0.2])}", f"file {pattern} {text()}"]
            return lines
        if kind == "relink":
            return [f"link link.inc {rng.choice(PARTS + ELSEWHERE)}"]
        # The folder above the patterns' moved away, and a new one made in its place.
        return ["remove lib.old", "move lib lib.old"] + [f"file {name} {text()}" for name in PARTS if os.path.exists(name)]

    for name in PARTS + ELSEWHERE:
        yield f"file {name} {text()}"
    if not windows:
        yield "link link.inc alt/q0.inc"
    for name in PAGES:
        yield f"page {name} {rng.choice(PATTERNS)}"
    yield "start -v " + " ".join(PAGES + [rng.choice(PAGES)])  # one page named twice
    yield "rest 1"
    for _ in range(steps):
        yield from step()
        yield f"sleep {rng.choice([0, 0.05, 0.3, 0.3, 0.8])}"
    yield "stop 0 5"


def caserun(args, lines, failures, done):
    """Runs the steps of a case of watch.steps (its lines after the "case" line) or of a random run."""
    watch, outs, wrap = None, None, []
    for line in lines:
        done.append(line)
        word, _, rest_ = line.partition(" ")
        if word == "wrap":
            wrap = rest_.split()
        elif word == "file":
            path, _, data = rest_.partition(" ")
            write(unescape(path).decode(), eval(data[2:]) if data.startswith("= ") else unescape(data))
        elif word == "page":
            path, *names = rest_.split()
            write(unescape(path).decode(), page(*names))
        elif word == "save":
            how, path, data = rest_.split(" ", 2)
            globals()[how](path, unescape(data))
        elif word == "link":
            name, target = rest_.split()
            os.path.lexists(name) and os.remove(name)
            os.symlink(target, name)
        elif word in ("move", "copy"):
            (os.rename if word == "move" else shutil.copytree)(*rest_.split())
        elif word == "remove":
            shutil.rmtree(rest_) if os.path.isdir(rest_) else os.path.lexists(rest_) and os.remove(rest_)
        elif word == "sleep":
            time.sleep(float(rest_))
        elif word == "start":
            watch = Watch(rest_.split() or args, wrap)
        elif word == "rest":
            rest([watch.out.name], float(rest_), patience)
        elif word == "unjudged":
            watch.unjudged = rest_.split()
        elif word in ("sh", "bg"):
            job = subprocess.Popen(["bash", "-c", rest_], start_new_session=True,
                                   env=dict(os.environ, SKELVANE=" ".join(wrapper + [program])))
            jobs.append(job) if word == "bg" else job.wait() and failures.append(f"status {job.returncode}")
        elif word == "stop":
            status, _, quiet = rest_.partition(" ")
            watch.stop(int(status), float(quiet or 1.5), failures)
            for job in jobs:  # after the watch's stop: a job may hold what it waits for
                os.killpg(job.pid, signal.SIGINT)
                job.wait(30)
        elif word in ("until", "expect"):
            path, n, text = rest_.split(" ", 2)
            path, deadline = unescape(path).decode(), time.monotonic() + (patience if word == "until" else 0)
            while (watch.count(path, text) < int(n) if word == "until" else watch.count(path, text) != int(n)):
                if time.monotonic() > deadline or watch.process.poll() is not None:
                    failures.append(f"{path} has {watch.count(path, text)} lines {text!r}")
                    break
                time.sleep(0.1)
        elif word == "out":
            outs = (outs or []) + ([rest_] if rest_ else [])
        if failures:
            return
    if outs is not None and watch.lines("out") != outs:
        failures.append("stdout:\n  " + "\n  ".join(watch.lines("out")))


def cases():
    """The cases of watch.steps, by name: [arguments, lines]."""
    found, current = {}, None
    for line in open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "watch.steps")):
        line = line.rstrip("\n")
        if line.startswith("case "):
            name, *args = line[5:].split()
            current = found[name] = [args, []]
        elif current and line and not line.startswith("#"):
            current[1].append(line)
    return found


runs = [("seed", int(s) if s != "new" else random.randrange(1 << 30)) for s in seeds if s]
table = cases()
for name in [n for n in table if "slow" not in table[n][1]] if wanted == ["all"] else wanted:
    wrap = next((line.split()[1] for line in table[name][1] if line.startswith("wrap ")), "")
    if "posix" in table[name][1] and windows or wrap and (wrapper or not shutil.which(wrap)):
        print(f"watch_property: skip case {name}: it needs " + (wrap + " on Linux" if wrap else "links"))
        continue
    if "root" in table[name][1] and os.geteuid() != 0:
        print(f"watch_property: skip case {name}: it needs root, to run the watch as another user")
        continue
    runs.append(("case", name))
failed = 0
for kind, what in runs:
    print(f"watch_property: {kind} {what}" + (f", {steps} steps" if kind == "seed" else ""), flush=True)
    failures, done, tail = [], [], ""
    os.chdir(tempfile.mkdtemp(prefix="skelvane-watchprop-"))
    try:
        caserun([], randomrun(what), failures, done) if kind == "seed" else caserun(*table[what], failures, done)
    finally:
        while watches:
            tail += watches.pop().close()
        while jobs:
            job = jobs.pop()
            job.poll() is None and os.killpg(job.pid, signal.SIGKILL)
        work = os.getcwd()
        os.chdir("/")
        shutil.rmtree(work)
    if failures:
        failed = 1
        print("steps:\n  " + "\n  ".join(done) + "\nstderr:\n" + tail + "\nFAIL: " + "\n      ".join(failures))
        print(f"again: {sys.argv[0]} {sys.argv[1]} " + (f"{steps} {what}" if kind == "seed" else f"0 '' {what}"))
        if os.environ.get("SKELVANE_FAIL_FAST"):
            break
sys.exit(failed)
