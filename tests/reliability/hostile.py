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
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback

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


def root_only(work):
    """A folder only root may enter (0700), holding a file others could read were they let in."""
    private = folder(os.path.join(work, "rootonly"), 0, 0o700)
    write(os.path.join(private, "secret.txt"), "root's secret", 0, 0o644)
    folder(os.path.join(private, "inner"), 0, 0o755)
    write(os.path.join(private, "inner", "deep.txt"), "root's deep secret", 0, 0o644)
    return private


def holds_secret(target):
    for folder_path, _, files in os.walk(target):
        for name in files:
            with open(os.path.join(folder_path, name), errors="replace") as copy:
                if "secret" in copy.read():
                    return True
    return False


@case
def from_through_a_users_link_is_refused(work):
    """FROM reached through u1's link (at FROM, one or two levels above, through a
    chain of links, absolute and relative texts, ".." in the given path) to what
    only root may read: refused before any change, exit 3, the reason named."""
    private = root_only(work)
    home = folder(os.path.join(work, "home", "u1"), U1, 0o755)
    folder(os.path.join(work, "home"), 0, 0o755)
    os.chown(os.path.join(work, "home"), 0, 0)
    folder(os.path.join(home, "mine"), U1, 0o755)
    write(os.path.join(home, "mine", "own.txt"), "u1's own", U1, 0o644)
    relative = os.path.relpath(private, home)
    links = [("data", private), ("rel", relative), ("lvl", "/"), ("two", os.path.dirname(private)),
             ("hop", os.path.join(private, "inner")), ("chain", os.path.join(home, "data"))]
    for name, text in links:
        as_user(U1, "ln -s '%s' '%s/%s'" % (text, home, name))
    cases = [("at FROM", "data"), ("at FROM, relative text", "rel"),
             ("one level above", "lvl" + private + "/inner"),
             ("two levels above", "two/" + os.path.basename(private)),
             ("'..' after a link", "hop/../inner"), ("a chain of links", "chain"),
             ("a trailing separator", "data/")]
    for label, spelt in cases:
        target = folder(os.path.join(work, "backup-" + label.replace(" ", "-").replace("'", "")), 0, 0o755)
        for options in ([], ["-s", "-y"], ["-n"]):
            status, out, err = run(*options, os.path.join(home, spelt), target)
            check("FROM through u1's link %s %s is refused (3)" % (label, options), status == 3, (status, err))
            check("... with its reason %s %s" % (label, options), "link whose owner may not read" in err, err)
            check("... and nothing of root's is copied %s %s" % (label, options),
                  not holds_secret(target) and os.listdir(target) == [], os.listdir(target))
    # The same from another current directory, the path given relative.
    target = folder(os.path.join(work, "backup-relative"), 0, 0o755)
    done = subprocess.run([PROGRAM, "data/", target], cwd=home, capture_output=True, text=True)
    check("a relative FROM through u1's link is refused (3)", done.returncode == 3, done.stderr)
    # What u1 may read herself goes on: her link to her own folder, and root's link in her folder.
    as_user(U1, "ln -s '%s/mine' '%s/tomine'" % (home, home))
    os.symlink(os.path.join(private, "inner"), os.path.join(home, "rootlink"))
    for spelt, expected in (("tomine", "own.txt"), ("rootlink", "deep.txt")):
        target = folder(os.path.join(work, "backup-ok-" + spelt), 0, 0o755)
        status, out, err = run(os.path.join(home, spelt), target)
        check("a link u1 may follow herself (%s) is followed (0)" % spelt,
              status == 0 and os.listdir(target) == [expected], (status, err, os.listdir(target)))


