#!/usr/bin/env python3
"""Case 13: a list of 200,000 lines, korvane -f beside rsync -a --files-from.

list_case.py KORVANE WORK RESULTS [--lines N] [--dirs N] [--runs N]

A tree of --lines small files in --dirs folders (make_tree.py, below a
folder "documents", so a line holds about 45 characters), listed one file a
line; a first copy into an empty To and a no-change run of the same list,
each program in turn, --runs times (3): the medians of time and of peak
memory (/usr/bin/time's maximum resident set, of rsync's largest process),
and korvane's over rsync's (goal: memory at most 1x). Each To is checked
against From (diff -r) before anything is reported. WORK should be on a
tmpfs with room for three trees (about 2.5 GB at 200,000 lines).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys


def measured(command):
    """(seconds, peak KiB) of one run of command, which must succeed."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("list_case.py: %s failed: %s" % (" ".join(command), done.stderr[-2000:]))
    seconds, kib = done.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(kib)


def same(source, target):
    done = subprocess.run(["diff", "-r", "-q", source, target], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("list_case.py: %s differs from %s:\n%s" % (target, source, done.stdout[:2000]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("korvane")
    parser.add_argument("work")
    parser.add_argument("results")
    parser.add_argument("--lines", type=int, default=200000)
    parser.add_argument("--dirs", type=int, default=6800)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    source = os.path.join(args.work, "from")
    maker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_tree.py")
    subprocess.run([sys.executable, maker, os.path.join(source, "documents"), str(args.lines), str(args.dirs)],
                   env=dict(os.environ, MAX_FILE_BYTES="64"), check=True)
    listed = sorted(os.path.relpath(os.path.join(root, name), source)
                    for root, _, files in os.walk(source) for name in files)
    listing = os.path.join(args.work, "list.txt")
    with open(listing, "w") as out:
        out.write("".join(line + "\n" for line in listed))
    width = sum(len(line) for line in listed) / len(listed)

    ours, theirs = os.path.join(args.work, "korvane"), os.path.join(args.work, "rsync")
    programs = (("korvane -f", ours, lambda to: [args.korvane, "-q", "-f", listing, source, to]),
                ("rsync -a --files-from", theirs, lambda to: ["rsync", "-a", "--files-from=" + listing,
                                                              source + "/", to + "/"]))
    lines = ["A list of %d lines (%.0f characters on average) in %d folders:" % (len(listed), width, args.dirs)]
    for step in ("first copy", "no change"):
        figures = {}
        for _ in range(args.runs):
            for name, to, command in programs:
                if step == "first copy":
                    shutil.rmtree(to, ignore_errors=True)
                    os.makedirs(to)
                figures.setdefault(name, []).append(measured(command(to)))
                same(source, to)
        (k_time, k_memory), (r_time, r_memory) = (
            (statistics.median(t for t, _ in figures[name]), statistics.median(m for _, m in figures[name]) / 1024)
            for name, _, _ in programs)
        lines.append("  %s: korvane -f %.2f s, %.1f MiB; rsync -a --files-from %.2f s, %.1f MiB: time %.2fx, "
                     "memory %.2fx (goal 1x)" % (step, k_time, k_memory, r_time, r_memory, k_time / r_time,
                                                 k_memory / r_memory))
    shutil.rmtree(args.work, ignore_errors=True)

    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "case13.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
