#!/usr/bin/env python3
"""Faithful copies on Linux, as root: other users' owners and set-ID bits,
a changed mode or owner alone, names of one file (-H), attributes and ACLs
(-X, -A), on a plain folder and on a volume that refuses owners, modes and
attributes (the FUSE passthrough of coarse_clock.py).

The rule every case keeps: no entry of To carries a set-user-ID or
set-group-ID bit under another owner than its source's.

faithful.py PROGRAM     (exit 77 when not root)
"""
import json
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import coarse_clock  # noqa: E402
import differential  # noqa: E402

PROGRAM = None
FAILURES = []
SET_IDS = stat.S_ISUID | stat.S_ISGID

# Entries of other users with set-ID bits: path, owner, group, mode.
USERS_TREE = [
    ("tool", 1001, 1001, 0o4755),
    ("group-tool", 1002, 1003, 0o2755),
    ("both", 1001, 1001, 0o6750),
    ("shared", 1001, 1003, 0o2775),
    ("shared/inner", 65534, 65534, 0o4711),
    ("root-own", 0, 0, 0o4755),
]


def check(name, condition, detail=""):
    print(("ok     " if condition else "FAILED ") + name + ("" if condition else ": " + str(detail)))
    if not condition:
        FAILURES.append(name)


def run(*args):
    done = subprocess.run([PROGRAM, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, done.stdout, done.stderr


def make_users_tree(source):
    os.makedirs(source)
    for path, owner, group, mode in USERS_TREE:
        full = os.path.join(source, path)
        if path == "shared":
            os.makedirs(full)
        else:
            with open(full, "w") as out:
                out.write(path)
        os.chown(full, owner, group)
        os.chmod(full, mode)


def set_id_strays(source, target):
    """The To entries with set-ID bits under another owner than their source's."""
    strays = []
    for folder, folders, files in os.walk(target):
        for name in folders + files:
            path = os.path.join(folder, name)
            mine = os.lstat(path)
            theirs = os.lstat(os.path.join(source, os.path.relpath(path, target)))
            other_owner = mine.st_uid != theirs.st_uid
            if (mine.st_mode & SET_IDS and other_owner) or (mine.st_mode & stat.S_ISGID and
                                                            mine.st_gid != theirs.st_gid):
                strays.append((os.path.relpath(path, target), oct(mine.st_mode), mine.st_uid, theirs.st_uid))
    return strays


def owners(root):
    return {os.path.relpath(os.path.join(f, n), root): (os.lstat(os.path.join(f, n)).st_uid,
                                                        os.lstat(os.path.join(f, n)).st_gid,
                                                        stat.S_IMODE(os.lstat(os.path.join(f, n)).st_mode))
            for f, ds, fs in os.walk(root) for n in ds + fs}


def test_set_ids(work):
    """A root run over other users' set-ID files: kept with their owners, or cleared."""
    source = os.path.join(work, "users")
    make_users_tree(source)
    kept = os.path.join(work, "kept")
    os.mkdir(kept)
    status, _, err = run(source, kept)
    check("as root, owners, groups and set-ID bits are kept", status == 0 and owners(kept) == owners(source),
          (status, err, owners(kept)))
    for options in (["--no-owner"], ["-s", "-y", "--no-owner", "-X", "-A"]):
        target = os.path.join(work, "no-owner-%d" % len(options))
        os.mkdir(target)
        status, _, err = run(*options, source, target)
        strays = set_id_strays(source, target)
        check("%s: every copy is root's, no set-ID bit under root" % " ".join(options),
              status == 0 and not strays and all(o[0] == 0 for o in owners(target).values()), (status, err, strays))
    # A change of owner alone, in From, is a copy the run writes: the old
    # owner may have chosen what the copy in To holds.
    os.chown(os.path.join(source, "tool"), 1002, -1)
    os.chmod(os.path.join(source, "tool"), 0o4755)
    status, out, _ = run("-v", source, kept)
    check("a new owner alone is a fresh copy (CP), bits following the owner",
          status == 0 and out.count("  CP: [") == 1 and "  MD: [" not in out and owners(kept) == owners(source) and
          not set_id_strays(source, kept), (out, owners(kept)))
    # A volume that refuses chown, chmod and attributes: files are the server's (root's).
    volume = coarse_clock.Volume(os.path.join(work, "below"), os.path.join(work, "volume"), "exact")
    try:
        target = os.path.join(work, "volume", "to")
        os.mkdir(target)
        for options in ([], ["-s", "-y"]):
            status, _, err = run(*options, source, target)
            strays = set_id_strays(source, target)
            check("a volume refusing chown (%s): no set-ID bit under root" % (" ".join(options) or "plain"),
                  not strays and os.listdir(target), (status, err, strays))
        # Its files are all the server's: that is no other user's to be copied
        # anew each night, once the volume is seen to hold no owners.
        status, out, err = run("-v", source, target)
        check("a volume refusing chown: a second run copies nothing",
              status == 0 and "  CP: [" not in out and not [name for name in os.listdir(target)
                                                            if name.startswith(".korvane-")], (status, out, err))
        # The same where no folder's mend tells it first: a file of another's alone.
        lone = os.path.join(work, "lone")
        os.makedirs(lone)
        with open(os.path.join(lone, "theirs"), "w") as out:
            out.write("theirs")
        os.chown(os.path.join(lone, "theirs"), 1001, 1001)
        lone_target = os.path.join(work, "volume", "lone")
        os.mkdir(lone_target)
        run(lone, lone_target)
        status, out, err = run("-v", lone, lone_target)
        check("a volume refusing chown, a lone file of another's: a second run copies nothing",
              status == 0 and "  CP: [" not in out and os.listdir(lone_target) == ["theirs"], (status, out, err))
        plain = os.path.join(work, "plain")
        os.makedirs(plain)
        with open(os.path.join(plain, "a"), "w") as out:
            out.write("a")
        status, _, err = run("-X", "-A", plain, target)
        check("-X -A to a volume without attributes, From holding none: no failure", status == 0, err)
        os.setxattr(os.path.join(plain, "a"), "user.kept", b"\0\1binary")
        status, _, err = run("-X", plain, target)
        check("an attribute the volume cannot hold fails its entry, named", status == 1 and "a]" in err, (status, err))
    finally:
        volume.close()


def inode(path):
    return os.lstat(path).st_ino


def test_hard_links(work):
    source = os.path.join(work, "links")
    os.makedirs(os.path.join(source, "sub"))
    for name in ("a", "alone"):
        with open(os.path.join(source, name), "w") as out:
            out.write(name)
    os.link(os.path.join(source, "a"), os.path.join(source, "b"))
    os.link(os.path.join(source, "a"), os.path.join(source, "sub", "c"))
    listing = os.path.join(work, "list.txt")
    with open(listing, "w") as out:
        out.write("a\nb\nsub/c\nalone\n")
    for mode, options in (("plain", []), ("mirror", ["-s", "-y"]), ("list", ["-f", listing])):
        target = os.path.join(work, "copy-" + mode)
        os.mkdir(target)
        status, _, err = run("-H", *options, source, target)
        names = {inode(os.path.join(target, n)) for n in ("a", "b", "sub/c")}
        check("-H %s: three names are one file" % mode,
              status == 0 and len(names) == 1 and inode(os.path.join(target, "alone")) not in names, (status, err))
        status, out, _ = run("-H", *options, source, target)
        check("-H %s: a second run changes nothing" % mode, status == 0 and out.startswith("0 "), out)
    target = os.path.join(work, "copy-mirror")
    before = inode(os.path.join(target, "a"))
    os.remove(os.path.join(source, "b"))
    with open(os.path.join(source, "b"), "w") as out:
        out.write("b of its own")
    status, _, _ = run("-H", "-s", "-y", source, target)
    check("a name leaving its file in From leaves it in To, the others untouched",
          status == 0 and inode(os.path.join(target, "b")) != before and
          inode(os.path.join(target, "a")) == before == inode(os.path.join(target, "sub", "c")) and
          open(os.path.join(target, "a")).read() == "a" and open(os.path.join(target, "b")).read() == "b of its own")


def test_metadata_alone(work):
    """chmod, chgrp and attributes alone: predicted, done in place, counted."""
    source = os.path.join(work, "alone")
    target = os.path.join(work, "to-alone")
    os.makedirs(os.path.join(source, "dir"))
    os.mkdir(target)
    with open(os.path.join(source, "dir", "f"), "w") as out:
        out.write("f")
    os.setxattr(os.path.join(source, "dir"), "user.x", b"1")
    os.setxattr(os.path.join(source, "dir"), differential.ACL_DEFAULT, differential.acl_value(random.Random(4)))
    run("-X", "-A", source, target)
    copy = os.path.join(target, "dir", "f")
    before = inode(copy)
    os.chmod(os.path.join(source, "dir", "f"), 0o600)
    os.chown(os.path.join(source, "dir", "f"), -1, 1003)
    os.setxattr(os.path.join(source, "dir"), "user.x", b"2\0")
    os.removexattr(os.path.join(source, "dir"), differential.ACL_DEFAULT)
    status, out, _ = run("-n", "-v", "-X", "-A", source, target)
    check("-n predicts an MD line for each", status == 0 and out.count("  MD: [") == 2, out)
    status, out, _ = run("-X", "-A", "--json", source, target)
    figures = json.loads(out)
    check("a run updates both in place, counted as updated",
          status == 0 and figures["updated"] == 2 and figures["copied"] == 0 and inode(copy) == before and
          owners(target) == owners(source) and differential.metadata_snapshot(target) ==
          differential.metadata_snapshot(source), figures)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)


def run_folders(versions):
    if not os.path.isdir(versions):
        return []
    return sorted(name for name in os.listdir(versions) if os.path.isdir(os.path.join(versions, name)))


def folder_times(root):
    return {os.path.relpath(f, root): os.lstat(f).st_mtime_ns for f, _, _ in os.walk(root)}


def test_versions(work):
    """Versions with what a copy keeps: a file replaced keeps its version, as
    it was, before it gets its source's owner and mode; a change of metadata
    alone keeps none; names of one file keep one version file; folders end
    with their From times, whatever the guard held back or let through."""
    source = os.path.join(work, "from")
    target = os.path.join(work, "to")
    versions = os.path.join(work, "versions")
    make_users_tree(source)
    os.mkdir(target)
    run(source, target)
    tool = os.path.join(source, "tool")
    os.chmod(tool, 0o4711)
    status, out, _ = run("-v", "--versions", versions, source, target)
    check("with versions, a mode changed alone is an MD line and keeps nothing",
          status == 0 and "  MD: [" in out and "  KV: [" not in out and not run_folders(versions), (out, versions))
    write(tool, "tool, new contents")
    os.chown(tool, 1002, 1003)
    os.chmod(tool, 0o4755)
    status, out, _ = run("-v", "--versions", versions, source, target)
    kept = [os.path.join(versions, folder, "tool") for folder in run_folders(versions)]
    lines = [line for line in out.splitlines() if "tool]" in line]
    check("a file replaced is kept first (KV, then CP), as it was: its owner, mode and contents",
          status == 0 and [line[:6] for line in lines] == ["  KV: ", "  CP: "] and len(kept) == 1 and
          open(kept[0]).read() == "tool" and owners(versions)[os.path.relpath(kept[0], versions)] ==
          (1001, 1001, 0o4711), (out, owners(versions)))
    check("then the copy has its source's owner, group and set-ID bits",
          owners(target) == owners(source) and not set_id_strays(source, target), owners(target))

    # On another volume a version is a copy: the entry as it was all the same.
    other = tempfile.mkdtemp(prefix="korvane-versions-", dir="/dev/shm") if os.path.isdir("/dev/shm") else None
    try:
        if other and os.stat(other).st_dev != os.stat(work).st_dev:
            os.setxattr(os.path.join(target, "tool"), "user.was", b"\0there")
            was = owners(target)["tool"]
            write(tool, "tool, third contents")
            status, out, err = run("-v", "-X", "--versions", other, source, target)
            copies = [os.path.join(other, folder, "tool") for folder in run_folders(other)]
            check("a version on another volume keeps the owner, set-ID bits and attributes of what it keeps",
                  status == 0 and len(copies) == 1 and os.lstat(copies[0]).st_uid == was[0] and
                  stat.S_IMODE(os.lstat(copies[0]).st_mode) == was[2] and
                  os.getxattr(copies[0], "user.was") == b"\0there" and
                  open(copies[0]).read() == "tool, new contents", (status, out, err, owners(other)))
        else:
            print("skipped: no second volume for versions")
    finally:
        if other:
            shutil.rmtree(other, ignore_errors=True)
    volume = coarse_clock.Volume(os.path.join(work, "below"), os.path.join(work, "volume"), "exact")
    try:
        refusing = os.path.join(work, "volume", "versions")
        os.setxattr(os.path.join(target, "tool"), "user.was", b"again")
        write(tool, "tool, fourth contents")
        status, out, err = run("-X", "--versions", refusing, source, target)
        check("a version whose volume refuses an attribute is not kept: the file stays and fails",
              status == 1 and "Version not kept: [" in err and "tool, fourth" not in open(
                  os.path.join(target, "tool")).read(), (status, out, err))
    finally:
        volume.close()

    # Names of one file: one version file under each name, the To names one new file.
    names = os.path.join(work, "names")
    copy = os.path.join(work, "copy-of-names")
    write(os.path.join(names, "a"), "one")
    os.link(os.path.join(names, "a"), os.path.join(names, "b"))
    os.makedirs(os.path.join(copy))
    run("-H", names, copy)
    write(os.path.join(names, "a"), "one, longer now")
    status, out, err = run("-v", "-H", "-s", "-y", "--versions", versions, names, copy)
    newest = os.path.join(versions, run_folders(versions)[-1])
    check("-H with versions: both names kept, as one old file; To's names one new file",
          status == 0 and out.count("  KV: [") == 2 and inode(os.path.join(newest, "a")) ==
          inode(os.path.join(newest, "b")) and open(os.path.join(newest, "b")).read() == "one" and
          inode(os.path.join(copy, "a")) == inode(os.path.join(copy, "b")) and
          open(os.path.join(copy, "b")).read() == "one, longer now", (status, out, err))

    # Folder times: deletions kept as versions, a file where To has a folder
    # (held for the guard's count, then made), a folder whose time alone moved.
    tree = os.path.join(work, "tree")
    mirror = os.path.join(work, "mirror-of-tree")
    for path in ("deep/er/gone", "deep/er/stays", "kind/swap/inside", "still/f"):
        write(os.path.join(tree, path), path)
    os.mkdir(mirror)
    run("-s", "-y", tree, mirror)
    os.remove(os.path.join(tree, "deep", "er", "gone"))
    # A file where To has a folder, in a folder whose time is To's: only the change moves it.
    kind_time = os.lstat(os.path.join(tree, "kind")).st_mtime_ns
    shutil.rmtree(os.path.join(tree, "kind", "swap"))
    write(os.path.join(tree, "kind", "swap"), "a file now")
    os.utime(os.path.join(tree, "kind"), ns=(1, kind_time))
    os.utime(os.path.join(tree, "still"), ns=(1, 1_000_000_123))
    os.utime(os.path.join(tree, "deep"), ns=(1, 2_000_000_456))
    status, out, err = run("-v", "-s", "-y", "--max-delete", "10", "--versions", versions, tree, mirror)
    check("a mirror keeping versions under the guard leaves every folder with its From time",
          status == 0 and folder_times(mirror) == folder_times(tree) and "  MD: [" in out and
          open(os.path.join(mirror, "kind", "swap")).read() == "a file now", (status, out, err))
    # A folder the clean-up would enter, its time moved by a deletion the guard holds back.
    os.remove(os.path.join(tree, "deep", "er", "stays"))
    status, out, err = run("-v", "-s", "-y", "--max-delete", "0", "--versions", versions, tree, mirror)
    check("a mirror the guard holds back still gives each folder its From time",
          status == 5 and os.path.exists(os.path.join(mirror, "deep", "er", "stays")) and
          folder_times(mirror) == folder_times(tree) and out.count("  MD: [") == 1, (status, out, err))

    # A versions folder inside To, made by the run's first version: in a
    # folder walked before that version, or when the guard's count is done.
    for inside, change in (("deep/.versions", "still/f"), (".versions", "kind/swap")):
        name = inside.replace("/", "-").strip(".")
        here = os.path.join(work, "from-" + name)
        there = os.path.join(work, "to-" + name)
        shutil.copytree(tree, here, symlinks=True)
        shutil.copytree(mirror, there, symlinks=True)
        os.remove(os.path.join(here, change))
        write(os.path.join(here, change, "now a folder"), "f")
        versions_inside = os.path.join(there, inside)
        status, out, err = run("-s", "-y", "--max-delete", "10", "--versions", versions_inside, here, there)
        times = {k: v for k, v in folder_times(there).items() if ".versions" not in k}
        again = run("-s", "-y", "--versions", versions_inside, here, there)
        check("versions made inside To at %s: every folder keeps its From time" % inside,
              status == 0 and times == folder_times(here) and again[1].startswith("0 "), (status, out, err, again))


def test_partial_runs(work):
    """Runs that take part of a tree (a rule, a list, with workers): each
    folder they make on the way takes its From owner and mode before anything
    goes into it, so a private folder never stands open to others in To; each
    folder they change ends with its From time; and what a run keeps as
    versions is readable by the runner alone."""
    source = os.path.join(work, "from")
    private = os.path.join(source, "home", "alice", "private")
    write(os.path.join(private, "docs", "diary.txt"), "secret")
    write(os.path.join(source, "home", "alice", "notes.dat"), "left out")
    for folder, _, _ in os.walk(os.path.join(source, "home")):
        os.chown(folder, 1001, 1001)
    os.chown(os.path.join(private, "docs", "diary.txt"), 1001, 1001)
    os.chmod(private, 0o700)
    for folder in (os.path.join(private, "docs"), private, os.path.dirname(private), os.path.join(source, "home")):
        os.utime(folder, (1500000000, 1500000000))
    listed, spelt = os.path.join(work, "list"), os.path.join(work, "list-spelt")
    with open(listed, "w") as out:
        out.write("home/alice/private/docs/diary.txt\n")
    with open(spelt, "w") as out:
        out.write("./home//alice/private/docs/diary.txt\n.\n")
    made = ["home", "home/alice", "home/alice/private", "home/alice/private/docs"]
    for name, options in (("a rule", ["-r", r".*\.txt"]), ("a mirror under a rule", ["-s", "-y", "-r", r".*\.txt"]),
                          ("a list", ["-f", listed]), ("a list with workers", ["-j", "8", "-f", spelt])):
        target = os.path.join(work, "to-" + name.replace(" ", "-"))
        os.mkdir(target)
        status, _, err = run(*options, source, target)
        mine, theirs = owners(target), owners(source)
        wrong = [(p, mine.get(p), theirs[p]) for p in made if mine.get(p) != theirs[p]]
        times = [p for p in made if os.lstat(os.path.join(target, p)).st_mtime_ns !=
                 os.lstat(os.path.join(source, p)).st_mtime_ns]
        check("%s: folders made on the way are their source's, with its times" % name,
              status == 0 and not wrong and not times, (status, err, wrong, times))
    # A list run brings the folders on its entries' way to From, each told once.
    os.chmod(os.path.dirname(private), 0o750)
    status, out, err = run("-v", "-f", listed, source, os.path.join(work, "to-a-list"))
    again = run("-v", "-f", listed, source, os.path.join(work, "to-a-list"))
    check("a list run mends a folder on its way, once", status == 0 and out.count("  MD: [") == 1 and
          again[1].startswith("0 ") and owners(os.path.join(work, "to-a-list"))["home/alice"] == (1001, 1001, 0o750),
          (status, out, err, again))
    versions = os.path.join(work, "versions")
    write(os.path.join(private, "docs", "diary.txt"), "secret, changed")
    status, _, err = run("--versions", versions, source, os.path.join(work, "to-a-rule"))
    kept = [os.lstat(os.path.join(versions, name)) for name in run_folders(versions)]
    check("a run folder of versions is its runner's alone",
          status == 0 and len(kept) == 1 and stat.S_IMODE(kept[0].st_mode) == 0o700, (status, err, kept))


def main():
    global PROGRAM
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if os.geteuid() != 0:
        print("skipped: other users' owners need root")
        return 77
    PROGRAM = os.path.abspath(sys.argv[1])
    for test in (test_set_ids, test_hard_links, test_metadata_alone, test_versions, test_partial_runs):
        work = tempfile.mkdtemp(prefix="korvane-faithful-")
        try:
            test(work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
