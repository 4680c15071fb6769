#!/usr/bin/env python3
"""Differential rounds: korvane --sync --yes against rsync -a --delete
(--modify-window=-1: times to the nanosecond, as korvane compares them).

Each round mutates a random From tree (and now and then plants a file where
the other side has a directory, or the reverse), runs both tools on copies of
the same To tree, and compares what they made: names, types, contents, file
modification times and (natively) permission bits; directory times aside. A
planted clash (a file where the other side has a directory) is a type flip
that the mirror replaces, as rsync does: the trees must be equal all the same.

With --metadata (as root, natively), the trees also hold other users' owners
and groups, set-ID and sticky bits, folder times, files of several names,
symbolic links, extended attributes (user.*, trusted.*, security.*) and ACLs
(a folder's default ACL too); the mutations change these alone as well
(chmod, chown, chgrp, a name joining or leaving a file, attributes and ACLs
set and removed, folders retimed). korvane --links -H -X -A is held against
rsync -aHAX --delete, entry by entry: kind, mode, owner, group, file and
folder times, contents, link texts, which names are one file, attributes and
ACLs; and a second korvane run must find nothing to change.

differential.py PROGRAM [--rounds N] [--seed S] [--wine | --metadata]
A failure prints its seed and round and the entries that differ.
"""
import argparse
import collections
import hashlib
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

# Names Windows' plain paths would rewrite (last dots and blanks, device
# names) are among them: the Windows build copies each under its own name.
NAMES = ["plain", "with space", "dots.in.name", "trailing.dot.", "ünïcödé", "日本語", ".hidden",
         "UPPER", "a", "b", "x-y_z", "long name with several words", "ça", "émoji-☂",
         "trailing blank ", "CON", "nul.txt", "LPT9", "aux.c."]


def pick_name(rng, taken):
    for _ in range(20):
        name = rng.choice(NAMES) + ("" if rng.random() < 0.5 else str(rng.randrange(100)))
        if name.lower() not in taken:  # unique ignoring case, for Windows
            taken.add(name.lower())
            return name
    name = "n%d" % rng.randrange(10 ** 9)
    taken.add(name)
    return name


def write_file(rng, path, size=None):
    size = rng.choice([0, 1, 17, 512, 4096, 70000]) if size is None else size
    with open(path, "wb") as out:
        out.write(bytes(rng.randrange(256) for _ in range(min(size, 64))) * (size // 64 + 1))
        out.truncate(size)
    stamp = 1_500_000_000 + rng.randrange(10 ** 8)
    os.utime(path, ns=(stamp * 10 ** 9, stamp * 10 ** 9 + rng.randrange(10 ** 9)))
    if rng.random() < 0.1:
        os.chmod(path, 0o444)


def make_tree(rng, root, depth=0):
    os.makedirs(root, exist_ok=True)
    taken = set()
    for _ in range(rng.randrange(1, 7)):
        path = os.path.join(root, pick_name(rng, taken))
        if depth < 3 and rng.random() < 0.3:
            make_tree(rng, path, depth + 1)
        else:
            write_file(rng, path)


def entries(root):
    """The folders and files below root; links (of the metadata rounds) left out."""
    found = []
    for folder, folders, files in os.walk(root):
        folders.sort()
        for name in sorted(folders):
            if not os.path.islink(os.path.join(folder, name)):
                found.append((os.path.join(folder, name), True))
        for name in sorted(files):
            if not os.path.islink(os.path.join(folder, name)):
                found.append((os.path.join(folder, name), False))
    return found


def make_writable(path):
    if not os.path.islink(path):
        os.chmod(path, os.stat(path).st_mode | stat.S_IWUSR)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        for folder, _, files in os.walk(path):
            os.chmod(folder, 0o755)
            for name in files:
                make_writable(os.path.join(folder, name))
        shutil.rmtree(path)
    else:
        os.remove(path)


def mutate(rng, root):
    """Adds, removes, touches, resizes, retimes and renames."""
    for _ in range(rng.randrange(1, 6)):
        found = entries(root)
        action = rng.choice(["add", "add", "remove", "touch", "resize", "retime", "rename", "newdir"])
        if not found or action in ("add", "newdir"):
            folders = [root] + [p for p, is_dir in found if is_dir]
            folder = rng.choice(folders)
            taken = {n.lower() for n in os.listdir(folder)}
            path = os.path.join(folder, pick_name(rng, taken))
            if action == "newdir":
                make_tree(rng, path, 2)
            else:
                write_file(rng, path)
            continue
        path, is_dir = rng.choice(found)
        if action == "remove":
            remove(path)
        elif action == "rename" and is_dir:
            os.rename(path, path + " renamed")
        elif not is_dir and action == "touch":
            make_writable(path)
            with open(path, "ab") as out:
                out.write(b"more")
        elif not is_dir and action == "resize":
            make_writable(path)
            os.truncate(path, rng.randrange(0, 9000))
        elif not is_dir and action == "retime":
            st = os.stat(path)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10 ** 9 * rng.choice([-7, 1, 3600])))


