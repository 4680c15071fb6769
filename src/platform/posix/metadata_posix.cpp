// What a copy keeps beyond contents, modes and file times: owners and
// groups, extended attributes and ACLs, the times of folders, and further
// names of one file.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

#include "platform/platform.h"
#include "platform/posix/posix_layer.h"

namespace {

// True when the process holds the capability (a CAP_ number) in its
// effective set; where capabilities cannot be asked, when it runs as root.
bool HoldsCapability(unsigned capability) {
#ifdef __linux__
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
#else
    (void)capability;
    return geteuid() == 0;
#endif
}

#ifdef __linux__
const unsigned kChangeOwners = CAP_CHOWN;     // the capability to give any owner
const unsigned kAdministers = CAP_SYS_ADMIN;  // the capability to keep trusted.* attributes
#else
const unsigned kChangeOwners = 0;  // asked as root elsewhere
const unsigned kAdministers = 0;   // asked as root elsewhere
#endif

// True when the process may give an entry any owner (root, or the capability to).
bool OwnersGiven() {
    static const bool given = HoldsCapability(kChangeOwners);
    return given;
}

// True when the process may read and write the attributes of trusted.* and
// security.*, as an administrator (root) may.
bool AdministersAttributes() {
    static const bool admin = HoldsCapability(kAdministers);
    return admin;
}

// True when the process may give an entry of its own the group: it may give
// any owner, or the group is one of its own.
bool MayGiveGroup(gid_t group) {
    if (OwnersGiven()) return true;
    static const std::vector<gid_t> own = [] {
        std::vector<gid_t> groups(1, getegid());
        int count = getgroups(0, nullptr);
        if (count > 0) {
            groups.resize(static_cast<size_t>(count) + 1);
            count = getgroups(count, groups.data() + 1);
            groups.resize(count >= 0 ? static_cast<size_t>(count) + 1 : 1);
        }
        return groups;
    }();
    return std::find(own.begin(), own.end(), group) != own.end();
}

// The mode (07777) a copy of the entry of mode, owner and group carries
// when it has owner and group of its own: set-user-ID only under the
// source's owner, set-group-ID only under its owner and group.
mode_t ExpectedMode(mode_t mode, uid_t sourceOwner, gid_t sourceGroup, uid_t owner, gid_t group) {
    mode &= 07777;
    if (owner != sourceOwner) return mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (group != sourceGroup) return mode & ~static_cast<mode_t>(S_ISGID);
    return mode;
}

// The owner and group a copy of source is given: -1 for what this process
// may not give, or keep does not ask.
void OwnerToGive(const struct stat& source, const KeptMetadata& keep, uid_t* owner, gid_t* group) {
    *owner = static_cast<uid_t>(-1);
    *group = static_cast<gid_t>(-1);
    if (!keep.owners) return;
    if (OwnersGiven()) *owner = source.st_uid;
    if (MayGiveGroup(source.st_gid)) *group = source.st_gid;
}

// True when a refused change of owner (error) is the volume's doing: it
// holds no other owners (FAT, a share), and the entry open as fd is not
// made immutable.
bool OwnerNotHeld(int error, int fd) {
    if (error != EPERM && error != EINVAL && error != EOPNOTSUPP) return false;
#ifdef FS_IOC_GETFLAGS
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) return false;
#else
    (void)fd;
#endif
    return true;
}

// The volumes found to hold no owners: a change of owner was refused as
// the volume's doing (OwnerNotHeld), or the file system is one that keeps
// none (FAT, exFAT). An owner is never given there, so none is a grant.
// And those a probe found to hold them.
std::mutex ownerlessLock;
std::vector<dev_t> ownerlessVolumes;
std::vector<dev_t> ownedVolumes;

void NoteOwnersNotHeld(dev_t volume) {
    std::lock_guard<std::mutex> held(ownerlessLock);
    if (std::find(ownerlessVolumes.begin(), ownerlessVolumes.end(), volume) == ownerlessVolumes.end()) {
        ownerlessVolumes.push_back(volume);
    }
}

// True when the volume was found to hold owners, or to hold none.
bool OwnersKnownOn(dev_t volume) {
    std::lock_guard<std::mutex> held(ownerlessLock);
    return std::find(ownerlessVolumes.begin(), ownerlessVolumes.end(), volume) != ownerlessVolumes.end() ||
           std::find(ownedVolumes.begin(), ownedVolumes.end(), volume) != ownedVolumes.end();
}

