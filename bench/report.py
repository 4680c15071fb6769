#!/usr/bin/env python3
"""Prints the benchmark's table from hyperfine's JSON files: the medians of
korvane and its peer, their ratio, and whether the goal is met; where an
earlier korvane was timed beside it, its ratio too. For the latency cases,
also the volume's requests per entry by kind (case 7 on a volume that serves
a folder's requests side by side, case 14 on one that serves one folder at a
time); for the moves case, each program's time and the bytes it wrote to To;
for the big folder (case 15), each program's time, peak memory and system
calls per entry; and the system calls per entry strace counted in the
no-change cases (2 on the tmpfs, 5, 15).

report.py RESULTS_DIR "SCALE SCALE ..." ["PLACE PLACE ..."]
"""
import glob
import json
import os
import sys

BASE = "korvane (base)"
LATENCY_CASES = (("first", "first copy"), ("unchanged", "nothing changed"), ("mutated", "after a mutation"))
# The latency volumes: results folder, case number, what the volume is, the goals by case.
LATENCY_VOLUMES = (("latency", "7", "a volume that serves a folder's requests side by side",
                    {"first": 0.15, "unchanged": 0.2, "mutated": 0.2}),
                   ("latency-serial", "14", "a volume that serves one folder at a time",
                    {"first": 0.15, "unchanged": 0.2, "mutated": 0.2}))
# The order the latency case's programs are shown in.
LATENCY_PROGRAMS = ("korvane", "korvane --jobs 1", "korvane --no-moves", BASE, "rsync -a --delete",
                    "rsync -a --delete --fuzzy", "korvane.exe (Wine)", "korvane.exe --jobs 1 (Wine)")