def plant_clash(rng, source, target):
    """Where From has a file, To gets a directory of that name, or the reverse."""
    found = [(p, d) for p, d in entries(source)]
    if not found:
        return None
    path, is_dir = rng.choice(found)
    relative = os.path.relpath(path, source)
    other = os.path.join(target, relative)
    if not os.path.isdir(os.path.dirname(other)):
        return None
    if os.path.lexists(other):
        remove(other)
    if is_dir:
        write_file(rng, other)
    else:
        os.makedirs(os.path.join(other, "inside"))
        write_file(rng, os.path.join(other, "inside", "file"))
    return relative


# The metadata rounds: other users' owners, modes, names of one file, links,
# attributes and ACLs.
OWNERS = [0, 1001, 1002, 65534]
GROUPS = [0, 1001, 1003, 65534]
FILE_MODES = [0o644, 0o600, 0o755, 0o700, 0o640, 0o444, 0o750, 0o4755, 0o2755, 0o6750, 0o1644]
DIR_MODES = [0o755, 0o700, 0o750, 0o775, 0o2775, 0o1777, 0o2750]
ATTRIBUTE_NAMES = ["user.a", "user.comment", "user.mime", "trusted.t", "security.s"]
ACL_ACCESS = "system.posix_acl_access"
ACL_DEFAULT = "system.posix_acl_default"
NO_ID = 0xFFFFFFFF


def acl_value(rng):
    """An ACL as the system keeps it: owner, named users, owning group, named groups, mask, others."""
    entries = [(0x01, rng.randrange(8), NO_ID)]
    users = sorted(rng.sample([1001, 1002, 1004], rng.randrange(0, 3)))
    groups = sorted(rng.sample([1001, 1003, 1005], rng.randrange(0, 3)))
    entries += [(0x02, rng.randrange(8), uid) for uid in users]
    entries.append((0x04, rng.randrange(8), NO_ID))
    entries += [(0x08, rng.randrange(8), gid) for gid in groups]
    if users or groups:
        entries.append((0x10, rng.randrange(8), NO_ID))
    entries.append((0x20, rng.randrange(8), NO_ID))
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


def all_entries(root):
    """Every entry below root, links not followed: (path, is_dir, is_link)."""
    found = []
    for folder, folders, files in os.walk(root):
        for name in sorted(folders + files):
            path = os.path.join(folder, name)
            found.append((path, os.path.isdir(path) and not os.path.islink(path), os.path.islink(path)))
    return found


def give_metadata(rng, path, is_dir):
    """A random owner, group, mode, attributes and ACLs."""
    os.chown(path, rng.choice(OWNERS), rng.choice(GROUPS))
    os.chmod(path, rng.choice(DIR_MODES if is_dir else FILE_MODES))
    for _ in range(rng.choice([0, 0, 1, 2])):
        set_attribute(rng, path)
    if rng.random() < 0.25:
        os.setxattr(path, ACL_ACCESS, acl_value(rng))
    if is_dir and rng.random() < 0.2:
        os.setxattr(path, ACL_DEFAULT, acl_value(rng))


def set_attribute(rng, path):
    value = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 40, 300])))
    os.setxattr(path, rng.choice(ATTRIBUTE_NAMES), value)


def plain_files(root):
    return [p for p, is_dir, is_link in all_entries(root) if not is_dir and not is_link]


def folders_of(root):
    return [root] + [p for p, is_dir, _ in all_entries(root) if is_dir]


