#!/usr/bin/env python3
"""A FUSE volume that passes through to a backing folder and answers every
request after a fixed delay, as a file share on a network does: requests are
served side by side by a pool of threads, names and attributes are not cached
by the kernel (each look-up and query reaches the volume), and the requests
are counted by kind, with the bytes their reads and writes carried.

latency_fs.py serve ROOT MOUNTPOINT [--delay MS] [--threads N] [--cache SECONDS] [--counts FILE]
                    [--trace FILE] [--serial-folders]
latency_fs.py dump PID COUNTS_FILE
latency_fs.py check WORK [--delay MS]

serve mounts ROOT at MOUNTPOINT (root only: it mounts through mount(2) with
/dev/fuse) and serves until it is unmounted or gets SIGTERM or SIGINT.
--delay is the time every request waits before it is carried out (1 ms by
default); --threads bounds the requests served at once (64); --cache lets the
kernel keep names and attributes that long (0, none, by default);
--serial-folders serves the look-ups, queries and listings of one folder one
at a time, and does not ask the kernel for parallel directory operations, as
a volume on the older high-level FUSE library (and Samba's metadata path for
one client) does. On SIGUSR1
it waits until no request has come for a moment, writes the counts since the
last such dump to --counts as JSON and starts counting afresh; it writes them
on leaving too. --trace appends a line per request: its time, kind, node and
the process that asked.

dump sends the signal to the server PID and prints the counts it writes.
check mounts a volume in WORK and shows that each request waits the delay
and that requests from several threads overlap (exit status 1 if not).

The volume speaks the kernel's FUSE protocol itself rather than through
libfuse: libfuse 2 (all that python3-fusepy drives) cannot ask the kernel for
parallel directory operations, and without them the kernel sends the look-ups
of names in one folder one at a time, as no file server makes them wait.
"""
import argparse
import collections
import contextlib
import ctypes
import errno
import json
import os
import signal
import stat
import struct
import subprocess
import sys
import threading
import time

# Opcodes of the kernel's FUSE protocol (linux/fuse.h).
LOOKUP, FORGET, GETATTR, SETATTR, READLINK, SYMLINK = 1, 2, 3, 4, 5, 6
MKNOD, MKDIR, UNLINK, RMDIR, RENAME, LINK, OPEN, READ, WRITE, STATFS = 8, 9, 10, 11, 12, 13, 14, 15, 16, 17
RELEASE, FSYNC, SETXATTR, GETXATTR, LISTXATTR, REMOVEXATTR, FLUSH, INIT = 18, 20, 21, 22, 23, 24, 25, 26
OPENDIR, READDIR, RELEASEDIR, FSYNCDIR, ACCESS, CREATE, INTERRUPT, DESTROY = 27, 28, 29, 30, 34, 35, 36, 38
BATCH_FORGET, RENAME2 = 42, 45
NAMES = {LOOKUP: "lookup", FORGET: "forget", GETATTR: "getattr", SETATTR: "setattr", READLINK: "readlink",
         SYMLINK: "symlink", MKNOD: "mknod", MKDIR: "mkdir", UNLINK: "unlink", RMDIR: "rmdir",
         RENAME: "rename", LINK: "link", OPEN: "open", READ: "read", WRITE: "write", STATFS: "statfs",
         RELEASE: "release", FSYNC: "fsync", SETXATTR: "setxattr", GETXATTR: "getxattr",
         LISTXATTR: "listxattr", REMOVEXATTR: "removexattr", FLUSH: "flush", INIT: "init",
         OPENDIR: "opendir", READDIR: "readdir", RELEASEDIR: "releasedir", FSYNCDIR: "fsyncdir",
         ACCESS: "access", CREATE: "create", INTERRUPT: "interrupt", DESTROY: "destroy",
         BATCH_FORGET: "forget", RENAME2: "rename", 31: "getlk", 32: "setlk", 33: "setlkw", 37: "bmap",
         39: "ioctl", 40: "poll", 43: "fallocate", 44: "readdirplus", 46: "lseek", 47: "copy_file_range",
         50: "syncfs", 51: "tmpfile", 52: "statx"}