@case
def from_link_swapped_during_runs_is_never_followed(work):
    """Root's own link in u1's folder leads FROM; u1 swaps it for her link to a
    root-only folder and back again while root runs: a run reads one or the
    other as it found it when it started, never the root-only folder."""
    private = root_only(work)
    public = folder(os.path.join(work, "srv"), 0, 0o755)
    write(os.path.join(public, "data.txt"), "public", 0, 0o644)
    folder(os.path.join(work, "home"), 0, 0o755)
    home = folder(os.path.join(work, "home", "u1"), U1, 0o755)
    os.symlink(public, os.path.join(home, "job"))
    as_user(U1, "ln -s '%s' '%s/evil'" % (private, home))
    swapper = user_process(U1, "cd '%s' && while true; do mv job saved; mv evil job; mv job evil; mv saved job; done"
                           % home)
    target = folder(os.path.join(work, "backup"), 0, 0o755)
    statuses = set()
    told = ""
    try:
        for _ in range(30):
            status, out, err = run("-s", "-y", os.path.join(home, "job"), target)
            statuses.add(status)
            told += out + err
    finally:
        swapper.kill()
        swapper.wait()
    check("runs while the link is swapped end 0 or refused (3)", statuses <= {0, 3, 4}, statuses)
    check("nothing of the root-only folder is ever copied", not holds_secret(target), os.listdir(target))
    check("... nor a name of it told", "secret.txt" not in told and "inner" not in told, told[-2000:])
    # The same at a chosen moment: stopped at its lock, after it judged FROM
    # and before it reads it, the run has u1's link swapped in under it.
    if shutil.which("strace") is None:
        print("skip   a link swapped at a chosen moment (strace is missing)")
        return
    time.sleep(0.3)  # an mv the swapper started may still end
    for name in ("job", "evil", "saved"):
        if os.path.lexists(os.path.join(home, name)):
            os.remove(os.path.join(home, name))
    os.symlink(public, os.path.join(home, "job"))
    as_user(U1, "ln -s '%s' '%s/evil'" % (private, home))
    fresh_target = folder(os.path.join(work, "backup-stopped"), 0, 0o755)
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=flock",
                               "-e", "inject=flock:signal=SIGSTOP:when=1", PROGRAM, "-s", "-y",
                               os.path.join(home, "job"), fresh_target],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
    child = 0
    for _ in range(500):
        child = child_of(tracer.pid)
        if child and process_state(child) == "T":
            break
        time.sleep(0.01)
    as_user(U1, "cd '%s' && mv job saved && mv evil job" % home)
    os.kill(child, signal.SIGCONT)
    out, err = tracer.communicate(timeout=60)
    as_user(U1, "cd '%s' && mv job evil && mv saved job" % home)
    check("a run that judged FROM reads what it judged, whatever the link becomes (0)",
          os.listdir(fresh_target) == ["data.txt"] and "secret" not in out + err, (os.listdir(fresh_target), err))


@case
def list_and_settings_files_through_users_links(work):
    """A list file, and a settings file, reached through u1's link (at the file, or
    at a folder above it) to root's own: refused, exit 3, nothing copied. A
    settings file u1 may change (hers, or root's in her folder) is refused as
    root would run her job. Root's own files in root's folders run."""
    private = root_only(work)
    source = folder(os.path.join(work, "data"), 0, 0o755)
    write(os.path.join(source, "secret.txt"), "root's secret data", 0, 0o600)
    write(os.path.join(source, "open.txt"), "open", 0, 0o644)
    write(os.path.join(private, "list.txt"), "secret.txt\n", 0, 0o600)
    folder(os.path.join(work, "home"), 0, 0o755)
    home = folder(os.path.join(work, "home", "u1"), U1, 0o755)
    as_user(U1, "ln -s '%s/list.txt' '%s/list.txt' && ln -s '%s' '%s/dir'" % (private, home, private, home))
    for spelt in ("list.txt", "dir/list.txt"):
        target = folder(os.path.join(work, "backup-" + spelt.replace("/", "-")), 0, 0o755)
        status, out, err = run("-f", os.path.join(home, spelt), source, target)
        check("a list through u1's link (%s) is refused (3)" % spelt, status == 3, (status, err))
        check("... naming why (%s)" % spelt, "link whose owner may not read" in err, err)
        check("... and copies nothing (%s)" % spelt, os.listdir(target) == [], os.listdir(target))
    # Settings files.
    target = folder(os.path.join(work, "backup-settings"), 0, 0o755)
    job = "1012=%s\r\n1013=%s\r\n" % (source, target)
    write(os.path.join(private, "job.ini"), job, 0, 0o600)
    write(os.path.join(home, "hers.ini"), job, U1, 0o644)
    write(os.path.join(home, "roots.ini"), job, 0, 0o644)
    as_user(U1, "ln -s '%s/job.ini' '%s/link.ini'" % (private, home))
    for name in ("hers.ini", "roots.ini", "link.ini", "dir/job.ini"):
        status, out, err = run("--settings", os.path.join(home, name), "-y")
        check("settings %s that u1 may change or leads is refused (3)" % name, status == 3, (status, err))
        check("... naming why (%s)" % name, "settings file" in err and "another user" in err, err)
        check("... and copies nothing (%s)" % name, os.listdir(target) == [], os.listdir(target))
    status, out, err = run("--settings", os.path.join(private, "job.ini"), "-y")
    check("root's own settings file in root's folder runs (0)",
          status == 0 and sorted(os.listdir(target)) == ["open.txt", "secret.txt"], (status, err))
    write(os.path.join(work, "list.txt"), "open.txt\n", 0, 0o644)
    listed = folder(os.path.join(work, "backup-listed"), 0, 0o755)
    status, out, err = run("-f", os.path.join(work, "list.txt"), source, listed)
    check("root's own list runs (0)", status == 0 and os.listdir(listed) == ["open.txt"], (status, err))


