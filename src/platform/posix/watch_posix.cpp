// Watches on Linux: inotify, one watch per folder, added as folders appear.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/posix_layer.h"

// The system's watch of one tree: a watch per folder, known by its path below the root.
struct FolderWatch {
    int fd = -1;                                  // the inotify instance
    std::string root;                             // the watched folder's bytes
    int rootWatch = -1;                           // the root's own watch
    std::unordered_map<int, std::string> pathOf;  // each watch's folder, relative to the root ("" the root)
    std::map<std::string, int> watchOf;           // each watched folder's watch, by its relative path
    std::vector<WatchNotice> early;               // notices found while watches were added, told at the next wait
    int mounts = -1;                              // the system's table of mounts, which tells when it changes
};

namespace {

// The pipe that ends a wait: written by a stop's signal and by platformWakeWatch.
std::atomic<int> wakeWrite{-1};
std::atomic<int> wakeRead{-1};

// Makes the wake pipe once; false when it cannot be had.
bool OpenWakePipe() {
    if (wakeRead.load() >= 0) return true;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    wakeRead.store(ends[0]);
    wakeWrite.store(ends[1]);
    return true;
}

// Reads the wake pipe empty.
void DrainWakePipe() {
    char bytes[64];
    int fd = wakeRead.load();
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {}
}

// A link is never followed: a link to / in a user's folder would have root
// watch the whole system (what lies behind a link followed with -L is
// found by the rescans).
const uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR |
                               IN_DONT_FOLLOW;

// Wide text of a relative path's bytes.
std::wstring WideOf(const std::string& bytes) {
    std::vector<wchar_t> out(bytes.size() + 1);
    if (!FromSystem(bytes.c_str(), out.data(), out.size())) return std::wstring();
    return std::wstring(out.data());
}

// The path below the root joined to a name.
std::string Below(const std::string& folder, const char* name) {
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

// Watches the folder at relative (and, walking, every folder below it),
// telling a folder the system's limit leaves unwatched. A folder watched
// already (reached again through a link) is not walked again.
void WatchTree(FolderWatch* watch, const std::string& relative) {
    std::vector<std::string> pending{relative};
    while (!pending.empty()) {
        std::string folder = pending.back();
        pending.pop_back();
        std::string full = folder.empty() ? watch->root : watch->root + "/" + folder;
        int id = inotify_add_watch(watch->fd, full.c_str(), kFolderEvents);
        if (id < 0) {
            // A folder that cannot be read is told by the walks; one the limit leaves out, here.
            if (errno == ENOSPC) watch->early.push_back(WatchNotice{WATCH_LOST, WideOf(folder), true});
            continue;
        }
        // A folder watched already (a mount of it elsewhere in the tree): its notices name the first path.
        if (watch->pathOf.count(id) > 0) continue;
        watch->pathOf[id] = folder;
        watch->watchOf[folder] = id;
        if (folder.empty()) watch->rootWatch = id;
        DIR* listing = opendir(full.c_str());
        if (!listing) continue;
        while (struct dirent* entry = readdir(listing)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            bool folderEntry = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                std::string path = full + "/" + name;
                folderEntry = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            if (folderEntry) pending.push_back(Below(folder, name));
        }
        closedir(listing);
    }
}

// Forgets the watches of relative and of every folder below it (moved away or gone).
void ForgetTree(FolderWatch* watch, const std::string& relative) {
    auto at = watch->watchOf.lower_bound(relative);
    while (at != watch->watchOf.end()) {
        const std::string& path = at->first;
        bool below =
            path == relative || (path.size() > relative.size() && path.compare(0, relative.size(), relative) == 0 &&
                                 path[relative.size()] == '/');
        if (!below) break;
        inotify_rm_watch(watch->fd, at->second);
        watch->pathOf.erase(at->second);
        at = watch->watchOf.erase(at);
    }
}

// Turns one event into notices; new folders are watched first.
void TakeEvent(FolderWatch* watch, const struct inotify_event* event, std::vector<WatchNotice>* notices) {
    if (event->mask & IN_Q_OVERFLOW) {
        notices->push_back(WatchNotice{WATCH_LOST, std::wstring(), false});
        return;
    }
    auto known = watch->pathOf.find(event->wd);
    if (known == watch->pathOf.end()) return;
    std::string folder = known->second;
    bool isRoot = event->wd == watch->rootWatch;
    if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        if (isRoot) {
            notices->push_back(WatchNotice{WATCH_ROOT_GONE, std::wstring(), false});
        } else if (event->mask & IN_UNMOUNT) {
            notices->push_back(WatchNotice{WATCH_LOST, WideOf(folder), false});
        }
        if (event->mask & IN_IGNORED) {
            watch->watchOf.erase(folder);
            watch->pathOf.erase(event->wd);
        }
        return;
    }
    if (event->len == 0 || event->name[0] == '\0') {
        notices->push_back(WatchNotice{WATCH_CHANGED, WideOf(folder), false});
        return;
    }
    std::string path = Below(folder, event->name);
    if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
        WatchTree(watch, path);
        notices->insert(notices->end(), watch->early.begin(), watch->early.end());
        watch->early.clear();
        notices->push_back(WatchNotice{WATCH_FOLDER_IN, WideOf(path), false});
        return;
    }
    if ((event->mask & IN_ISDIR) && (event->mask & IN_MOVED_FROM)) ForgetTree(watch, path);
    notices->push_back(WatchNotice{WATCH_CHANGED, WideOf(path), false});
}

}  // namespace

