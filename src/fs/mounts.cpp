// Which mount shows a folder inside another, judged from the system's table.
#include "fs/mounts.h"

namespace {

// True when path is folder or lies below it; both whole, "/" the top.
bool within(const std::wstring& path, const std::wstring& folder) {
    if (folder == L"/") return !path.empty() && path[0] == L'/';
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == L'/');
}

// Where path, below mount's point, lies on mount's volume, from its top.
std::wstring onVolume(const MountRecord& mount, const std::wstring& path) {
    std::wstring below = mount.point == L"/" ? path : path.substr(mount.point.size());
    if (below == L"/") below.clear();
    if (mount.root == L"/") return below.empty() ? std::wstring(L"/") : below;
    return mount.root + below;
}

// The mount folder lies on: the one the system named, otherwise the seen
// mount of the longest point above it (the later of two on one point).
const MountRecord* homeOf(const std::vector<MountRecord>& table, const MountedFolder& folder) {
    const MountRecord* home = nullptr;
    for (const MountRecord& mount : table) {
        if (!within(folder.path, mount.point)) continue;
        if (folder.mount != 0 && mount.id == folder.mount) return &mount;
        if (mount.seen && (!home || mount.point.size() >= home->point.size())) home = &mount;
    }
    return home;
}

}  // namespace

std::wstring mountShowingBelow(const std::vector<MountRecord>& table, const std::wstring& inside,
                               const MountedFolder& reached) {
    const MountRecord* home = homeOf(table, reached);
    if (!home) return std::wstring();
    std::wstring shown = onVolume(*home, reached.path);
    for (const MountRecord& mount : table) {
        if (!mount.seen || mount.volume != home->volume || !within(mount.point, inside)) continue;
        if (within(mount.root, shown) || within(shown, mount.root)) return mount.point;
    }
    return std::wstring();
}

std::wstring mountHolding(const std::vector<MountRecord>& table, const MountedFolder& inside,
                          const MountedFolder& reached) {
    if (within(inside.path, reached.path)) return std::wstring();  // below it by path: the folder checks tell
    const MountRecord* home = homeOf(table, reached);
    const MountRecord* holder = homeOf(table, inside);
    if (!home || !holder || holder->volume != home->volume) return std::wstring();
    return within(onVolume(*holder, inside.path), onVolume(*home, reached.path)) ? holder->point : std::wstring();
}
