#!/usr/bin/env python3
"""Generates a benchmark tree, the same for the same arguments.

make_tree.py ROOT FILES DIRS [LARGE_MIB ...]
Files of 0 bytes to 64 KiB (MAX_FILE_BYTES in the environment lowers that) spread over DIRS directories, up to six levels deep
and wide at each level, with a .git folder in some of them; then one file per
LARGE_MIB size given. Modification times are fixed, so two trees made alike
compare equal by size and time.
"""
import os
import random
import sys


def main():
    root, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    large = [int(size) for size in sys.argv[4:]]
    rng = random.Random(1234)
    os.makedirs(root, exist_ok=True)
    directories = [root]
    for index in range(dirs):
        parent = directories[rng.randrange(len(directories))] if index else root
        if parent.count(os.sep) - root.count(os.sep) >= 6:
            parent = root
        name = ".git" if index % 50 == 7 else f"d{index:05d}"
        path = os.path.join(parent, name)
        if os.path.exists(path):
            path = os.path.join(parent, f"d{index:05d}")
        os.makedirs(path, exist_ok=True)
        directories.append(path)
    largest = int(os.environ.get("MAX_FILE_BYTES", "65536"))
    chunk = os.urandom(65536)
    stamp = 1_600_000_000
    for index in range(files):
        folder = directories[rng.randrange(len(directories))]
        size = min(int(rng.expovariate(1 / 8192)), 65536, largest)
        path = os.path.join(folder, f"f{index:06d}.dat")
        with open(path, "wb") as out:
            out.write(chunk[:size])
        os.utime(path, (stamp + index, stamp + index))
    for index, mib in enumerate(large):
        path = os.path.join(root, f"large{index}.bin")
        with open(path, "wb") as out:
            block = os.urandom(1 << 20)
            for _ in range(mib):
                out.write(block)
        os.utime(path, (stamp, stamp))


if __name__ == "__main__":
    main()