def medians(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as source:
        data = json.load(source)
    return {r["command"]: (r["median"], r["min"], r["stddev"] or 0.0) for r in data["results"]}


def latency_runs(folder, case):
    """The latency case's programs: name -> (timing, runs, counts), from the
    files bench/latency_case wrote for each program."""
    programs = {}
    for path in sorted(glob.glob(os.path.join(folder, "times", case + "--*.json"))):
        with open(path) as source:
            result = json.load(source)["results"][0]
        counts_path = os.path.join(folder, "counts", os.path.basename(path))
        counts = None
        if os.path.exists(counts_path):
            with open(counts_path) as source:
                counts = json.load(source)
        timing = (result["median"], result["min"], result["stddev"] or 0.0)
        programs[result["command"]] = (timing, len(result["times"]), counts)
    order = {name: index for index, name in enumerate(LATENCY_PROGRAMS)}
    return dict(sorted(programs.items(), key=lambda item: (order.get(item[0], len(order)), item[0])))


def latency_timings(folder, case, info):
    """The medians of a latency case by program; a program without --jobs
    stands for its own --jobs 1."""
    timings = {name: run[0] for name, run in latency_runs(folder, case).items()}
    for program, jobs in (("korvane", "jobs_native"), ("korvane.exe (Wine)", "jobs_wine")):
        if program in timings and info.get(jobs) == "no":
            timings[jobs_one(program) + " (no --jobs: the same)"] = timings[program]
    return timings


def jobs_one(program):
    return program.replace(" (Wine)", " --jobs 1 (Wine)") if "Wine" in program else program + " --jobs 1"


def read_info(folder):
    """What a latency case wrote of itself (info.json), or nothing."""
    path = os.path.join(folder, "info.json")
    if not os.path.exists(path):
        return {}
    with open(path) as source:
        return json.load(source)


def print_requests(folder, info, number, volume):
    """Requests per entry of each program and case, by kind, with the
    look-ups that found nothing and the requests in flight on average."""
    entries = info["entries"]
    delay = info["delay_ms"] / 1000
    print()
    print(f"case {number}, requests per entry on {volume} ({entries} entries: {info['files']} files in "
          f"{info['dirs']} folders; {info['delay_ms']:g} ms a request; in flight: requests x delay / time)")
    for case, title in LATENCY_CASES:
        for name, (timing, runs, counts) in latency_runs(folder, case).items():
            if not counts:
                continue
            total = counts["requests"] / runs
            kinds = sorted(counts["kinds"].items(), key=lambda item: (-item[1], item[0]))
            parts = []
            for kind, count in kinds:
                per_entry = count / runs / entries
                if per_entry < 0.005:
                    continue
                failed = counts["failed"].get(kind, 0) / runs / entries
                parts.append(f"{kind} {per_entry:.2f}" + (f" ({failed:.2f} failed)" if failed >= 0.005 else ""))
            print(f"  {title:17} {name:28} {total / entries:6.2f}  in flight {total * delay / timing[0]:4.1f}:  "
                  + ", ".join(parts))


def size_text(size):
    """Bytes as KiB below a MiB, as MiB above."""
    return f"{size / 1024:.1f} KiB" if size < 1 << 20 else f"{size / (1 << 20):.1f} MiB"


def print_moves(folder):
    """Case 10: each program's median and the bytes it wrote to To, on the
    tmpfs (strace's count) and on the latency volume (the volume's, with the
    bytes read from To and the requests per entry)."""
    lines = []
    timings = medians(os.path.join(folder, "tmpfs"), "case10")
    written_path = os.path.join(folder, "tmpfs", "case10-written.txt")
    if timings and os.path.exists(written_path):
        with open(written_path) as source:
            written = dict(line.rstrip("\n").split("\t") for line in source if line.strip())
        for name, timing in timings.items():
            lines.append(("tmpfs", name, f"{timing[0]:.3f} s", size_text(int(written.get(name, 0))), "-", "-"))
    latency = os.path.join(folder, "latency-moves")
    info = {}
    if os.path.exists(os.path.join(latency, "info.json")):
        with open(os.path.join(latency, "info.json")) as source:
            info = json.load(source)
        for name, (timing, runs, counts) in latency_runs(latency, "moved").items():
            if not counts:
                lines.append(("latency", name, f"{timing[0]:.3f} s", "-", "-", "-"))
                continue
            lines.append(("latency", name, f"{timing[0]:.3f} s", size_text(counts["written"] / runs),
                          size_text(counts["read"] / runs), f"{counts['requests'] / runs / info['entries']:.2f}"))
    if not lines:
        return
    print()
    print("case 10, moves: 1% of the files moved into other folders and one large folder renamed; the bytes each")
    print("program wrote to To (tmpfs: strace's count of its writes, in a run of its own; latency: the volume's)")
    if info:
        print(f"  latency: {info['entries']} entries, a folder of {info['moved_mib']} MiB, "
              f"{info['delay_ms']:g} ms a request")
    header = ("place", "program", "median", "written to To", "read from To", "requests per entry")
    widths = [max(len(str(row[i])) for row in lines + [header]) for i in range(len(header))]
    for row in [header] + lines:
        print("  " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())


# Case 15's parts: korvane's programs (timed against the last, rsync) and the goals.
BIG_FOLDER_PROGRAMS = {"case15-unchanged": ("korvane", "korvane -j 8"),
                       "case15-versions": ("korvane --versions", "korvane -j 8 --versions")}
BIG_FOLDER_GOALS = {"case15-unchanged": 0.6, "case15-versions": 0.7}
# The cases whose system calls were counted, by the name of their results.
CALLS_TITLES = (("case2", "2 nothing changed"), ("case5-", "5 nothing changed, "),
                ("case15-unchanged", "15 big folder, nothing changed"),
                ("case15-versions", "15 big folder, 1% changed, versions"))


def read_calls(path):
    """The records bench/calls.py appended to path, by program."""
    with open(path) as source:
        return {record["program"]: record for record in map(json.loads, filter(str.strip, source))}


def print_table(header, lines):
    widths = [max(len(str(row[i])) for row in lines + [header]) for i in range(len(header))]
    for row in [header] + lines:
        print("  " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())


def print_big_folder(folder):
    """Case 15: each program's median, peak memory and system calls per entry,
    for a no-change mirror of one big folder and for one after a 1% change
    that keeps versions."""
    lines = []
    entries = None
    for part, title in (("case15-unchanged", "nothing changed"), ("case15-versions", "1% changed, versions")):
        timings = medians(os.path.join(folder, "tmpfs"), part)
        if not timings:
            continue
        memory = {}
        memory_path = os.path.join(folder, "tmpfs", f"{part}-memory.txt")
        if os.path.exists(memory_path):
            with open(memory_path) as source:
                memory = dict(line.rstrip("\n").split("\t") for line in source if line.strip())
        calls_path = os.path.join(folder, "tmpfs", f"calls-{part}.jsonl")
        calls = read_calls(calls_path) if os.path.exists(calls_path) else {}
        for name, timing in timings.items():
            kib = memory.get(name, "")
            record = calls.get(name)
            if record:
                entries = record["entries"]
            lines.append((title, name, f"{timing[0]:.3f} s", f"{int(kib) / 1024:.1f} MiB" if kib.isdigit() else "-",
                          f"{record['calls'] / record['entries']:.2f}" if record else "-",
                          f"{record['queries'] / record['entries']:.2f}" if record else "-"))
    if not lines:
        return
    print()
    print(f"case 15, one folder of {entries or 'many'} files on the tmpfs: medians timed together; peak memory "
          "(median of 3) and system calls (strace -f -c) each in runs of their own")
    print_table(("part", "program", "median", "peak memory", "calls per entry", "newfstatat/statx per entry"), lines)


def print_calls(folder):
    """The system calls per entry strace counted in the no-change cases (and
    case 15's versions), with the kinds that make up most of them."""
    found = []
    for place in ("tmpfs", "disk"):
        for path in glob.glob(os.path.join(folder, place, "calls-*.jsonl")):
            case = os.path.basename(path)[len("calls-"):-len(".jsonl")]
            for order, (prefix, title) in enumerate(CALLS_TITLES):
                if case.startswith(prefix) and (prefix.endswith("-") or case == prefix):
                    rest = case[len(prefix):]
                    found.append((order, int(rest) if rest.isdigit() else 0, place, title + rest, path))
    if not found:
        return
    print()
    print("system calls per entry (strace -f -c, in a run of its own; entries below From; the most made kinds)")
    lines = []
    for _, _, place, title, path in sorted(found):
        for name, record in read_calls(path).items():
            entries = record["entries"]
            kinds = sorted(record["kinds"].items(), key=lambda item: (-item[1], item[0]))[:5]
            lines.append((place, title, name, f"{record['calls'] / entries:.2f}", f"{record['queries'] / entries:.2f}",
                          ", ".join(f"{kind} {count / entries:.2f}" for kind, count in kinds)))
    print_table(("place", "case", "program", "calls", "newfstatat/statx", "most made"), lines)


def main():
    folder, scale = sys.argv[1], [int(n) for n in sys.argv[2].split()]
    places = sys.argv[3].split() if len(sys.argv) > 3 else ["disk"]
    rows = []
    goals = []
    infos = {volume: read_info(os.path.join(folder, volume)) for volume, _, _, _ in LATENCY_VOLUMES}

    def compare(place, case, name, peer, goal, subject="korvane"):
        if place in infos:
            timings = latency_timings(os.path.join(folder, place), name, infos[place])
        else:
            timings = medians(os.path.join(folder, place), name)
        if not timings or subject not in timings or peer not in timings:
            return
        mine, theirs = timings[subject][0], timings[peer][0]
        ratio = mine / theirs
        verdict = "-" if goal is None else ("met" if ratio <= goal else "MISSED")
        goal_text = "-" if goal is None else f"<= {goal:g}"
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
        compare(place, "2 nothing changed", "case2", "rsync -a --delete", 0.45)
        compare(place, "2 nothing changed", "case2", "floor", 1.5)
        compare(place, "3 after a mutation", "case3", "rsync -a --delete", 0.6)
        compare(place, "9 mutation, versions kept", "case9", "korvane", 1.1, subject="korvane --versions")
        compare(place, "10 moves", "case10", "rsync -a --delete", None)
        compare(place, "10 moves", "case10", "korvane --no-moves", None)
    compare("disk", "4 rule, first copy", "case4-first", "rsync -a --exclude", None)
    compare("disk", "4 rule, nothing changed", "case4-unchanged", "rsync -a --delete --exclude", 0.6)
    compare("disk", "4 rule, after a mutation", "case4-mutated", "rsync -a --delete --exclude", 0.6)
    for count in scale:
        compare("disk", f"5 nothing changed, {count}", f"case5-{count}", "rsync -a --delete", 0.5)
    compare("disk", "6 Wine, 10000", "case6", "korvane", None, subject="korvane.exe (Wine)")
    compare("disk", "6 nothing changed, 10000", "case6", "floor", 1.5)
    for case, title in LATENCY_CASES:
        # Case 14's rows beside case 7's: the same programs on the two kinds of volume.
        for volume, number, _, volume_goals in LATENCY_VOLUMES:
            info = infos[volume]
            compare(volume, f"{number} {title}", case, "rsync -a --delete", volume_goals[case])
            for program in ("korvane", "korvane.exe (Wine)") if number == "7" else ("korvane",):
                label = f"{number} " if program == "korvane" else "8 Wine, "
                jobs = info.get("jobs_wine" if "Wine" in program else "jobs_native")
                same = " (no --jobs: the same)" if jobs == "no" else ""
                compare(volume, label + title, case, jobs_one(program) + same, None, subject=program)
        compare("latency", "8 Wine, " + title, case, "rsync -a --delete", None, subject="korvane.exe (Wine)")
    for part, title, peer in (("case15-unchanged", "nothing changed", "rsync -a --delete"),
                              ("case15-versions", "1% changed, versions", "rsync -a --delete --backup-dir")):
        for subject in BIG_FOLDER_PROGRAMS[part]:
            jobs = ", -j 8" if "-j 8" in subject else ""
            compare("tmpfs", f"15 big folder, {title}{jobs}", part, peer, BIG_FOLDER_GOALS[part], subject=subject)

    header = ("place", "case", "korvane median", "peer median", "ratio", "base ratio", "goal", "")
    if rows:
        widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
        for row in [header] + rows:
            print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())

    for volume, number, kind, _ in LATENCY_VOLUMES:
        if infos[volume]:
            print_requests(os.path.join(folder, volume), infos[volume], number, kind)
    print_moves(folder)
    print_big_folder(folder)
    print_calls(folder)

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
        place_width = max(len(goal[0]) for goal in goals)
        for place, case, peer, ratio, goal, verdict in goals:
            print(f"  {verdict:6}  {place:{place_width}}  {case}: {ratio:.2f} of {peer} (goal <= {goal:g})")
        missed = sum(1 for goal in goals if goal[5] != "met")
        print(f"  {len(goals) - missed} met, {missed} missed")


if __name__ == "__main__":
    main()
