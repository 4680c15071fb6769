#!/usr/bin/env python3
"""Counts the file-system calls the Windows build made, from a Wine relay
trace (WINEDEBUG=+relay), per entry of the tree: only calls made by the
program itself (returning into its image at 0x140000000) on the threads that
name the tree, not those of Wine's own helper programs.

wine_calls.py TRACE ENTRIES TREE_TEXT
"""
import collections
import re
import sys

CALL = re.compile(r"^([0-9a-f]+):Call (?:KERNEL32|KERNELBASE)\.(\w+)\((.*)\) ret=(14[0-9a-f]{7})$")
FILE_CALLS = ("Find", "GetFile", "SetFile", "CreateFile", "CreateDirectory", "RemoveDirectory", "DeleteFile",
              "MoveFile", "CopyFile", "ReplaceFile", "GetFinalPath", "DeviceIoControl", "GetVolume", "GetDrive",
              "CloseHandle")


def main():
    trace, entries, tree = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    calls = []
    threads = set()
    with open(trace, errors="replace") as lines:
        for line in lines:
            found = CALL.match(line.rstrip("\n"))
            if not found:
                continue
            thread, name, arguments = found.group(1), found.group(2), found.group(3)
            if tree in arguments:
                threads.add(thread)
            if name.startswith(FILE_CALLS):
                calls.append((thread, name))
    counts = collections.Counter(name for thread, name in calls if thread in threads)
    total = sum(counts.values())
    print(f"{entries} entries, {total} file calls, {total / entries:.2f} per entry")
    for name, count in counts.most_common():
        print(f"  {name:28} {count:7}  {count / entries:.2f} per entry")


if __name__ == "__main__":
    main()
