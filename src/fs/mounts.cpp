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

// True when a later mount of table stands on the same point as the one at index.
bool covered(const std::vector<MountRecord>& table, size_t index) {
    for (size_t later = index + 1; later < table.size(); ++later) {
        if (table[later].point == table[index].point) return true;
    }
    return false;
}

}  // namespace

std::wstring mountShowing(const std::vector<MountRecord>& table, const std::wstring& inside,
                          const std::wstring& reached) {
    // The mount reached lies on: the one of the longest point above it, the latest of them.
    const MountRecord* home = nullptr;
    for (const MountRecord& mount : table) {
        if (within(reached, mount.point) && (!home || mount.point.size() >= home->point.size())) home = &mount;
    }
    if (!home) return std::wstring();
    std::wstring shown = onVolume(*home, reached);
    for (size_t index = 0; index < table.size(); ++index) {
        const MountRecord& mount = table[index];
        if (mount.volume != home->volume || !within(mount.point, inside) || covered(table, index)) continue;
        if (within(mount.root, shown) || within(shown, mount.root)) return mount.point;
    }
    return std::wstring();
}
