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
import time

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

# versions and retention


def run_folders(versions):
    """The run folders of a versions folder (its folders, not its mark), sorted."""
    if not os.path.isdir(versions):
        return []
    return sorted(name for name in os.listdir(versions)
                  if os.path.isdir(os.path.join(versions, name)) and not os.path.islink(os.path.join(versions, name)))


NIGHTS = [0]


def night(source, name, text):
    """A file of From rewritten for the next night: a time no night gave before."""
    path = os.path.join(source, name)
    owner = os.lstat(path).st_uid if os.path.exists(path) else None
    write(path, text, owner)
    NIGHTS[0] += 1
    later = os.lstat(path).st_mtime + 60 * NIGHTS[0]
    os.utime(path, (later, later))


@case
def versions_levels_are_no_more_open_than_to(work):
    """A run folder's levels take the owner and mode of the To folders they
    stand for: a user whose shell was in a folder the mirror moved into the
    run folder reaches nothing of another user's there."""
    # From a / with its /home, To its backup: the run folder holds home/u1 and home/u2.
    source = folder(os.path.join(work, "root"), 0, 0o755)
    os.rename(home_tree(work)[0], os.path.join(source, "home"))
    target = os.path.join(work, "backup")
    folder(os.path.join(source, "home", "u1", "work"), U1, 0o755)
    write(os.path.join(source, "home", "u1", "work", "draft.txt"), "u1's draft", U1, 0o644)
    write(os.path.join(source, "home", "u2", "shared.txt"), "u2's words, readable in a private home", U2, 0o644)
    versions = os.path.join(work, "versions")
    status, _, err = run("-s", "-y", source, target)
    check("levels: the first night", status == 0, err)
    # u1's shell stands in her folder of To; the next night From no longer has it.
    shell = user_process(U1, "cd '%s' && exec sleep 60" % os.path.join(target, "home", "u1", "work"))
    try:
        shutil.rmtree(os.path.join(source, "home", "u1", "work"))
        night(source, "home/u2/shared.txt", "u2's new words")
        status, _, err = run("-s", "-y", "--versions", versions, source, target)
        check("levels: the night with versions", status == 0, err)
        runs = run_folders(versions)
        check("levels: one run folder", len(runs) == 1, runs)
        if not runs:
            return
        kept = os.path.join(versions, runs[0])
        check("levels: u1's folder went into the run folder", os.path.isdir(os.path.join(kept, "home", "u1", "work")),
              os.listdir(kept))
        home = os.lstat(os.path.join(kept, "home"))
        check("levels: home as To's home (root, 0755)", home.st_uid == 0 and stat.S_IMODE(home.st_mode) == 0o755,
              oct(home.st_mode))
        private = os.lstat(os.path.join(kept, "home", "u2"))
        check("levels: u2's home as To's (u2, 0700)", private.st_uid == U2 and stat.S_IMODE(private.st_mode) == 0o700,
              (private.st_uid, oct(private.st_mode)))
        check("levels: the run folder is root's alone", mode_of(kept) == 0o700, oct(mode_of(kept)))
        leak = as_user(U1, "cat /proc/%d/cwd/../../u2/shared.txt" % shell.pid, check_status=False)
        check("levels: u1 reads nothing of u2's through her shell", "u2's words" not in leak.stdout, leak.stdout)
    finally:
        shell.kill()
        shell.wait()


@case
def retention_outlasts_a_writer_in_a_kept_folder(work):
    """A user's process writing on in a folder the mirror moved into a run
    folder makes no night fail: retention tries again, tells, goes on."""
    source, target = home_tree(work)
    folder(os.path.join(source, "u1", "work"), U1, 0o755)
    versions = os.path.join(work, "versions")
    run("-s", "-y", source, target)
    work_folder = os.path.join(target, "u1", "work")
    writer = user_process(U1, "cd '%s' && i=0; while :; do echo $i > f$i; i=$((i+1)); done" % work_folder)
    try:
        for _ in range(500):  # the writer is at work before the night begins
            if os.path.exists(os.path.join(work_folder, "f20")):
                break
            time.sleep(0.01)
        shutil.rmtree(os.path.join(source, "u1", "work"))
        status, _, err = run("-s", "-y", "--versions", versions, source, target)
        check("writer: the night that keeps u1's folder", status == 0, err)
        night(source, "u1/notes.txt", "u1's new notes")
        status, _, err = run("-s", "-y", "--versions", versions, source, target)
        check("writer: a second night", status == 0, err)
        night(source, "u1/notes.txt", "u1's newer notes")
        kept = os.path.join(versions, run_folders(versions)[0], "u1", "work")
        for _ in range(1000):  # thousands of files to remove: the writer has time to add more
            if os.path.exists(os.path.join(kept, "f3000")):
                break
            time.sleep(0.01)
        status, out, err = run("-v", "-s", "-y", "--versions", versions, "--keep-versions", "1", source, target)
        check("writer: retention with a writer inside ends well", status == 0, err)
        check("writer: the quiet run folder went", "XV: [" in out, out)
        check("writer: one run folder per night at most", len(run_folders(versions)) <= 2, run_folders(versions))
    finally:
        writer.kill()
        writer.wait()


