#!/usr/bin/env python3
"""Prints the benchmark's table from hyperfine's JSON files: the medians of
korvane and its peer, their ratio, and whether the goal is met; where an
earlier korvane was timed beside it, its ratio too.

report.py RESULTS_DIR "SCALE SCALE ..." ["PLACE PLACE ..."]
"""
import json
import os
import sys

BASE = "korvane (base)"


def medians(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as source:
        data = json.load(source)
    return {r["command"]: (r["median"], r["min"], r["stddev"] or 0.0) for r in data["results"]}


def main():
    folder, scale = sys.argv[1], [int(n) for n in sys.argv[2].split()]
    places = sys.argv[3].split() if len(sys.argv) > 3 else ["disk"]
    rows = []
    goals = []

    def compare(place, case, name, peer, goal, subject="korvane"):
        timings = medians(os.path.join(folder, place), name)
        if not timings or subject not in timings or peer not in timings:
            return
        mine, theirs = timings[subject][0], timings[peer][0]
        ratio = mine / theirs
        verdict = "-" if goal is None else ("met" if ratio <= goal else "MISSED")
        goal_text = "-" if goal is None else f"<= {goal:.1f}"
        base_text = "-"
        if subject == "korvane" and BASE in timings:
            base_text = f"{timings[BASE][0] / theirs:.2f}"
        rows.append((place, case, f"{subject} {mine:.3f} s", f"{peer} {theirs:.3f} s", f"{ratio:.2f}", base_text,
                     goal_text, verdict))
        if goal is not None:
            goals.append((place, case, peer, ratio, goal, verdict))

    for place in places:
        compare(place, "1 first copy", "case1", "cp -a", 1.0)
        compare(place, "1 first copy", "case1", "rsync -a", None)
        compare(place, "2 nothing changed", "case2", "rsync -a --delete", 0.6)
        compare(place, "2 nothing changed", "case2", "floor", 1.5)
        compare(place, "3 after a mutation", "case3", "rsync -a --delete", 0.6)
        compare(place, "7 mutation, versions kept", "case7", "korvane", 1.1, subject="korvane --versions")
    compare("disk", "4 rule, first copy", "case4-first", "rsync -a --exclude", None)
    compare("disk", "4 rule, nothing changed", "case4-unchanged", "rsync -a --delete --exclude", 0.6)
    compare("disk", "4 rule, after a mutation", "case4-mutated", "rsync -a --delete --exclude", 0.6)
    for count in scale:
        compare("disk", f"5 nothing changed, {count}", f"case5-{count}", "rsync -a --delete", 0.6)
    compare("disk", "6 Wine, 10000", "case6", "korvane", None, subject="korvane.exe (Wine)")
    compare("disk", "6 nothing changed, 10000", "case6", "floor", 1.5)

    header = ("place", "case", "korvane median", "peer median", "ratio", "base ratio", "goal", "")
    if rows:
        widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
        for row in [header] + rows:
            print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())

    print()
    per_entry = []
    for count in scale:
        timings = medians(os.path.join(folder, "disk"), f"case5-{count}")
        memory_path = os.path.join(folder, "disk", f"memory-{count}.txt")
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
        goals.append(("disk", f"5 peak memory {per_entry[-1][0]} / {per_entry[0][0]}", "memory", ratio, 1.2, verdict))

    if goals:
        print()
        print("goals:")
        for place, case, peer, ratio, goal, verdict in goals:
            print(f"  {verdict:6}  {place:5}  {case}: {ratio:.2f} of {peer} (goal <= {goal:.1f})")
        missed = sum(1 for goal in goals if goal[5] != "met")
        print(f"  {len(goals) - missed} met, {missed} missed")


if __name__ == "__main__":
    main()
