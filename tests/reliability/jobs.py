#!/usr/bin/env python3
"""One worker or eight, a run tells the same: for the same trees, korvane -j 1
and -j 8 end with the same status, print the same lines in the same order,
write the same log and JSON figures, and leave the same To tree, in every
mode: a copy, a mirror with deletions and type flips, rules, a dry run, a
list, a mirror keeping versions (the same versions tree too) or held back
by the deletion guard or the replacement guard, and the failures among them (a folder in the way, a
FIFO, entries the user may not read, a full volume).

jobs.py PROGRAM [--rounds N] [--seeds N] [--seed S]
A failure prints its seed, round and mode and the first difference.
"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from differential import entries, make_tree, mutate, plant_clash, remove, snapshot  # noqa: E402

NOBODY = 65534

# What each mode adds to the folders: the -v lines, the log and (json) the figures are compared.
MODES = [
    ("copy", ["-v"]),
    ("mirror", ["-s", "-y", "-v"]),
    ("rules", ["-s", "-y", "-v", "-x", "-r", r"(\.hidden|dots|UPPER)", "--relative-rules"]),
    ("dry run", ["-n", "-s", "-y"]),
    ("json", ["-s", "-y", "--json"]),
    ("list", ["-v", "-f", "LIST"]),
    ("another user", ["-s", "-y", "-v"]),
    ("versions", ["-s", "-y", "-v", "--versions", "VERSIONS"]),
    ("versions, dry run", ["-s", "-y", "-n", "--versions", "VERSIONS"]),
    ("deletion guard", ["-s", "-y", "-v", "--versions", "VERSIONS", "--max-delete", "4"]),
]

# A run folder's name, the run's start time: the two runs start apart.
RUN_FOLDER = re.compile(r"\d{4}-\d\d-\d\d \d{6}(-\d+)?")


def same_run_folder(text):
    return RUN_FOLDER.sub("RUN", text)


def run(program, jobs, options, source, target, logs, user=None, versions=None):
    command = [program, "-j", str(jobs), "-l", logs] + options + [source, target]
    if user is not None:
        command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + command
    done = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL, timeout=300)
    log = ""
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name), encoding="utf-8", errors="replace") as text:
            log += text.read()
    out = done.stdout.decode(errors="replace")
    if "--json" in options:
        figures = json.loads(out)
        for varying in ("seconds", "entries_per_second", "bytes_per_second"):
            figures.pop(varying, None)
        out = json.dumps(figures, sort_keys=True)
    tree = snapshot(target, True, 1)
    if versions is not None and os.path.isdir(versions):
        for relative, entry in snapshot(versions, True, 1).items():
            tree[os.path.join("(versions)", same_run_folder(relative))] = entry
    return {"status": done.returncode, "stdout": same_run_folder(out),
            "stderr": same_run_folder(done.stderr.decode(errors="replace")), "log": same_run_folder(log),
            "tree": tree}


def write_list(rng, source, path):
    """Files, folders, paths below both, repeats and a missing name."""
    found = [os.path.relpath(p, source) for p, _ in entries(source)]
    lines = rng.sample(found, min(len(found), 40)) if found else []
    lines += rng.sample(lines, min(len(lines), 5)) + ["not/there.txt"]
    rng.shuffle(lines)
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def first_difference(one, many):
    for key in ("status", "stdout", "stderr", "log"):
        if one[key] != many[key]:
            a, b = one[key], many[key]
            if isinstance(a, str):
                a_lines, b_lines = a.splitlines(), b.splitlines()
                for index, (x, y) in enumerate(zip(a_lines, b_lines)):
                    if x != y:
                        return "%s line %d: -j1 %r, -j8 %r" % (key, index + 1, x, y)
                return "%s: -j1 %d lines, -j8 %d lines" % (key, len(a_lines), len(b_lines))
            return "%s: -j1 %r, -j8 %r" % (key, a, b)
    for relative in sorted(set(one["tree"]) | set(many["tree"])):
        if one["tree"].get(relative) != many["tree"].get(relative):
            return "tree %s: -j1 %s, -j8 %s" % (relative, one["tree"].get(relative), many["tree"].get(relative))
    return None


def round_of(args, rng, work, source, target, mode, options):
    """Runs the mode with -j 1 and -j 8 from the same To; the -j 8 To goes on."""
    pristine = os.path.join(work, "pristine")
    if os.path.exists(pristine):
        remove(pristine)
    subprocess.run(["cp", "-a", target, pristine], check=True)
    options = list(options)
    if "LIST" in options:
        listing = os.path.join(work, "list.txt")
        write_list(rng, source, listing)
        options[options.index("LIST")] = listing
    user = NOBODY if mode == "another user" else None
    versions = None
    if "VERSIONS" in options:
        versions = os.path.join(work, "versions")
        options[options.index("VERSIONS")] = versions
    results = []
    for jobs in (1, 8):
        remove(target)
        subprocess.run(["cp", "-a", pristine, target], check=True)
        if versions is not None and os.path.lexists(versions):
            remove(versions)
        logs = os.path.join(work, "logs")
        if os.path.exists(logs):
            remove(logs)
        os.makedirs(logs)
        if user is not None:
            subprocess.run(["chown", "-R", "%d:%d" % (user, user), target, logs], check=True)
        results.append(run(args.program, jobs, options, source, target, logs, user, versions))
    return first_difference(*results), results[1]


def prepare_user_round(rng, source):
    """Trees another user runs over: some of From unreadable to them."""
    subprocess.run(["chown", "-R", "%d:%d" % (NOBODY, NOBODY), source], check=True)
    found = entries(source)
    for path, is_dir in rng.sample(found, min(len(found), 4)):
        os.chmod(path, 0o000 if not is_dir else 0o300)


def restore_source(source):
    subprocess.run(["chown", "-R", "0:0", source], check=True)
    subprocess.run(["chmod", "-R", "u+rwX", source], check=True)


def run_seed(args):
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="korvane-jobs-")
    os.chmod(work, 0o755)
    source = os.path.join(work, "from")
    target = os.path.join(work, "to")
    failures = 0
    try:
        for index in range(8):
            make_tree(rng, os.path.join(source, "part%d" % index))
        os.mkfifo(os.path.join(source, "a fifo"))
        os.makedirs(target)
        for round_number in range(1, args.rounds + 1):
            mutate(rng, source)
            if rng.random() < 0.5:
                plant_clash(rng, source, target)
            for mode, options in MODES:
                if mode == "another user":
                    if os.geteuid() != 0:
                        continue
                    prepare_user_round(rng, source)
                try:
                    problem, _ = round_of(args, rng, work, source, target, mode, options)
                finally:
                    if mode == "another user":
                        restore_source(source)
                        subprocess.run(["chown", "-R", "0:0", target], check=True)
                if problem:
                    failures += 1
                    print("seed %d round %d, %s: %s" % (args.seed, round_number, mode, problem))
                    return failures
    finally:
        subprocess.run(["chmod", "-R", "u+rwX", work])
        shutil.rmtree(work, ignore_errors=True)
    return failures


def full_volume(args):
    """A To with no room left: every copy fails, in the same order."""
    if os.geteuid() != 0:
        return None
    work = tempfile.mkdtemp(prefix="korvane-jobs-full-")
    source = os.path.join(work, "from")
    volume = os.path.join(work, "volume")
    target = os.path.join(volume, "to")
    os.makedirs(volume)
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", volume]).returncode != 0:
            return None
        os.makedirs(target)
        for index in range(60):
            folder = os.path.join(source, "d%d" % (index % 6))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "f%d" % index), "wb") as out:
                out.write(os.urandom(9000))
        subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(target, "filler"), "bs=4k"],
                       capture_output=True)
        problem, many = round_of(args, random.Random(0), work, source, target, "full volume", ["-v"])
        if not problem and "No space left" not in many["stderr"]:
            problem = "the volume was not full: " + many["stderr"][-300:]
        return problem
    finally:
        subprocess.run(["umount", "-l", volume])
        shutil.rmtree(work, ignore_errors=True)


def crowded(args):
    """Where workers meet: many folders in the way of a mirror (removed on the
    run's thread while workers copy beside them), a list whose files share
    parents still to be made, and folders of the user's own left read-only,
    opened up for each change. Each is run a few times: a race shows rarely."""
    work = tempfile.mkdtemp(prefix="korvane-jobs-crowded-")
    os.chmod(work, 0o755)
    source = os.path.join(work, "from")
    target = os.path.join(work, "to")
    listing = os.path.join(work, "list.txt")
    try:
        lines = []
        for folder in range(120):
            for index in range(8):
                name = "d%03d/f%d" % (folder, index)
                os.makedirs(os.path.join(source, "d%03d" % folder), exist_ok=True)
                with open(os.path.join(source, name), "wb") as out:
                    out.write(os.urandom(2000))
                lines.append(name)
            os.makedirs(os.path.join(target, "d%03d" % folder, "f0", "x"))
        with open(listing, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
        os.makedirs(os.path.join(source, "ro"))
        for index in range(300):
            with open(os.path.join(source, "ro", "g%d" % index), "w") as out:
                out.write(str(index))
        cases = [("folders in the way", ["-s", "-y", "-v"], None)]
        cases.append(("parents to make", ["-v", "-f", listing], os.path.join(target, "d*")))
        if os.geteuid() == 0:
            cases.append(("another user", ["-v", "-r", ".*/ro(/.*)?"], None))
        for mode, options, emptied in cases:
            if emptied:
                subprocess.run("rm -rf " + emptied, shell=True, check=True)
            if mode == "another user":
                os.makedirs(os.path.join(target, "ro"), exist_ok=True)
                subprocess.run(["chown", "-R", "%d:%d" % (NOBODY, NOBODY), source], check=True)
                os.chmod(os.path.join(target, "ro"), 0o555)
            for _ in range(3):
                problem, _ = round_of(args, random.Random(0), work, source, target, mode, options)
                if problem:
                    return "%s: %s" % (mode, problem)
        return None
    finally:
        subprocess.run(["chmod", "-R", "u+rwX", work])
        shutil.rmtree(work, ignore_errors=True)


def held_lines(args):
    """What a guard holds back is told in the walk's order: entries of
    another kind waiting for the deletion guard (From: a file x and a folder
    y; To: a folder x and a file y), and files waiting for the replacement
    guard (a From rewritten whole), held or let through, in -v, the log,
    standard error and --json. Each is run a few times: a race shows rarely."""
    work = tempfile.mkdtemp(prefix="korvane-jobs-held-")
    source = os.path.join(work, "from")
    target = os.path.join(work, "to")
    try:
        os.makedirs(os.path.join(source, "y"))
        os.makedirs(os.path.join(target, "x"))
        for name, text in (("from/x", "x"), ("from/y/inside", "i"), ("to/x/g", "g"), ("to/y", "y")):
            with open(os.path.join(work, name), "w") as out:
                out.write(text)
        for limit in ("0", "3"):
            for options in (["-s", "-y", "-v"], ["-s", "-y", "--json"]):
                for _ in range(3):
                    problem, many = round_of(args, random.Random(0), work, source, target, "kinds",
                                             options + ["--max-delete", limit])
                    if problem:
                        return "kinds held by --max-delete %s: %s" % (limit, problem)
        remove(source)
        remove(target)
        for folder in range(12):
            for index in range(6):
                path = os.path.join(source, "d%02d" % folder, "f%d" % index)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as out:
                    out.write("old %d %d" % (folder, index))
        subprocess.run([args.program, "-q", "--mkpath", source, target], check=True)
        for path, _ in entries(source):
            if os.path.isfile(path):
                with open(path, "w") as out:
                    out.write("rewritten, longer than before")
        for options in (["-s", "-y", "-v"], ["-v"], ["-s", "-y", "--json"], ["-n", "-s"],
                        ["-s", "-y", "-v", "--max-replace", "100"]):
            for _ in range(3):
                problem, many = round_of(args, random.Random(0), work, source, target, "replacements", options)
                if problem:
                    return "replacements, %s: %s" % (" ".join(options), problem)
            if many["status"] != (0 if "--max-replace" in options else 5):
                return "replacements, %s: exit status %d" % (" ".join(options), many["status"])
        return None
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--seeds", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    passed = failed = 0
    first = args.seed
    for seed in range(first, first + args.seeds):
        args.seed = seed
        if run_seed(args):
            failed += 1
        else:
            passed += 1
    for check in (crowded, full_volume, held_lines):
        problem = check(args)
        if problem:
            print("%s: %s" % (check.__name__.replace("_", " "), problem))
            failed += 1
        else:
            passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
