// The trees a run holds open: the guarded To, the From a root run reads by
// its users' right, the lock of a run's To; and where a path's entry is found.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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

// True when the process runs as root: it may read what the users whose
// files it copies may not, so it follows their links only by their right.
bool RootRun() {
    static const bool root = geteuid() == 0;
    return root;
}

}  // namespace

bool SameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

namespace {

// A user whose reach a root run judges: her groups as the account
// database tells them (none known for a number without an account),
// looked up only when a folder lets some groups in and not others.
struct Reacher {
    uid_t user;
    bool looked;
    std::vector<gid_t> groups;
};

// Fills who's groups from her account, once.
void LookUpGroups(Reacher* who) {
    if (who->looked) return;
    who->looked = true;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(who->user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0 && count > 64) {
        groups.resize(static_cast<size_t>(count));
        getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    if (std::find(groups.begin(), groups.end(), found->pw_gid) == groups.end()) groups.push_back(found->pw_gid);
    who->groups = groups;
}

bool MemberOf(Reacher* who, gid_t group) {
    LookUpGroups(who);
    return std::find(who->groups.begin(), who->groups.end(), group) != who->groups.end();
}

// True when who may do want (4 read, 1 search; both: 5) to the entry open
// as fd, of status st, as the kernel would judge it, her groups as her
// account names them. A user of none of an entry's groups is let in only
// where every group is let in too, so that a group she may hold after
// all, whom the entry keeps out, keeps her out here. An access ACL is
// read and judged; one that cannot be read lets no one in.
bool Permits(Reacher* who, int fd, const struct stat& st, unsigned want, bool pathOnly = true) {
    if (who->user == st.st_uid) return ((st.st_mode >> 6) & want) == want;
    unsigned char acl[4096];
    ssize_t size =
        pathOnly ? getxattr(("/proc/self/fd/" + std::to_string(fd)).c_str(), "system.posix_acl_access", acl, sizeof acl)
                 : fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
    if (size < 0 && errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP) return false;
    bool groupLets = (((st.st_mode >> 3) & 7) & want) == want;
    bool otherLets = ((st.st_mode & 7) & want) == want;
    if (size < 4) {
        if (groupLets == otherLets) return groupLets;  // her groups change nothing
        return MemberOf(who, st.st_gid) ? groupLets : false;
    }
    const unsigned kUser = 0x02;
    const unsigned kGroupOwner = 0x04;
    const unsigned kGroup = 0x08;
    const unsigned kMask = 0x10;
    const unsigned kOther = 0x20;
    unsigned mask = 7;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        if ((acl[at] | (acl[at + 1] << 8)) == kMask) mask = acl[at + 2] & 7u;
    }
    std::vector<std::pair<gid_t, bool>> groups;  // each group entry, and whether it lets her in
    bool everyGroup = true;
    bool anyGroup = false;
    unsigned other = 0;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        unsigned tag = acl[at] | (acl[at + 1] << 8);
        unsigned permissions = acl[at + 2] & 7u;
        uint32_t id = static_cast<uint32_t>(acl[at + 4]) | (static_cast<uint32_t>(acl[at + 5]) << 8) |
                      (static_cast<uint32_t>(acl[at + 6]) << 16) | (static_cast<uint32_t>(acl[at + 7]) << 24);
        if (tag == kUser && id == who->user) return (permissions & mask & want) == want;
        if (tag == kOther) other = permissions;
        if (tag != kGroupOwner && tag != kGroup) continue;
        bool grants = (permissions & mask & want) == want;
        groups.emplace_back(tag == kGroupOwner ? st.st_gid : static_cast<gid_t>(id), grants);
        everyGroup = everyGroup && grants;
        anyGroup = anyGroup || grants;
    }
    bool othersLet = (other & want) == want;
    if (everyGroup && othersLet) return true;  // her groups change nothing
    if (!anyGroup) return false;
    bool matched = false;
    for (const auto& group : groups) {
        if (!MemberOf(who, group.first)) continue;
        if (group.second) return true;
        matched = true;
    }
    return !matched && othersLet && everyGroup;
}