// True unless the volume of the entry open as fd (of status st; -1: not
// open) is known to hold no owners; its file system is asked once.
bool OwnersHeldOn(const struct stat& st, int fd) {
    {
        std::lock_guard<std::mutex> held(ownerlessLock);
        if (std::find(ownerlessVolumes.begin(), ownerlessVolumes.end(), st.st_dev) != ownerlessVolumes.end()) {
            return false;
        }
    }
    struct statfs info;
    const long kMsdosMagic = 0x4d44;
    const long kExfatMagic = 0x2011BAB0;
    if (fd < 0 || fstatfs(fd, &info) != 0) return true;
    long type = static_cast<long>(info.f_type);
    if (type != kMsdosMagic && type != kExfatMagic) return true;
    NoteOwnersNotHeld(st.st_dev);
    return false;
}

// True when bringing target, in place, to the owner, group and mode a copy
// of source has would give contents that another may have chosen what they
// may not take. A plain file: another owner than its own (the source's
// where the run gives owners, else the runner's), where its volume holds
// owners; or set-ID bits in a mode that others may write in, or a
// set-group-ID bit on a file of another's (she may not be of its group):
// a change in place could put them back on what a writer just wrote, and
// the kernel clears them for her. A folder of another user's: another
// owner, where the run gives owners. ownersHeld() tells whether target's
// volume holds owners at all; it is asked only when an owner would move.
template <typename Held>
bool GrantsInPlace(const struct stat& source, const struct stat& target, const KeptMetadata& keep, Held ownersHeld) {
    if (S_ISLNK(source.st_mode) || S_ISLNK(target.st_mode)) return false;
    uid_t owner = keep.owners && OwnersGiven() ? source.st_uid : geteuid();
    if (S_ISDIR(target.st_mode)) {
        return OwnersGiven() && target.st_uid != owner && target.st_uid != geteuid() && ownersHeld();
    }
    if (target.st_uid != owner && ownersHeld()) return true;
    gid_t group = keep.owners && MayGiveGroup(source.st_gid) ? source.st_gid : target.st_gid;
    mode_t mode = ExpectedMode(source.st_mode, source.st_uid, source.st_gid, target.st_uid, group);
    if ((mode & static_cast<mode_t>(S_ISUID | S_ISGID)) == 0) return false;
    bool othersWrite = (mode & static_cast<mode_t>(S_IWGRP | S_IWOTH)) != 0;
    bool othersGroup = (mode & S_ISGID) != 0 && target.st_uid != geteuid();
    return othersWrite || othersGroup;
}

const char kAccessAcl[] = "system.posix_acl_access";
const char kDefaultAcl[] = "system.posix_acl_default";
const char kFileCapabilities[] = "security.capability";

// One extended attribute (an ACL among them): its name and its value's bytes.
struct Extra {
    std::string name;
    std::string value;
};

bool operator==(const Extra& a, const Extra& b) { return a.name == b.name && a.value == b.value; }

// An entry open for its metadata: by a handle of its own, or by one that
// only names it (O_PATH), reached through its entry in /proc.
struct MetadataHandle {
    int fd;
    bool pathOnly;
};

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

ssize_t ListNames(const MetadataHandle& at, char* names, size_t size) {
    return at.pathOnly ? listxattr(ProcPath(at.fd).c_str(), names, size) : flistxattr(at.fd, names, size);
}

ssize_t ReadValue(const MetadataHandle& at, const char* name, char* value, size_t size) {
    return at.pathOnly ? getxattr(ProcPath(at.fd).c_str(), name, value, size) : fgetxattr(at.fd, name, value, size);
}

int WriteValue(const MetadataHandle& at, const Extra& extra) {
    return at.pathOnly
               ? setxattr(ProcPath(at.fd).c_str(), extra.name.c_str(), extra.value.data(), extra.value.size(), 0)
               : fsetxattr(at.fd, extra.name.c_str(), extra.value.data(), extra.value.size(), 0);
}

