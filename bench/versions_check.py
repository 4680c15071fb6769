#!/usr/bin/env python3
"""Checks a mirror that kept versions: every entry the To Folder held before
(PRISTINE) is in the To Folder or, the same, in the one run folder of the
versions folder; nothing is lost, nothing half kept.

versions_check.py PRISTINE TO VERSIONS
"""
import filecmp
import os
import sys


def main():
    pristine, target, versions = sys.argv[1:4]
    # The run folders, beside the versions folder's mark of itself.
    runs = sorted(name for name in os.listdir(versions)
                  if os.path.isdir(os.path.join(versions, name))) if os.path.isdir(versions) else []
    if len(runs) != 1:
        print(f"versions_check: {len(runs)} run folders in {versions}, not one", file=sys.stderr)
        return 1
    kept = os.path.join(versions, runs[0])
    lost = []
    for folder, folders, files in os.walk(pristine):
        relative = os.path.relpath(folder, pristine)
        for name in folders:
            path = os.path.normpath(os.path.join(relative, name))
            if not any(os.path.isdir(os.path.join(root, path)) for root in (target, kept)):
                lost.append(path)
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            before = os.path.join(folder, name)
            if not any(os.path.isfile(os.path.join(root, path)) and
                       filecmp.cmp(before, os.path.join(root, path), shallow=False) for root in (target, kept)):
                lost.append(path)
    if lost:
        print(f"versions_check: {len(lost)} entries lost, such as {lost[:5]}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
