#!/usr/bin/env python3
"""Tells where the requests a program sends to the latency volume come from:
each request of the volume's trace (latency_fs.py serve --trace) is put to the
system call of the program that was waiting for it (strace -ttt -T -k), and
that call to the program's own functions on its stack; a request that comes
after the call returned (the kernel's release after a close) goes to the call
before it. Prints, per entry of the tree, the requests of each function and
call, most first.

request_sources.py STRACE_OUTPUT VOLUME_TRACE PROGRAM ENTRIES [FRAMES]

strace's output is of one process, as `strace -ttt -T -y -k -o FILE PROGRAM ...`
writes it; PROGRAM is the path of the program's binary, which names its
frames; FRAMES (3) is how many of its frames show the caller chain.
"""
import bisect
import collections
import re
import sys

# A call as strace -ttt -T -y prints it: its start, name, arguments, result
# (with the path of a returned descriptor), error name and duration.
CALL = re.compile(r"^(?:\d+ +)?(\d+\.\d+) (\w+)\((.*)\) += (-?\w+)(?:<[^>]*>)?(?: (\w+) \(.*?\))? <(\d+\.\d+)>$")
FRAME = re.compile(r"^ > ([^(\s]+)\((.*)\+0x[0-9a-f]+\) \[0x[0-9a-f]+\]$")


def short(function):
    """A frame's function without its namespace or parameters."""
    function = function.replace("(anonymous namespace)::", "")
    depth = 0
    for index, char in enumerate(function):
        if char == "<":
            depth += 1
        elif char == ">":
            depth -= 1
        elif char == "(" and depth == 0:
            return function[:index]
    return function


def read_calls(path, program, frames):
    """The program's system calls: (start, end, name, failure, callers), by start."""
    calls = []
    with open(path, errors="replace") as lines:
        for line in lines:
            line = line.rstrip("\n")
            found = CALL.match(line)
            if found:
                start, name, failure, took = float(found.group(1)), found.group(2), found.group(5), found.group(6)
                calls.append([start, start + float(took), name, failure, []])
                continue
            frame = FRAME.match(line)
            if frame and calls and frame.group(1) == program and frame.group(2):
                if len(calls[-1][4]) < frames:
                    calls[-1][4].append(short(frame.group(2)))
    calls.sort(key=lambda call: call[0])
    return calls


def main():
    if len(sys.argv) not in (5, 6):
        print(__doc__)
        return 2
    program, entries = sys.argv[3], int(sys.argv[4])
    frames = int(sys.argv[5]) if len(sys.argv) == 6 else 3
    calls = read_calls(sys.argv[1], program, frames)
    starts = [call[0] for call in calls]
    sources = collections.Counter()
    total = 0
    with open(sys.argv[2]) as trace:
        for line in trace:
            parts = line.split()
            if len(parts) < 2:
                continue
            when, kind = float(parts[0]), parts[1]
            index = bisect.bisect_right(starts, when) - 1
            if index < 0:
                continue
            start, end, name, failure, callers = calls[index]
            after = when > end
            label = f"{name}{' ' + failure if failure else ''}{' (after it returned)' if after else ''}"
            sources[(" < ".join(callers) or "(no frame of the program)", label, kind)] += 1
            total += 1
    print(f"{total} requests, {total / entries:.2f} per entry of {entries}")
    by_source = collections.defaultdict(collections.Counter)
    for (callers, label, kind), count in sources.items():
        by_source[(callers, label)][kind] += count
    for (callers, label), kinds in sorted(by_source.items(), key=lambda item: -sum(item[1].values())):
        count = sum(kinds.values())
        detail = ", ".join(f"{kind} {n / entries:.2f}" for kind, n in kinds.most_common())
        print(f"  {count / entries:5.2f}  {label:34} {detail}\n         {callers}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