@case
def to_through_a_link_in_a_users_folder_is_refused(work):
    """TO reached through u1's link, or through root's link in u1's folder (which
    she may swap), is refused (3); TO through root's link in root's folder runs."""
    source = folder(os.path.join(work, "data"), 0, 0o755)
    write(os.path.join(source, "a.txt"), "a", 0, 0o644)
    real = folder(os.path.join(work, "backup"), 0, 0o755)
    folder(os.path.join(work, "home"), 0, 0o755)
    home = folder(os.path.join(work, "home", "u1"), U1, 0o755)
    as_user(U1, "ln -s '%s' '%s/hers'" % (real, home))
    os.symlink(real, os.path.join(home, "roots"))
    for name in ("hers", "roots"):
        status, out, err = run(source, os.path.join(home, name))
        check("TO through %s link in u1's folder is refused (3)" % name, status == 3, (status, err))
        check("... and nothing is written (%s)" % name, os.listdir(real) == [], os.listdir(real))
    os.symlink(real, os.path.join(work, "rootlink"))
    status, out, err = run(source, os.path.join(work, "rootlink"))
    check("TO through root's link in root's folder runs (0)", status == 0 and os.listdir(real) == ["a.txt"], err)


# --- stores: versions, retention, logs, the lock, temporaries ---


# -- where a root run keeps its versions and its log; its lock; its temporaries --


@case
def versions_and_log_folders_a_user_controls_are_refused(work):
    """--versions and -l reached through u1's link to root's own folders, in u1's
    folder, or (not made yet) in a folder others may add to: a root run refuses
    them (3) before any change, and what the link led to stays as it was."""
    source, target = home_tree(work)
    store = folder(os.path.join(work, "store"), 0, 0o700)  # another job's versions
    for run_name in ("2020-01-01 000000", "2020-01-02 000000"):
        write(os.path.join(store, run_name, "kept.txt"), "kept", 0, 0o600)
    logs = folder(os.path.join(work, "rootlogs"), 0, 0o700)
    write(os.path.join(logs, "korvaneui.log"), "root's own log", 0, 0o600)
    srv = folder(os.path.join(work, "srv"), 0, 0o755)
    mine = folder(os.path.join(srv, "u1"), U1, 0o755)
    as_user(U1, "ln -s '%s' '%s/vers' && ln -s '%s' '%s/logs' && mkdir '%s/own'" % (store, mine, logs, mine, mine))
    sticky = folder(os.path.join(work, "sticky"), 0, 0o1777)
    before = sorted(os.listdir(store))
    refused = [("a versions folder through u1's link", ["--versions", os.path.join(mine, "vers"),
                                                        "--keep-versions", "1"]),
               ("a versions folder of u1's", ["--versions", os.path.join(mine, "own")]),
               ("a versions folder to be made in u1's folder", ["--versions", os.path.join(mine, "new")]),
               ("a versions folder to be made where others add", ["--versions", os.path.join(sticky, "v")]),
               ("a log folder through u1's link", ["-l", os.path.join(mine, "logs")]),
               ("a log folder of u1's", ["-l", os.path.join(mine, "own")])]
    for label, options in refused:
        status, out, err = run("-s", "-y", *options, source, target)
        check("%s is refused (3)" % label, status == 3, (status, err))
        check("... with its reason (%s)" % label, "another user" in err, err)
        check("... before any change (%s)" % label, os.listdir(target) == [], os.listdir(target))
    check("the other job's versions stay", sorted(os.listdir(store)) == before, os.listdir(store))
    check("root's log stays as it was", open(os.path.join(logs, "korvaneui.log")).read() == "root's own log")
    check("nothing is made in u1's folder or the shared one",
          sorted(os.listdir(mine)) == ["logs", "own", "vers"] and os.listdir(sticky) == [])
    status, out, err = run("-s", "-y", "--versions", os.path.join(work, "versions"), "-l", sticky, source, target)
    check("root's own versions folder and a log in a sticky folder go on (0)", status == 0, err)
    check("... the log root's alone", mode_of(os.path.join(sticky, "korvaneui.log")) == 0o600)


