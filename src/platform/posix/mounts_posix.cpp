// The system's table of mounts, as /proc tells it to this process.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/posix_layer.h"

namespace {

// Reads an octal-escaped field of the table of mounts ("\040" a space).
std::string Unescaped(const std::string& field) {
    std::string text;
    for (size_t at = 0; at < field.size(); ++at) {
        bool octal = field[at] == '\\' && at + 3 < field.size();
        for (size_t digit = 1; octal && digit <= 3; ++digit) {
            octal = field[at + digit] >= '0' && field[at + digit] <= '7';
        }
        if (octal) {
            text += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 + (field[at + 3] - '0'));
            at += 3;
        } else {
            text += field[at];
        }
    }
    return text;
}

// The field of text that starts at *at, *at moved past it and its blank.
std::string NextField(const std::string& text, size_t* at) {
    size_t start = *at;
    size_t end = text.find_first_of(" \n", start);
    if (end == std::string::npos) end = text.size();
    *at = end < text.size() ? end + 1 : end;
    return text.substr(start, end - start);
}

// The number of the mount path leads to (links followed where follow);
// false where the system does not tell.
bool MountIdAt(const char* path, bool follow, uint64_t* id) {
    struct statx found;
    int flags = AT_NO_AUTOMOUNT | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
    if (statx(AT_FDCWD, path, flags, STATX_MNT_ID, &found) != 0 || !(found.stx_mask & STATX_MNT_ID)) return false;
    *id = found.stx_mnt_id;
    return true;
}

}  // namespace

std::vector<MountLine> ReadMountTable() {
    std::vector<MountLine> table;
    FILE* file = std::fopen("/proc/self/mountinfo", "re");
    if (!file) return table;
    char* line = nullptr;
    size_t room = 0;
    while (getline(&line, &room, file) > 0) {
        // "36 35 98:0 /root /mount/point options ...": the third to the fifth field.
        std::string text(line);
        size_t at = 0;
        MountLine mount;
        mount.id = std::strtoull(NextField(text, &at).c_str(), nullptr, 10);
        NextField(text, &at);
        mount.volume = NextField(text, &at);
        mount.root = Unescaped(NextField(text, &at));
        mount.point = Unescaped(NextField(text, &at));
        if (!mount.point.empty()) table.push_back(std::move(mount));
    }
    std::free(line);
    std::fclose(file);
    return table;
}

std::vector<MountRecord> platformMountTable() {
    std::vector<MountRecord> records;
    uint64_t top = 0;
    bool told = MountIdAt("/", true, &top);  // whether this system tells mounts by path at all
    for (const MountLine& mount : ReadMountTable()) {
        MountRecord record;
        record.id = mount.id;
        uint64_t there = 0;
        // A mount made over it, or over a folder above it, hides it: its point leads elsewhere.
        record.seen = !told || (MountIdAt(mount.point.c_str(), false, &there) && there == mount.id);
        record.volume = FromSystemText(mount.volume.c_str());
        record.root = FromSystemText(mount.root.c_str());
        record.point = FromSystemText(mount.point.c_str());
        records.push_back(std::move(record));
    }
    return records;
}

bool platformMountNumber(const wchar_t* path, uint64_t* id) {
    SystemName name = PathName(path);
    return name.ok && MountIdAt(name.bytes.c_str(), true, id);
}