// True when who may reach the directory open as directory: search on it
// and on every directory above it, as the file system links them. Judged
// afresh each time, as folders change while a run goes on.
bool Reachable(Reacher* who, int directory) {
    // Each level opened for reading where the process may (its ACL read
    // through the handle), else only by name.
    auto level = [](int at, const char* name, bool* pathOnly) {
        int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        *pathOnly = fd < 0;
        return fd >= 0 ? fd : openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    };
    struct stat here;
    bool pathOnly = true;
    int current = level(directory, ".", &pathOnly);
    if (current < 0 || fstat(current, &here) != 0) {
        if (current >= 0) close(current);
        return false;
    }
    for (;;) {
        struct stat up;
        bool searched = Permits(who, current, here, 1, pathOnly);
        int parent = searched ? level(current, "..", &pathOnly) : -1;
        close(current);
        if (parent < 0 || fstat(parent, &up) != 0) {  // refused, or not known
            if (parent >= 0) close(parent);
            return false;
        }
        if (SameEntry(up, here)) {  // the top reached
            close(parent);
            return true;
        }
        current = parent;
        here = up;
    }
}

// A link may be followed when its owner is root, or when she owns what it
// names and could read it herself: reach the folder it stands in (parent,
// open; -1 where not known: a directory's own parent is taken) and read it
// (a directory: read and search), as the kernel would let her.
bool FollowAllowed(const struct stat& link, int target, int parent) {
    if (link.st_uid == 0) return true;
    struct stat reached;
    if (fstat(target, &reached) != 0 || reached.st_uid != link.st_uid) return false;
    Reacher who{link.st_uid, false, {}};
    if (S_ISDIR(reached.st_mode)) return Permits(&who, target, reached, 5) && Reachable(&who, target);
    return parent >= 0 && Reachable(&who, parent) && Permits(&who, target, reached, 4);
}

// True when the access ACL of the entry at path (links followed) lets a
// named user or group other than root write, as far as its mask allows.
bool AclLetsOthersWrite(const char* path) {
    unsigned char acl[4096];
    ssize_t size = getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    if (size < 4) return false;
    bool maskWrites = true;
    bool namedWrites = false;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        unsigned tag = acl[at] | (acl[at + 1] << 8);
        unsigned permissions = acl[at + 2] | (acl[at + 3] << 8);
        uint32_t id = static_cast<uint32_t>(acl[at + 4]) | (static_cast<uint32_t>(acl[at + 5]) << 8) |
                      (static_cast<uint32_t>(acl[at + 6]) << 16) | (static_cast<uint32_t>(acl[at + 7]) << 24);
        const unsigned kUser = 0x02;
        const unsigned kGroup = 0x08;
        const unsigned kMask = 0x10;
        if (tag == kMask) maskWrites = (permissions & 2) != 0;
        if ((tag == kUser || tag == kGroup) && id != 0 && (permissions & 2)) namedWrites = true;
    }
    return namedWrites && maskWrites;
}

// True when the directory st (aclWrites: its ACL lets a named other write)
// may be written by someone other than root.
bool OthersMayWrite(const struct stat& st, bool aclWrites) {
    return st.st_uid != 0 || (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0) || aclWrites;
}

// True when someone other than root may move entry, a directory, out of
// parent (parentAcl: the parent's ACL lets a named other write): the
// parent's owner, or anyone who may write the parent (only the entry's
// owner, where the parent is sticky).
bool OthersMayMove(const struct stat& parent, bool parentAcl, const struct stat& entry) {
    if (parent.st_uid != 0) return true;
    return OthersMayWrite(parent, parentAcl) && (!(parent.st_mode & S_ISVTX) || entry.st_uid != 0);
}

// False where the access ACL of an entry of status st cannot let a named
// other write: with named entries an ACL has a mask, which the mode's group
// bits show, and a mask without write lets no named entry write. Read the
// ACL only where this is true.
bool AclMayLetOthersWrite(const struct stat& st) { return (st.st_mode & S_IWGRP) != 0; }

// The ACL of an open directory, read through its entry in /proc.
bool HandleAclLetsOthersWrite(int fd) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return AclLetsOthersWrite(proc.c_str());
}

}  // namespace