def child_of(parent):
    """The number of a process whose parent is parent, or 0."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat_file:
                if int(stat_file.read().rsplit(")", 1)[1].split()[1]) == parent:
                    return int(entry)
        except (OSError, ValueError, IndexError):
            pass
    return 0


def process_state(process):
    """The state letter of a process ("T": stopped), or "" when it is gone."""
    try:
        with open("/proc/%d/stat" % process) as stat_file:
            return stat_file.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return ""


def stopped_at_first_rename(watched, *args, signal_name="SIGSTOP"):
    """The program as root, stopped (or killed) by strace at its first rename:
    the copy that replaces a file in the folder watched, once its lock is taken
    and its temporary named. (strace, the program's process number: 0 once
    killed), or None without strace; the caller ends both (end_stopped)."""
    if shutil.which("strace") is None:
        return None
    calls = "rename,renameat,renameat2"
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + calls,
                               "-e", "inject=%s:error=EIO:signal=%s" % (calls, signal_name), PROGRAM, *args],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    if signal_name == "SIGKILL":
        tracer.wait()
        return tracer, 0
    for _ in range(1000):
        if tracer.poll() is not None:
            return tracer, 0
        if any(name.startswith(".korvane-") for name in os.listdir(watched)):
            time.sleep(0.3)  # the rename comes right after the name
            return tracer, child_of(tracer.pid)
        time.sleep(0.01)
    return tracer, 0


def end_stopped(stopped):
    tracer, child = stopped
    if child:
        try:
            os.kill(child, signal.SIGKILL)
        except OSError:
            pass
    tracer.kill()
    tracer.wait()


def one_change_due(work):
    """From with a file that replaces To's older one (the copy that renames),
    in root's folders. Returns (from, to)."""
    source = folder(os.path.join(work, "data"), 0, 0o755)
    write(os.path.join(source, "a.txt"), "new " * 1000, 0, 0o644)
    target = folder(os.path.join(work, "backup", "data"), 0, 0o755)
    write(os.path.join(target, "a.txt"), "old", 0, 0o644)
    os.utime(os.path.join(target, "a.txt"), (1000, 1000))
    return source, target


@case
def other_users_locks_stop_no_run(work):
    """nobody's flock on /, on To's parent and on To, held for the whole run,
    holds no run off, and --wait-lock does not wait for it; the usual cron
    wrapper `flock -n TO korvane ... TO` runs."""
    source, target = one_change_due(work)
    holders = [user_process(NOBODY, "exec flock -o -x '%s' sleep 60" % place)
               for place in ("/", os.path.dirname(target), target)]
    time.sleep(0.3)
    try:
        for options in ([], ["--wait-lock"], ["-s", "-y"]):
            status, out, err = run(*options, source, target, timeout=20)
            check("nobody's flocks hold no run off %s (0)" % options, status == 0, (status, err))
    finally:
        for holder in holders:
            holder.kill()
            holder.wait()
    os.utime(os.path.join(target, "a.txt"), (1000, 1000))
    done = subprocess.run(["flock", "-n", target, PROGRAM, "-s", "-y", source, target], capture_output=True,
                          text=True, timeout=60)
    check("flock -n TO korvane ... TO runs (0)", done.returncode == 0, done.stderr)
    check("... and copies", open(os.path.join(target, "a.txt")).read().startswith("new"))


@case
def runs_on_one_to_keep_off_each_other(work):
    """A run that holds To (stopped during its copy) keeps off a second run on To
    under every spelling (a trailing separator, "/.", "x/../x", root's link to
    it), on a folder inside To and on one around it, naming the run's process;
    a folder beside it runs. --wait-lock waits for it, and takes its lock
    over once it is killed; so does a plain run."""
    source, target = one_change_due(work)
    folder(os.path.join(target, "inner"), 0, 0o755)
    beside = folder(os.path.join(work, "backup", "beside"), 0, 0o755)
    os.symlink(target, os.path.join(work, "link-to-to"))
    stopped = stopped_at_first_rename(target, source, target)
    if stopped is None:
        print("skip   runs on one To (strace is missing)")
        return
    try:
        check("the first run holds To, stopped during its copy", stopped[1] != 0)
        spellings = [target + "/", target + "/.", os.path.join(target, "..", "data"),
                     os.path.join(work, "link-to-to"), os.path.join(target, "inner"), os.path.dirname(target)]
        for spelt in spellings:
            status, out, err = run(source, spelt, timeout=20)
            check("a second run on %s is refused (3)" % spelt, status == 3, (status, err))
            check("... naming the run's process (%s)" % spelt,
                  "in use by another run" in err and "(process %d)" % stopped[1] in err, err)
        status, out, err = run(source, beside, timeout=20)
        check("a run on a folder beside To goes on (0)", status == 0, err)
        waiting = start("--wait-lock", source, target)
        time.sleep(1.0)
        check("--wait-lock waits for the run", waiting.poll() is None)
    finally:
        end_stopped(stopped)
    try:
        out, err = waiting.communicate(timeout=20)
        check("... and takes the dead run's lock over (0)", waiting.returncode == 0, err)
    except subprocess.TimeoutExpired:
        waiting.kill()
        check("... and takes the dead run's lock over (0)", False, "still waiting")


