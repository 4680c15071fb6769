#!/usr/bin/env python3
"""Counts the system calls a program makes per entry of a tree: it runs the
program (and every process and thread it starts) under strace -f -c and
appends a line of JSON to OUT: the program's name, the entries below FROM,
all calls, the queries of an entry by name (newfstatat, statx and their
older kin) and the calls by kind. strace slows the program, so this is a
run of its own, never a timed one. Exit status 1 when the program failed or
strace counted nothing.

calls.py OUT NAME FROM PROGRAM [ARGUMENT ...]
"""
import json
import os
import subprocess
import sys
import tempfile

# The calls that query an entry by its name.
QUERIES = ("newfstatat", "statx", "lstat", "stat", "fstatat64", "lstat64", "stat64")


def entries_below(root):
    """Files, folders and links below root, root itself left out."""
    count = 0
    for _, folders, files in os.walk(root):
        count += len(folders) + len(files)
    return count


def columns(rule):
    """The spans of strace's columns, from its line of dashes."""
    spans, start = [], None
    for index, char in enumerate(rule + " "):
        if char == "-" and start is None:
            start = index
        elif char != "-" and start is not None:
            spans.append((start, index))
            start = None
    return spans


def parse_summary(text):
    """The calls by kind from strace -c's table (its total row left out).
    Columns are cut by the table's own rule, as a kind without errors leaves
    that column blank."""
    lines = text.splitlines()
    rules = [index for index, line in enumerate(lines) if line.startswith("------")]
    if len(rules) < 2:
        return {}
    spans = columns(lines[rules[0]])
    header = [lines[rules[0] - 1][start:end + 1].strip() for start, end in spans]
    calls_at, name_at = header.index("calls"), header.index("syscall")
    kinds = {}
    for line in lines[rules[0] + 1:rules[1]]:
        cells = [line[start:end + 1].strip() for start, end in spans]
        # The last column runs to the end of the line: names are wider than its rule at times.
        cells[name_at] = line[spans[name_at][0]:].strip()
        if cells[calls_at]:
            kinds[cells[name_at]] = kinds.get(cells[name_at], 0) + int(cells[calls_at])
    return kinds


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    out, name, source, program = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    entries = entries_below(source)
    with tempfile.NamedTemporaryFile(prefix="korvane-calls-", suffix=".txt") as summary:
        run = subprocess.run(["strace", "-f", "-q", "-c", "-o", summary.name, *program],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        with open(summary.name) as table:
            kinds = parse_summary(table.read())
    if run.returncode != 0 or not kinds or not entries:
        print(f"calls: {program[0]} failed ({run.returncode}), strace counted nothing, or {source} is empty",
              file=sys.stderr)
        return 1
    record = {"program": name, "entries": entries, "calls": sum(kinds.values()),
              "queries": sum(kinds.get(kind, 0) for kind in QUERIES), "kinds": kinds}
    with open(out, "a") as lines:
        print(json.dumps(record, sort_keys=True), file=lines)
    per_entry = record["calls"] / entries
    print(f"{name}: {per_entry:.2f} calls per entry, {record['queries'] / entries:.2f} newfstatat/statx")
    return 0


if __name__ == "__main__":
    sys.exit(main())
