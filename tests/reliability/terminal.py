#!/usr/bin/env python3
"""The korvane program on a terminal (Linux): the Synchronous question and its
answers, the progress line, and Ctrl+C typed at the keyboard. Each run has a
pseudo-terminal of its own as its controlling terminal, as in a shell.

terminal.py PROGRAM
"""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import termios
import tempfile
import shutil
import time

PROGRAM = None
RESULTS = []


def check(name, condition, detail=""):
    RESULTS.append((name, bool(condition)))
    print(("ok     " if condition else "FAILED ") + name + ("" if condition else ": " + repr(detail)[-600:]))


def on_terminal(args, typed=b"", wait_for=None, interrupt_after=None, timeout=120, columns=0):
    """Runs the program on a pseudo-terminal (of `columns` columns, when
    given). Types `typed` once `wait_for` has been shown (or at once), and
    Ctrl+C once `interrupt_after` has been shown; returns the exit status
    (negative: the signal) and all shown."""
    pid, master = pty.fork()
    if pid == 0:
        os.execv(PROGRAM, [PROGRAM] + args)
    if columns:
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
    shown = b""
    pending = typed
    interrupted = False
    deadline = time.time() + timeout
    while time.time() < deadline:
        if pending and (wait_for is None or wait_for in shown):
            os.write(master, pending)
            pending = b""
        if interrupt_after is not None and not interrupted and interrupt_after in shown:
            os.write(master, b"\x03")
            interrupted = True
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the program is gone and its terminal with it
            break
        if not chunk:
            break
        shown += chunk
    _, status = os.waitpid(pid, 0)
    os.close(master)
    code = os.waitstatus_to_exitcode(status)
    return code, shown.decode(errors="replace")


def fresh(work, name, files=1, surplus=True):
    root = os.path.join(work, name)
    source = os.path.join(root, "from")
    target = os.path.join(root, "to")
    for index in range(files):
        folder = os.path.join(source, "d%d" % (index % 50))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%d.txt" % index), "wb") as out:
            out.write(b"x" * (index % 7))
    os.makedirs(target, exist_ok=True)
    if surplus:
        with open(os.path.join(target, "surplus.txt"), "wb") as out:
            out.write(b"s")
    return source, target


def test_answers(work):
    """Only y or yes (any case) goes on; Enter, no, anything else or an ended input declines."""
    cases = [(b"y\r", True), (b"YES\r", True), (b"\r", False), (b"n\r", False), (b"maybe\r", False),
             (b"\x04", False)]
    for index, (typed, goes_on) in enumerate(cases):
        source, target = fresh(work, "answer%d" % index)
        code, shown = on_terminal(["-s", source, target], typed=typed, wait_for=b"[y/N]")
        left = os.path.exists(os.path.join(target, "surplus.txt"))
        label = "[%r]" % typed
        check("the question is asked on the terminal " + label, "[y/N]" in shown, shown)
        if goes_on:
            check("a yes mirrors " + label, code == 0 and not left, (code, shown))
        else:
            check("anything else declines and changes nothing " + label,
                  code == 3 and left and not os.path.exists(os.path.join(target, "d0")), (code, shown))


def test_progress(work):
    """A long run shows one progress line, redrawn in place, and clears it before
    the result; nothing of it reaches a log or a pipe."""
    source, target = fresh(work, "progress", files=8000, surplus=False)
    code, shown = on_terminal([source, target])
    lines = shown.split("\r\n")
    check("a long run on a terminal succeeds", code == 0, (code, shown[-300:]))
    check("the progress line tells entries per second and bytes copied",
          "examined (" in shown and "/s)" in shown and " copied" in shown, shown[:300])
    check("the progress line is redrawn in place", "\r\x1b[K" in shown, shown[:300])
    result = [line.split("\r\x1b[K")[-1] for line in lines if "dirs and files updated" in line]
    check("the result line follows the cleared progress line, alone",
          result == ["8050 dirs and files updated."], result)
    shutil.rmtree(target)
    os.makedirs(target)
    code, shown = on_terminal(["-q", source, target])
    check("-q shows no progress line", code == 0 and "examined" not in shown, shown[:300])


def progress_lines(shown):
    """Each drawing of the progress line, as it was shown."""
    return [part.split("\r\n")[0] for part in shown.split("\r\x1b[K")[1:] if "examined (" in part]


def test_progress_estimate(work):
    """The progress line tells bytes per second and the entry at hand, and,
    once FROM is counted, how far the run is and the time left; never wider
    than the terminal. A FROM too wide to count says so instead."""
    source, target = fresh(work, "estimate", files=8000, surplus=False)
    big = os.path.join(source, "d0", "big.bin")
    with open(big, "wb") as out:
        out.write(os.urandom(1 << 20) * 16)
    code, shown = on_terminal([source, target], columns=100)
    drawn = progress_lines(shown)
    check("an estimated run succeeds", code == 0, (code, shown[-300:]))
    check("the progress line tells bytes per second", any(" copied (" in line and "/s)," in line for line in drawn),
          drawn[:3])
    check("the progress line names the entry at hand, below FROM",
          any(re.search(r"  d\d+/(f\d+\.txt|big\.bin)$", line) for line in drawn), drawn[:3])
    check("once FROM is counted, the line tells how far and the time left",
          any("%, " in line and " left" in line for line in drawn), drawn[:3])
    check("the line is never wider than the terminal", drawn and all(len(line) <= 99 for line in drawn),
          [len(line) for line in drawn][:10])
    wide = os.path.join(work, "wide")
    for index in range(10050):
        os.makedirs(os.path.join(wide, "from", "f%05d" % index))
    os.makedirs(os.path.join(wide, "to"))
    code, shown = on_terminal([os.path.join(wide, "from"), os.path.join(wide, "to")], columns=200)
    drawn = progress_lines(shown)
    check("a FROM too wide to count says why there is no estimate",
          code == 0 and any("no estimate: FROM is too wide to count ahead" in line for line in drawn), drawn[:3])


def test_interrupt(work):
    """Ctrl+C typed during a mirror stops it before its next change (exit 4)."""
    source, target = fresh(work, "interrupt", files=10000)
    code, shown = on_terminal(["-s", "-y", "-v", source, target], interrupt_after=b"CP:")
    names = [name for _, _, files in os.walk(target) for name in files]
    check("Ctrl+C stops the run (4)", code == 4, (code, shown[-300:]))
    check("Ctrl+C: the stop is told", "It is broken by user." in shown, shown[-300:])
    check("Ctrl+C: nothing deleted, no temporary left",
          "surplus.txt" in names and not any(name.startswith(".korvane-") for name in names), names[:20])
    check("Ctrl+C: the run did not finish", len(names) < 10001, len(names))


def main():
    global PROGRAM
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    PROGRAM = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="korvane-terminal-")
    try:
        test_answers(work)
        test_progress(work)
        test_progress_estimate(work)
        test_interrupt(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failed = sum(1 for _, ok in RESULTS if not ok)
    print("%d passed, %d failed" % (len(RESULTS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
