#!/usr/bin/env python3
"""The moves case's tree: a folder of large files beside a benchmark tree,
then 1% of the tree's files moved into other folders and that folder
renamed. The same for the same tree.

move_tree.py folder ROOT NAME MIB FILES
move_tree.py move ROOT NAME NEW_NAME

folder makes ROOT/NAME with FILES files of MIB / FILES MiB each (other bytes
in each, fixed modification times); move moves 1% of the tree's files (those
make_tree.py made, never one below NAME) each into another folder, keeping
its name, and renames ROOT/NAME to ROOT/NEW_NAME.
"""
import os
import random
import sys


def make_folder(root, name, mib, files):
    folder = os.path.join(root, name)
    os.makedirs(folder, exist_ok=True)
    stamp = 1_600_000_000
    each = max(1, mib // files)
    for index in range(files):
        path = os.path.join(folder, f"part{index:03d}.bin")
        with open(path, "wb") as out:
            block = os.urandom(1 << 20)
            for _ in range(each):
                out.write(block)
        os.utime(path, (stamp + index, stamp + index))


def move(root, name, new_name):
    rng = random.Random(77)
    skipped = os.path.join(root, name)
    files = []
    directories = [root]
    for folder, subfolders, names in os.walk(root):
        subfolders.sort()
        if folder == root:
            subfolders.remove(name)
        directories.extend(os.path.join(folder, d) for d in subfolders)
        files.extend(os.path.join(folder, n) for n in sorted(names) if n.startswith("f"))
    count = max(1, len(files) // 100)
    for path in rng.sample(files, count):
        folder = os.path.dirname(path)
        target = folder
        while target == folder:
            target = directories[rng.randrange(len(directories))]
        os.rename(path, os.path.join(target, os.path.basename(path)))
    os.rename(skipped, os.path.join(root, new_name))
    print(f"move_tree: {count} of {len(files)} files moved, {name} renamed {new_name}")


def main():
    command = sys.argv[1]
    if command == "folder":
        make_folder(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif command == "move":
        move(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        print(f"move_tree: unknown command {command}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