# Requests the kernel sends without waiting for an answer: counted, never delayed.
UNANSWERED = (FORGET, BATCH_FORGET, INTERRUPT)

# What the volume asks of the kernel: reads ahead in the background, writes
# of up to MAX_WRITE, O_TRUNC carried in the open, look-ups in one folder side by side.
ASYNC_READ, ATOMIC_O_TRUNC, BIG_WRITES, PARALLEL_DIROPS = 1 << 0, 1 << 3, 1 << 5, 1 << 18
PROTOCOL_MINOR = 31
MAX_WRITE = 128 * 1024
MAX_BACKGROUND = 64
ROOT_ID = 1

# The metadata requests a volume of serial folders serves one folder at a time.
SERIAL_KINDS = (LOOKUP, GETATTR, OPENDIR, READDIR, 44)

# Setattr's fields (FATTR_*), named as the calls that set them.
SET_MODE, SET_UID, SET_GID, SET_SIZE, SET_ATIME, SET_MTIME, SET_FH = 1, 2, 4, 8, 16, 32, 64
SET_ATIME_NOW, SET_MTIME_NOW = 128, 256
GETATTR_FH = 1

IN_HEADER = struct.Struct("<IIQQIIIHH")
OUT_HEADER = struct.Struct("<IiQ")
ATTR = struct.Struct("<QQQqqqIIIIIIIIII")
ENTRY_OUT = struct.Struct("<QQQQII")
ATTR_OUT = struct.Struct("<QII")
OPEN_OUT = struct.Struct("<QII")
SETATTR_IN = struct.Struct("<IIQQQqqqIIIIIIII")
DIRENT = struct.Struct("<QQII")

libc = ctypes.CDLL(None, use_errno=True)
libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]
libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
libc.utimensat.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int]
libc.renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
MS_NOSUID, MS_NODEV, MNT_DETACH = 2, 4, 2
AT_FDCWD, AT_SYMLINK_NOFOLLOW = -100, 0x100
UTIME_NOW, UTIME_OMIT = (1 << 30) - 1, (1 << 30) - 2


class Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


def checked(result):
    """Raises the C library's error for a call that returned -1."""
    if result != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))


def attributes(st):
    """The kernel's record of a file's status."""
    return ATTR.pack(st.st_ino, st.st_size, st.st_blocks, st.st_atime_ns // 10**9, st.st_mtime_ns // 10**9,
                     st.st_ctime_ns // 10**9, st.st_atime_ns % 10**9, st.st_mtime_ns % 10**9,
                     st.st_ctime_ns % 10**9, st.st_mode, st.st_nlink, st.st_uid, st.st_gid,
                     st.st_rdev & 0xFFFFFFFF, 4096, 0)


def names(data):
    """The NUL-terminated names that follow a request's fixed part."""
    return [part.decode("utf-8", "surrogateescape") for part in data.split(b"\0")[:-1]]


