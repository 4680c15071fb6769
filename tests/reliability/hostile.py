#!/usr/bin/env python3
"""Hostile local users against a root job, the way a nightly backup of /home
runs: To mode 0755, owners kept, so each user owns her folders inside To.
The users act before and between runs, and during them; a second job shares
To, the versions folder or the log folder.

Each case plays one attack and states the promise it must not break:
  - nothing of root's (an owner, a set-ID bit, a capability, an ACL) is
    given to bytes a user chose; root reads nothing for a user that she may
    not read; nothing a run makes is more open than its source;
  - no user and no other job makes a run fail, wait forever or lose what it
    keeps;
  - no entry a user could own goes outside the mirror's rules;
  - every failure is told and reaches the exit status.

hostile.py PROGRAM [CASE-SUBSTRING...]     (exit 77 when not root)
New features add their cases here, under the section of their area.
"""
import os
import shutil
import stat
import subprocess
import sys
import tempfile

PROGRAM = None
FAILURES = []
CASES = []

# Two unprivileged users; no account is needed for setpriv.
U1 = 1001
U2 = 1002
NOBODY = 65534


def case(function):
    """Registers a case: a function of a work folder that root and the users can reach."""
    CASES.append(function)
    return function


def check(name, condition, detail=""):
    print(("ok     " if condition else "FAILED ") + name + ("" if condition else ": " + str(detail)))
    if not condition:
        FAILURES.append(name)
    return condition


def run(*args, timeout=120):
    """The program as root: (exit status, standard output, standard error)."""
    done = subprocess.run([PROGRAM, *args], capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def start(*args):
    """The program as root, in the background; the caller waits for it."""
    return subprocess.Popen([PROGRAM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace", stdin=subprocess.DEVNULL)


def as_user(uid, command, timeout=60, check_status=True):
    """A shell command run as uid (its own group, no others): its CompletedProcess."""
    done = subprocess.run(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", "sh", "-c", command],
                          capture_output=True, text=True, errors="replace", stdin=subprocess.DEVNULL,
                          timeout=timeout)
    if check_status and done.returncode != 0:
        raise RuntimeError("as %d: %s: %s" % (uid, command, done.stderr))
    return done


def user_process(uid, command):
    """A shell command started as uid in the background (a user acting during a run)."""
    return subprocess.Popen(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", "sh", "-c", command],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def write(path, text, owner=None, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)
    if owner is not None:
        os.chown(path, owner, owner)
    if mode is not None:
        os.chmod(path, mode)


def folder(path, owner=None, mode=None):
    os.makedirs(path, exist_ok=True)
    if owner is not None:
        os.chown(path, owner, owner)
    if mode is not None:
        os.chmod(path, mode)
    return path


def home_tree(work):
    """From as a /home: root's 0755 top, u1's and u2's homes (0755 and 0700),
    each with a file; To made 0755 by root. Returns (from, to)."""
    source = folder(os.path.join(work, "home"), 0, 0o755)
    folder(os.path.join(source, "u1"), U1, 0o755)
    write(os.path.join(source, "u1", "notes.txt"), "u1's notes", U1, 0o644)
    folder(os.path.join(source, "u2"), U2, 0o700)
    write(os.path.join(source, "u2", "diary.txt"), "u2's diary", U2, 0o600)
    target = folder(os.path.join(work, "backup"), 0, 0o755)
    return source, target


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


# --- owners, set-ID bits, capabilities, ACLs: what root gives to bytes ---


# --- links at, above and below From, list files and settings files ---


# --- stores: versions, retention, logs, the lock, temporaries ---


# --- guards: the empty From, deletions, replacements ---


def main():
    global PROGRAM
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    if os.geteuid() != 0:
        print("skipped: other users need root")
        return 77
    PROGRAM = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:]
    for test in CASES:
        if chosen and not any(part in test.__name__ for part in chosen):
            continue
        work = tempfile.mkdtemp(prefix="korvane-hostile-")
        os.chmod(work, 0o755)  # the users reach their folders below it
        try:
            test(work)
        except Exception as error:  # a case that breaks is a failure, and the others still run
            check(test.__name__ + " ran to its end", False, repr(error))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
