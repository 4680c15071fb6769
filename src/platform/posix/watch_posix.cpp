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
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/posix_layer.h"

// The system's watch of one tree: a watch per folder, known by its path below the root.
struct FolderWatch {
    int fd = -1;                                     // the inotify instance
    std::string root;                                // the watched folder's bytes
    int rootWatch = -1;                              // the root's own watch
    std::unordered_map<int, std::string> pathOf;     // each watch's folder, relative to the root ("" the root)
    std::map<std::string, int> watchOf;              // each watched folder's watch, by its relative path
    std::vector<WatchNotice> early;                  // notices found while watches were added, told at the next wait
    int mounts = -1;                                 // the system's table of mounts, which tells when it changes
    std::string realRoot;                            // the root as the table of mounts names it
    std::set<std::string> mountsBelow;               // the folders below the root a volume is mounted on
    bool overflowed = false;                         // the system's queue overflowed: to be watched afresh
    int above = -1;                                  // a second instance for the folders on the root's path, so
                                                     // that a busy /tmp never overflows the tree's queue
    std::unordered_map<int, std::string> ancestors;  // its watches, each with the name below it on that path
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

// Moves the notices found while watches were added into notices.
void TellEarly(FolderWatch* watch, std::vector<WatchNotice>* notices) {
    notices->insert(notices->end(), watch->early.begin(), watch->early.end());
    watch->early.clear();
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
        // The root is followed where it is a link, as the runs follow it.
        int id = inotify_add_watch(watch->fd, full.c_str(),
                                   folder.empty() ? kFolderEvents & ~IN_DONT_FOLLOW : kFolderEvents);
        if (id < 0) {
            // A folder that cannot be read is told by the walks; one the system
            // will not watch (its limit, a path too long for it) is told here.
            int error = errno;
            if (error == ENOSPC || error == ENAMETOOLONG) {
                watch->early.push_back(WatchNotice{WATCH_LOST, WideOf(folder), true, error});
            }
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

// Forgets the watch of relative and of every folder below it (moved away
// or gone). The paths below it are those that begin with it and a
// separator, side by side in the map ("a b" and "a.old" sort between "a"
// and "a/").
void ForgetTree(FolderWatch* watch, const std::string& relative) {
    auto drop = [watch](std::map<std::string, int>::iterator at) {
        inotify_rm_watch(watch->fd, at->second);
        watch->pathOf.erase(at->second);
        return watch->watchOf.erase(at);
    };
    auto itself = watch->watchOf.find(relative);
    if (itself != watch->watchOf.end()) drop(itself);
    std::string prefix = relative.empty() ? relative : relative + "/";
    auto at = watch->watchOf.lower_bound(prefix);
    while (at != watch->watchOf.end() && at->first.compare(0, prefix.size(), prefix) == 0) at = drop(at);
}

// The folders below realRoot that a volume is mounted on, relative to it.
std::set<std::string> MountsBelow(const std::string& realRoot) {
    std::set<std::string> below;
    std::string prefix = realRoot == "/" ? realRoot : realRoot + "/";
    for (const MountLine& mount : ReadMountTable()) {
        const std::string& point = mount.point;
        if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) {
            below.insert(point.substr(prefix.size()));
        }
    }
    return below;
}

// Watches each folder on the root's path, as it is spelt (absolute), for
// the name below it: a rename, removal or new link there may leave the
// root's path naming another folder than the one watched.
void WatchAncestors(FolderWatch* watch) {
    watch->ancestors.clear();
    if (watch->above < 0) watch->above = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch->above < 0) return;
    std::string path = watch->root;
    if (path.empty() || path[0] != '/') {
        char* here = getcwd(nullptr, 0);
        if (!here) return;
        path = std::string(here) + "/" + path;
        std::free(here);
    }
    const uint32_t events =
        IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    while (path.size() > 1) {
        size_t cut = path.rfind('/');
        std::string name = path.substr(cut + 1);
        path = cut == 0 ? std::string("/") : path.substr(0, cut);
        if (name.empty() || name == ".") continue;
        int id = inotify_add_watch(watch->above, path.c_str(), events);
        if (id >= 0) watch->ancestors[id] = name;
    }
}

// Hands each event an inotify instance holds to take, until none is left.
template <typename Take>
void ReadEvents(int fd, Take take) {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            take(event);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

// Reads what the folders on the root's path told: one WATCH_MOUNTS notice
// when the name on the path was renamed, removed or made, or a folder on it
// went (or the queue overflowed, which may have hidden that).
void TakeAncestorEvents(FolderWatch* watch, std::vector<WatchNotice>* notices) {
    bool onThePath = false;
    ReadEvents(watch->above, [watch, &onThePath](const struct inotify_event* event) {
        auto named = watch->ancestors.find(event->wd);
        onThePath = onThePath || (event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) ||
                    (named != watch->ancestors.end() && event->len > 0 && named->second == event->name);
        if (named != watch->ancestors.end() && (event->mask & IN_IGNORED)) watch->ancestors.erase(named);
    });
    if (onThePath) notices->push_back(WatchNotice{WATCH_MOUNTS, std::wstring(), false});
}

// Starts the system's watch afresh (after its queue overflowed): every
// folder is watched again under the path it has now.
void Rearm(FolderWatch* watch) {
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) return;
    close(watch->fd);
    watch->fd = fd;
    watch->pathOf.clear();
    watch->watchOf.clear();
    watch->rootWatch = -1;
    WatchTree(watch, std::string());
}

// Tells what the table of mounts changed below the root: a volume that
// came is watched and walked whole; one that went leaves its bare folder
// watched, and is told.
void TakeMounts(FolderWatch* watch, std::vector<WatchNotice>* notices) {
    std::set<std::string> now = MountsBelow(watch->realRoot);
    for (const std::string& gone : watch->mountsBelow) {
        if (now.count(gone)) continue;
        ForgetTree(watch, gone);
        WatchTree(watch, gone);
        notices->push_back(WatchNotice{WATCH_UNMOUNTED, WideOf(gone), false});
    }
    for (const std::string& came : now) {
        if (watch->mountsBelow.count(came)) continue;
        ForgetTree(watch, came);
        WatchTree(watch, came);
        notices->push_back(WatchNotice{WATCH_FOLDER_IN, WideOf(came), false});
    }
    watch->mountsBelow = now;
    TellEarly(watch, notices);
    notices->push_back(WatchNotice{WATCH_MOUNTS, std::wstring(), false});
}

// Turns one event into notices; new folders are watched first.
void TakeEvent(FolderWatch* watch, const struct inotify_event* event, std::vector<WatchNotice>* notices) {
    if (event->mask & IN_Q_OVERFLOW) {
        notices->push_back(WatchNotice{WATCH_LOST, std::wstring(), false});
        watch->overflowed = true;  // folders made meanwhile were never watched
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
            notices->push_back(WatchNotice{WATCH_UNMOUNTED, WideOf(folder), false});
        }
        if (event->mask & IN_IGNORED) {
            auto named = watch->watchOf.find(folder);
            if (named != watch->watchOf.end() && named->second == event->wd) watch->watchOf.erase(named);
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
        TellEarly(watch, notices);
        notices->push_back(WatchNotice{WATCH_FOLDER_IN, WideOf(path), false});
        return;
    }
    if ((event->mask & IN_ISDIR) && (event->mask & IN_MOVED_FROM)) ForgetTree(watch, path);
    notices->push_back(WatchNotice{WATCH_CHANGED, WideOf(path), false});
}

}  // namespace