def new_name(rng, folder):
    return os.path.join(folder, pick_name(rng, {n.lower() for n in os.listdir(folder)}))


def add_link(rng, root):
    """Another name of a file, in any folder."""
    files = plain_files(root)
    if files:
        os.link(rng.choice(files), new_name(rng, rng.choice(folders_of(root))))


def add_symlink(rng, root):
    folder = rng.choice(folders_of(root))
    target = rng.choice(["plain", "a", "nowhere/at/all", "."])  # never out of the tree
    path = new_name(rng, folder)
    os.symlink(target, path)
    os.lchown(path, rng.choice(OWNERS), rng.choice(GROUPS))


def retime_folders(rng, root, share):
    for folder in folders_of(root):
        if rng.random() < share:
            stamp = 1_400_000_000 + rng.randrange(10 ** 8)
            os.utime(folder, ns=(stamp * 10 ** 9, stamp * 10 ** 9 + rng.randrange(10 ** 9)), follow_symlinks=False)


def make_metadata_tree(rng, root):
    make_tree(rng, root)
    for path, is_dir, _ in all_entries(root):
        give_metadata(rng, path, is_dir)
    for _ in range(rng.randrange(1, 5)):
        add_link(rng, root)
    for _ in range(rng.randrange(0, 3)):
        add_symlink(rng, root)
    retime_folders(rng, root, 0.7)


def mutate_metadata(rng, root):
    """The content mutations now and then, and changes of metadata alone."""
    if rng.random() < 0.5:
        mutate(rng, root)
        # What the content mutations made gets metadata of its own.
        for path, is_dir, is_link in all_entries(root):
            if not is_link and os.lstat(path).st_uid == 0 and rng.random() < 0.3:
                give_metadata(rng, path, is_dir)
    for _ in range(rng.randrange(1, 7)):
        found = [(p, d) for p, d, link in all_entries(root) if not link]
        links = [p for p, _, link in all_entries(root) if link]
        action = rng.choice(["chmod", "chown", "chgrp", "setid", "attribute", "unattribute", "acl", "unacl",
                             "default-acl", "link", "relink", "leave", "symlink", "link-owner", "retime"])
        if not found:
            break
        path, is_dir = rng.choice(found)
        if action == "chmod":
            os.chmod(path, rng.choice(DIR_MODES if is_dir else FILE_MODES))
        elif action == "chown":
            os.chown(path, rng.choice(OWNERS), -1)
        elif action == "chgrp":
            os.chown(path, -1, rng.choice(GROUPS))
        elif action == "setid":
            os.chmod(path, os.lstat(path).st_mode ^ rng.choice([0o4000, 0o2000, 0o1000]))
        elif action == "attribute":
            set_attribute(rng, path)
        elif action == "unattribute":
            names = [n for n in os.listxattr(path) if not n.startswith("system.")]
            if names:
                os.removexattr(path, rng.choice(names))
        elif action == "acl":
            os.setxattr(path, ACL_ACCESS, acl_value(rng))
        elif action == "unacl":
            for name in (ACL_ACCESS, ACL_DEFAULT):
                if name in os.listxattr(path):
                    os.removexattr(path, name)
        elif action == "default-acl" and is_dir:
            os.setxattr(path, ACL_DEFAULT, acl_value(rng))
        elif action == "link":
            add_link(rng, root)
        elif action == "relink":
            # A name of one file becomes a name of another.
            files = plain_files(root)
            if len(files) > 1:
                first, second = rng.sample(files, 2)
                os.remove(second)
                os.link(first, second)
        elif action == "leave":
            # A name leaves its file: a file of its own, of another time
            # (rsync takes a file of the same second and size for unchanged,
            # and would change the file the name left in its place).
            shared = [p for p in plain_files(root) if os.lstat(p).st_nlink > 1]
            if shared:
                name = rng.choice(shared)
                with open(name, "rb") as source:
                    data = source.read()
                stamp = os.lstat(name).st_mtime_ns - 10 ** 9 * rng.randrange(1, 10 ** 6)
                os.remove(name)
                with open(name, "wb") as out:
                    out.write(data)
                os.utime(name, ns=(stamp, stamp))
                give_metadata(rng, name, False)
        elif action == "symlink":
            add_symlink(rng, root)
        elif action == "link-owner" and links:
            os.lchown(rng.choice(links), rng.choice(OWNERS), rng.choice(GROUPS))
        elif action == "retime":
            retime_folders(rng, root, 0.3)