@case
def temporaries_are_swept_only_when_proven(work):
    """A file of u1's named like a temporary (any process number in it, a live
    one's too) is an entry: a plain run keeps it; a mirror keeps its version,
    deletes it with its line and count, as a dry run predicts; a folder of hers
    holding one goes whole. What a killed root run left is swept; one u1 puts
    in its place under the same name is not."""
    source, target = home_tree(work)
    status, _, err = run(source, target)
    check("a first copy (0)", status == 0, err)
    hers = os.path.join(target, "u1")
    names = [".korvane-4000000-1.tmp", ".korvane-1-1.tmp", ".korvane-%d-2.tmp" % os.getpid()]
    for name in names:
        as_user(U1, "echo mine > '%s/%s'" % (hers, name))
    as_user(U1, "mkdir '%s/gone' && echo mine > '%s/gone/.korvane-1-3.tmp'" % (hers, hers))
    status, out, err = run("-v", source, target)
    check("a plain run keeps u1's look-alikes", status == 0 and
          all(os.path.exists(os.path.join(hers, name)) for name in names) and
          os.path.exists(os.path.join(hers, "gone", ".korvane-1-3.tmp")), (status, out, err))
    status, out, err = run("-n", "-s", source, target)
    predicted = ["  DF: [%s]" % os.path.join(hers, name) for name in names]
    check("a dry run predicts their deletion", all(line in out for line in predicted), out)
    versions = os.path.join(work, "versions")
    status, out, err = run("-v", "-s", "-y", "--stats", "--versions", versions, source, target)
    check("a mirror deletes each with its line (0)", status == 0 and all(line in out for line in predicted) and
          "  RD: [%s]" % os.path.join(hers, "gone") in out, (status, out, err))
    check("... counted", "Deleted               5" in out or "Deleted" in out and " 5 " in out.split("Deleted")[1][:20],
          out)
    kept = [os.path.join(dirpath, name) for dirpath, _, files in os.walk(versions) for name in files]
    check("... each kept as a version", sorted(os.path.basename(path) for path in kept) ==
          sorted(names + [".korvane-1-3.tmp"]), kept)
    # A leftover of a killed root run, in u1's folder.
    write(os.path.join(source, "u1", "notes.txt"), "u1's new notes " * 100, U1, 0o644)
    killed = stopped_at_first_rename(hers, source, target, signal_name="SIGKILL")
    if killed is None:
        print("skip   a killed run's leftover (strace is missing)")
        return
    end_stopped(killed)
    left = [name for name in os.listdir(hers) if name.startswith(".korvane-")]
    check("a killed run leaves its temporary", len(left) == 1, left)
    if len(left) != 1:
        return
    as_user(U1, "cd '%s' && rm -f '%s' && echo mine > '%s'" % (hers, left[0], left[0]))
    status, out, err = run(source, target)
    replaced = os.path.join(hers, left[0])
    check("u1's file under a leftover's name is not swept",
          os.path.exists(replaced) and open(replaced).read() == "mine\n", os.listdir(hers))
    os.remove(os.path.join(hers, left[0]))
    write(os.path.join(source, "u1", "notes.txt"), "u1's newer notes " * 100, U1, 0o644)
    killed = stopped_at_first_rename(hers, source, target, signal_name="SIGKILL")
    end_stopped(killed)
    left = [name for name in os.listdir(hers) if name.startswith(".korvane-")]
    status, out, err = run("-v", source, target)
    check("the leftover itself is swept, silently", status == 0 and len(left) == 1 and
          not any(name.startswith(".korvane-") for name in os.listdir(hers)) and "DF:" not in out, (left, out))


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
            check(test.__name__ + " ran to its end", False,
                  repr(error) + " at " + " <- ".join("%s:%d" % (frame.name, frame.lineno) for frame in
                                                   reversed(traceback.extract_tb(error.__traceback__))))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