bool platformWatchAgain(FolderWatch* watch, const wchar_t* relative) {
    SystemName name = PathName(relative);
    if (!watch || !name.ok) return false;
    size_t told = watch->early.size();
    WatchTree(watch, name.bytes);
    // What still cannot be watched was told before.
    bool all = watch->early.size() == told && watch->watchOf.count(name.bytes) > 0;
    watch->early.resize(told);
    return all;
}

// Safe in a signal handler: one write to the wake pipe.
void platformWakeWatch() {
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
    char* real = realpath(watch->root.c_str(), nullptr);
    watch->realRoot = real ? std::string(real) : watch->root;
    std::free(real);
    watch->mountsBelow = MountsBelow(watch->realRoot);
    WatchAncestors(watch);
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
        TellEarly(watch, notices);
        return WATCH_WAIT_NOTICES;
    }
    DrainWakePipe();
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    // A negative descriptor (no table of mounts, no second instance) is passed over.
    struct pollfd waits[4] = {
        {watch->fd, POLLIN, 0}, {wakeRead.load(), POLLIN, 0}, {watch->mounts, POLLPRI, 0}, {watch->above, POLLIN, 0}};
    int timeout = milliseconds < 0 ? -1 : milliseconds > 86400000 ? 86400000 : static_cast<int>(milliseconds);
    int ready = poll(waits, 4, timeout);
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    if (ready < 0) return errno == EINTR ? WATCH_WAIT_TIMEOUT : (*reason = errno, WATCH_WAIT_FAILED);
    if (ready == 0) return WATCH_WAIT_TIMEOUT;
    size_t before = notices->size();
    if (watch->mounts >= 0 && (waits[2].revents & (POLLPRI | POLLERR))) {
        // Read through, the table tells its next change again.
        char table[4096];
        lseek(watch->mounts, 0, SEEK_SET);
        while (read(watch->mounts, table, sizeof table) > 0) {}
        TakeMounts(watch, notices);
    }
    if (watch->above >= 0 && (waits[3].revents & POLLIN)) TakeAncestorEvents(watch, notices);
    if (!(waits[0].revents & POLLIN)) return notices->size() > before ? WATCH_WAIT_NOTICES : WATCH_WAIT_TIMEOUT;
    ReadEvents(watch->fd, [watch, notices](const struct inotify_event* event) { TakeEvent(watch, event, notices); });
    if (watch->overflowed) {
        watch->overflowed = false;
        Rearm(watch);
        TellEarly(watch, notices);
    }
    return notices->size() > before ? WATCH_WAIT_NOTICES : WATCH_WAIT_TIMEOUT;
}

void platformCloseWatch(FolderWatch* watch) {
    if (!watch) return;
    if (watch->fd >= 0) close(watch->fd);
    if (watch->mounts >= 0) close(watch->mounts);
    if (watch->above >= 0) close(watch->above);
    delete watch;
}
