#!/usr/bin/env python3
"""Prints the benchmark's table from hyperfine's JSON files: the medians of
korvane and its peer, their ratio, and whether the goal is met.

report.py RESULTS_DIR "SCALE SCALE ..."
"""
import json
import os
import sys


def medians(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as source:
        data = json.load(source)
    return {r["command"]: (r["median"], r["min"], r["stddev"] or 0.0) for r in data["results"]}


def main():
    folder, scale = sys.argv[1], [int(n) for n in sys.argv[2].split()]
    rows = []

    def compare(case, name, peer, goal, subject="korvane"):
        timings = medians(folder, name)
        if not timings or subject not in timings or peer not in timings:
            return
        mine, theirs = timings[subject][0], timings[peer][0]
        ratio = mine / theirs
        verdict = "-" if goal is None else ("met" if ratio <= goal else "MISSED")
        goal_text = "-" if goal is None else f"<= {goal:.1f}"
        rows.append((case, f"{subject} {mine:.3f} s", f"{peer} {theirs:.3f} s", f"{ratio:.2f}", goal_text, verdict))

    compare("1 first copy", "case1", "cp -a", 1.1)
    compare("1 first copy", "case1", "rsync -a", None)
    compare("2 nothing changed", "case2", "rsync -a --delete", 1.0)
    compare("2 nothing changed", "case2", "floor", 2.0)
    compare("3 after a mutation", "case3", "rsync -a --delete", 1.0)
    compare("4 rule, first copy", "case4-first", "rsync -a --exclude", None)
    compare("4 rule, nothing changed", "case4-unchanged", "rsync -a --delete --exclude", 1.0)
    compare("4 rule, after a mutation", "case4-mutated", "rsync -a --delete --exclude", 1.0)
    for count in scale:
        compare(f"5 nothing changed, {count}", f"case5-{count}", "rsync -a --delete", 1.0)
    compare("6 Wine, 10000", "case6", "korvane", None, subject="korvane.exe (Wine)")
    compare("6 nothing changed, 10000", "case6", "floor", 2.0)

    header = ("case", "korvane median", "peer median", "ratio", "goal", "")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())

    print()
    per_entry = []
    for count in scale:
        timings = medians(folder, f"case5-{count}")
        memory_path = os.path.join(folder, f"memory-{count}.txt")
        if not timings or not os.path.exists(memory_path):
            continue
        with open(memory_path) as source:
            kib = int(source.read().strip() or 0)
        entries = count + count // 20
        micro = timings["korvane"][0] / entries * 1e6
        per_entry.append((count, micro, kib))
        print(f"scale {count:>7} files: {micro:6.2f} us per entry, peak memory {kib} KiB")
    if len(per_entry) >= 2:
        ratio = per_entry[-1][2] / per_entry[0][2]
        verdict = "met" if ratio <= 1.2 else "MISSED"
        print(f"peak memory at {per_entry[-1][0]} over {per_entry[0][0]}: {ratio:.2f} (goal <= 1.2) {verdict}")


if __name__ == "__main__":
    main()