class Nodes:
    """The kernel's node ids of the names it looked up: each names a folder
    entry by its parent's id and its name, and lives until the kernel forgets
    it; a node whose name was removed or replaced keeps no path."""

    def __init__(self, root):
        self.lock = threading.Lock()
        self.next_id = ROOT_ID + 1
        # id -> [parent id, name, look-ups, (inode, type) when looked up]
        self.nodes = {ROOT_ID: [None, "", 1, None]}
        self.by_name = {}
        self.root = root

    def path(self, node):
        """The backing path of a node, ENOENT for one that lost its name."""
        with self.lock:
            parts = []
            while node != ROOT_ID:
                entry = self.nodes.get(node)
                if entry is None or entry[0] is None:
                    raise OSError(errno.ENOENT, "a removed node")
                parts.append(entry[1])
                node = entry[0]
        return os.path.join(self.root, *reversed(parts))

    def child(self, parent, name):
        return os.path.join(self.path(parent), name)

    def found(self, parent, name, st):
        """The id of a name just looked up, counted once more; a new id when
        the name now holds another file than the one the old id stood for."""
        identity = (st.st_ino, stat.S_IFMT(st.st_mode))
        with self.lock:
            node = self.by_name.get((parent, name))
            if node is not None and self.nodes[node][3] != identity:
                self.nodes[node][0] = None
                node = None
            if node is None:
                node = self.next_id
                self.next_id += 1
                self.nodes[node] = [parent, name, 0, identity]
                self.by_name[(parent, name)] = node
            self.nodes[node][2] += 1
            return node

    def forget(self, node, count):
        with self.lock:
            entry = self.nodes.get(node)
            if entry is None or node == ROOT_ID:
                return
            entry[2] -= count
            if entry[2] <= 0:
                del self.nodes[node]
                if entry[0] is not None and self.by_name.get((entry[0], entry[1])) == node:
                    del self.by_name[(entry[0], entry[1])]

    def removed(self, parent, name):
        """The name is gone: its node keeps no path."""
        with self.lock:
            node = self.by_name.pop((parent, name), None)
            if node is not None:
                self.nodes[node][0] = None

    def moved(self, parent, name, new_parent, new_name, exchange=False):
        """A rename: the node follows its name; the one it replaced loses its
        path (or, for an exchange, takes the other name)."""
        with self.lock:
            node = self.by_name.pop((parent, name), None)
            other = self.by_name.pop((new_parent, new_name), None)
            if node is not None:
                self.nodes[node][0:2] = [new_parent, new_name]
                self.by_name[(new_parent, new_name)] = node
            if other is not None:
                if exchange:
                    self.nodes[other][0:2] = [parent, name]
                    self.by_name[(parent, name)] = other
                else:
                    self.nodes[other][0] = None


class Counts:
    """Requests by kind, those that failed and the bytes read and written, since the last dump."""

    def __init__(self):
        self.lock = threading.Lock()
        self.kinds = collections.Counter()
        self.failed = collections.Counter()
        self.forgets = 0
        self.read = 0
        self.written = 0
        self.in_flight = 0
        self.last = time.monotonic()

    def forgot(self, count):
        with self.lock:
            self.forgets += count

    def moved(self, size, writing):
        with self.lock:
            if writing:
                self.written += size
            else:
                self.read += size

    def start(self, kind):
        with self.lock:
            self.kinds[kind] += 1
            self.in_flight += 1
            self.last = time.monotonic()

    def finish(self, kind, error):
        with self.lock:
            self.in_flight -= 1
            if error:
                self.failed[kind] += 1
            self.last = time.monotonic()

    def take(self, quiet, longest=10.0):
        """The counts once no request has been in flight or come for quiet
        seconds (the kernel sends releases after a program has left), reset."""
        deadline = time.monotonic() + longest
        while time.monotonic() < deadline:
            with self.lock:
                if self.in_flight == 0 and time.monotonic() - self.last >= quiet:
                    break
            time.sleep(quiet / 4)
        with self.lock:
            result = {"requests": sum(self.kinds.values()), "kinds": dict(self.kinds),
                      "failed": dict(self.failed), "forgets": self.forgets, "read": self.read,
                      "written": self.written}
            self.kinds.clear()
            self.failed.clear()
            self.forgets = 0
            self.read = 0
            self.written = 0
            return result