void PosixWakeWatches() {
    int fd = wakeWrite.load();
    if (fd < 0) return;
    char byte = 1;
    ssize_t written = write(fd, &byte, 1);  // a full pipe wakes the wait already
    (void)written;
}

FolderWatch* platformOpenWatch(const wchar_t* root, int* reason) {
    SystemName name = PathName(root);
    if (!name.ok) {
        *reason = ENAMETOOLONG;
        return nullptr;
    }
    if (!OpenWakePipe()) {
        *reason = errno;
        return nullptr;
    }
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) {
        *reason = errno;
        return nullptr;
    }
    auto* watch = new FolderWatch;
    watch->fd = fd;
    watch->root = name.bytes;
    while (watch->root.size() > 1 && watch->root.back() == '/') watch->root.pop_back();
    // A disk mounted on the folder, or taken away below it, changes no folder a watch is on.
    watch->mounts = open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
    WatchTree(watch, std::string());
    if (watch->rootWatch < 0) {
        *reason = watch->early.empty() ? errno : ENOSPC;
        if (*reason == 0) *reason = EACCES;
        platformCloseWatch(watch);
        return nullptr;
    }
    return watch;
}

WatchWait platformWaitWatch(FolderWatch* watch, int64_t milliseconds, std::vector<WatchNotice>* notices, int* reason) {
    if (!watch->early.empty()) {
        notices->insert(notices->end(), watch->early.begin(), watch->early.end());
        watch->early.clear();
        return WATCH_WAIT_NOTICES;
    }
    DrainWakePipe();
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    struct pollfd waits[3] = {{watch->fd, POLLIN, 0}, {wakeRead.load(), POLLIN, 0}, {watch->mounts, POLLPRI, 0}};
    int timeout = milliseconds < 0 ? -1 : milliseconds > 86400000 ? 86400000 : static_cast<int>(milliseconds);
    int ready = poll(waits, watch->mounts >= 0 ? 3 : 2, timeout);
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    if (ready < 0) return errno == EINTR ? WATCH_WAIT_TIMEOUT : (*reason = errno, WATCH_WAIT_FAILED);
    if (ready == 0) return WATCH_WAIT_TIMEOUT;
    size_t before = notices->size();
    if (watch->mounts >= 0 && (waits[2].revents & (POLLPRI | POLLERR))) {
        // Read through, the table tells its next change again.
        char table[4096];
        lseek(watch->mounts, 0, SEEK_SET);
        while (read(watch->mounts, table, sizeof table) > 0) {}
        notices->push_back(WatchNotice{WATCH_MOUNTS, std::wstring(), false});
    }
    if (!(waits[0].revents & POLLIN)) return notices->size() > before ? WATCH_WAIT_NOTICES : WATCH_WAIT_TIMEOUT;
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(watch->fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            TakeEvent(watch, event, notices);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    return notices->size() > before ? WATCH_WAIT_NOTICES : WATCH_WAIT_TIMEOUT;
}

void platformWakeWatch() { PosixWakeWatches(); }

void platformCloseWatch(FolderWatch* watch) {
    if (!watch) return;
    if (watch->fd >= 0) close(watch->fd);
    if (watch->mounts >= 0) close(watch->mounts);
    delete watch;
}
