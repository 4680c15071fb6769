#!/usr/bin/env python3
"""Case 11: keeping a backup current, korvane --watch beside a loop of
rsync -a --delete every few seconds, as a user would run it.

watch.py KORVANE WORK RESULTS [--changes N] [--idle-files N] [--big-files N] [--loop SECONDS]

1. Delay: one file changed at a time, N times; the time from its write to
   the new contents in To (median and 99th percentile). rsync's loop is
   sampled with fewer changes (each waits for the loop's next run).
2. Idle: the CPU time the watch takes over a minute with nothing changing,
   over a tree of --idle-files entries; rsync's loop over the same minute.
3. Memory: the watch's peak resident size over a tree of --big-files
   entries (its first pass and its watches); one rsync -a --delete of it.
Each part checks To against From (diff -r) before it reports.
"""
import argparse
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def make_tree(root, entries, per_folder=49):
    """A tree of about entries entries: folders of per_folder small files."""
    os.makedirs(root, exist_ok=True)
    folders = max(1, entries // (per_folder + 1))
    for index in range(folders):
        folder = os.path.join(root, "d%03d" % (index // 1000), "e%05d" % index)
        os.makedirs(folder, exist_ok=True)
        for number in range(per_folder):
            with open(os.path.join(folder, "f%02d.txt" % number), "w") as out:
                out.write("%d %d\n" % (index, number))


def same(a, b):
    done = subprocess.run(["diff", "-r", "-q", a, b], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("watch.py: To differs from From:\n" + done.stdout[:2000])


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def start_watch(korvane, source, target):
    process = subprocess.Popen([korvane, "--watch", "-s", "-y", "-q", source, target], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    return process


def wait_mirrored(source, target, seconds=600):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if subprocess.run(["diff", "-r", "-q", source, target], capture_output=True).returncode == 0:
            return
        time.sleep(0.2)
    sys.exit("watch.py: the first pass did not end")


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.communicate(timeout=120)
    if process.returncode != 0:
        sys.exit("watch.py: the watch ended with %d" % process.returncode)


def start_loop(source, target, period):
    """A user's loop: rsync -a --delete, then a sleep, for ever."""
    command = "while :; do rsync -a --delete '%s/' '%s/'; sleep %s; done" % (source, target, period)
    return subprocess.Popen(["sh", "-c", command], start_new_session=True)


def stop_loop(loop):
    os.killpg(loop.pid, signal.SIGTERM)
    loop.wait()


def change_delays(source, target, count, tag):
    """Changes one file at a time (tag makes each text new); the seconds until each reached To."""
    delays = []
    for index in range(count):
        name = "e%05d/f%02d.txt" % (index % 200, index % 49)
        folder = "d000"
        text = "%s change %d %s\n" % (tag, index, "x" * (index % 17))
        with open(os.path.join(source, folder, name), "w") as out:
            out.write(text)
        written = time.monotonic()
        copy = os.path.join(target, folder, name)
        while True:
            try:
                with open(copy) as copied:
                    if copied.read() == text:
                        break
            except OSError:
                pass
            time.sleep(0.001)
        delays.append(time.monotonic() - written)
    return delays


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("korvane")
    parser.add_argument("work")
    parser.add_argument("results")
    parser.add_argument("--changes", type=int, default=1000)
    parser.add_argument("--loop-changes", type=int, default=40)
    parser.add_argument("--idle-files", type=int, default=100000)
    parser.add_argument("--big-files", type=int, default=1000000)
    parser.add_argument("--loop", type=float, default=5)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    source = os.path.join(args.work, "from")
    target = os.path.join(args.work, "to")
    lines = []

    make_tree(source, args.idle_files)
    os.makedirs(target)
    watch = start_watch(args.korvane, source, target)
    wait_mirrored(source, target)
    time.sleep(2)
    before = cpu_seconds(watch.pid)
    time.sleep(60)
    idle = cpu_seconds(watch.pid) - before
    delays = change_delays(source, target, args.changes, "watch")
    same(source, target)
    stop(watch)
    lines.append("watch, delay from a change to To over %d changes: median %.0f ms, 99th percentile %.0f ms"
                 % (len(delays), statistics.median(delays) * 1000, percentile(delays, 0.99) * 1000))
    lines.append("watch, CPU over a minute of nothing changing (%d entries): %.2f s" % (args.idle_files, idle))

    loop = start_loop(source, target, args.loop)
    time.sleep(1)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    time.sleep(60)
    stop_loop(loop)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    loop_idle = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
    loop = start_loop(source, target, args.loop)
    loop_delays = change_delays(source, target, args.loop_changes, "loop")
    stop_loop(loop)
    lines.append("rsync -a --delete every %g s, delay over %d changes: median %.0f ms, 99th percentile %.0f ms"
                 % (args.loop, len(loop_delays), statistics.median(loop_delays) * 1000,
                    percentile(loop_delays, 0.99) * 1000))
    lines.append("rsync -a --delete every %g s, CPU over a minute of nothing changing: %.2f s" % (args.loop, loop_idle))
    shutil.rmtree(args.work)

    make_tree(source, args.big_files)
    os.makedirs(target)
    watch = start_watch(args.korvane, source, target)
    wait_mirrored(source, target, 3600)
    time.sleep(1)
    memory = peak_rss_mib(watch.pid)
    stop(watch)
    rsync = subprocess.run(["/usr/bin/time", "-f", "%M", "rsync", "-a", "--delete", source + "/", target + "/"],
                           capture_output=True, text=True)
    rsync_mib = int(rsync.stderr.strip().splitlines()[-1]) / 1024
    lines.append("watch, peak memory with %d entries watched: %.1f MiB; one rsync -a --delete of them: %.1f MiB"
                 % (args.big_files, memory, rsync_mib))
    shutil.rmtree(args.work)

    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "case11.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