def metadata_snapshot(root):
    """Every entry as kind, mode, owner, group, times, contents or text, attributes; the names of each file."""
    result = {}
    names = collections.defaultdict(list)
    for path, is_dir, is_link in [(root, True, False)] + all_entries(root):
        relative = os.path.relpath(path, root)
        st = os.lstat(path)
        common = (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
        if is_link:
            result[relative] = ("link", os.readlink(path), st.st_uid, st.st_gid)
            continue
        attributes = tuple(sorted((n, os.getxattr(path, n, follow_symlinks=False))
                                  for n in os.listxattr(path, follow_symlinks=False)))
        if is_dir:
            result[relative] = ("dir",) + common + (st.st_mtime_ns, attributes)
        else:
            with open(path, "rb") as source:
                digest = hashlib.sha1(source.read()).hexdigest()
            result[relative] = ("file",) + common + (st.st_mtime_ns, st.st_size, digest, attributes)
            names[st.st_ino].append(relative)
    for group in names.values():
        for relative in group:
            result[relative] += (tuple(sorted(group)),)
    return result


KORVANE_METADATA = ["-v", "--links", "-H", "-X", "-A"]

# What each place of an entry of metadata_snapshot holds, by kind.
FIELDS = {"dir": ["kind", "mode", "owner", "group", "time", "attributes"],
          "file": ["kind", "mode", "owner", "group", "time", "size", "contents", "attributes", "names"],
          "link": ["kind", "text", "owner", "group"]}
rsync_misses = collections.Counter()


def count_rsync_miss(theirs, ours):
    """Counts what rsync's entry holds otherwise than From (and korvane) has it."""
    fields = FIELDS.get(ours[0], []) if theirs[0] == ours[0] else ["kind"]
    for index, field in enumerate(fields):
        if index < len(theirs) and theirs[index] != ours[index]:
            rsync_misses["%s %s" % (ours[0], field)] += 1


def snapshot(root, with_modes, time_unit):
    result = {}
    for path, is_dir in entries(root):
        relative = os.path.relpath(path, root)
        st = os.lstat(path)
        mode = stat.S_IMODE(st.st_mode) if with_modes else None
        if is_dir:
            result[relative] = ("dir", mode)
        else:
            with open(path, "rb") as source:
                digest = hashlib.sha1(source.read()).hexdigest()
            result[relative] = ("file", mode, st.st_size, st.st_mtime_ns // time_unit, digest)
    return result


def kind_clashes(source, target):
    """The places where one side has a file and the other a directory."""
    clashes = []
    for path, is_dir in entries(source):
        relative = os.path.relpath(path, source)
        other = os.path.join(target, relative)
        if os.path.lexists(other) and os.path.isdir(other) != is_dir and not under(relative, clashes):
            clashes.append(relative)
    return clashes


def under(relative, points):
    return any(relative == p or relative.startswith(p + os.sep) for p in points)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def run_korvane(args, source, target):
    if args.wine:
        command = ["/usr/lib/wine/wine64", args.program, "-s", "-y", "--allow-empty-from", windows_path(source),
                   windows_path(target)]
        env = dict(os.environ, WINEDEBUG="-all")
    else:
        options = KORVANE_METADATA if args.metadata else []
        if args.versions:
            options = options + ["--versions", args.versions_folder]
        command = [args.program, "-s", "-y", "--allow-empty-from"] + options + [source, target]
        env = os.environ
    done = subprocess.run(command, capture_output=True, env=env, stdin=subprocess.DEVNULL)
    try:
        text = done.stderr.decode("utf-8")
    except UnicodeDecodeError:
        text = done.stderr.decode("cp1252", "replace")  # the ANSI code page under Wine
    run_korvane.out = done.stdout.decode("utf-8", "replace")
    return done.returncode, text


def inodes(root):
    """Each entry's inode and whether it is a folder."""
    return {os.path.relpath(path, root): (os.lstat(path).st_ino, is_dir and not is_link)
            for path, is_dir, is_link in all_entries(root)}


def check_versions(before, before_inodes, target, versions, folders_before):
    """What a run replaced or deleted lies in its run folder as it was, and
    nothing else does: a file or link whose name went or now names another
    file, a folder that went; a change of metadata alone keeps nothing."""
    new = sorted(set(os.listdir(versions)) - folders_before) if os.path.isdir(versions) else []
    kept = {}
    for folder in new:
        if not os.path.isdir(os.path.join(versions, folder)):
            continue  # the versions folder's mark of itself
        for relative, entry in metadata_snapshot(os.path.join(versions, folder)).items():
            if relative not in (".", ".korvane-run"):  # the run folder itself, and its record
                kept[relative] = entry
    after = inodes(target)
    problems = []
    for relative, (inode, is_dir) in before_inodes.items():
        replaced = relative not in after or (not is_dir and after[relative][0] != inode)
        if replaced and relative not in kept:
            problems.append("%s: replaced or deleted, no version kept" % relative)
    for relative, entry in kept.items():
        gone = relative not in after or after[relative][0] != before_inodes.get(relative, (None,))[0]
        if entry[0] == "dir":
            if relative not in before:
                problems.append("%s: a version folder of no To folder" % relative)
            continue
        # The names of the version's file are the run folder's own.
        if entry[:-1] != before.get(relative, ())[:-1] if entry[0] == "file" else entry != before.get(relative):
            problems.append("%s: version %s, To had %s" % (relative, entry, before.get(relative)))
        elif not gone:
            problems.append("%s: kept, though the run left it as it was" % relative)
    # Folders above what was kept are made for it, untold.
    told = [relative for relative, entry in kept.items() if entry[0] != "dir" or relative not in after]
    return problems, len(told)


def error_paths(stderr, target, wine):
    paths = []
    for line in stderr.splitlines():
        if not line.startswith("! Error => "):
            continue
        text = line.split("[", 1)[1]
        if "-> [" in text:
            text = text.split("-> [", 1)[1]
        text = text.rsplit("]", 1)[0]
        if wine:
            text = text.replace("\\", "/")
            target_text = windows_path(target).replace("\\", "/")
        else:
            target_text = target
        paths.append(os.path.relpath(text, target_text) if text.startswith(target_text) else text)
    return paths


def run_rounds(args):
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="korvane-differential-")
    source = os.path.join(work, "from")
    args.versions_folder = os.path.join(work, "versions") if args.versions else None
    mirror = os.path.join(work, "to-korvane")
    reference = os.path.join(work, "to-rsync")
    failures = 0
    clash_count = 0
    try:
        if args.metadata:
            make_metadata_tree(rng, source)
        else:
            make_tree(rng, source)
        os.makedirs(mirror)
        for round_number in range(1, args.rounds + 1):
            if round_number > 1 and args.metadata:
                mutate_metadata(rng, source)
            elif round_number > 1:
                mutate(rng, source)
            if round_number > 1 and not args.metadata and rng.random() < 0.2:
                plant_clash(rng, source, mirror)
            # Planted or made by the mutations, each is replaced by the mirror.
            clashes = kind_clashes(source, mirror)
            clash_count += len(clashes)
            if os.path.exists(reference):
                remove(reference)
            subprocess.run(["cp", "-a", mirror, reference], check=True)
            # Both compare times to the nanosecond: a file rewritten with the
            # same size within the second of its last copy is a change.
            rsync = ["rsync", "-aHAX"] if args.metadata else ["rsync", "-a"]
            reference_run = subprocess.run(rsync + ["--modify-window=-1", "--delete", source + "/", reference + "/"],
                                           capture_output=True, text=True)
            if args.versions:
                before = metadata_snapshot(mirror)
                before_inodes = inodes(mirror)
                folders = args.versions_folder
                folders_before = set(os.listdir(folders)) if os.path.isdir(folders) else set()
            status, stderr = run_korvane(args, source, mirror)

            problems = []
            # rsync -A asks a file that was a folder for its default ACL and is refused: its own glitch.
            glitch = [line for line in reference_run.stderr.splitlines()
                      if "ACL_TYPE_DEFAULT): Permission denied" not in line and not line.startswith("rsync error:")]
            if reference_run.returncode != 0 and glitch:
                problems.append("rsync failed (%d): %s" % (reference_run.returncode, reference_run.stderr.strip()))
            if status != 0:
                problems.append("exit status %d, expected 0" % status)
            for path in error_paths(stderr, mirror, args.wine):
                problems.append("unexpected error for " + path)
            if args.versions:
                found, kept = check_versions(before, before_inodes, mirror, args.versions_folder, folders_before)
                problems += found
                # -v tells each version kept (metadata rounds).
                if args.metadata and run_korvane.out.count("  KV: [") != kept:
                    problems.append("%d KV lines for %d versions" % (run_korvane.out.count("  KV: ["), kept))
            unit = 100 if args.wine else 1
            if args.metadata:
                changes = run_korvane.out
                ours = metadata_snapshot(mirror)
                theirs = metadata_snapshot(reference)
                # From is the truth: korvane's tree holds every entry as From
                # has it. Where rsync made an entry otherwise, and korvane's is
                # From's, it is counted as rsync's (folder times that rsync -H
                # leaves behind when it makes further names of a file last, a
                # group entry of an ACL), and the rounds go on.
                given = metadata_snapshot(source)
                for relative in sorted(set(ours) | set(given)):
                    if ours.get(relative) != given.get(relative):
                        problems.append("%s: korvane %s, From %s" % (relative, ours.get(relative), given.get(relative)))
                for relative, entry in theirs.items():
                    mine = ours.get(relative)
                    if mine != entry and mine == given.get(relative):
                        count_rsync_miss(entry, mine)
                        theirs[relative] = mine
                again, again_err = run_korvane(args, source, mirror)
                if again != 0 or run_korvane.out.strip() != "0 dirs and files updated.":
                    problems.append("a second run changed something: %s %s" % (run_korvane.out.strip(), again_err))
                    problems.append("the first run: " + changes.strip())
            else:
                ours = snapshot(mirror, not args.wine, unit)
                theirs = snapshot(reference, not args.wine, unit)
            for relative in sorted(set(ours) | set(theirs)):
                if ours.get(relative) != theirs.get(relative):
                    problems.append("%s: korvane %s, rsync %s" % (relative, ours.get(relative), theirs.get(relative)))
            if problems:
                failures += 1
                print("round %d of seed %d FAILED" % (round_number, args.seed))
                for problem in problems[:20]:
                    print("  " + problem)
                print("  reproduce: %s %s --seed %d --seeds 1 --rounds %d%s%s" % (
                    sys.argv[0], args.program, args.seed, round_number,
                    " --wine" if args.wine else " --metadata" if args.metadata else "",
                    " --versions" if args.versions else ""))
                print("  korvane said:\n    " + "\n    ".join(stderr.splitlines()[:20]))
                break
            # Each goes on from what it made: the mirror converges on its own.
    finally:
        if failures == 0 or not args.keep:
            subprocess.run(["chmod", "-R", "u+rwx", work])
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("  trees kept in " + work)
    run_rounds.clashes = getattr(run_rounds, "clashes", 0) + clash_count
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--rounds", type=int, default=12)
    parser.add_argument("--seeds", type=int, default=3, help="how many seeds, from --seed on")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--metadata", action="store_true",
                        help="owners, modes, folder times, names of one file, attributes and ACLs (as root)")
    parser.add_argument("--keep", action="store_true", help="keep the trees of a failed round")
    parser.add_argument("--versions", action="store_true",
                        help="korvane keeps versions beside the trees: each round's are what it replaced or deleted")
    args = parser.parse_args()
    if args.versions and args.wine:
        print("--versions: on Linux only")
        return 2
    if args.metadata and os.geteuid() != 0:
        print("the metadata rounds give files other owners: they run as root only")
        return 77
    first = args.seed
    failed = 0
    for seed in range(first, first + args.seeds):
        args.seed = seed
        failed += run_rounds(args)
    total = args.seeds
    print("%d seeds of %d rounds, %d file/directory flips" % (total, args.rounds, getattr(run_rounds, "clashes", 0)))
    if args.metadata and rsync_misses:
        print("entries rsync made otherwise than From has them, korvane as From: " +
              ", ".join("%s %d" % item for item in sorted(rsync_misses.items())))
    print("%d passed, %d failed" % (total - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
