// The files the program writes and reads for itself: its log, the
// settings, a list.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

#include "base/byte_escape.h"
#include "base/temporary_name.h"
#include "platform/platform.h"
#include "platform/posix/posix_layer.h"
#include "platform/system_reason.h"

namespace {

// A file made for the program's own use is its owner's alone when the
// process runs as root; others' files are never writable by anyone else.
mode_t OwnFileMode() { return geteuid() == 0 ? 0600 : 0644; }

// Makes a new file in the folder of name and renames it over name: a link,
// or any other entry a rename replaces, goes as a name; what it named stays
// as it was. -1 with errno set on failure.
int ReplaceByNewFile(const std::string& name) {
    std::string parent = ParentOf(name);
    NotedTemporary noted((parent == "/" ? "/" : parent + "/") + NextTemporaryName());
    const std::string& temporary = noted.name;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, OwnFileMode());
    if (fd < 0) return -1;
    flock(fd, LOCK_EX | LOCK_NB);  // its writer's while it is open (see OpenOwnFile)
    noted.made(AT_FDCWD, fd);
    if (rename(temporary.c_str(), name.c_str()) != 0) {
        int error = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

// Opens name for writing, truncated, never through a link or another name
// of a file; see platformOpenOwnFile. A writer holds its file (a flock) while
// it is open: one that another writer holds (a second job's run log in the
// same folder, at the same time) is not written into but replaced by a new
// file, so that neither's lines go into the other's. -1 with *error set on failure.
int OpenOwnFile(const std::string& name, int* error) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, OwnFileMode());
            if (fd < 0 && errno == EEXIST) continue;  // made meanwhile: looked at again
            *error = errno;
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
                close(fd);  // another writer took it first, between making and holding
                fd = ReplaceByNewFile(name);
                *error = errno;
            }
            return fd;
        }
        *error = errno;
        struct stat st;
        if (fd < 0) {
            // A link in the last place, or an entry that cannot be written as
            // it stands: a FIFO, a socket, a device (another's, in a folder
            // where others may add) goes as a name; a directory stays, told.
            if (lstat(name.c_str(), &st) != 0) return -1;
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                fd = ReplaceByNewFile(name);
                *error = errno;
                return fd;
            }
            return -1;
        }
        bool looked = fstat(fd, &st) == 0;
        if (!looked) {
            *error = errno;
            close(fd);
            return -1;
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            fd = ReplaceByNewFile(name);
            *error = errno;
            return fd;
        }
        if (fcntl(fd, F_SETFL, 0) != 0 || ftruncate(fd, 0) != 0) {
            *error = errno;
            close(fd);
            return -1;
        }
        return fd;
    }
    *error = EEXIST;
    return -1;
}

}  // namespace

FILE* platformOpenOwnFile(const wchar_t* path, int* reason) {
    int error = 0;
    SystemName name = PathName(path);
    int fd = name.ok ? OpenOwnFile(name.bytes, &error) : -1;
    if (!name.ok) error = FAILURE_NAME_UNWRITABLE;
    if (fd < 0) {
        *reason = error != 0 ? error : EIO;
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        *reason = errno;
        close(fd);
    }
    return file;
}

namespace {

// Opens name to append to; see platformOpenOwnAppendFile. -1 with *error set on failure.
int OpenOwnAppendFile(const std::string& name, int* error) {
    int fd =
        open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, OwnFileMode());
    if (fd >= 0 || errno != EEXIST) {
        *error = errno;
        return fd;
    }
    // Something stands there: only this user's plain file of one name is opened.
    struct stat st;
    if (lstat(name.c_str(), &st) != 0) {
        *error = errno;
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = FAILURE_LINK_IN_PLACE;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = FAILURE_NOT_PLAIN_FILE;
        return -1;
    }
    fd = open(name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ELOOP ? FAILURE_LINK_IN_PLACE : errno;
        return -1;
    }
    bool looked = fstat(fd, &st) == 0;
    *error = !looked                                      ? errno
             : !S_ISREG(st.st_mode)                       ? FAILURE_NOT_PLAIN_FILE
             : st.st_nlink != 1 || st.st_uid != geteuid() ? FAILURE_NOT_OWN_FILE
             : fcntl(fd, F_SETFL, O_APPEND) != 0          ? errno
                                                          : 0;
    if (*error == 0) return fd;
    close(fd);
    return -1;
}

}  // namespace

FILE* platformOpenOwnAppendFile(const wchar_t* path, int* reason) {
    int error = 0;
    SystemName name = PathName(path);
    int fd = name.ok ? OpenOwnAppendFile(name.bytes, &error) : -1;
    if (!name.ok) error = FAILURE_NAME_UNWRITABLE;
    if (fd < 0) {
        *reason = error != 0 ? error : EIO;
        return nullptr;
    }
    FILE* file = fdopen(fd, "ab");
    if (!file) {
        *reason = errno;
        close(fd);
    }
    return file;
}

SystemResult platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return Result(std::fflush(file) == 0 && whole);
}

SystemResult platformCloseFile(FILE* file) { return Result(std::fclose(file) == 0); }

namespace {

// Opens path for reading as the process may follow its links: as root,
// each name on its way judged once through handles (ResolvePath), so that
// a user's link leads root nowhere the user could not read herself.
int OpenForReading(const std::string& path) {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (geteuid() != 0) return open(path.c_str(), flags);
    int resolved = ResolvePath(path);
    if (resolved < 0) return -1;
    std::string proc = "/proc/self/fd/" + std::to_string(resolved);
    int fd = open(proc.c_str(), flags);
    int error = errno;
    close(resolved);
    errno = error;
    return fd;
}

}  // namespace

// Only a plain file is read: a FIFO or a device would be read until killed.
FILE* platformOpenRead(const wchar_t* path, bool* stream, int* reason) {
    *stream = false;
    SystemName name = PathName(path);
    if (!name.ok) {
        *reason = FAILURE_NAME_UNWRITABLE;
        return nullptr;
    }
    int fd = OpenForReading(name.bytes);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        *reason = errno != 0 ? errno : EIO;
        if (fd >= 0) close(fd);
        return nullptr;
    }
    struct stat input;
    *stream =
        !S_ISREG(st.st_mode) && fstat(PLATFORM_STDIN, &input) == 0 && SameEntry(input, st) && !S_ISDIR(st.st_mode);
    if (!S_ISREG(st.st_mode) && !*stream) {
        *reason = FAILURE_NOT_PLAIN_FILE;
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (!file) {
        *reason = errno;
        close(fd);
    }
    return file;
}