@case
def retention_counts_only_its_own_job(work):
    """Two jobs share one versions folder: each job's retention counts and
    expires its own run folders alone, even while the other job runs, and a
    run folder of no job (an older program's) stays."""
    versions = os.path.join(work, "versions")
    jobs = {}
    for job in ("a", "b"):
        source = folder(os.path.join(work, "from-" + job))
        target = folder(os.path.join(work, "to-" + job))
        for n in range(3000 if job == "b" else 3):
            write(os.path.join(source, "f%d.txt" % n), "first " + job)
        run("-s", "-y", source, target)
        jobs[job] = (source, target)
    legacy = os.path.join(versions, "2020-01-01 000000")
    write(os.path.join(legacy, "old.txt"), "an older program's run folder")
    for night_number in range(3):
        for n in range(3):
            night(jobs["b"][0], "f%d.txt" % n, "b night %d" % night_number)
        status, _, err = run("-s", "-y", "--versions", versions, *jobs["b"])
        check("jobs: b's night %d" % night_number, status == 0, err)
    b_runs = run_folders(versions)
    for night_number in range(2):
        for n in range(3):
            night(jobs["a"][0], "f%d.txt" % n, "a night %d" % night_number)
        status, _, err = run("-s", "-y", "--versions", versions, "--keep-versions", "1", *jobs["a"])
        check("jobs: a's night %d" % night_number, status == 0, err)
    after = run_folders(versions)
    check("jobs: b's run folders all stay", all(name in after for name in b_runs), (b_runs, after))
    check("jobs: a keeps one of its own", len(after) == len(b_runs) + 1, (b_runs, after))
    check("jobs: no job's run folder stays", os.path.exists(os.path.join(legacy, "old.txt")))

    # B keeps thousands of versions while A's retention runs beside it.
    for n in range(3000):
        night(jobs["b"][0], "f%d.txt" % n, "b busy night")
    before = {n: open(os.path.join(jobs["b"][1], "f%d.txt" % n)).read() for n in range(3000)}
    busy = start("-s", "-y", "-j", "4", "--versions", versions, *jobs["b"])
    for n in range(3):
        night(jobs["a"][0], "f%d.txt" % n, "a busy night")
    status, _, err = run("-s", "-y", "--versions", versions, "--keep-versions", "1", *jobs["a"])
    check("jobs: a's retention beside a running b", status == 0, err)
    out, err = busy.communicate(timeout=300)
    check("jobs: b ends well", busy.returncode == 0, err)
    # B's run folder of the night is the new one with more than A's three versions.
    newest = [name for name in run_folders(versions)
              if name not in after and len(os.listdir(os.path.join(versions, name))) > 10]
    check("jobs: b kept its night in one run folder", len(newest) == 1, newest)
    kept = {}
    for name in newest:
        for n in range(3000):
            path = os.path.join(versions, name, "f%d.txt" % n)
            if os.path.exists(path):
                kept[n] = open(path).read()
    lost = [n for n in range(3000) if kept.get(n) != before[n]]
    check("jobs: every old content of b is in its run folder", not lost, lost[:10])


@case
def retention_never_leaves_its_file_system(work):
    """A volume mounted below an old run folder (a disk, a bind mount):
    retention tells the run folder and keeps it whole."""
    source = folder(os.path.join(work, "from"))
    target = folder(os.path.join(work, "to"))
    versions = os.path.join(work, "versions")
    outside = folder(os.path.join(work, "outside"))
    write(os.path.join(outside, "precious.txt"), "p")
    write(os.path.join(source, "doc.txt"), "0")
    run("-s", "-y", source, target)
    for kind in ("tmpfs", "bind"):
        night(source, "doc.txt", kind)
        run("-s", "-y", "--versions", versions, source, target)
        old = os.path.join(versions, run_folders(versions)[0])
        mount = folder(os.path.join(old, "mnt"))
        if kind == "tmpfs":
            mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount]).returncode == 0
            if mounted:
                write(os.path.join(mount, "precious.txt"), "p")
        else:
            mounted = subprocess.run(["mount", "--bind", outside, mount]).returncode == 0
        if not mounted:
            print("skipped: %s cannot be mounted here" % kind)
            continue
        try:
            night(source, "doc.txt", kind + " again")
            status, out, err = run("-v", "-s", "-y", "--versions", versions, "--keep-versions", "1", source, target)
            check("mounts: %s below a run folder ends well" % kind, status == 0, err)
            check("mounts: %s: the run folder is told" % kind, "a volume is mounted in it" in out, out)
            check("mounts: %s: its files stay" % kind, open(os.path.join(mount, "precious.txt")).read() == "p")
            check("mounts: %s: the run folder stays whole" % kind, os.path.exists(os.path.join(old, "doc.txt")))
        finally:
            subprocess.run(["umount", "-l", mount])
        shutil.rmtree(old)


