#!/usr/bin/env python3
"""Checks a mirror that kept versions: every entry the To Folder held before
(PRISTINE) is in the To Folder or, the same, in the one run folder of the
versions folder; nothing is lost, nothing half kept.

A mirror that moves renames a To entry From moved instead of keeping it:
such a file is in the To Folder under a name PRISTINE did not have, with the
same contents. Each file found at no name of its own is matched by its bytes
with one file of its own, a file of the To Folder at a new name or one of the
run folder that no other entry took, so that one surviving copy never
vouches for two lost files; a folder found nowhere passes only when it held
something (what it held is checked on its own) or when an empty folder at a
new name of the To Folder is left for it.

versions_check.py PRISTINE TO VERSIONS
"""
import collections
import filecmp
import hashlib
import os
import sys


def relative_entries(root):
    """The files and folders below root, as paths relative to it."""
    files, folders = [], []
    for folder, subfolders, names in os.walk(root):
        relative = os.path.relpath(folder, root)
        folders.extend(os.path.normpath(os.path.join(relative, name)) for name in subfolders)
        files.extend(os.path.normpath(os.path.join(relative, name)) for name in names
                     if os.path.isfile(os.path.join(folder, name)))
    return files, folders


def digest(path):
    hashed = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            hashed.update(block)
    return hashed.hexdigest()


def main():
    pristine, target, versions = sys.argv[1:4]
    # The run folders, beside the versions folder's mark of itself.
    runs = sorted(name for name in os.listdir(versions)
                  if os.path.isdir(os.path.join(versions, name))) if os.path.isdir(versions) else []
    if len(runs) != 1:
        print(f"versions_check: {len(runs)} run folders in {versions}, not one", file=sys.stderr)
        return 1
    kept = os.path.join(versions, runs[0])
    before_files, before_folders = relative_entries(pristine)
    known = set(before_files) | set(before_folders)

    # Each file at its own name in To or in the run folder; the run folder's
    # files so found are taken.
    unplaced = []
    taken = set()
    for path in before_files:
        before = os.path.join(pristine, path)
        found = False
        for root in (target, kept):
            there = os.path.join(root, path)
            if os.path.isfile(there) and filecmp.cmp(before, there, shallow=False):
                found = True
                if root == kept:
                    taken.add(path)
                break
        if not found:
            unplaced.append(path)

    # The rest by contents, each with a file of its own: To's files at names
    # PRISTINE lacked (where moves put them), the run folder's untaken ones.
    lost = []
    missing = [path for path in before_folders
               if not any(os.path.isdir(os.path.join(root, path)) for root in (target, kept))]
    target_files, target_folders = relative_entries(target) if unplaced or missing else ([], [])
    if unplaced:
        kept_files, _ = relative_entries(kept)
        spare = [os.path.join(target, path) for path in target_files if path not in known]
        spare += [os.path.join(kept, path) for path in kept_files if path not in taken]
        sizes = collections.defaultdict(list)
        for path in spare:
            sizes[os.path.getsize(path)].append(path)
        wanted_sizes = {os.path.getsize(os.path.join(pristine, path)) for path in unplaced}
        pool = collections.Counter(digest(path) for size in wanted_sizes for path in sizes.get(size, ()))
        for path in unplaced:
            key = digest(os.path.join(pristine, path))
            if pool[key] > 0:
                pool[key] -= 1
            else:
                lost.append(path)

    # Folders: at their name, or held something, or an empty new one of To is left.
    empty_new = sum(1 for path in target_folders
                    if path not in known and not os.listdir(os.path.join(target, path)))
    for path in missing:
        if os.listdir(os.path.join(pristine, path)):
            continue
        if empty_new > 0:
            empty_new -= 1
        else:
            lost.append(path)

    if lost:
        print(f"versions_check: {len(lost)} entries lost, such as {lost[:5]}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