namespace {

// The type of the /proc file system, as statfs tells it.
const long kProcVolume = 0x9fa0;

int ResolveEntryIn(int directory, const char* name, int* linksLeft, int* parent);

// Lets go of a handle noted in *held (-1: none) and notes fd there instead.
void Replace(int* held, int fd) {
    if (*held >= 0) close(*held);
    *held = fd;
}

// True when text from at on names no level but "." (or nothing).
bool OnlyDots(const std::string& text, size_t at) {
    for (size_t end; at < text.size(); at = end + 1) {
        end = std::min(text.find('/', at), text.size());
        if (end > at && text.compare(at, end - at, ".") != 0) return false;
    }
    return true;
}

// Resolves text, a link's text, from directory (a handle the call takes
// over), component by component with ResolveEntry; -1 with errno set.
// parent (when given): a handle of the directory in which the last name
// was found, or -1 where the last level was "..", or none.
int ResolveText(int directory, const std::string& text, int* linksLeft, int* parent = nullptr) {
    int lastParent = -1;
    struct ParentGiven {
        int* out;
        int* held;
        ~ParentGiven() {
            if (out) {
                *out = *held;
            } else if (*held >= 0) {
                close(*held);
            }
        }
    } given{parent, &lastParent};
    int current = directory;
    if (!text.empty() && text[0] == '/') {
        close(current);
        current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (current < 0) return -1;
    }
    size_t at = 0;
    bool any = false;
    while (at <= text.size()) {
        size_t end = text.find('/', at);
        if (end == std::string::npos) end = text.size();
        std::string component = text.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".") continue;
        any = true;
        int found = -1;
        bool last = parent && OnlyDots(text, at);  // where the last name stands is asked, no other's
        int next = component == ".." ? openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                     : ResolveEntryIn(current, component.c_str(), linksLeft, last ? &found : nullptr);
        int error = errno;
        Replace(&lastParent, found);
        close(current);
        if (next < 0) {
            errno = error;
            return -1;
        }
        current = next;
        struct stat st;
        if (at <= text.size() && (fstat(current, &st) != 0 || !S_ISDIR(st.st_mode))) {
            close(current);
            errno = ENOTDIR;
            return -1;
        }
    }
    if (!any && text.empty()) {
        close(current);
        errno = ENOENT;
        return -1;
    }
    return current;  // "/" names the top, "." the directory itself
}

// Resolves the entry name of directory as ResolveEntry does; parent (when
// given): a handle of the directory in which what it finally names was
// found (the caller's to close), -1 where that is not known.
int ResolveEntryIn(int directory, const char* name, int* linksLeft, int* parent) {
    if (parent) *parent = -1;
    int fd = openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat link;
    if (fstat(fd, &link) != 0 || !S_ISLNK(link.st_mode)) {
        if (parent) *parent = openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        return fd;
    }
    if (--*linksLeft < 0) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    struct statfs volume;
    if (fstatfs(fd, &volume) == 0 && volume.f_type == kProcVolume) {
        // A link of /proc (/dev/stdin's way to a pipe) has no text that
        // leads anywhere: the system follows it, the owner's right judged the same.
        close(fd);
        int target = openat(directory, name, O_PATH | O_CLOEXEC);
        if (target >= 0 && !FollowAllowed(link, target, -1)) {
            close(target);
            errno = FAILURE_LINK_REFUSED;
            return -1;
        }
        return target;
    }
    std::vector<char> text(4096);
    ssize_t length = readlinkat(fd, "", text.data(), text.size());
    close(fd);
    if (length < 0 || static_cast<size_t>(length) >= text.size()) {
        if (length >= 0) errno = ENAMETOOLONG;
        return -1;
    }
    int start = openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) return -1;
    int found = -1;
    // Root's links are followed as they lead: where the target stands is asked only for a user's.
    int target = ResolveText(start, std::string(text.data(), static_cast<size_t>(length)), linksLeft,
                             link.st_uid == 0 ? nullptr : &found);
    if (target < 0 || !FollowAllowed(link, target, found)) {
        int error = target < 0 ? errno : FAILURE_LINK_REFUSED;
        if (target >= 0) close(target);
        if (found >= 0) close(found);
        errno = error;
        return -1;
    }
    if (parent) {
        *parent = found;
    } else if (found >= 0) {
        close(found);
    }
    return target;
}

}  // namespace

// Each link on the way read from a handle of the link itself and followed
// only where its owner could read what it leads to (FollowAllowed), so a
// link swapped meanwhile is never judged by another's owner.
int ResolveEntry(int directory, const char* name, int* linksLeft) {
    return ResolveEntryIn(directory, name, linksLeft, nullptr);
}

