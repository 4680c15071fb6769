#!/usr/bin/env python3
"""The big folder of bench case 15: one folder of many small files, the same
for the same arguments, and its 1% change.

big_folder.py make ROOT FILES     FILES files of 0 to 63 bytes in ROOT itself,
                                  with fixed modification times
big_folder.py change ROOT         every 100th file rewritten with new contents
                                  and a new time; prints how many
big_folder.py kept PRISTINE VERSIONS COUNT
                                  checks a backup folder (rsync --backup-dir):
                                  COUNT files, each byte for byte the file of
                                  PRISTINE at its path
"""
import filecmp
import os
import random
import sys

STAMP = 1_600_000_000  # the files' times as made
CHANGED_STAMP = 1_700_000_000  # the times of the files changed


def name_of(index):
    return f"f{index:06d}.dat"


def make(root, files):
    os.makedirs(root, exist_ok=True)
    chunk = random.Random(1234).randbytes(64)
    for index in range(files):
        path = os.path.join(root, name_of(index))
        with open(path, "wb") as out:
            out.write(chunk[:index % 64])
        os.utime(path, (STAMP + index, STAMP + index))
    return 0


def change(root):
    count = 0
    for name in sorted(os.listdir(root)):
        if not name.startswith("f") or int(name[1:7]) % 100 != 50:
            continue
        path = os.path.join(root, name)
        index = int(name[1:7])
        with open(path, "wb") as out:
            out.write(f"changed {index}\n".encode())
        os.utime(path, (CHANGED_STAMP + index, CHANGED_STAMP + index))
        count += 1
    print(count)
    return 0


def kept(pristine, versions, count):
    found = 0
    for folder, _, names in os.walk(versions):
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, versions)
            before = os.path.join(pristine, relative)
            if not os.path.isfile(before) or not filecmp.cmp(path, before, shallow=False):
                print(f"big_folder: {relative} in {versions} is not the file To held", file=sys.stderr)
                return 1
            found += 1
    if found != count:
        print(f"big_folder: {versions} holds {found} files, not the {count} replaced", file=sys.stderr)
        return 1
    return 0


def main():
    arguments = sys.argv[1:]
    if arguments[:1] == ["make"] and len(arguments) == 3:
        return make(arguments[1], int(arguments[2]))
    if arguments[:1] == ["change"] and len(arguments) == 2:
        return change(arguments[1])
    if arguments[:1] == ["kept"] and len(arguments) == 4:
        return kept(arguments[1], arguments[2], int(arguments[3]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
