#!/usr/bin/env python3
"""The command-line front end on a volume that keeps coarse times, as a USB
disk's FAT does: a second run after a first copy copies nothing, and a mode
the volume cannot hold is no failure; a volume of exact times keeps the exact
comparison.

No FAT driver is at hand, so the volume is a FUSE passthrough of a folder
(this file run with --serve, under Debian's python3-fusepy) that rounds every
modification time to 2 seconds and refuses mode changes as FAT does. Skipped
(exit 77) only where /dev/fuse is missing.

usage: coarse_clock.py KORVANE
       coarse_clock.py --serve ROOT MOUNTPOINT down|up|seconds|exact|none|slow

--serve mounts the volume alone: times rounded down or up to 2 seconds, cut
to whole seconds (seconds), kept exact, not kept at all (none), or kept
exact on a volume that takes a millisecond for every write of a few
kilobytes (slow, a slow USB disk). The Windows tests mount it under Wine.
"""
import contextlib
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
STEP_NS = 2_000_000_000
# The system's own Python, which holds Debian's fusepy.
SYSTEM_PYTHON = "/usr/bin/python3"


def serve(root, mountpoint, rounding):
    """A passthrough of root: times rounded as told, modes not kept."""
    if rounding not in ("down", "up", "seconds", "exact", "none", "slow"):
        raise SystemExit("unknown kind of volume: " + rounding)
    from fusepy import FUSE, FuseOSError, Operations

    def shown(ns):
        if rounding == "down":
            return ns - ns % STEP_NS
        if rounding == "up":
            return ns + (-ns) % STEP_NS
        if rounding == "seconds":
            return ns - ns % 1_000_000_000
        return ns

    class CoarseVolume(Operations):
        use_ns = True

        def full(self, path):
            return os.path.join(root, path.lstrip("/"))

        def getattr(self, path, fh=None):
            st = os.lstat(self.full(path))
            attrs = {key: getattr(st, key) for key in
                     ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_ino")}
            attrs["st_atime"] = shown(st.st_atime_ns)
            attrs["st_mtime"] = shown(st.st_mtime_ns)
            attrs["st_ctime"] = shown(st.st_ctime_ns)
            return attrs

        def utimens(self, path, times=None):
            now = time.time_ns()
            atime, mtime = times if times else (now, now)
            if rounding == "none":  # a volume that keeps no time it is given
                atime = mtime = now
            os.utime(self.full(path), ns=(shown(atime), shown(mtime)))

        def chmod(self, path, mode):
            raise FuseOSError(errno.EPERM)

        def chown(self, path, uid, gid):
            raise FuseOSError(errno.EPERM)

        def symlink(self, target, source):
            raise FuseOSError(errno.EPERM)

        def link(self, target, source):
            raise FuseOSError(errno.EPERM)

        def readdir(self, path, fh):
            return [".", ".."] + os.listdir(self.full(path))

        def access(self, path, amode):
            if not os.access(self.full(path), amode):
                raise FuseOSError(errno.EACCES)

        def open(self, path, flags):
            return os.open(self.full(path), flags)

        def create(self, path, mode, fi=None):
            return os.open(self.full(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

        def read(self, path, size, offset, fh):
            return os.pread(fh, size, offset)

        def write(self, path, data, offset, fh):
            if rounding == "slow":
                time.sleep(0.001)
            return os.pwrite(fh, data, offset)

        def truncate(self, path, length, fh=None):
            os.truncate(self.full(path), length)

        def flush(self, path, fh):
            return 0

        def fsync(self, path, datasync, fh):
            return 0

        def release(self, path, fh):
            os.close(fh)

        def unlink(self, path):
            os.unlink(self.full(path))

        def rmdir(self, path):
            os.rmdir(self.full(path))

        def mkdir(self, path, mode):
            os.mkdir(self.full(path), mode)

        def rename(self, old, new):
            os.rename(self.full(old), self.full(new))

        def statfs(self, path):
            st = os.statvfs(self.full(path))
            return {key: getattr(st, key) for key in
                    ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree",
                     "f_files", "f_flag", "f_frsize", "f_namemax")}

    FUSE(CoarseVolume(), mountpoint, foreground=True, nothreads=True, use_ino=True,
         attr_timeout=0, entry_timeout=0)


class Volume:
    """A mounted passthrough, unmounted on leaving."""

    def __init__(self, root, mountpoint, rounding):
        self.mountpoint = mountpoint
        os.makedirs(root, exist_ok=True)
        os.makedirs(mountpoint, exist_ok=True)
        self.server = subprocess.Popen(
            [SYSTEM_PYTHON, os.path.abspath(__file__), "--serve", root, mountpoint, rounding],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(200):
            if os.path.ismount(mountpoint):
                return
            if self.server.poll() is not None:
                break
            time.sleep(0.05)
        self.close()
        raise RuntimeError("the FUSE volume did not mount: " + self.server.stderr.read().decode())

    def close(self):
        if os.path.ismount(self.mountpoint):
            if subprocess.run(["umount", self.mountpoint], stderr=subprocess.DEVNULL).returncode != 0:
                subprocess.run(["fusermount", "-u", self.mountpoint], check=False)
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


def make_source(folder):
    """Files at odd and even seconds (with fractions), a private directory and a read-only file."""
    os.makedirs(os.path.join(folder, "sub", "private"))
    os.chmod(os.path.join(folder, "sub", "private"), 0o700)
    times = {"odd.txt": 1_600_000_001_250_000_000, "even.txt": 1_600_000_000_000_000_000,
             "even-fraction.txt": 1_600_000_002_700_000_000, "sub/odd.txt": 1_600_000_003_000_000_000,
             "sub/private/odd.txt": 1_600_000_005_900_000_000, "read-only.txt": 1_600_000_007_000_000_000}
    for name, ns in times.items():
        path = os.path.join(folder, name)
        with open(path, "w") as out:
            out.write(name)
        os.utime(path, ns=(ns, ns))
    os.chmod(os.path.join(folder, "read-only.txt"), 0o444)


def run(korvane, work, source, target, *options):
    """Runs a folder run with its log shown; gives the exit status and the log's lines."""
    logs = os.path.join(work, "logs")
    os.makedirs(logs, exist_ok=True)
    result = subprocess.run([korvane, "-v", "-l", logs, *options, source, target],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    with open(os.path.join(logs, "korvaneui.log")) as log:
        return result.returncode, log.read().splitlines()


def updated(lines):
    return [line for line in lines if line.startswith("Updated: [")]


def check(failures, name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name)
    if not condition:
        failures.append(name)
        if detail:
            print("     " + str(detail))


@contextlib.contextmanager
def mounted(work, rounding):
    """A made source and an empty To folder on a volume that keeps times as rounding says."""
    source = os.path.join(work, "from")
    make_source(source)
    volume = Volume(os.path.join(work, "below"), os.path.join(work, "volume"), rounding)
    try:
        target = os.path.join(work, "volume", "to")
        os.mkdir(target)
        yield source, target
    finally:
        volume.close()


def case_coarse(korvane, work, rounding, failures):
    """A first copy to a volume that rounds down (or up), then nothing to do."""
    with mounted(work, rounding) as (source, target):
        status, lines = run(korvane, work, source, target)
        check(failures, f"{rounding}: the first copy takes every file, modes or not",
              status == 0 and updated(lines) == ["Updated: [8 dirs and files]. "], (status, lines))
        copy = os.path.join(target, "odd.txt")
        mtime = os.stat(copy).st_mtime_ns if os.path.exists(copy) else None
        check(failures, f"{rounding}: the volume keeps 2-second times", mtime and mtime % STEP_NS == 0, mtime)
        status, lines = run(korvane, work, source, target)
        check(failures, f"{rounding}: the second run copies nothing",
              status == 0 and updated(lines) == ["Updated: [0 dirs and files]. "] and
              not any(line.startswith("  CP:") for line in lines), (status, lines))
        leftovers = [name for name in os.listdir(target) if name.startswith(".korvane-")]
        check(failures, f"{rounding}: no probe or temporary is left", not leftovers, leftovers)
        # Two seconds newer is a change even here; so is another size.
        even = os.path.join(source, "even.txt")
        os.utime(even, ns=(1_600_000_002_000_000_000,) * 2)
        with open(os.path.join(source, "sub", "odd.txt"), "a") as out:
            out.write("more")
        os.utime(os.path.join(source, "sub", "odd.txt"), ns=(1_600_000_003_000_000_000,) * 2)
        status, lines = run(korvane, work, source, target)
        copied = sorted(line.split("] -> [")[0].rsplit(os.sep, 1)[-1] for line in lines if line.startswith("  CP:"))
        check(failures, f"{rounding}: a newer time or another size is still copied",
              status == 0 and copied == ["even.txt", "odd.txt"], (status, copied))


def case_exact(korvane, work, failures):
    """A volume the file system's name cannot tell, keeping exact times: one second newer differs."""
    with mounted(work, "exact") as (source, target):
        status, lines = run(korvane, work, source, target)
        check(failures, "exact: the first copy", status == 0, (status, lines))
        os.utime(os.path.join(source, "even.txt"), ns=(1_600_000_001_000_000_000,) * 2)
        status, lines = run(korvane, work, source, target)
        check(failures, "exact: a source one second newer is copied",
              status == 0 and updated(lines) == ["Updated: [1 dirs and files]. "], (status, lines))


def case_seconds(korvane, work, failures):
    """A volume of whole seconds, the name of whose file system tells nothing:
    its step is learned, so a second run copies nothing; a second newer is
    still a change."""
    with mounted(work, "seconds") as (source, target):
        status, lines = run(korvane, work, source, target)
        copy = os.path.join(target, "odd.txt")
        mtime = os.stat(copy).st_mtime_ns if os.path.exists(copy) else None
        check(failures, "seconds: the first copy, its times cut to the second",
              status == 0 and mtime == 1_600_000_001_000_000_000, (status, mtime, lines))
        status, lines = run(korvane, work, source, target)
        check(failures, "seconds: the second run copies nothing",
              status == 0 and updated(lines) == ["Updated: [0 dirs and files]. "], (status, lines))
        os.utime(os.path.join(source, "odd.txt"), ns=(1_600_000_002_250_000_000,) * 2)
        status, lines = run(korvane, work, source, target)
        check(failures, "seconds: a source one second newer is copied",
              status == 0 and updated(lines) == ["Updated: [1 dirs and files]. "], (status, lines))


def case_same_second(korvane, work, failures):
    """A volume that keeps nanoseconds, which its name does not tell: a file
    rewritten with the same size 1 us, 1 ms or 0.999 s after the time its
    copy has, within the same second, is copied again."""
    with mounted(work, "exact") as (source, target):
        path = os.path.join(source, "even.txt")
        for later in (1_000, 1_000_000, 999_000_000):
            os.utime(path, ns=(1_600_000_000_000_000_000,) * 2)
            run(korvane, work, source, target)
            with open(path, "w") as out:
                out.write("EVEN.TXT")
            os.utime(path, ns=(1_600_000_000_000_000_000 + later,) * 2)
            status, lines = run(korvane, work, source, target)
            with open(os.path.join(target, "even.txt")) as copy:
                text = copy.read()
            check(failures, "exact: a change %d ns later in the same second is copied" % later,
                  status == 0 and updated(lines) == ["Updated: [1 dirs and files]. "] and text == "EVEN.TXT",
                  (status, lines, text))
            with open(path, "w") as out:
                out.write("even.txt")


def case_unknown(korvane, work, failures):
    """A volume that keeps no time it is given: nothing is learned, every file is copied again."""
    with mounted(work, "none") as (source, target):
        run(korvane, work, source, target)
        status, lines = run(korvane, work, source, target)
        check(failures, "no times kept: each run copies the files again, without failure",
              status == 0 and updated(lines) == ["Updated: [6 dirs and files]. "], (status, lines))


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve(*sys.argv[2:])
        return 0
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not os.path.exists("/dev/fuse"):
        print("skipped: no /dev/fuse")
        return SKIPPED
    korvane = os.path.abspath(sys.argv[1])
    failures = []
    cases = [lambda work: case_coarse(korvane, work, "down", failures),
             lambda work: case_coarse(korvane, work, "up", failures),
             lambda work: case_exact(korvane, work, failures),
             lambda work: case_seconds(korvane, work, failures),
             lambda work: case_same_second(korvane, work, failures),
             lambda work: case_unknown(korvane, work, failures)]
    for case in cases:
        work = tempfile.mkdtemp(prefix="korvane-coarse-")
        try:
            case(work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
