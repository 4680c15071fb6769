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

# The careless user and bad luck: a disk that was not mounted, a From
# emptied or rewritten, options forgotten, the window's own job. Each night
# below must change nothing in To unless the user says so.


def files_below(root):
    """Each file below root with its contents: what a backup holds."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as source:
                found[os.path.relpath(path, root)] = source.read()
    return found


def backed_up(work, count=30):
    """A From of count files in two folders (u1's), and its mirror in To, made by root."""
    source, target = home_tree(work)
    for index in range(count):
        write(os.path.join(source, "u1", "docs%d" % (index % 2), "doc%d.txt" % index), "doc %d" % index, U1, 0o644)
    status, _, err = run("-s", "-y", "-q", source, target)
    check("the first mirror", status == 0, err)
    return source, target


@case
def guard_unmounted_disk(work):
    """The USB disk was not mounted: its mount point is an empty folder, or
    holds lost+found alone; a mirror of it, as root or as its user (who may
    not read lost+found), empties nothing."""
    source = folder(os.path.join(work, "usb"), 0, 0o755)
    target = folder(os.path.join(work, "backup"), 0, 0o755)
    own = folder(os.path.join(work, "backup-u1"), U1, 0o755)
    mirror_as_u1 = "%s -s -y '%s' '%s'" % (PROGRAM, source, own)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", source]).returncode != 0:
        print("skipped guard_unmounted_disk: no tmpfs can be mounted")
        return
    try:
        for index in range(25):
            write(os.path.join(source, "photos", "p%d.jpg" % index), "photo %d" % index, U1, 0o644)
        check("the mounted disk mirrored", run("-s", "-y", "-q", source, target)[0] == 0)
        check("and by its user", as_user(U1, mirror_as_u1, check_status=False).returncode == 0)
    finally:
        subprocess.run(["umount", source])
    before = files_below(target)
    status, _, err = run("-s", "-y", source, target)
    check("an unmounted disk's empty folder is refused", status == 3 and "is empty and destination dir" in err, err)
    folder(os.path.join(source, "lost+found"), 0, 0o700)
    status, _, err = run("-s", "-y", source, target)
    check("its lost+found alone is refused", status == 3 and "holds no file and destination dir" in err, err)
    done = as_user(U1, mirror_as_u1, check_status=False)
    check("a user who cannot read lost+found is refused", done.returncode == 3 and "holds no file" in done.stderr,
          done.stderr)
    check("To holds every photo", len(before) == 25 and files_below(target) == before and files_below(own) == before)
    status, _, err = run("-s", "-y", "--allow-empty-from", source, target)
    check("--allow-empty-from empties it", status == 0 and files_below(target) == {}, err)


@case
def guard_from_of_next_to_nothing(work):
    """A From left with folders and no file, one stray file (.DS_Store), or
    no file the rule takes: refused, with the figures; the settings file of
    the window's job refused alike, and nothing in it can allow it."""
    source, target = backed_up(work)
    before = files_below(target)
    shutil.rmtree(os.path.join(source, "u1"))
    shutil.rmtree(os.path.join(source, "u2"))
    folder(os.path.join(source, "u1", "docs0"), U1, 0o755)
    status, _, err = run("-s", "-y", source, target)
    check("folders without files are refused", status == 3 and "holds [32] files" in err, err)
    write(os.path.join(source, "u1", ".DS_Store"), "finder", U1, 0o644)
    status, _, err = run("-s", "-y", "-j", "8", source, target)
    check("a stray file is refused", status == 3 and "holds only [1] files" in err, err)
    settings = os.path.join(work, "job.ini")
    write(settings, "1012=%s\r\n1013=%s\r\n1006=1\r\n1008=1\r\n1011=.*\\.txt\r\n" % (source, target))
    status, out, err = run("--settings=" + settings, "--yes", "--json")
    check("the window's job is refused", status == 3 and '"reason":"! Error => Source dir [' in out, out + err)
    shutil.rmtree(os.path.join(source, "u1"))
    write(os.path.join(source, "u1", "docs0", "data.dat"), "data", U1, 0o644)
    status, _, err = run("-s", "-y", "-r", r".*\.txt", source, target)
    check("files the rule does not take are refused", status == 3 and "no file the rules take" in err, err)
    check("To holds every file", files_below(target) == before)


@case
def guard_walk_that_stops(work):
    """A folder the user may not read stops the walk (exit 4): the
    replacements the walk found before it are made all the same, as before
    the guard waited for its count; nothing is deleted. Where the folder is
    listed first, nothing was found before it: the night is tried again,
    its names otherwise."""
    for attempt in range(3):
        source = folder(os.path.join(work, "from%d" % attempt), U1, 0o755)
        target = folder(os.path.join(work, "to%d" % attempt), U1, 0o755)
        folders = [os.path.join(source, "p%d-%02d" % (attempt, index)) for index in range(20)]
        for path in folders:
            write(os.path.join(path, "old.txt"), "old", U1, 0o644)
        mirror = "%s -s -y -v '%s' '%s'" % (PROGRAM, source, target)
        as_user(U1, mirror, check_status=False)
        write(os.path.join(target, "surplus.txt"), "stays", U1, 0o644)
        for path in folders:
            write(os.path.join(path, "old.txt"), "rewritten", U1, 0o644)
            os.utime(os.path.join(path, "old.txt"), (0, os.stat(os.path.join(path, "old.txt")).st_mtime + 60))
            write(os.path.join(path, "new.txt"), "new", U1, 0o644)
        folder(os.path.join(source, "locked", "inside"), U1, 0o755)
        os.chmod(os.path.join(source, "locked"), 0o000)
        done = as_user(U1, mirror, check_status=False)
        os.chmod(os.path.join(source, "locked"), 0o755)
        mirrored = [os.path.join(target, os.path.basename(path)) for path in folders]
        walked = [path for path in mirrored if os.path.exists(os.path.join(path, "new.txt"))]
        if walked or attempt == 2:
            break
    check("the walk stops (4)", done.returncode == 4, done.stderr)
    replaced = [path for path in mirrored if files_below(path).get("old.txt") == b"rewritten"]
    check("each folder walked before the stop has its file replaced", walked == replaced and walked,
          (walked, replaced))
    check("nothing deleted", os.path.exists(os.path.join(target, "surplus.txt")))


@case
def guard_mass_rewrite(work):
    """Ransomware, as u1, rewrites every file u1 has: a root mirror, a plain
    run, eight workers and a dry run replace none of them, delete nothing
    (exit 5); --versions keeps them and lets the night through; a limit the
    user gives holds even then."""
    source, target = backed_up(work)
    write(os.path.join(target, "surplus.txt"), "to keep", 0, 0o644)
    before = files_below(target)
    as_user(U1, "for f in $(find '%s/u1' -type f); do printf 'encrypted' > \"$f\"; done" % source)
    for arguments in (["-s", "-y"], [], ["-s", "-y", "-j", "8"], ["-n", "-s"]):
        status, _, err = run(*(arguments + [source, target]))
        check("held: " + " ".join(arguments), status == 5 and "Replacement guard: the run would replace [31]" in err,
              err)
    check("nothing replaced or deleted", files_below(target) == before)
    status, _, err = run("-s", "-y", "--versions", os.path.join(work, "versions"), "--max-replace", "10", source,
                         target)
    check("a limit holds with --versions", status == 5 and "more than the limit [10]" in err, err)
    status, _, err = run("-s", "-y", "--versions", os.path.join(work, "versions"), source, target)
    check("--versions lets it through", status == 0, err)
    kept = {}
    for run_folder in os.listdir(os.path.join(work, "versions")):
        kept.update(files_below(os.path.join(work, "versions", run_folder)))
    check("every old file kept", all(kept.get(name) == data for name, data in before.items()
                                     if name.startswith("u1" + os.sep)), sorted(kept))



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
