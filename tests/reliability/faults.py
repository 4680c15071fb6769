#!/usr/bin/env python3
"""Faults a user meets, injected into real runs of the korvane program (Linux):
what the user sees, and what stays. Also deletion safety over random trees
with links planted in the To Folder.

faults.py PROGRAM [--rounds N]
"""
import argparse
import filecmp
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PROGRAM = None
RESULTS = []


def check(name, condition, detail=""):
    RESULTS.append((name, bool(condition)))
    print(("ok     " if condition else "FAILED ") + name + ("" if condition else ": " + detail))


def run(args, user=None, limit_file_blocks=None, timeout=120):
    command = [PROGRAM] + args
    prefix = []
    if user is not None and os.geteuid() == 0:
        prefix = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"]
    shell = " ".join("'%s'" % part.replace("'", "'\\''") for part in prefix + command)
    if limit_file_blocks is not None:
        shell = "ulimit -f %d; exec %s" % (limit_file_blocks, shell)
    done = subprocess.run(["bash", "-c", shell], capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def tree_digest(root):
    """Names, kinds, sizes, times and contents of everything below root, links unfollowed."""
    digest = {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            entry = (st.st_mode, st.st_size, st.st_mtime_ns)
            if os.path.islink(path):
                entry += (os.readlink(path),)
            elif os.path.isfile(path):
                with open(path, "rb") as source:
                    entry += (hashlib.sha1(source.read()).hexdigest(),)
            digest[os.path.relpath(path, root)] = entry
    return digest


def same_tree(source, target):
    compared = filecmp.dircmp(source, target)
    stack = [compared]
    while stack:
        node = stack.pop()
        if node.left_only or node.right_only or node.diff_files or node.funny_files:
            return False
        _, mismatch, errors = filecmp.cmpfiles(node.left, node.right, node.common_files, shallow=False)
        if mismatch or errors:
            return False
        stack.extend(node.subdirs.values())
    return True


def fresh(work, name):
    root = os.path.join(work, name)
    os.makedirs(os.path.join(root, "from"))
    os.makedirs(os.path.join(root, "to"))
    return root, os.path.join(root, "from"), os.path.join(root, "to")


def unprivileged(root):
    """The user the permission faults run as: nobody when we are root."""
    if os.geteuid() != 0:
        return None
    subprocess.run(["chown", "-R", "65534:65534", root], check=True)
    return 65534


def test_unlistable_directory(work):
    root, source, target = fresh(work, "unlistable")
    write(os.path.join(source, "a.txt"))
    os.makedirs(os.path.join(source, "locked", "inside"))
    write(os.path.join(target, "surplus.txt"), b"stays")
    user = unprivileged(root)
    os.chmod(os.path.join(source, "locked"), 0)
    status, _, err = run(["-s", "-y", source, target], user=user)
    os.chmod(os.path.join(source, "locked"), 0o755)
    check("unlistable directory stops the run (4)", status == 4, "status %d" % status)
    check("unlistable directory is reported",
          "! Error => Look for the files error. Please ensure the dir is valid." in err, err)
    check("no clean-up after a walk error", os.path.exists(os.path.join(target, "surplus.txt")))


def test_vanished_file(work):
    _, source, target = fresh(work, "vanished")
    write(os.path.join(source, "kept.txt"))
    os.symlink(os.path.join(source, "gone-before-the-copy"), os.path.join(source, "vanished.txt"))
    status, _, err = run([source, target])
    check("a file that vanished is a copy failure (1)", status == 1, "status %d" % status)
    check("the vanished file is named", "Copy failure: [%s/vanished.txt]" % source in err, err)
    check("the rest is copied", os.path.exists(os.path.join(target, "kept.txt")))


def test_read_only_target_directory(work):
    root, source, target = fresh(work, "readonly")
    write(os.path.join(source, "sub", "new.txt"))
    write(os.path.join(source, "other.txt"))
    os.makedirs(os.path.join(target, "sub"))
    user = unprivileged(root)
    if user is not None:
        os.chown(os.path.join(target, "sub"), 0, 0)  # not ours to open up
    os.chmod(os.path.join(target, "sub"), 0o555)
    status, _, err = run([source, target], user=user)
    os.chmod(os.path.join(target, "sub"), 0o755)
    check("a target directory without write permission fails its entries (1)", status == 1,
          "status %d: %s" % (status, err))
    check("the refused entry is named", "new.txt" in err, err)
    check("other entries are still copied", os.path.exists(os.path.join(target, "other.txt")))


def test_full_disk(work):
    _, source, target = fresh(work, "full")
    write(os.path.join(source, "small.txt"), b"s" * 100)
    write(os.path.join(source, "big.bin"), os.urandom(3 << 20))
    status, _, err = run([source, target], limit_file_blocks=1024)  # 1 MiB
    names = sorted(os.listdir(target))
    check("a copy beyond the space fails and is reported (1)", status == 1, "status %d: %s" % (status, err))
    check("no half-written file under the target's name", "big.bin" not in names, str(names))
    check("no temporary file left behind", names == ["small.txt"], str(names))
    status, _, _ = run(["-s", "-y", source, target])
    check("the next run completes the mirror", status == 0 and same_tree(source, target))


def test_killed_runs(work, rounds):
    rng = random.Random(7)
    _, source, target = fresh(work, "killed")
    for index in range(12):
        write(os.path.join(source, "d%d" % (index % 3), "big%d.bin" % index), os.urandom(1 << 20))
    for index in range(300):
        write(os.path.join(source, "s%d" % (index % 7), "f%d.txt" % index), b"%d" % index * 50)
    partial_ok = True
    for _ in range(rounds):
        process = subprocess.Popen([PROGRAM, "-s", "-y", source, target], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.0, 0.05))
        process.send_signal(signal.SIGKILL)
        process.wait()
        # Whatever carries the source's size and time must hold its contents.
        for folder, _, files in os.walk(target):
            for name in files:
                copy = os.path.join(folder, name)
                original = os.path.join(source, os.path.relpath(copy, target))
                if not os.path.exists(original):
                    continue
                a, b = os.stat(original), os.stat(copy)
                if (a.st_size, int(a.st_mtime)) == (b.st_size, int(b.st_mtime)) and \
                        not filecmp.cmp(original, copy, shallow=False):
                    partial_ok = False
        for index in rng.sample(range(300), 5):
            path = os.path.join(source, "s%d" % (index % 7), "f%d.txt" % index)
            with open(path, "ab") as out:
                out.write(b"+")
    check("after SIGKILL no file holds partial contents under the source's size and time", partial_ok)
    status, _, _ = run(["-s", "-y", source, target])
    check("a run after the kills completes the mirror", status == 0 and same_tree(source, target))


def test_deletion_safety(work, rounds):
    rng = random.Random(11)
    for round_number in range(rounds):
        root, source, target = fresh(work, "safety%d" % round_number)
        precious = os.path.join(root, "precious")
        for index in range(rng.randrange(3, 10)):
            write(os.path.join(precious, "p%d" % (index % 3), "keep%d.txt" % index), b"keep")
            write(os.path.join(source, "s%d" % (index % 2), "f%d.txt" % index), b"src")
            write(os.path.join(target, "t%d" % (index % 4), "old%d.txt" % index), b"old")
        links = {
            "dirlink": precious,
            "filelink": os.path.join(precious, "p0", "keep0.txt"),
            "fromlink": source,
            "selflink": target,
            "dangling": os.path.join(root, "nothing"),
        }
        for name, destination in links.items():
            folder = os.path.join(target, "t%d" % rng.randrange(4))
            os.makedirs(folder, exist_ok=True)
            os.symlink(destination, os.path.join(folder, name))
        before_precious = tree_digest(precious)
        before_source = tree_digest(source)
        spelling = target + ("/" if rng.random() < 0.5 else "")
        status, _, err = run(["-s", "-y", source, spelling])
        check("safety round %d: the run ends" % round_number, status in (0, 1), "status %d: %s" % (status, err))
        check("safety round %d: nothing outside the To Folder changed" % round_number,
              tree_digest(precious) == before_precious and tree_digest(source) == before_source)
        leftovers = [n for n in os.listdir(target) if not n.startswith("s")]
        check("safety round %d: the links are gone as links" % round_number,
              not any(os.path.islink(os.path.join(f, n)) for f, _, ns in os.walk(target) for n in ns), str(leftovers))
    # The From Folder inside the To Folder is refused before anything happens.
    root, source, target = fresh(work, "inside")
    inner = os.path.join(target, "nested", "src")
    write(os.path.join(inner, "data.txt"), b"source data")
    before = tree_digest(target)
    status, _, err = run(["-s", "-y", inner, target + "/"])
    check("From inside To is refused (3)", status == 3 and "Source dir can not be the subdir of" in err, err)
    check("From inside To: nothing changed", tree_digest(target) == before)


def main():
    global PROGRAM
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    PROGRAM = os.path.abspath(args.program)
    work = tempfile.mkdtemp(prefix="korvane-faults-")
    os.chmod(work, 0o755)
    try:
        test_unlistable_directory(work)
        test_vanished_file(work)
        test_read_only_target_directory(work)
        test_full_disk(work)
        test_killed_runs(work, args.rounds)
        test_deletion_safety(work, args.rounds)
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", work])
        shutil.rmtree(work, ignore_errors=True)
    failed = sum(1 for _, ok in RESULTS if not ok)
    print("%d passed, %d failed" % (len(RESULTS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
