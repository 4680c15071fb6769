#!/usr/bin/env python3
"""Case 12: contents compared and copies read back, side by side in one run.

integrity.py KORVANE WORK RESULTS [--files N] [--mib N] [--runs N]

1. A no-change mirror by contents: korvane -c -s -y beside rsync -a -c
   --delete, over --files files totalling --mib MiB (10,000 and 2,048 by
   default), medians of --runs runs taken in turns (goal: at most 0.5x).
2. A first copy read back: korvane --verify beside a plain korvane first
   copy of the same tree, with their default workers and with one each
   (goal: at most 1.6x on a tmpfs, where the read-back is not served by a
   cold disk).
Each part checks To against From (diff -r) before it reports. WORK should
be on a tmpfs with room for three copies of the tree.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def make_tree(root, files, total_bytes):
    """files files of random bytes in folders of 100, total_bytes in all."""
    size = total_bytes // files
    block = os.urandom(1 << 20)
    for index in range(files):
        folder = os.path.join(root, "d%03d" % (index // 100))
        os.makedirs(folder, exist_ok=True)
        start = (index * 7919) % (len(block) - 4096)
        with open(os.path.join(folder, "f%05d.bin" % index), "wb") as out:
            left = size
            out.write(index.to_bytes(8, "little"))
            left -= 8
            while left > 0:
                piece = block[start:start + min(left, len(block) - start)]
                out.write(piece)
                left -= len(piece)
                start = 0


def same(a, b):
    done = subprocess.run(["diff", "-r", "-q", a, b], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("integrity.py: To differs from From:\n" + done.stdout[:2000])


def timed(command):
    begin = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("integrity.py: %s failed: %s" % (" ".join(command), done.stderr[-2000:]))
    return time.monotonic() - begin


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("korvane")
    parser.add_argument("work")
    parser.add_argument("results")
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--mib", type=int, default=2048)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    source = os.path.join(args.work, "from")
    make_tree(source, args.files, args.mib << 20)
    lines = []

    # 1. A no-change mirror by contents.
    ours = os.path.join(args.work, "korvane")
    theirs = os.path.join(args.work, "rsync")
    timed([args.korvane, "-s", "-y", "-q", "--mkpath", source, ours])
    timed(["rsync", "-a", source + "/", theirs + "/"])
    korvane_times, rsync_times = [], []
    for _ in range(args.runs):
        korvane_times.append(timed([args.korvane, "-c", "-s", "-y", "-q", source, ours]))
        rsync_times.append(timed(["rsync", "-a", "-c", "--delete", source + "/", theirs + "/"]))
    same(source, ours)
    k, r = statistics.median(korvane_times), statistics.median(rsync_times)
    lines.append("-c no-change mirror, %d files, %d MiB: korvane %.2f s, rsync -a -c --delete %.2f s: %.2fx (goal 0.5x)"
                 % (args.files, args.mib, k, r, k / r))
    shutil.rmtree(theirs)

    # 2. A first copy read back, beside a plain first copy: each with its
    # default workers (one per core for --verify on a local disk, one for a
    # plain copy), and both with one.
    copy = os.path.join(args.work, "copy")
    for jobs, label in (([], "default workers"), (["-j", "1"], "one worker each")):
        plain_times, verify_times = [], []
        for _ in range(args.runs):
            for verify, times in ((False, plain_times), (True, verify_times)):
                shutil.rmtree(copy, ignore_errors=True)
                command = [args.korvane, "-q", "--mkpath"] + jobs + (["--verify"] if verify else []) + [source, copy]
                times.append(timed(command))
                same(source, copy)
        p, v = statistics.median(plain_times), statistics.median(verify_times)
        lines.append("--verify first copy (%s): %.2f s, a plain first copy %.2f s: %.2fx (goal 1.6x)"
                     % (label, v, p, v / p))
    shutil.rmtree(args.work, ignore_errors=True)

    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "case12.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