// Resolves the whole of path as ResolveEntry resolves a name: from the top
// or the current directory on, each name looked up in the handle of the
// one before, ".." the parent of what was reached, so that what the path
// names is judged and held once, whatever its links become afterwards.
int ResolvePath(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    int start = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) return -1;
    int linksLeft = kLinksFollowedMax;
    return ResolveText(start, path, &linksLeft);
}

namespace {

// Opens again, with flags, what a handle of ResolveEntry holds: a directory
// through itself, anything else through its entry in /proc.
int ReopenResolved(int resolved, int flags) {
    struct stat st;
    if (fstat(resolved, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return openat(resolved, ".", flags & ~O_NOFOLLOW);
    std::string proc = "/proc/self/fd/" + std::to_string(resolved);
    return open(proc.c_str(), flags & ~O_NOFOLLOW);
}

}  // namespace

// The tree a run changes (To): every query and change below its root goes
// through directories opened without following links.
HeldTree guard;

namespace {

// The tree a run reads (From): a path below its root goes through held
// directories when it is too long for the system in one piece, and always
// in a root run, which follows a link on the way only by its owner's right.
HeldTree readTree;

}  // namespace

HeldTree versionTree;

namespace {

// Lets go of chain's directories beyond the first keep.
void DropChain(HeldChain* chain, size_t keep) {
    while (chain->fds.size() > keep) {
        close(chain->fds.back());
        chain->fds.pop_back();
        chain->names.pop_back();
        chain->seen.pop_back();
        chain->aclWrites.pop_back();
        chain->othersMayMove.pop_back();
    }
}

thread_local HeldChain guardChain;
thread_local HeldChain readChain;
thread_local HeldChain versionChain;

}  // namespace

HeldChain::~HeldChain() { DropChain(this, 0); }

HeldChain& ChainOf(HeldTree* tree) {
    HeldChain& chain = tree == &guard ? guardChain : tree == &readTree ? readChain : versionChain;
    unsigned long epoch = tree->epoch.load(std::memory_order_acquire);
    if (chain.epoch != epoch) {
        DropChain(&chain, 0);
        chain.epoch = epoch;
    }
    return chain;
}

void ForgetOwnHeld(HeldTree* tree, size_t depth, const std::string& name) {
    HeldChain& own = ChainOf(tree);
    if (depth < own.names.size() && own.names[depth] == name) DropChain(&own, depth);
}

// Another thread's removal between the look at the epoch and its own move
// of it leaves nothing of the calling thread's chain held either.
void ForgetRemoved(HeldTree* tree, size_t depth, const std::string& name) {
    HeldChain& own = ChainOf(tree);
    if (depth < own.names.size() && own.names[depth] == name) DropChain(&own, depth);
    unsigned long seen = tree->epoch.fetch_add(1, std::memory_order_acq_rel);
    if (seen != own.epoch) DropChain(&own, 0);
    own.epoch = seen + 1;
}

namespace {

void ReleaseHeld(HeldTree* tree) {
    DropChain(&ChainOf(tree), 0);
    tree->epoch.fetch_add(1, std::memory_order_acq_rel);
    if (tree->rootFd >= 0) close(tree->rootFd);
    tree->rootFd = -1;
    tree->active = false;
    tree->root.clear();
}

// From this length on, a path reaches the system through held directories.
const size_t kLongPath = PATH_MAX - 1;

// Opens the directory name in parent for a held tree: never through a link
// in the guarded tree; in the tree read, through a link only where its
// owner could read what it names, in a root run. -1 with errno set.
int OpenLevel(const HeldTree& tree, int parent, const std::string& name) {
    if (!tree.follows) return openat(parent, name.c_str(), kHeldDirectory);
    if (!RootRun()) return openat(parent, name.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    int linksLeft = kLinksFollowedMax;
    int fd = ResolveEntry(parent, name.c_str(), &linksLeft);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
        close(fd);
        errno = ENOTDIR;
        return -1;
    }
    return fd;
}

// The start of the part of path below tree's root, or 0 when path does not lie below it.
size_t BelowRoot(const HeldTree& tree, const std::string& path) {
    if (!tree.active) return 0;
    const std::string& root = tree.root;
    if (root == "/") return !path.empty() && path[0] == '/' ? 1 : 0;
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') return 0;
    return root.size() + 1;
}

// True when the part of path from start on holds a level "..": a path the
// engine never builds below From, but a user may give (a To spelt
// "from/../to"), which is then reached as spelt.
bool ClimbsBack(const std::string& path, size_t start) {
    for (size_t at = start; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end - at == 2 && path[at] == '.' && path[at + 1] == '.') return true;
        at = end + 1;
    }
    return false;
}

// Holds name, a directory in the held directory at *level of tree's chain
// (the root at 0), as that level: the one held already when it still has
// that name, otherwise opened now (*opened then, where given); *level moves
// on past it. verify: see Descend. False, with errno set and place->ok
// false, when it cannot be held.
bool HoldLevel(HeldTree* tree, HeldChain& chain, size_t* level, const std::string& name, bool verify, Place* place,
               bool* opened = nullptr) {
    int parent = *level == 0 ? tree->rootFd : chain.fds[*level - 1];
    if (*level < chain.names.size() && chain.names[*level] == name) {
        struct stat now;
        if (verify && chain.othersMayMove[*level] &&
            (fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameEntry(now, chain.seen[*level]))) {
            DropChain(&chain, *level);
            place->ok = false;
            errno = FAILURE_FOLDER_MOVED;
            return false;
        }
        ++*level;
        return true;
    }
    DropChain(&chain, *level);
    int fd = OpenLevel(*tree, parent, name);
    struct stat seen;
    if (fd < 0 || fstat(fd, &seen) != 0) {
        if (fd >= 0) close(fd);
        place->ok = false;
        return false;
    }
    const struct stat& above = *level == 0 ? tree->rootSeen : chain.seen[*level - 1];
    bool aboveAcl = *level == 0 ? tree->rootAclWrites : chain.aclWrites[*level - 1] != 0;
    bool watched = !tree->follows && RootRun();
    bool mayMove = watched && OthersMayMove(above, aboveAcl, seen);
    bool acl = watched && AclMayLetOthersWrite(seen) && HandleAclLetsOthersWrite(fd);
    chain.names.push_back(name);
    chain.fds.push_back(fd);
    chain.seen.push_back(seen);
    chain.aclWrites.push_back(acl ? 1 : 0);
    chain.othersMayMove.push_back(mayMove ? 1 : 0);
    ++*level;
    if (opened) *opened = true;
    return true;
}

// Finds the entry of path (below tree's root from start on) through the
// tree's held directories, opening those not held yet; verify: look again
// at each held directory another user may move, that it is still where it
// was. The components "." and empty ones are skipped; ".." is refused.
// With into, the entry itself is held too, a directory, its status in
// *into: as it was opened, or as it is now where fresh; the place is then
// "." in it. The root itself is no such entry.
void Descend(HeldTree* tree, size_t start, bool verify, Place* place, struct stat* into = nullptr, bool fresh = false) {
    HeldChain& chain = ChainOf(tree);
    const std::string& path = place->name;
    size_t level = 0;
    size_t at = start;
    std::string name;
    bool haveName = false;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        size_t length = end - at;
        bool skip = length == 0 || (length == 1 && path[at] == '.');
        if (!skip && length == 2 && path[at] == '.' && path[at + 1] == '.') {
            place->ok = false;  // the engine never builds one; refuse rather than climb out
            errno = EACCES;
            return;
        }
        if (!skip) {
            // The previous name is a directory on the way: reuse or open it.
            if (haveName && !HoldLevel(tree, chain, &level, name, verify, place)) return;
            name.assign(path, at, length);
            haveName = true;
        }
        at = end + 1;
    }
    if (!haveName) {  // the root itself
        if (into) {
            place->ok = false;
            errno = EINVAL;
        }
        return;
    }
    if (into) {
        bool opened = false;
        if (!HoldLevel(tree, chain, &level, name, verify, place, &opened)) return;
        *into = chain.seen[level - 1];
        // Held before: asked again only where its status now is wanted.
        if (fresh && !opened && fstat(chain.fds[level - 1], into) != 0) {
            place->ok = false;
            return;
        }
        name = ".";
    }
    // Directories held below this one stay held: the next entry may be there.
    place->depth = level;
    place->directory = level == 0 ? tree->rootFd : chain.fds[level - 1];
    place->name = std::move(name);
}

}  // namespace

