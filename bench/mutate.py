#!/usr/bin/env python3
"""Mutates a benchmark tree between runs: 1% of the files touched, 1% added,
1% removed, and one directory renamed. The same for the same tree.

mutate.py ROOT
"""
import os
import random
import sys


def main():
    root = sys.argv[1]
    rng = random.Random(99)
    files = []
    directories = []
    for folder, subfolders, names in os.walk(root):
        subfolders.sort()
        directories.extend(os.path.join(folder, d) for d in subfolders)
        files.extend(os.path.join(folder, n) for n in sorted(names) if n.startswith("f"))
    count = max(1, len(files) // 100)
    chosen = rng.sample(files, 2 * count)
    for path in chosen[:count]:
        stat = os.stat(path)
        os.utime(path, (stat.st_atime, stat.st_mtime + 3600))
    for path in chosen[count:]:
        os.remove(path)
    for index in range(count):
        folder = directories[rng.randrange(len(directories))]
        with open(os.path.join(folder, f"added{index:06d}.dat"), "wb") as out:
            out.write(os.urandom(rng.randrange(8192)))
    leaves = [d for d in directories if os.path.exists(d) and ".git" not in d]
    renamed = rng.choice(leaves)
    os.rename(renamed, renamed + "-renamed")


if __name__ == "__main__":
    main()