int RemoveValue(const MetadataHandle& at, const std::string& name) {
    return at.pathOnly ? removexattr(ProcPath(at.fd).c_str(), name.c_str()) : fremovexattr(at.fd, name.c_str());
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// True for an attribute keep asks for: an ACL with acls (a default ACL on a
// directory only); with xattrs, user.* and, where the process administers
// them, trusted.* and security.*. Other system.* names are the volume's own.
bool Wanted(const std::string& name, bool directory, const KeptMetadata& keep) {
    if (StartsWith(name, "system.")) return keep.acls && (name == kAccessAcl || (directory && name == kDefaultAcl));
    if (!keep.xattrs || name == kContentRecordAttribute) return false;
    if (StartsWith(name, "user.")) return true;
    return AdministersAttributes() && (StartsWith(name, "trusted.") || StartsWith(name, "security."));
}

// Reads what keep asks for of the attributes of the entry open as at, sorted
// by name; a volume that keeps none has none. False with errno set.
bool ReadExtras(const MetadataHandle& at, bool directory, const KeptMetadata& keep, std::vector<Extra>* extras) {
    extras->clear();
    if (!keep.xattrs && !keep.acls) return true;
    std::vector<char> names(512);
    ssize_t length = 0;
    for (;;) {
        length = ListNames(at, names.data(), names.size());
        if (length >= 0) break;
        if (errno == ENOTSUP || errno == ENOSYS) return true;
        if (errno != ERANGE) return false;
        ssize_t needed = ListNames(at, nullptr, 0);
        if (needed < 0) return false;
        names.resize(std::max(names.size() * 2, static_cast<size_t>(needed) + 1));
    }
    std::vector<char> value(256);
    for (ssize_t at_name = 0; at_name < length;) {
        std::string name(names.data() + at_name);
        at_name += static_cast<ssize_t>(name.size()) + 1;
        if (!Wanted(name, directory, keep)) continue;
        ssize_t size = 0;
        for (;;) {
            size = ReadValue(at, name.c_str(), value.data(), value.size());
            if (size >= 0 || errno != ERANGE) break;
            ssize_t needed = ReadValue(at, name.c_str(), nullptr, 0);
            if (needed < 0) break;
            value.resize(std::max(value.size() * 2, static_cast<size_t>(needed) + 1));
        }
        if (size < 0) {
            if (errno == ENODATA) continue;  // removed since it was listed
            return false;
        }
        extras->push_back(Extra{name, std::string(value.data(), static_cast<size_t>(size))});
    }
    std::sort(extras->begin(), extras->end(), [](const Extra& a, const Extra& b) { return a.name < b.name; });
    return true;
}

// True for the reasons a volume gives when it keeps no such attribute.
bool NoSuchAttribute(int error) {
    return error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// The mode (07777) of an entry open as at whose ACL is not copied with it:
// its group bits say what the ACL lets the owning group do (its entry
// within the mask), not the mask its mode shows, so that a copy without
// the ACL is no more open than its source. An ACL that cannot be read
// leaves the group nothing.
mode_t ModeWithoutAcl(const MetadataHandle& at, mode_t mode) {
    mode &= 07777;
    unsigned char acl[4096];
    ssize_t size = ReadValue(at, kAccessAcl, reinterpret_cast<char*>(acl), sizeof acl);
    if (size < 0 && NoSuchAttribute(errno)) return mode;
    if (size < 4) return mode & ~static_cast<mode_t>(S_IRWXG);
    const unsigned kGroupOwner = 0x04;
    const unsigned kMask = 0x10;
    unsigned owning = 0;
    unsigned mask = 7;
    for (ssize_t entry = 4; entry + 8 <= size; entry += 8) {
        unsigned tag = acl[entry] | (acl[entry + 1] << 8);
        if (tag == kGroupOwner) owning = acl[entry + 2] & 7u;
        if (tag == kMask) mask = acl[entry + 2] & 7u;
    }
    return (mode & ~static_cast<mode_t>(S_IRWXG)) | static_cast<mode_t>(((owning & mask) << 3) & (mode & S_IRWXG));
}

// What a copy owned by owner carries of the source's attributes: file
// capabilities, as the set-ID bits, only under the source's owner.
std::vector<Extra> ExtrasFor(std::vector<Extra> source, uid_t sourceOwner, uid_t owner) {
    if (owner != sourceOwner) {
        source.erase(std::remove_if(source.begin(), source.end(),
                                    [](const Extra& extra) { return extra.name == kFileCapabilities; }),
                     source.end());
    }
    return source;
}

// True for an attribute that only an administrator gives: trusted.* and
// security.*, a file capability among them.
bool Privileged(const std::string& name) { return StartsWith(name, "trusted.") || StartsWith(name, "security."); }

// True when bringing the attributes present to wanted would write a privileged one.
bool WritesPrivileged(const std::vector<Extra>& wanted, const std::vector<Extra>& present) {
    for (const Extra& extra : wanted) {
        if (Privileged(extra.name) && std::find(present.begin(), present.end(), extra) == present.end()) return true;
    }
    return false;
}

// Brings the attributes of the entry open as at to wanted: what it has and
// wanted lacks is removed, what differs is written. *wrote tells whether
// anything was; false with *error at the first refusal.
bool WriteExtras(const MetadataHandle& at, bool directory, const KeptMetadata& keep, const std::vector<Extra>& wanted,
                 bool* wrote, int* error) {
    std::vector<Extra> present;
    if (!ReadExtras(at, directory, keep, &present)) {
        *error = errno;
        return false;
    }
    for (const Extra& extra : present) {
        auto same = [&extra](const Extra& other) { return other.name == extra.name; };
        if (std::find_if(wanted.begin(), wanted.end(), same) != wanted.end()) continue;
        if (RemoveValue(at, extra.name) != 0 && errno != ENODATA) {
            *error = errno;
            return false;
        }
        *wrote = true;
    }
    for (const Extra& extra : wanted) {
        if (std::find(present.begin(), present.end(), extra) != present.end()) continue;
        if (WriteValue(at, extra) != 0) {
            *error = errno;
            return false;
        }
        *wrote = true;
    }
    return true;
}

// True when the entry open as at, of status now, is not to take source's
// metadata in place (GrantsInPlace), or, a plain file, would be written a
// privileged attribute of wanted (null: none asked): *error then tells
// FAILURE_GRANT_REFUSED, or why its attributes could not be read.
bool RefusedInPlace(const MetadataHandle& at, const struct stat& source, const struct stat& now,
                    const std::vector<Extra>* wanted, const KeptMetadata& keep, int* error) {
    *error = FAILURE_GRANT_REFUSED;
    if (GrantsInPlace(source, now, keep, [&] { return OwnersHeldOn(now, at.fd); })) return true;
    if (!wanted || !S_ISREG(now.st_mode)) return false;
    std::vector<Extra> present;
    if (!ReadExtras(at, false, keep, &present)) {
        *error = errno;
        return true;
    }
    return WritesPrivileged(ExtrasFor(*wanted, source.st_uid, now.st_uid), present);
}

// Gives the entry open as at (its status *now, kept up to date) what a copy
// of source (its status, and wanted: its attributes, null when keep asks for
// none) has, as keep asks: owner and group first, then the attributes, then
// the mode, whose set-ID bits come only onto a copy of the source's owner.
// fresh: a new copy, whose owner and mode are given without a look. An
// owner or mode the volume cannot hold is no failure; the mode is brought
// whatever failed before it. *changed tells whether anything changed; false
// with *error for the first thing refused, *attributeOnly when that was an
// attribute and nothing else failed.
bool GiveMetadata(const MetadataHandle& at, const struct stat& source, const std::vector<Extra>* wanted,
                  const KeptMetadata& keep, bool fresh, struct stat* now, bool* changed, int* error,
                  bool* attributeOnly) {
    *changed = false;
    *attributeOnly = false;
    int failure = 0;
    int attributeFailure = 0;
    const struct stat before = *now;
    bool known = !fresh;  // *now tells the entry as it is
    if (!fresh && RefusedInPlace(at, source, *now, wanted, keep, error)) return false;
    // A new copy takes nothing of its folder's default ACL: it is no more
    // open than its mode says (with acls, its source's ACL is given below).
    if (fresh && !keep.acls && fremovexattr(at.fd, kAccessAcl) != 0 && !NoSuchAttribute(errno)) {
        *error = errno;
        return false;
    }
    uid_t owner;
    gid_t group;
    OwnerToGive(source, keep, &owner, &group);
    if (!fresh && owner == now->st_uid) owner = static_cast<uid_t>(-1);
    if (!fresh && group == now->st_gid) group = static_cast<gid_t>(-1);
    if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) {
        if (fchownat(at.fd, "", owner, group, AT_EMPTY_PATH) != 0) {
            int refused = errno;
            struct stat st;
            if (!OwnerNotHeld(refused, at.pathOnly ? -1 : at.fd)) {
                failure = refused;
            } else if (fstat(at.fd, &st) == 0) {
                NoteOwnersNotHeld(st.st_dev);
            }
        }
        known = false;
    }
    if (wanted) {
        if (!known && fstat(at.fd, now) == 0) known = true;
        if (!known && failure == 0) failure = errno;
        bool wrote = false;
        int refused = 0;
        if (known && !WriteExtras(at, S_ISDIR(now->st_mode), keep, ExtrasFor(*wanted, source.st_uid, now->st_uid),
                                  &wrote, &refused)) {
            attributeFailure = refused;
            wrote = true;  // perhaps in part
        }
        if (wrote) {
            *changed = true;
            known = false;  // an ACL gives the mode its group bits
        }
    }
    // The set-ID bits ask for the owner the entry has now; other modes do not.
    mode_t mode = source.st_mode & 07777;
    bool setIds = (mode & (S_ISUID | S_ISGID)) != 0;
    if ((setIds || !fresh) && !known) {
        known = fstat(at.fd, now) == 0;
        if (!known && failure == 0) failure = errno;
    }
    if (setIds) {
        mode = known ? ExpectedMode(mode, source.st_uid, source.st_gid, now->st_uid, now->st_gid)
                     : mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (fresh || !known || mode != (now->st_mode & 07777)) {
        bool given = at.pathOnly ? ChangeHeldMode(at.fd, mode) : ChangeOpenMode(at.fd, mode);
        if (!given && failure == 0) failure = errno;
        if (!fresh && fstat(at.fd, now) != 0 && failure == 0) failure = errno;
    }
    if (!fresh && (now->st_uid != before.st_uid || now->st_gid != before.st_gid || now->st_mode != before.st_mode)) {
        *changed = true;
    }
    *attributeOnly = failure == 0 && attributeFailure != 0;
    *error = failure != 0 ? failure : attributeFailure;
    return *error == 0;
}

// Opens the entry of status st at place (in the guarded tree, not followed)
// for its metadata: for reading where the process may, else only by name.
// -1 with errno set; EAGAIN when another entry has taken the name since.
int OpenForMetadata(const Place& place, const struct stat& st, bool* pathOnly) {
    *pathOnly = false;
    int fd = openat(place.directory, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        *pathOnly = true;
        fd = openat(place.directory, place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) return -1;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !SameEntry(opened, st)) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
}

// Reads the status and, when keep asks for them, the attributes of the
// source at from (links followed as a read of From follows them).
bool ReadSource(const Place& from, const KeptMetadata& keep, struct stat* st, std::vector<Extra>* extras) {
    extras->clear();
    if (!from.ok) return false;
    if (!keep.xattrs && !keep.acls) return StatAt(from, st) == 0;
    int in = OpenAt(from, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in < 0) return false;
    bool read = fstat(in, st) == 0 && ReadExtras(MetadataHandle{in, false}, S_ISDIR(st->st_mode), keep, extras);
    int error = errno;
    close(in);
    errno = error;
    return read;
}

}  // namespace

// The source is open as in: its attributes are read from it once its
// contents are copied.
bool KeepOnNewCopy(int in, int out, const struct stat& source, const KeptMetadata& keep, int* error, bool* keptLess) {
    *keptLess = false;
    std::vector<Extra> wanted;
    bool extras = keep.xattrs || keep.acls;
    if (extras && !ReadExtras(MetadataHandle{in, false}, false, keep, &wanted)) {
        *error = errno;
        return false;
    }
    struct stat made {};
    bool changed = false;
    struct stat effective = source;
    if (!keep.acls)
        effective.st_mode = (source.st_mode & S_IFMT) | ModeWithoutAcl(MetadataHandle{in, false}, source.st_mode);
    // An attribute the volume refuses leaves the copy standing without it.
    bool given = GiveMetadata(MetadataHandle{out, false}, effective, extras ? &wanted : nullptr, keep, true, &made,
                              &changed, error, keptLess);
    return given || *keptLess;
}

// A folder made in a folder of a default ACL has one too, and an access ACL
// from it; one without a default ACL took none.
int DropInheritedAcls(int directory) {
    if (fremovexattr(directory, kDefaultAcl) != 0) return NoSuchAttribute(errno) ? 0 : errno;
    if (fremovexattr(directory, kAccessAcl) != 0 && !NoSuchAttribute(errno)) return errno;
    return 0;
}

// The link is held by a handle of its own and checked to be a link before
// it is given an owner: a name in a folder another user owns may be
// swapped for another's file meanwhile, whose owner would then be given away.
int GiveLinkOwner(int directory, const std::string& name, const struct stat& source, bool* changed) {
    *changed = false;
    uid_t owner;
    gid_t group;
    OwnerToGive(source, KeptMetadata{true, false, false}, &owner, &group);
    if (owner == static_cast<uid_t>(-1) && group == static_cast<gid_t>(-1)) return 0;
    int fd = openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISLNK(st.st_mode)) {
        error = EAGAIN;
    } else if (st.st_uid != owner || st.st_gid != group) {
        if (fchownat(fd, "", owner, group, AT_EMPTY_PATH) == 0) {
            *changed = true;
        } else if (!OwnerNotHeld(errno, -1)) {
            error = errno;
        }
    }
    close(fd);
    return error;
}

