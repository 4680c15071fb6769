#!/usr/bin/env python3
"""The benchmarks' delayed FUSE volume (bench/latency_fs.py, delay 0 here)
passes every change through to its backing folder and counts the requests it
serves by kind, also when many threads change one folder at once; and the
command-line front end mirrors a tree onto it, so that the latency case's
results are true copies and its counts true requests. Nothing here is timed.

Runs in a mount namespace of its own (unshare) where it can, so that no
other program adds to the counts. Skipped (exit 77) without /dev/fuse or the
right to mount.

usage: latency_volume.py KORVANE
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "..", "..", "bench")
sys.path.insert(0, BENCH)
import latency_fs  # noqa: E402

SKIPPED = 77
INSIDE = "KORVANE_LATENCY_NAMESPACE"
# Kinds any call may bring along, failed or not: the kernel looks names up
# (new ones in vain), asks for attributes, and tries what the volume does not
# serve (ioctl, extended attributes) once or at each open.
ALWAYS = {"lookup", "getattr", "ioctl", "getxattr"}


def write(path, data):
    with open(path, "wb") as out:
        out.write(data)


def read(path):
    with open(path, "rb") as source:
        return source.read()


def replace(v):
    write(v("d/old"), b"old")
    os.rename(v("d/old"), v("d/big"))


def link_and_text(v):
    os.symlink("big", v("d/link"))
    return os.readlink(v("d/link")) == "big"


def rename_and_read(v):
    """Names are still found through a handle of the folder opened before it moved."""
    handle = os.open(v("d"), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.rename(v("d"), v("e"))
        inside = os.open("big", os.O_RDONLY, dir_fd=handle)
        with os.fdopen(inside, "rb") as source:
            return source.read() == b"old" and read(v("e/big")) == b"old"
    finally:
        os.close(handle)


def remove_folder(v):
    for name in os.listdir(v("e")):
        os.unlink(v("e/" + name))
    os.rmdir(v("e"))


# Each call on the volume (False when what it reads back is wrong), what the
# backing folder then shows, and the kinds of request the call must bring
# besides look-ups and attribute queries.
BIG = os.urandom(300 * 1024)
MANY = [f"a-name-long-enough-to-need-many-pages-{index:05d}" for index in range(3000)]
CALLS = [
    ("a folder is made", lambda v: os.mkdir(v("d"), 0o750),
     lambda b: os.stat(b("d")).st_mode & 0o777 == 0o750, {"mkdir"}),
    ("a file is written in pieces", lambda v: write(v("d/big"), BIG),
     lambda b: read(b("d/big")) == BIG, {"create", "write", "flush", "release"}),
    ("it reads back", lambda v: read(v("d/big")) == BIG, lambda b: True, {"open", "read", "flush", "release"}),
    ("a time to the nanosecond", lambda v: os.utime(v("d/big"), ns=(1_500_000_000_123_456_789,) * 2),
     lambda b: os.stat(b("d/big")).st_mtime_ns == 1_500_000_000_123_456_789, {"setattr(times)"}),
    ("a mode", lambda v: os.chmod(v("d/big"), 0o604),
     lambda b: os.stat(b("d/big")).st_mode & 0o777 == 0o604, {"setattr(mode)"}),
    ("a shorter size", lambda v: os.truncate(v("d/big"), 1000),
     lambda b: read(b("d/big")) == BIG[:1000], {"setattr(size)"}),
    ("a rename over a file", replace, lambda b: read(b("d/big")) == b"old" and not os.path.exists(b("d/old")),
     {"create", "write", "flush", "release", "rename"}),
    ("a hard link", lambda v: os.link(v("d/big"), v("d/second")),
     lambda b: os.stat(b("d/second")).st_ino == os.stat(b("d/big")).st_ino, {"link"}),
    ("a link and its text", link_and_text, lambda b: os.readlink(b("d/link")) == "big", {"symlink", "readlink"}),
    ("a listing of many pages", lambda v: sorted(os.listdir(v("many"))) == MANY, lambda b: True,
     {"opendir", "readdir", "releasedir"}),
    ("a file removed", lambda v: os.unlink(v("d/second")), lambda b: not os.path.exists(b("d/second")),
     {"unlink"}),
    ("a renamed folder's files are still found, also through its old handle", rename_and_read, lambda b: read(b("e/big")) == b"old",
     {"opendir", "releasedir", "rename", "open", "read", "flush", "release"}),
    ("a folder removed", remove_folder, lambda b: not os.path.exists(b("e")),
     {"opendir", "readdir", "releasedir", "unlink", "rmdir"}),
]


def check(failures, name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name)
    if not condition:
        failures.append(name)
        if detail:
            print("     " + str(detail))


def case_calls(work, failures):
    """Every call passes through and is counted as the kinds it must bring."""
    below = os.path.join(work, "below")
    os.makedirs(os.path.join(below, "many"))
    for name in MANY:
        open(os.path.join(below, "many", name), "w").close()
    with latency_fs.Mounted(below, os.path.join(work, "volume"), 0) as volume:
        on_volume = lambda name: os.path.join(volume.mountpoint, name)  # noqa: E731
        in_backing = lambda name: os.path.join(below, name)  # noqa: E731
        volume.counts()
        for name, call, shows, kinds in CALLS:
            try:
                passed = call(on_volume) is not False and shows(in_backing)
            except OSError as error:
                passed = error
            counts = volume.counts()
            brought = set(counts["kinds"])
            check(failures, name, passed is True and kinds <= brought <= kinds | ALWAYS and
                  counts["requests"] == sum(counts["kinds"].values()) and set(counts["failed"]) <= ALWAYS,
                  (passed, counts))
        # Changes made in the backing folder show at once, even another kind under a known name.
        write(in_backing("kind"), b"a file")
        first = os.stat(on_volume("kind"))
        os.unlink(in_backing("kind"))
        os.mkdir(in_backing("kind"))
        check(failures, "a name made a folder behind the volume's back is a folder",
              os.path.isfile(on_volume("kind")) is False and os.path.isdir(on_volume("kind")) and first.st_size == 6)
        missing = on_volume("not-there")
        check(failures, "a name that is not there: a look-up that failed", not os.path.exists(missing) and
              volume.counts()["failed"].get("lookup", 0) >= 1)
        check(failures, "counts taken twice: nothing the second time", volume.counts()["requests"] == 0)
        write(on_volume("written"), BIG)
        with open(on_volume("written"), "r+b") as out:
            out.seek(1000)
            out.write(b"again")
        check(failures, "the bytes written are counted, each write's", volume.counts()["written"] == len(BIG) + 5)
        with open(on_volume("written"), "rb", buffering=0) as source:
            source.seek(len(BIG) - 100)
            tail = source.read(1000)
        counts = volume.counts()
        check(failures, "the bytes read are counted, no more than the file holds",
              len(tail) == 100 and 100 <= counts["read"] <= len(BIG) and counts["written"] == 0, counts)


def case_threads(work, failures):
    """Threads that make, rename and remove names in one folder at once leave
    what they would leave one after another."""
    below = os.path.join(work, "below")
    with latency_fs.Mounted(below, os.path.join(work, "volume"), 0) as volume:
        shared = os.path.join(volume.mountpoint, "shared")
        os.mkdir(shared)
        errors = []

        def worker(number):
            try:
                for turn in range(30):
                    temporary = os.path.join(shared, f".t{number}-{turn}")
                    write(temporary, f"{number}:{turn}".encode())
                    os.rename(temporary, os.path.join(shared, f"w{number}"))
                    if turn % 3 == 0:
                        os.unlink(os.path.join(shared, f"w{number}"))
            except OSError as error:
                errors.append(error)

        threads = [threading.Thread(target=worker, args=(number,)) for number in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        backing = os.path.join(below, "shared")
        expected = {f"w{n}": f"{n}:29".encode() for n in range(16)}
        found = {name: read(os.path.join(backing, name)) for name in os.listdir(backing)}
        check(failures, "16 threads in one folder: every last rename stands, nothing else",
              not errors and found == expected, (errors[:3], sorted(found)[:5]))
        counts = volume.counts()["kinds"]
        check(failures, "16 threads in one folder: each rename counted", counts.get("rename") == 16 * 30, counts)


def same_trees(left, right):
    """Names, contents and modification times alike."""
    comparison = filecmp.dircmp(left, right)
    if comparison.left_only or comparison.right_only or comparison.funny_files:
        return False
    for name in comparison.common_files:
        a, b = os.path.join(left, name), os.path.join(right, name)
        if not filecmp.cmp(a, b, shallow=False) or os.stat(a).st_mtime_ns != os.stat(b).st_mtime_ns:
            return False
    return all(same_trees(os.path.join(left, d), os.path.join(right, d)) for d in comparison.common_dirs)


def case_mirror(korvane, work, failures):
    """The front end's first copy and mirror after a mutation onto the volume
    leave To like From, and the volume saw every file created."""
    source = os.path.join(work, "from")
    subprocess.run([sys.executable, os.path.join(BENCH, "make_tree.py"), source, "300", "20"], check=True)
    below = os.path.join(work, "below")
    with latency_fs.Mounted(below, os.path.join(work, "volume"), 0) as volume:
        target = os.path.join(volume.mountpoint, "to")
        os.mkdir(target)
        volume.counts()
        for step in ("first copy", "mirror after a mutation"):
            if step != "first copy":
                subprocess.run([sys.executable, os.path.join(BENCH, "mutate.py"), source], check=True)
            result = subprocess.run([korvane, "-q", "-s", "-y", source, target], stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True, timeout=300)
            counts = volume.counts()
            check(failures, f"korvane's {step} onto the volume: To is like From",
                  result.returncode == 0 and same_trees(source, os.path.join(below, "to")),
                  (result.returncode, result.stderr[-300:]))
            if step == "first copy":
                check(failures, "the first copy: a file made on the volume for each file",
                      counts["kinds"].get("create", 0) >= 300, counts["kinds"])
                size = sum(os.path.getsize(os.path.join(folder, name))
                           for folder, _, names in os.walk(source) for name in names)
                check(failures, "the first copy: the tree's bytes written, once",
                      counts["written"] == size, (counts["written"], size))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not os.path.exists("/dev/fuse"):
        print("skipped: no /dev/fuse")
        return SKIPPED
    if os.geteuid() != 0:
        print("skipped: mounting the volume needs root")
        return SKIPPED
    namespace = ["unshare", "--mount", "--propagation", "private"]
    if not os.environ.get(INSIDE) and shutil.which("unshare") and subprocess.run(namespace + ["true"]).returncode == 0:
        return subprocess.run(namespace + [sys.executable, os.path.abspath(__file__), *sys.argv[1:]],
                              env={**os.environ, INSIDE: "1"}).returncode
    korvane = os.path.abspath(sys.argv[1])
    failures = []
    for case in (case_calls, case_threads, lambda work, f: case_mirror(korvane, work, f)):
        work = tempfile.mkdtemp(prefix="korvane-latency-")
        try:
            case(work, failures)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