@case
def versions_inside_to_outlive_a_forgetful_run(work):
    """A versions folder inside To survives a run that forgot --versions; a
    user's own mark in her To folder, or one carried in From, protects
    nothing from the mirror's rules."""
    source, target = home_tree(work)
    folder(os.path.join(source, "u1", "stash"), U1, 0o755)
    write(os.path.join(source, "u1", "stash", "loot.txt"), "what root took from u1", U1, 0o644)
    versions = os.path.join(target, ".versions")
    run("-s", "-y", source, target)
    night(source, "u1/notes.txt", "u1's new notes")
    status, _, err = run("-s", "-y", "--versions", versions, source, target)
    check("marks: the night with versions inside To", status == 0, err)
    history = run_folders(versions)
    # u1 marks her stash as a versions folder, as the program would, before root takes it away.
    stash = os.path.join(target, "u1", "stash")
    as_user(U1, "printf 'korvane versions folder\nfolder %d\n' > '%s/.korvane-versions'"
            % (os.lstat(stash).st_ino, stash))
    shutil.rmtree(os.path.join(source, "u1", "stash"))
    # u1 carries a mark in From too, which a --no-owner copy would make root's.
    folder(os.path.join(source, "u1", "proj"), U1, 0o755)
    write(os.path.join(source, "u1", "proj", "code.c"), "int main;", U1, 0o644)
    as_user(U1, "printf 'korvane versions folder\nfolder 1\n' > '%s/proj/.korvane-versions'"
            % os.path.join(source, "u1"))
    for options in (["-s", "-y"], ["-s", "-y", "--no-owner"]):
        status, out, err = run("-v", *options, source, target)
        check("marks: a forgetful run %s ends well" % options, status == 0, err)
        check("marks: %s: the history stays" % options,
              run_folders(versions) == history and len(history) == 1, run_folders(versions))
        check("marks: %s: u1's own mark protects nothing" % options, not os.path.exists(stash))
        check("marks: %s: a mark in From is not copied" % options,
              not os.path.exists(os.path.join(target, "u1", "proj", ".korvane-versions")))
        check("marks: %s: the mark's folder is copied" % options,
              os.path.exists(os.path.join(target, "u1", "proj", "code.c")))
        check("marks: %s: the carried mark is told" % options, "program's own" in out, out)


@case
def retention_orders_runs_as_they_happened(work):
    """Run folders renamed or dated by a clock that ran ahead are not newer
    than tonight's: --keep-versions 2 keeps tonight's and last night's."""
    source = folder(os.path.join(work, "from"))
    target = folder(os.path.join(work, "to"))
    versions = os.path.join(work, "versions")
    write(os.path.join(source, "doc.txt"), "0")
    run("-s", "-y", source, target)
    for n in range(3):
        night(source, "doc.txt", "night %d" % n)
        run("-s", "-y", "--versions", versions, source, target)
    runs = run_folders(versions)
    check("clock: three run folders", len(runs) == 3, runs)
    if len(runs) != 3:
        return
    # The clock ran ahead on the first two nights.
    for name, ahead in zip(runs[:2], ("2099-01-01 000000", "2099-01-02 000000")):
        os.rename(os.path.join(versions, name), os.path.join(versions, ahead))
    night(source, "doc.txt", "tonight")
    status, out, err = run("-v", "-s", "-y", "--versions", versions, "--keep-versions", "2", source, target)
    check("clock: tonight ends well", status == 0, err)
    after = run_folders(versions)
    check("clock: last night's run folder stays", runs[2] in after, after)
    check("clock: the folders named ahead go", not any(name.startswith("2099") for name in after), after)
    check("clock: two run folders", len(after) == 2, after)


@case
def special_files_in_to_end_the_night_well(work):
    """A FIFO, socket or device in To that From lacks, versions on another
    volume: deleted with their lines, no version, exit 0."""
    source = folder(os.path.join(work, "from"))
    target = folder(os.path.join(work, "to"))
    volume = folder(os.path.join(work, "volume"))
    write(os.path.join(source, "keep.txt"), "k")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", volume]).returncode != 0:
        print("skipped: no volume can be mounted here")
        return
    try:
        os.mkfifo(os.path.join(target, "pipe"))
        import socket
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(os.path.join(target, "sock"))
        listener.close()
        os.mknod(os.path.join(target, "null"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        status, out, err = run("-v", "-s", "-y", "--versions", os.path.join(volume, "versions"), source, target)
        check("special: the night ends well", status == 0, err)
        check("special: each is deleted with its line", all("DF: [%s]" % os.path.join(target, name) in out
                                                            for name in ("pipe", "sock", "null")), out)
        check("special: To holds From alone", os.listdir(target) == ["keep.txt"], os.listdir(target))
    finally:
        subprocess.run(["umount", "-l", volume])



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