bool platformKeepsMetadata() { return true; }

bool platformKeepsLinksByDefault() { return true; }

bool platformOwnModeDiffer(const EntryStatus& source, const EntryStatus& target, const KeptMetadata& keep) {
    if (keep.owners) {
        if (OwnersGiven() && target.owner != source.owner) return true;
        if (MayGiveGroup(static_cast<gid_t>(source.group)) && target.group != source.group) return true;
    }
    if (source.isLink || target.isLink) return false;  // a link has no mode of its own
    return target.permissions != ExpectedMode(static_cast<mode_t>(source.permissions), source.owner, source.group,
                                              target.owner, target.group);
}

SystemResult platformExtrasDiffer(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep, bool* differ,
                                  bool* grants) {
    *differ = false;
    *grants = false;
    if (!keep.xattrs && !keep.acls) return SystemResult{true, 0};
    struct stat sourceStatus;
    std::vector<Extra> wanted;
    if (!ReadSource(LocateQuery(WithoutTrailingSlashes(PathName(source))), keep, &sourceStatus, &wanted)) {
        return Result(false);
    }
    Place at = Locate(WithoutTrailingSlashes(PathName(target)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, at.guarded ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
        return Result(false);
    }
    if (S_ISLNK(st.st_mode)) return SystemResult{true, 0};  // a link's attributes are not kept
    bool pathOnly = false;
    int fd = OpenForMetadata(at, st, &pathOnly);
    if (fd < 0) return Result(false);
    std::vector<Extra> present;
    bool read = ReadExtras(MetadataHandle{fd, pathOnly}, S_ISDIR(st.st_mode), keep, &present);
    int error = errno;
    close(fd);
    if (!read) return SystemResult{false, error};
    std::vector<Extra> given = ExtrasFor(std::move(wanted), sourceStatus.st_uid, st.st_uid);
    *differ = given != present;
    *grants = S_ISREG(st.st_mode) && WritesPrivileged(given, present);
    return SystemResult{true, 0};
}

// A file without a name where the system makes one (nothing shows, not
// even in the folder's times), else a temporary beside, removed at once,
// the folder given back its times. Another owner is tried on it: nobody.
bool platformProbeOwners(const wchar_t* directory) {
    if (!OwnersGiven()) return false;
    Place at = LocateChange(SystemName{WithoutTrailingSlashes(ToSystem(directory)) + "/" + NextTemporaryName(), true});
    struct stat folder;
    if (!at.ok || fstat(at.directory, &folder) != 0) return false;
    if (OwnersKnownOn(folder.st_dev)) return true;
    bool named = false;
#ifdef O_TMPFILE
    int fd = openat(at.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#else
    int fd = -1;
#endif
    if (fd < 0) {
        fd = openat(at.directory, at.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        named = fd >= 0;
    }
    if (fd < 0) return false;
    const uid_t kNobody = 65534;
    bool given = fchown(fd, kNobody, static_cast<gid_t>(-1)) == 0;
    bool notHeld = !given && OwnerNotHeld(errno, fd);
    close(fd);
    if (named) {
        unlinkat(at.directory, at.name.c_str(), 0);
        struct timespec kept[2] = {folder.st_atim, folder.st_mtim};
        if (futimens(at.directory, kept) != 0 && errno == EBADF) {
            utimensat(AT_FDCWD, ProcPath(at.directory).c_str(), kept, 0);
        }
    }
    if (notHeld) {
        NoteOwnersNotHeld(folder.st_dev);
    } else if (given) {
        std::lock_guard<std::mutex> held(ownerlessLock);
        ownedVolumes.push_back(folder.st_dev);
    }
    return given || notHeld;
}

// Only a change of owner or group asks the volume whether it holds owners.
bool platformMendGrants(const wchar_t* target, const EntryStatus& source, const EntryStatus& existing,
                        const KeptMetadata& keep) {
    struct stat from {};
    struct stat to {};
    from.st_mode = static_cast<mode_t>(source.permissions) | (source.isDirectory ? S_IFDIR : S_IFREG);
    from.st_uid = static_cast<uid_t>(source.owner);
    from.st_gid = static_cast<gid_t>(source.group);
    to.st_mode = static_cast<mode_t>(existing.permissions) | (existing.isDirectory ? S_IFDIR : S_IFREG);
    to.st_uid = static_cast<uid_t>(existing.owner);
    to.st_gid = static_cast<gid_t>(existing.group);
    to.st_dev = static_cast<dev_t>(existing.identity.volume);
    if (source.isLink || existing.isLink) return false;
    return GrantsInPlace(from, to, keep, [&] {
        Place at = Locate(WithoutTrailingSlashes(PathName(target)));
        int fd = at.ok ? openat(at.directory, at.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
        bool held = OwnersHeldOn(to, fd);
        if (fd >= 0) close(fd);
        return held;
    });
}

// The source is read before the target is located: locating a change may
// let go of directories held on the way.
SystemResult platformWriteMetadata(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep,
                                   bool* changed) {
    *changed = false;
    Place from = LocateQuery(WithoutTrailingSlashes(PathName(source)));
    struct stat own;
    bool linkSource =
        from.ok && fstatat(from.directory, from.name.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
    Place at = LocateChange(WithoutTrailingSlashes(PathName(target)));
    struct stat before;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (S_ISLNK(before.st_mode)) {
        // A link takes the owner and group of a link.
        if (!linkSource) return SystemResult{false, EINVAL};
        if (!keep.owners) return SystemResult{true, 0};
        int error = GiveLinkOwner(at.directory, at.name, own, changed);
        return SystemResult{error == 0, error};
    }
    if (!S_ISREG(before.st_mode) && !S_ISDIR(before.st_mode)) return SystemResult{false, EPERM};
    // A file of several names is not changed in place: another name of it
    // may lie outside To (a snapshot's, or one planted to reach another's file).
    if (S_ISREG(before.st_mode) && before.st_nlink > 1) return SystemResult{false, EMLINK};
    struct stat sourceStatus;
    std::vector<Extra> wanted;
    from = LocateQuery(WithoutTrailingSlashes(PathName(source)));
    if (!ReadSource(from, keep, &sourceStatus, &wanted)) return Result(false);
    if (!keep.acls && (sourceStatus.st_mode & S_IRWXG) != 0) {
        // Without its ACL, the source is given as open as the ACL lets its group.
        int in = OpenAt(from, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        MetadataHandle opened{in, false};
        sourceStatus.st_mode =
            (sourceStatus.st_mode & S_IFMT) | (in >= 0 ? ModeWithoutAcl(opened, sourceStatus.st_mode)
                                                       : sourceStatus.st_mode & 07777 & ~static_cast<mode_t>(S_IRWXG));
        if (in >= 0) close(in);
    }
    // The target is located again: reading the source may have taken its place.
    at = LocateChange(WithoutTrailingSlashes(PathName(target)));
    if (!at.ok) return Result(false);
    bool pathOnly = false;
    int fd = OpenForMetadata(at, before, &pathOnly);
    if (fd < 0) return Result(false);
    struct stat now = before;
    int error = 0;
    bool attributeOnly = false;
    bool extras = keep.xattrs || keep.acls;
    bool given = GiveMetadata(MetadataHandle{fd, pathOnly}, sourceStatus, extras ? &wanted : nullptr, keep, false, &now,
                              changed, &error, &attributeOnly);
    close(fd);
    return given ? SystemResult{true, 0} : SystemResult{false, error};
}

// Through a handle of the file itself, never followed, looked at before it is changed.
SystemResult platformWriteFileTime(const wchar_t* path, const DirectoryIdentity& expected, int64_t seconds,
                                   int32_t nanoseconds) {
    Place at = LocateChange(PathName(path));
    if (!at.ok) return Result(false);
    int fd = openat(at.directory, at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Result(false);
    struct stat st;
    int error = fstat(fd, &st) != 0    ? errno
                : !S_ISREG(st.st_mode) ? FAILURE_NOT_PLAIN_FILE
                : st.st_nlink != 1     ? FAILURE_NOT_OWN_FILE
                                       : 0;
    // Another file put there since it was compared is not this one (an identity of nothing: not known).
    bool known = expected.volume != 0 || expected.index != 0;
    DirectoryIdentity found{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    if (error == 0 && known && !sameIdentity(found, expected)) error = FAILURE_FOLDER_MOVED;
    if (error == 0) {
        struct timespec times[2] = {st.st_atim, {static_cast<time_t>(seconds), nanoseconds}};
        if (futimens(fd, times) != 0) error = errno;
    }
    close(fd);
    return error == 0 ? SystemResult{true, 0} : SystemResult{false, error};
}

// The guarded root itself is reached through the handle that holds it,
// never by its name again. The access time is given as the entry has it:
// some file systems (FUSE over libfuse 2) take no modification time given
// alone.
SystemResult platformWriteModifiedTime(const wchar_t* path, int64_t seconds, int32_t nanoseconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = nanoseconds;
    struct stat st;
    SystemName name = WithoutTrailingSlashes(PathName(path));
    if (name.ok && guard.active && name.bytes == guard.root) {
        if (fstat(guard.rootFd, &st) == 0) times[0] = st.st_atim;
        if (futimens(guard.rootFd, times) == 0) return SystemResult{true, 0};
        if (errno != EBADF) return Result(false);
        return Result(utimensat(AT_FDCWD, ProcPath(guard.rootFd).c_str(), times, 0) == 0);
    }
    // Through the folder as the run holds it, never followed: on a share,
    // where a walk holds it already, no opening of its own.
    if (name.ok && guard.active) {
        Place held = HoldGuarded(name.bytes, &st, true, true);
        if (!held.ok) return Result(false);
        if (held.guarded) {
            times[0] = st.st_atim;
            if (utimensat(AT_FDCWD, ProcPath(held.directory).c_str(), times, 0) == 0) return SystemResult{true, 0};
            if (errno != ENOENT) return Result(false);  // no /proc: by its name below
        }
    }
    Place at = LocateChange(std::move(name));
    if (!at.ok) return Result(false);
    if (!at.guarded) {
        if (fstatat(at.directory, at.name.c_str(), &st, 0) == 0) times[0] = st.st_atim;
        return Result(utimensat(at.directory, at.name.c_str(), times, 0) == 0);
    }
    // Through a handle of the folder itself, never followed.
    int fd = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != EACCES) return Result(false);
        if (fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) times[0] = st.st_atim;
        return Result(utimensat(at.directory, at.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0);
    }
    if (fstat(fd, &st) == 0) times[0] = st.st_atim;
    bool set = futimens(fd, times) == 0;
    int error = errno;
    close(fd);
    return set ? SystemResult{true, 0} : SystemResult{false, error};
}

// The file is held by a handle of its own name (never followed) and checked
// against identity before it takes another; the new name is linked through
// its entry in /proc, which needs no privilege.
CopyResult platformLinkFile(const wchar_t* existing, const DirectoryIdentity& identity, const wchar_t* target) {
    Place first = Locate(WithoutTrailingSlashes(PathName(existing)));
    if (!first.ok) return FailedCopy(errno);
    if (guard.active && !first.guarded) return FailedCopy(EACCES);
    int fd = openat(first.directory, first.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FailedCopy(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_dev) != identity.volume ||
        static_cast<uint64_t>(st.st_ino) != identity.index) {
        close(fd);
        return FailedCopy(ESTALE);
    }
    Place at = LocateChange(WithoutTrailingSlashes(PathName(target)));
    if (!at.ok) {
        int error = errno;
        close(fd);
        return FailedCopy(error);
    }
    NotedTemporary noted(TemporaryBeside(at));
    const std::string& temporary = noted.name;
    std::string proc = ProcPath(fd);
    bool linked = WithWritableParent(at, [&] {
        if (linkat(AT_FDCWD, proc.c_str(), at.directory, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        return errno == ENOENT && linkat(fd, "", at.directory, temporary.c_str(), AT_EMPTY_PATH) == 0;
    });
    int error = errno;
    if (linked) noted.made(at.directory, fd);
    close(fd);
    if (!linked) return FailedCopy(error);
    if (Stopped()) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return CopyResult{COPY_STOPPED, FAILURE_STOPPED};
    }
    bool placed = StillInPlace(at) && WithWritableParent(at, [&] {
                      return renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0;
                  });
    error = errno;
    // Left behind where the name was one of the file's already, or where the rename failed.
    unlinkat(at.directory, temporary.c_str(), 0);
    return placed ? CopyResult{COPY_DONE, 0} : FailedCopy(error);
}