class Volume:
    def __init__(self, root, mountpoint, delay, cache, serial=False):
        self.serial = serial  # look-ups and listings of one folder one at a time, as an older share serves them
        self.folder_locks = {}  # with serial: a lock per folder node
        self.root = os.path.realpath(root)
        self.mountpoint = os.path.realpath(mountpoint)
        self.delay = delay
        self.valid = (int(cache), int(cache % 1 * 1e9))
        self.nodes = Nodes(self.root)
        self.counts = Counts()
        self.folders = {}
        self.folder_lock = threading.Lock()
        self.next_folder = 1
        self.fd = None
        self.trace = None
        self.damaged = None  # --damage-written: the files written here, by node, whose reads lie

    def mount(self):
        self.fd = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
        mode = stat.S_IFMT(os.stat(self.root).st_mode)
        options = f"fd={self.fd},rootmode={mode:o},user_id=0,group_id=0,allow_other"
        checked(libc.mount(b"latency", os.fsencode(self.mountpoint), b"fuse.latency",
                           MS_NOSUID | MS_NODEV, options.encode()))

    def unmount(self):
        libc.umount2(os.fsencode(self.mountpoint), MNT_DETACH)

    def serve(self):
        """One worker: takes requests from the kernel until the volume is unmounted."""
        size = MAX_WRITE + 4096
        while True:
            try:
                request = os.read(self.fd, size)
            except OSError as error:
                if error.errno in (errno.ENOENT, errno.EINTR, errno.EAGAIN):
                    continue  # an interrupted request the kernel took back
                return  # ENODEV: unmounted
            if not request:
                return
            self.handle(request)

    def handle(self, request):
        length, opcode, unique, node, uid, gid, pid, _, _ = IN_HEADER.unpack_from(request)
        body = request[IN_HEADER.size:length]
        if opcode in UNANSWERED:
            self.unanswered(opcode, node, body)
            return
        kind = NAMES.get(opcode, f"opcode {opcode}")
        if opcode == SETATTR:
            kind = self.setattr_kind(body)
        if self.trace:
            named = body.split(b"\0", 1)[0].decode(errors="replace") if opcode == LOOKUP else ""
            print(f"{time.time():.6f} {kind} node {node} pid {pid} {named}".rstrip(), file=self.trace, flush=True)
        if opcode != INIT:
            self.counts.start(kind)
        error, reply = 0, b""
        with self.folder_turn(opcode, node):
            if opcode != INIT:
                time.sleep(self.delay)
            try:
                reply = self.carry_out(opcode, node, body)
            except OSError as failure:
                error = failure.errno or errno.EIO
            except Exception as failure:  # a fault of the volume, not of the caller
                print(f"latency_fs: {kind}: {failure!r}", file=sys.stderr)
                error = errno.EIO
        if opcode != INIT:
            self.counts.finish(kind, error)
        if error:
            reply = b""
        try:
            os.write(self.fd, OUT_HEADER.pack(OUT_HEADER.size + len(reply), -error, unique) + reply)
        except OSError as failure:
            # ENOENT: the caller was interrupted and left; ENODEV: unmounted meanwhile.
            if failure.errno not in (errno.ENOENT, errno.ENODEV):
                print(f"latency_fs: answer to {kind}: {failure}", file=sys.stderr)

    def folder_turn(self, opcode, node):
        """With serial folders, the lock of the folder a metadata request is
        about (the folder looked in or listed, the folder holding the node
        queried), so that one folder's requests are served one at a time;
        otherwise nothing to wait for."""
        if not self.serial or opcode not in SERIAL_KINDS:
            return contextlib.nullcontext()
        folder = node
        if opcode == GETATTR:
            with self.nodes.lock:
                entry = self.nodes.nodes.get(node)
                folder = entry[0] if entry and entry[0] is not None else node
        with self.folder_lock:
            return self.folder_locks.setdefault(folder, threading.Lock())

    def unanswered(self, opcode, node, body):
        if opcode == FORGET:
            self.counts.forgot(1)
            self.nodes.forget(node, struct.unpack_from("<Q", body)[0])
        elif opcode == BATCH_FORGET:
            count = struct.unpack_from("<I", body)[0]
            self.counts.forgot(count)
            for index in range(count):
                one, lookups = struct.unpack_from("<QQ", body, 8 + 16 * index)
                self.nodes.forget(one, lookups)

    @staticmethod
    def setattr_kind(body):
        valid = SETATTR_IN.unpack_from(body)[0]
        parts = [name for bits, name in ((SET_MODE, "mode"), (SET_UID | SET_GID, "owner"), (SET_SIZE, "size"),
                                         (SET_ATIME | SET_MTIME | SET_ATIME_NOW | SET_MTIME_NOW, "times"))
                 if valid & bits]
        return "setattr(" + "+".join(parts or ["none"]) + ")"

    def entry(self, parent, name):
        """Looks a name up and gives the kernel its entry."""
        st = os.lstat(self.nodes.child(parent, name))
        node = self.nodes.found(parent, name, st)
        return ENTRY_OUT.pack(node, 0, *self.valid, *self.valid) + attributes(st)

    def attr_out(self, st):
        return ATTR_OUT.pack(self.valid[0], self.valid[1], 0) + attributes(st)

    def carry_out(self, opcode, node, body):
        """Carries a request out on the backing folder and gives the answer's body."""
        nodes = self.nodes
        if opcode == INIT:
            major, minor, readahead, flags = struct.unpack_from("<IIII", body)
            wanted = flags & (ASYNC_READ | ATOMIC_O_TRUNC | BIG_WRITES | PARALLEL_DIROPS)
            if self.serial:
                wanted &= ~PARALLEL_DIROPS
            return struct.pack("<IIIIHHIIHHI7I", 7, min(minor, PROTOCOL_MINOR), readahead, wanted,
                               MAX_BACKGROUND, MAX_BACKGROUND * 3 // 4, MAX_WRITE, 1, MAX_WRITE // 4096, 0, 0,
                               *[0] * 7)
        if opcode == LOOKUP:
            return self.entry(node, names(body)[0])
        if opcode == GETATTR:
            flags, _, handle = struct.unpack_from("<IIQ", body)
            st = os.fstat(handle) if flags & GETATTR_FH else os.lstat(nodes.path(node))
            return self.attr_out(st)
        if opcode == SETATTR:
            return self.setattr(node, body)
        if opcode == READLINK:
            return os.fsencode(os.readlink(nodes.path(node)))
        if opcode == SYMLINK:
            name, target = names(body)
            os.symlink(target, nodes.child(node, name))
            return self.entry(node, name)
        if opcode == MKNOD:
            mode, rdev = struct.unpack_from("<II", body)
            name = names(body[16:])[0]
            os.mknod(nodes.child(node, name), mode, rdev)
            return self.entry(node, name)
        if opcode == MKDIR:
            mode = struct.unpack_from("<I", body)[0]
            name = names(body[8:])[0]
            os.mkdir(nodes.child(node, name), mode)
            return self.entry(node, name)
        if opcode in (UNLINK, RMDIR):
            name = names(body)[0]
            (os.unlink if opcode == UNLINK else os.rmdir)(nodes.child(node, name))
            nodes.removed(node, name)
            return b""
        if opcode in (RENAME, RENAME2):
            new_parent = struct.unpack_from("<Q", body)[0]
            flags = struct.unpack_from("<I", body, 8)[0] if opcode == RENAME2 else 0
            old, new = names(body[16 if opcode == RENAME2 else 8:])
            source, target = nodes.child(node, old), nodes.child(new_parent, new)
            checked(libc.renameat2(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flags))
            nodes.moved(node, old, new_parent, new, exchange=bool(flags & 2))
            return b""
        if opcode == LINK:
            existing = struct.unpack_from("<Q", body)[0]
            name = names(body[8:])[0]
            os.link(nodes.path(existing), nodes.child(node, name), follow_symlinks=False)
            return self.entry(node, name)
        if opcode == OPEN:
            flags = struct.unpack_from("<I", body)[0]
            handle = os.open(nodes.path(node), flags & ~(os.O_CREAT | os.O_EXCL | os.O_NOCTTY) | os.O_CLOEXEC)
            return OPEN_OUT.pack(handle, 0, 0)
        if opcode == CREATE:
            flags, mode = struct.unpack_from("<II", body)
            name = names(body[16:])[0]
            handle = os.open(nodes.child(node, name), flags | os.O_CREAT | os.O_CLOEXEC, mode)
            try:
                return self.entry(node, name) + OPEN_OUT.pack(handle, 0, 0)
            except OSError:
                os.close(handle)
                raise
        if opcode == READ:
            handle, offset, size = struct.unpack_from("<QQI", body)
            data = os.pread(handle, size, offset)
            self.counts.moved(len(data), False)
            if data and self.damaged is not None and os.fstat(handle).st_ino in self.damaged:
                data = bytes([data[0] ^ 0x20]) + data[1:]  # a disk that lost what it acknowledged
            return data
        if opcode == WRITE:
            handle, offset, size = struct.unpack_from("<QQI", body)
            written = os.pwrite(handle, body[40:40 + size], offset)
            if self.damaged is not None:
                self.damaged.add(os.fstat(handle).st_ino)
            self.counts.moved(written, True)
            return struct.pack("<II", written, 0)
        if opcode == STATFS:
            st = os.statvfs(nodes.path(node))
            return struct.pack("<QQQQQIII7I", st.f_blocks, st.f_bfree, st.f_bavail, st.f_files, st.f_ffree,
                               st.f_bsize, st.f_namemax, st.f_frsize, *[0] * 7)
        if opcode == RELEASE:
            os.close(struct.unpack_from("<Q", body)[0])
            return b""
        if opcode in (FLUSH, FSYNCDIR):
            return b""
        if opcode == FSYNC:
            os.fsync(struct.unpack_from("<Q", body)[0])
            return b""
        if opcode == OPENDIR:
            path = nodes.path(node)
            os.lstat(path)
            with self.folder_lock:
                handle = self.next_folder
                self.next_folder += 1
                self.folders[handle] = (path, None)
            return OPEN_OUT.pack(handle, 0, 0)
        if opcode == READDIR:
            handle, offset, size = struct.unpack_from("<QQI", body)
            path, listing = self.folders[handle]
            if listing is None or offset == 0:  # listed afresh at the start, as after a rewind
                listing = self.listing(path)
                self.folders[handle] = (path, listing)
            out = bytearray()
            for index in range(offset, len(listing)):
                name, inode, kind = listing[index]
                encoded = os.fsencode(name)
                record = DIRENT.pack(inode, index + 1, len(encoded), kind >> 12) + encoded
                record += b"\0" * (-len(record) % 8)
                if len(out) + len(record) > size:
                    break
                out += record
            return bytes(out)
        if opcode == RELEASEDIR:
            with self.folder_lock:
                self.folders.pop(struct.unpack_from("<Q", body)[0], None)
            return b""
        if opcode == ACCESS:
            if not os.access(nodes.path(node), struct.unpack_from("<I", body)[0]):
                raise OSError(errno.EACCES, "no access")
            return b""
        if opcode == DESTROY:
            return b""
        raise OSError(errno.ENOSYS, "not served")  # the kernel asks no more of that kind

    @staticmethod
    def listing(path):
        """A folder's names with their inodes and types, "." and ".." first."""
        listing = [(".", os.lstat(path).st_ino, stat.S_IFDIR), ("..", 1, stat.S_IFDIR)]
        with os.scandir(path) as entries:
            for entry in entries:
                if entry.is_symlink():
                    kind = stat.S_IFLNK
                elif entry.is_dir(follow_symlinks=False):
                    kind = stat.S_IFDIR
                elif entry.is_file(follow_symlinks=False):
                    kind = stat.S_IFREG
                else:
                    kind = stat.S_IFMT(entry.stat(follow_symlinks=False).st_mode)
                listing.append((entry.name, entry.inode(), kind))
        return listing

    def setattr(self, node, body):
        (valid, _, handle, size, _, atime, mtime, _, atime_ns, mtime_ns, _, mode, _, uid, gid,
         _) = SETATTR_IN.unpack_from(body)
        path = self.nodes.path(node) if not valid & SET_FH else None
        if valid & SET_MODE:
            if path is None:
                os.fchmod(handle, stat.S_IMODE(mode))
            else:
                os.chmod(path, stat.S_IMODE(mode), follow_symlinks=False)
        if valid & (SET_UID | SET_GID):
            owner = (uid if valid & SET_UID else -1, gid if valid & SET_GID else -1)
            if path is None:
                os.fchown(handle, *owner)
            else:
                os.lchown(path, *owner)
        if valid & SET_SIZE:
            os.truncate(handle if path is None else path, size)
        if valid & (SET_ATIME | SET_MTIME | SET_ATIME_NOW | SET_MTIME_NOW):
            def stamp(given, now, seconds, nanoseconds):
                if valid & now:
                    return Timespec(0, UTIME_NOW)
                if valid & given:
                    return Timespec(seconds, nanoseconds)
                return Timespec(0, UTIME_OMIT)

            times = (Timespec * 2)(stamp(SET_ATIME, SET_ATIME_NOW, atime, atime_ns),
                                   stamp(SET_MTIME, SET_MTIME_NOW, mtime, mtime_ns))
            if path is None:
                checked(libc.utimensat(handle, None, times, 0))
            else:
                checked(libc.utimensat(AT_FDCWD, os.fsencode(path), times, AT_SYMLINK_NOFOLLOW))
        st = os.fstat(handle) if path is None else os.lstat(path)
        return self.attr_out(st)


