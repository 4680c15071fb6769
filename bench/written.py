#!/usr/bin/env python3
"""Counts the bytes a program writes into the files below a folder: it runs
the program (and every process it starts) under strace and adds up what each
write call that succeeded put into a file below FOLDER (write, pwrite,
writev, copy_file_range, sendfile, splice), whatever file the data came
from; pipes, sockets and files elsewhere are left out. For a file system
that counts nothing itself (a tmpfs); the time strace adds makes it a run of
its own, never a timed one. Prints the bytes; exit status 1 when the program
failed or strace saw no call at all.

written.py FOLDER PROGRAM [ARGUMENT ...]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

CALLS = ("write", "pwrite64", "writev", "pwritev", "pwritev2", "copy_file_range", "sendfile", "splice")
# The calls whose second descriptor, not the first, is the one written to.
SECOND = ("copy_file_range", "splice")
# A call as strace -y -s 0 prints it: name, arguments (descriptors with
# their paths), result.
CALL = re.compile(r"^(\w+)\((.*)\)\s+= (-?\d+)")
DESCRIPTOR = re.compile(r"\d+<([^>]*)>")


def written_below(folder, lines):
    """The bytes the calls of lines put into files below folder; the calls seen."""
    prefix = os.path.realpath(folder).rstrip("/") + "/"
    total, calls = 0, 0
    for line in lines:
        match = CALL.match(line)
        if not match or match.group(1) not in CALLS:
            continue
        calls += 1
        result = int(match.group(3))
        paths = DESCRIPTOR.findall(match.group(2))
        index = 1 if match.group(1) in SECOND else 0
        if result > 0 and len(paths) > index and paths[index].startswith(prefix):
            total += result
    return total, calls


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    folder, program = sys.argv[1], sys.argv[2:]
    traces = tempfile.mkdtemp(prefix="korvane-written-")
    try:
        # -ff: a file per process, so that no call is split over two lines.
        run = subprocess.run(["strace", "-f", "-ff", "--seccomp-bpf", "-qq", "-y", "-s", "0", "-e", "signal=none",
                              "-e", "trace=" + ",".join(CALLS), "-o", os.path.join(traces, "trace"), *program],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        total, calls = 0, 0
        for name in os.listdir(traces):
            with open(os.path.join(traces, name), errors="surrogateescape") as trace:
                bytes_in, seen = written_below(folder, trace)
            total += bytes_in
            calls += seen
    finally:
        shutil.rmtree(traces, ignore_errors=True)
    if run.returncode != 0 or calls == 0:
        print(f"written: {program[0]} failed ({run.returncode}) or made no call strace saw", file=sys.stderr)
        return 1
    print(total)
    return 0


if __name__ == "__main__":
    sys.exit(main())