// True when each held directory of the guarded tree on the way to at,
// which another user may move, is still where the run found it: looked at
// again right before a copy takes its name, so that an entry in flight does
// not land in a folder moved away meanwhile. errno FAILURE_FOLDER_MOVED
// otherwise. The chain is taken as at was found through, whatever other
// threads removed since: its handles are at's, and stay open until the
// thread's next descent.
bool StillInPlace(const Place& at) {
    if (!at.guarded) return true;
    const HeldChain& chain = guardChain;
    for (size_t level = 0; level < at.depth && level < chain.names.size(); ++level) {
        if (!chain.othersMayMove[level]) continue;
        int parent = level == 0 ? guard.rootFd : chain.fds[level - 1];
        struct stat now;
        if (fstatat(parent, chain.names[level].c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            !SameEntry(now, chain.seen[level])) {
            errno = FAILURE_FOLDER_MOVED;
            return false;
        }
    }
    return true;
}

namespace {

// The path is taken over: outside the held trees it becomes the name as it is.
// verify: the place is to be changed (see Descend).
Place LocateFor(std::string whole, bool verify) {
    Place place{AT_FDCWD, std::move(whole), false, 0, true, false};
    if (size_t start = BelowRoot(guard, place.name)) {
        Descend(&guard, start, verify, &place);
        place.guarded = place.ok && place.directory != AT_FDCWD;
        return place;
    }
    if (size_t start = BelowRoot(readTree, place.name); start != 0 && !ClimbsBack(place.name, start)) {
        place.source = RootRun();
        if (RootRun() || place.name.size() >= kLongPath) Descend(&readTree, start, false, &place);
    } else if (readTree.active && RootRun() && WithoutTrailingSlashes(place.name) == readTree.root) {
        // The root itself as held, not as its path now leads.
        place.directory = readTree.rootFd;
        place.name = ".";
    }
    return place;
}

}  // namespace

Place Locate(std::string whole) { return LocateFor(std::move(whole), false); }

namespace {

// A place for a path that cannot be written in the system's encoding: none.
Place Unwritable() {
    errno = FAILURE_NAME_UNWRITABLE;
    return Place{AT_FDCWD, std::string(), false, 0, false, false};
}

}  // namespace

Place Locate(SystemName name) { return name.ok ? Locate(std::move(name.bytes)) : Unwritable(); }

int HeldHandle(const Place& at) {
    if (!at.guarded || at.name == ".") return -1;
    const HeldChain& chain = ChainOf(&guard);
    return at.depth < chain.names.size() && chain.names[at.depth] == at.name ? chain.fds[at.depth] : -1;
}

Place HoldGuarded(std::string path, struct stat* st, bool forChange, bool fresh) {
    Place place{AT_FDCWD, std::move(path), false, 0, true, false};
    size_t start = BelowRoot(guard, place.name);
    // The root itself, and names only of dots, are left to the caller.
    if (start == 0 || place.name.find_first_not_of("/.", start) == std::string::npos) return place;
    Descend(&guard, start, forChange && RootRun(), &place, st, fresh);
    place.guarded = place.ok;
    return place;
}

// While a tree is guarded, changes are made below its root only: never to
// the root itself or anything outside it, however a path reaches there.
Place LocateChange(std::string path) {
    Place place = LocateFor(std::move(path), RootRun());
    if (place.ok && guard.active && !place.guarded) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

Place LocateChange(SystemName name) { return name.ok ? LocateChange(std::move(name.bytes)) : Unwritable(); }

Place LocateVersionPlace(std::string path, bool outsideAllowed) {
    size_t inVersions = BelowRoot(versionTree, path);
    if (BelowRoot(guard, path) && (inVersions == 0 || guard.root.size() > versionTree.root.size())) {
        return LocateChange(std::move(path));
    }
    Place place{AT_FDCWD, std::move(path), false, 0, true, false};
    if (size_t start = inVersions) {
        Descend(&versionTree, start, false, &place);
        place.guarded = place.ok && place.directory != AT_FDCWD;
        if (place.ok && !place.guarded) {
            place.ok = false;
            errno = EACCES;
        }
        return place;
    }
    if (!outsideAllowed) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

namespace {

int NoFollow(const Place& place) { return place.guarded ? AT_SYMLINK_NOFOLLOW : 0; }

}  // namespace

// The status of the entry at place: in the guarded tree a link as itself;
// in the tree a root run reads, what a link names only by its owner's right
// (errno FAILURE_LINK_REFUSED otherwise); elsewhere links followed.
int StatAt(const Place& place, struct stat* st) {
    if (!place.source) return fstatat(place.directory, place.name.c_str(), st, NoFollow(place));
    if (fstatat(place.directory, place.name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISLNK(st->st_mode)) return 0;
    int linksLeft = kLinksFollowedMax;
    int fd = ResolveEntry(place.directory, place.name.c_str(), &linksLeft);
    if (fd < 0) return -1;
    int result = fstat(fd, st);
    close(fd);
    return result;
}

// Opens the entry at place with flags, links followed as StatAt follows them.
int OpenAt(const Place& place, int flags) {
    if (place.guarded) return openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (!place.source) return openat(place.directory, place.name.c_str(), flags);
    int fd = openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
    int linksLeft = kLinksFollowedMax;
    int resolved = ResolveEntry(place.directory, place.name.c_str(), &linksLeft);
    if (resolved < 0) return -1;
    fd = ReopenResolved(resolved, flags);
    int error = errno;
    close(resolved);
    errno = error;
    return fd;
}

// The listings this thread has open outside a guarded tree, the latest last.
thread_local std::vector<const DirectoryListing*> openListings;

// Where a query finds path. Outside a guarded tree, an entry of the
// directory listed last is reached through that listing's handle instead of
// resolving its whole path again; links are followed or not as before.
Place LocateQuery(std::string path) {
    if (!openListings.empty() && !BelowRoot(guard, path)) {
        const std::string& directory = openListings.back()->path;
        size_t slash = path.find_last_of('/');
        const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
        if (slash != std::string::npos && slash == directory.size() && path.compare(0, slash, directory) == 0 &&
            name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
            bool below = BelowRoot(readTree, path) != 0;
            Place place{openListings.back()->fd, std::string(name), false, 0, true, below && RootRun()};
            return place;
        }
    }
    return Locate(std::move(path));
}

Place LocateQuery(SystemName name) { return name.ok ? LocateQuery(std::move(name.bytes)) : Unwritable(); }

namespace {

// Holds root, as spelt, as the root of tree; false when it cannot be opened.
bool HoldRoot(HeldTree* tree, const wchar_t* root, bool follows) {
    ReleaseHeld(tree);
    SystemName name = WithoutTrailingSlashes(PathName(root));
    if (!name.ok) return false;
    const std::string& system = name.bytes;
    int fd;
    struct stat named;
    if (follows && RootRun()) {
        // Every name on the way is judged once, through handles: a link the
        // run may not follow refuses the tree, and one swapped later finds
        // the tree already held.
        fd = ResolvePath(system);
        if (fd < 0) return false;
        if (fstat(fd, &tree->rootSeen) != 0 || !S_ISDIR(tree->rootSeen.st_mode)) {
            close(fd);
            errno = ENOTDIR;
            return false;
        }
    } else {
        fd = open(system.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // readable: the root is listed through it
        if (fd < 0) fd = open(system.c_str(), kHeldDirectory & ~O_NOFOLLOW);
        if (fd < 0) return false;
        bool seen = fstat(fd, &tree->rootSeen) == 0 && stat(system.c_str(), &named) == 0;
        int why = !seen ? errno : FAILURE_FOLDER_MOVED;  // or another folder took its name meanwhile
        if (!seen || !SameEntry(named, tree->rootSeen)) {
            close(fd);
            errno = why;
            return false;
        }
    }
    tree->rootAclWrites = !follows && RootRun() && HandleAclLetsOthersWrite(fd);
    // Every level of a deep tree may hold a handle; take what the system allows.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    tree->active = true;
    tree->follows = follows;
    tree->root = system;
    tree->rootFd = fd;
    return true;
}

}  // namespace

SystemResult platformGuardTree(const wchar_t* root) {
    ForgetRunRecords();  // a new run: the records of runs gone since are read afresh
    errno = 0;
    bool held = HoldRoot(&guard, root, false);
    return Result(held);
}

void platformReleaseTree() { ReleaseHeld(&guard); }

SystemResult platformReadTree(const wchar_t* root) {
    errno = 0;
    bool held = HoldRoot(&readTree, root, true);
    return Result(held);
}

int OpenHeldSource(const std::string& path, int flags) {
    if (!readTree.active || WithoutTrailingSlashes(path) != readTree.root) {
        errno = ENOENT;
        return -1;
    }
    return openat(readTree.rootFd, ".", flags & ~O_NOFOLLOW);
}

bool platformRunsAsRoot() { return RootRun(); }

void platformReleaseReadTree() { ReleaseHeld(&readTree); }

SystemResult platformHoldVersionTree(const wchar_t* root) {
    errno = 0;
    bool held = HoldRoot(&versionTree, root, false);
    return Result(held);
}

void platformReleaseVersionTree() { ReleaseHeld(&versionTree); }

// True when another user may change where path leads (a root run's To): a
// directory on the way lets another move or replace the entry the path
// passes through, or a link on the way belongs to another; a link is
// followed by its text, checked the same way. The last directory itself
// must not be another's, nor writable by others unless it is sticky.
bool PathOthersMayRedirect(const std::string& path, int linksLeft) {
    if (linksLeft < 0) return true;
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return true;
        absolute = std::string(cwd) + "/" + absolute;
    }
    int directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat here;
    if (directory < 0 || fstat(directory, &here) != 0) return true;
    std::string walked = "";  // the directory reached, as a path from the top
    size_t at = 1;
    while (at <= absolute.size()) {
        size_t end = absolute.find('/', at);
        if (end == std::string::npos) end = absolute.size();
        std::string name = absolute.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".") continue;
        struct stat entry;
        if (fstatat(directory, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) break;  // the run finds it missing
        bool hereAcl = AclLetsOthersWrite((walked.empty() ? std::string("/") : walked).c_str());
        if (name != ".." && OthersMayMove(here, hereAcl, entry)) {
            close(directory);
            return true;
        }
        if (S_ISLNK(entry.st_mode)) {
            close(directory);
            if (entry.st_uid != 0 && entry.st_uid != geteuid()) return true;
            std::string text;
            std::vector<char> buffer(PATH_MAX);
            std::string linkPath = walked;
            linkPath.append("/").append(name);
            ssize_t length = readlink(linkPath.c_str(), buffer.data(), buffer.size());
            if (length < 0) return true;
            text.assign(buffer.data(), static_cast<size_t>(length));
            std::string rest = at <= absolute.size() ? absolute.substr(at - 1) : std::string();
            std::string target = text[0] == '/' ? std::string() : walked + "/";
            target.append(text).append(rest);
            return PathOthersMayRedirect(target, linksLeft - 1);
        }
        int next = openat(directory, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(directory);
        if (next < 0 || fstat(next, &here) != 0) {
            if (next >= 0) close(next);
            return false;  // no directory there: the run finds it so
        }
        directory = next;
        if (name == "..") {
            size_t slash = walked.find_last_of('/');
            walked = slash == std::string::npos ? std::string() : walked.substr(0, slash);
        } else {
            walked += "/" + name;
        }
    }
    close(directory);
    bool acl = AclLetsOthersWrite((walked.empty() ? std::string("/") : walked).c_str());
    return here.st_uid != geteuid() || (OthersMayWrite(here, acl) && !(here.st_mode & S_ISVTX));
}

bool platformOthersMayChange(const wchar_t* root) {
    SystemName name = WithoutTrailingSlashes(PathName(root));
    return name.ok && PathOthersMayRedirect(name.bytes, kLinksFollowedMax);
}

bool platformOthersMayAddTo(const wchar_t* directory) {
    SystemName name = WithoutTrailingSlashes(PathName(directory));
    struct stat st;
    if (!name.ok || stat(name.bytes.c_str(), &st) != 0) return true;
    return st.st_uid != geteuid() || OthersMayWrite(st, AclLetsOthersWrite(name.bytes.c_str()));
}

// The folders on the way as for a directory; then the file itself, as
// root's files are judged: another's, or writable by a group or a user
// other than root.
bool platformOthersMayChangeFile(const wchar_t* path) {
    SystemName name = PathName(path);
    struct stat st;
    if (!name.ok || stat(name.bytes.c_str(), &st) != 0) return false;  // reading it fails, and tells why
    return PathOthersMayRedirect(name.bytes, kLinksFollowedMax) || st.st_uid != geteuid() ||
           OthersMayWrite(st, AclLetsOthersWrite(name.bytes.c_str()));
}