class Mounted:
    """A volume served by a process of its own, for harnesses and checks:
    counts() gives the counts since the last call; close() unmounts it."""

    def __init__(self, root, mountpoint, delay_ms=1.0, counts_file=None, extra=()):
        self.mountpoint = os.path.realpath(mountpoint)
        self.counts_file = counts_file or os.path.join(os.path.dirname(self.mountpoint), "latency-counts.json")
        os.makedirs(root, exist_ok=True)
        os.makedirs(mountpoint, exist_ok=True)
        self.server = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", root, mountpoint, "--delay", str(delay_ms),
             "--counts", self.counts_file, *extra], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        for _ in range(200):
            if mounted(self.mountpoint):
                return
            if self.server.poll() is not None:
                break
            time.sleep(0.05)
        self.close()
        raise RuntimeError("the latency volume did not mount: " + self.server.stderr.read().decode())

    def counts(self):
        try:
            os.remove(self.counts_file)
        except FileNotFoundError:
            pass
        self.server.send_signal(signal.SIGUSR1)
        for _ in range(600):
            if os.path.exists(self.counts_file):
                with open(self.counts_file) as source:
                    return json.load(source)
            time.sleep(0.05)
        raise RuntimeError("the latency volume gave no counts")

    def close(self):
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
        try:
            self.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        if mounted(self.mountpoint):  # the server died: a dead mount is left behind
            libc.umount2(os.fsencode(self.mountpoint), MNT_DETACH)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def mounted(mountpoint):
    """Whether a volume is mounted there, from the mount table (a stat would ask the volume)."""
    with open("/proc/self/mountinfo") as table:
        return any(line.split()[4].replace("\\040", " ") == mountpoint for line in table)


