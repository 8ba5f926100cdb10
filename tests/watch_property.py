#!/usr/bin/env python3
"""watch_property.py SKELVANE [STEPS] [SEED]: random edits under --watch.

A watch runs over a small site while random steps edit it as users and
editors do: patterns saved in place, by rename, or with their size and time
kept; a pattern deleted and made again; a page switching patterns; a linked
pattern pointed elsewhere; the folder of patterns moved away and made anew;
one page named twice. Once the watch rests, each page must be what a plain
run makes of the files as they are (a plain run changes nothing), the watch
must stay at rest, no file may be left behind, and Ctrl-C ends it with 0.
Seeded (SKELVANE_SEED, or a new seed each run); the seed is printed, and a
failure says how to run it again.
SKELVANE_WRAPPER runs the program under another (wine), with
SKELVANE_PLATFORM=windows (no links there).
"""
import os, random, shutil, signal, subprocess, sys, tempfile, time

program = os.path.realpath(sys.argv[1])
steps = int(sys.argv[2]) if len(sys.argv) > 2 else 30
seed = int(sys.argv[3]) if len(sys.argv) > 3 else int(os.environ.get("SKELVANE_SEED") or random.randrange(1 << 30))
wrapper = os.environ.get("SKELVANE_WRAPPER", "").split()
windows = os.environ.get("SKELVANE_PLATFORM") == "windows"
rng = random.Random(seed)
print(f"watch_property: seed {seed}, {steps} steps")

# Six patterns for four pages: patterns stop being read and are named again.
PARTS = ["lib/parts/p%d.inc" % i for i in range(6)]
PATTERNS = PARTS + ([] if windows else ["link.inc"])
# Only link.inc leads to these, so their folder is watched only through it.
ELSEWHERE = [] if windows else ["alt/q0.inc", "alt/q1.inc"]
PAGES = ["a.html", "b.html", "sub/c.html", "sub/d.html"]


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def page(name):
    return b"<body>\n<!--#pattern file=\"%s\" -->\nold\n<!--#endpattern -->\n</body>\n" % name.encode()


def text():  # a pattern's text: never a directive keyword, any length
    return b"".join(rng.choice([b"nav ", b"<a href=x>", b"\n", b"\t", b"\xc3\xa9", b"line\r\n"])
                    for _ in range(rng.randrange(0, 12)))


def inplace(name, data):
    # The folder may have been moved away with every pattern in it.
    os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
    with open(name, "r+b" if os.path.exists(name) else "wb") as f:
        f.write(data)
        f.truncate()


def byrename(name, data):
    write(name + ".part", data)
    os.replace(name + ".part", name)


def sametime(name, data):
    # The same size and modification time as before, other bytes.
    if not os.path.exists(name):
        return inplace(name, data)
    before = os.stat(name)
    old = open(name, "rb").read()
    inplace(name, bytes((b + 1 - 97) % 26 + 97 if 97 <= b <= 122 else b for b in old) if old else data)
    os.utime(name, ns=(before.st_atime_ns, before.st_mtime_ns))


def step(pages):
    kind = rng.choice(["save", "save", "save", "delete", "switch", "switch", "switch"] +
                      ([] if windows else ["relink", "move"]))
    if kind == "save":
        name = rng.choice(PARTS + ELSEWHERE)
        how = rng.choice([inplace, byrename, sametime])
        how(name, text())
        return f"{how.__name__} {name}"
    if kind == "delete":
        name = rng.choice(PARTS)
        if os.path.exists(name):
            os.remove(name)
            return f"delete {name}"
        write(name, text())
        return f"make {name}"
    if kind == "switch":
        name = rng.choice(pages)
        pattern = rng.choice(PATTERNS)
        byrename(name, page(pattern))
        if pattern in PARTS and rng.random() < 0.3:
            # The pattern made anew (deleted, then written) while the page is read.
            time.sleep(rng.choice([0.1, 0.2, 0.4]))
            os.path.exists(pattern) and os.remove(pattern)
            time.sleep(rng.choice([0, 0.05, 0.2]))
            write(pattern, text())
            return f"{name} names {pattern}, made anew"
        return f"{name} names {pattern}"
    if kind == "relink":
        target = rng.choice(PARTS + ELSEWHERE)
        os.remove("link.inc")
        os.symlink(target, "link.inc")
        return f"link.inc -> {target}"
    # The folder above the patterns' moved away, and a new one made in its place.
    shutil.rmtree("lib.old", ignore_errors=True)
    os.rename("lib", "lib.old")
    for name in PARTS:
        if os.path.exists(name.replace("lib/", "lib.old/")):
            write(name, text())
    return "lib moved, made anew"


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


def snapshot():
    found = {}
    for top, dirs, files in os.walk("."):
        for f in files:
            path = os.path.join(top, f)[2:]
            found[path] = open(path, "rb").read() if not os.path.islink(path) else b"-> " + os.readlink(path).encode()
    return found


failures = []
work = tempfile.mkdtemp(prefix="skelvane-watchprop-")
os.chdir(work)
for name in PARTS + ELSEWHERE:
    write(name, text())
if not windows:
    os.symlink("alt/q0.inc", "link.inc")
for name in PAGES:
    write(name, page(rng.choice(PATTERNS)))
named = PAGES + [rng.choice(PAGES)]  # one page named twice
out, err = open("../" + os.path.basename(work) + ".out", "wb"), open("../" + os.path.basename(work) + ".err", "wb")
watch = subprocess.Popen(wrapper + [program, "--watch", "-v"] + named, stdout=out, stderr=err)
try:
    rest([out.name], 1.0, 30)
    done = []
    for _ in range(steps):
        done.append(step(PAGES))
        time.sleep(rng.choice([0, 0.05, 0.3, 0.3, 0.8]))
    if not rest([out.name, err.name], 5.0, 90):
        failures.append("the watch never rests: it keeps making passes")
    watched = snapshot()
    # What a plain run makes of the same files, in a copy.
    copy = tempfile.mkdtemp(prefix="skelvane-plain-")
    shutil.copytree(".", copy, symlinks=True, dirs_exist_ok=True)
    # Windows writes CR LF: a page whose text stayed the same is one the
    # watch leaves alone, and so does --if-changed.
    plain = subprocess.run(wrapper + [program] + (["--if-changed"] if windows else []) + named, cwd=copy,
                           capture_output=True)
    os.chdir(copy)
    for path, data in snapshot().items():
        if watched.get(path) != data:
            failures.append(f"{path}: the watch left {watched.get(path)!r}, a plain run makes {data!r}")
    os.chdir(work)
    shutil.rmtree(copy)
    left = [p for p in watched if os.path.basename(p).startswith(".skelvane-") or p.endswith("skelvane.tmp")]
    if left:
        failures.append(f"left behind: {left}")
    grown = os.path.getsize(out.name)
    time.sleep(2)
    if os.path.getsize(out.name) != grown:
        failures.append("a pass after the watch had rested")
    watch.send_signal(signal.SIGINT)
    status = watch.wait(30)
    if status != 0:
        failures.append(f"status {status} after SIGINT")
finally:
    if watch.poll() is None:
        watch.kill()
    out.close(), err.close()
if failures:
    print("steps:\n  " + "\n  ".join(done))
    print("stderr:\n" + open(err.name, "rb").read().decode(errors="replace")[-2000:])
    print("FAIL: " + "\n      ".join(failures))
    print(f"again: {sys.argv[0]} {sys.argv[1]} {steps} {seed}")
for f in (out.name, err.name):
    os.remove(f)
shutil.rmtree(work)
sys.exit(1 if failures else 0)
