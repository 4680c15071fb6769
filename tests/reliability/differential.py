#!/usr/bin/env python3
"""Differential rounds: korvane --sync --yes against rsync -a --delete.

Each round mutates a random From tree (and now and then plants a file where
the other side has a directory, or the reverse), runs both tools on copies of
the same To tree, and compares what they made: names, types, contents, file
modification times and (natively) permission bits; directory times aside. A
planted clash (a file where the other side has a directory) is a type flip
that the mirror replaces, as rsync does: the trees must be equal all the same.

differential.py PROGRAM [--rounds N] [--seed S] [--wine]
A failure prints its seed and round and the entries that differ.
"""
import argparse
import hashlib
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile

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
    found = []
    for folder, folders, files in os.walk(root):
        folders.sort()
        for name in sorted(folders):
            found.append((os.path.join(folder, name), True))
        for name in sorted(files):
            found.append((os.path.join(folder, name), False))
    return found


def make_writable(path):
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
        command = [args.program, "-s", "-y", "--allow-empty-from", source, target]
        env = os.environ
    done = subprocess.run(command, capture_output=True, env=env, stdin=subprocess.DEVNULL)
    try:
        text = done.stderr.decode("utf-8")
    except UnicodeDecodeError:
        text = done.stderr.decode("cp1252", "replace")  # the ANSI code page under Wine
    return done.returncode, text


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
    mirror = os.path.join(work, "to-korvane")
    reference = os.path.join(work, "to-rsync")
    failures = 0
    clash_count = 0
    try:
        make_tree(rng, source)
        os.makedirs(mirror)
        for round_number in range(1, args.rounds + 1):
            if round_number > 1:
                mutate(rng, source)
            if round_number > 1 and rng.random() < 0.2:
                plant_clash(rng, source, mirror)
            # Planted or made by the mutations, each is replaced by the mirror.
            clashes = kind_clashes(source, mirror)
            clash_count += len(clashes)
            if os.path.exists(reference):
                remove(reference)
            subprocess.run(["cp", "-a", mirror, reference], check=True)
            subprocess.run(["rsync", "-a", "--delete", source + "/", reference + "/"], check=True)
            status, stderr = run_korvane(args, source, mirror)

            problems = []
            if status != 0:
                problems.append("exit status %d, expected 0" % status)
            for path in error_paths(stderr, mirror, args.wine):
                problems.append("unexpected error for " + path)
            unit = 100 if args.wine else 1
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
                print("  reproduce: %s %s --seed %d --rounds %d%s" % (
                    sys.argv[0], args.program, args.seed, round_number, " --wine" if args.wine else ""))
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
    parser.add_argument("--keep", action="store_true", help="keep the trees of a failed round")
    args = parser.parse_args()
    first = args.seed
    failed = 0
    for seed in range(first, first + args.seeds):
        args.seed = seed
        failed += run_rounds(args)
    total = args.seeds
    print("%d seeds of %d rounds, %d file/directory flips" % (total, args.rounds, getattr(run_rounds, "clashes", 0)))
    print("%d passed, %d failed" % (total - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