def write_counts(volume, path, quiet):
    counts = volume.counts.take(quiet)
    temporary = path + ".part"
    with open(temporary, "w") as out:
        json.dump(counts, out, indent=1, sort_keys=True)
    os.replace(temporary, path)


def serve(arguments):
    os.umask(0)  # modes pass as the caller gave them (the kernel applied its umask)
    volume = Volume(arguments.root, arguments.mountpoint, arguments.delay / 1000, arguments.cache,
                    arguments.serial_folders)
    quiet = max(0.1, 20 * volume.delay)
    wanted = {"dump": False, "stop": False}
    signal.signal(signal.SIGUSR1, lambda *_: wanted.update(dump=True))
    signal.signal(signal.SIGTERM, lambda *_: wanted.update(stop=True))
    signal.signal(signal.SIGINT, lambda *_: wanted.update(stop=True))
    if arguments.trace:
        volume.trace = open(arguments.trace, "a")
    if arguments.damage_written:
        volume.damaged = set()
    volume.mount()
    workers = [threading.Thread(target=volume.serve, daemon=True) for _ in range(arguments.threads)]
    for worker in workers:
        worker.start()
    while any(worker.is_alive() for worker in workers):
        if wanted["stop"]:
            wanted["stop"] = False
            volume.unmount()
        if wanted["dump"] and arguments.counts:
            wanted["dump"] = False
            write_counts(volume, arguments.counts, quiet)
        time.sleep(0.02)
    if arguments.counts:
        write_counts(volume, arguments.counts, 0)
    return 0


def dump(arguments):
    """Asks the server for its counts and prints them."""
    try:
        os.remove(arguments.file)
    except FileNotFoundError:
        pass
    os.kill(arguments.pid, signal.SIGUSR1)
    for _ in range(600):
        if os.path.exists(arguments.file):
            with open(arguments.file) as source:
                sys.stdout.write(source.read())
            return 0
        time.sleep(0.05)
    print("latency_fs: no counts came", file=sys.stderr)
    return 1


def timed_stats(paths, parallel):
    """Seconds to stat the paths one after another, or each from a thread of its own at once."""
    if not parallel:
        start = time.monotonic()
        for path in paths:
            os.stat(path)
        return time.monotonic() - start
    barrier = threading.Barrier(len(paths) + 1)

    def one(path):
        barrier.wait()
        os.stat(path)

    threads = [threading.Thread(target=one, args=(path,)) for path in paths]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.monotonic()
    for thread in threads:
        thread.join()
    return time.monotonic() - start


def check(arguments):
    """Shows that the delay is paid per request and that requests overlap:
    stats from one thread take a delay per request each; the same number of
    stats from as many threads take about one stat's time, for names in one
    folder (looked up for the first time) and in different folders."""
    work = os.path.realpath(arguments.work)
    root = os.path.join(work, "below")
    width = 16
    for index in range(width):
        os.makedirs(os.path.join(root, f"d{index:02d}"), exist_ok=True)
        for folder in ("one", "serial", f"d{index:02d}"):
            os.makedirs(os.path.join(root, folder), exist_ok=True)
            open(os.path.join(root, folder, f"f{index:02d}"), "w").close()
    delay = arguments.delay / 1000
    failures = []
    with Mounted(root, os.path.join(work, "volume"), arguments.delay) as volume:
        top = volume.mountpoint
        os.stat(os.path.join(top, "serial"))
        volume.counts()
        serial = timed_stats([os.path.join(top, "serial", f"f{i:02d}") for i in range(width)], False)
        requests = volume.counts()["requests"]
        per_stat = serial / width
        print(f"{width} stats one after another: {serial:.3f} s, {requests} requests, "
              f"{serial / requests * 1000:.1f} ms a request (delay {arguments.delay:g} ms)")
        if serial < requests * delay * 0.95:
            failures.append("a request took less than the delay")
        for name, paths in (("in one folder", [os.path.join(top, "one", f"f{i:02d}") for i in range(width)]),
                            ("in as many folders", [os.path.join(top, f"d{i:02d}", f"f{i:02d}")
                                                    for i in range(width)])):
            seconds = timed_stats(paths, True)
            print(f"{width} stats {name} from {width} threads: {seconds:.3f} s, "
                  f"{seconds / per_stat:.1f} times one stat")
            if seconds > 3 * per_stat:
                failures.append(f"stats {name} did not overlap")
    for failure in failures:
        print("latency_fs check: " + failure, file=sys.stderr)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    serving = commands.add_parser("serve")
    serving.add_argument("root")
    serving.add_argument("mountpoint")
    serving.add_argument("--delay", type=float, default=1.0, help="milliseconds before each answer")
    serving.add_argument("--threads", type=int, default=64, help="requests served at once")
    serving.add_argument("--cache", type=float, default=0.0, help="seconds the kernel keeps names and attributes")
    serving.add_argument("--counts", help="file for the counts")
    serving.add_argument("--serial-folders", action="store_true",
                         help="let the kernel send the look-ups and listings of one folder one at a time")
    serving.add_argument("--trace", help="file that gets a line for each request: its kind, node and process")
    serving.add_argument("--damage-written", action="store_true",
                         help="a file written through the volume reads back with its first byte changed")
    dumping = commands.add_parser("dump")
    dumping.add_argument("pid", type=int)
    dumping.add_argument("file")
    checking = commands.add_parser("check")
    checking.add_argument("work", help="an empty folder for the check's volume")
    checking.add_argument("--delay", type=float, default=50.0, help="milliseconds before each answer")
    arguments = parser.parse_args()
    return {"serve": serve, "dump": dump, "check": check}[arguments.command](arguments)


if __name__ == "__main__":
    sys.exit(main())
