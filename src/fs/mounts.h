// Mounts that show one folder inside another: a change made through the one
// would land in the other.
#ifndef KORVANE_FS_MOUNTS_H
#define KORVANE_FS_MOUNTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// A folder as the table of mounts places it: its path, whole, as the system
// resolves it, and the mount it lies on (0 where the system does not tell:
// then the seen mount of the longest point above it).
struct MountedFolder {
    std::wstring path;  // whole, links and dots resolved
    uint64_t mount;     // the number of the mount it lies on, or 0
};

// The point of a seen mount of table, at or below inside, that shows
// reached, a folder of it or a folder that holds it; empty where none does.
std::wstring mountShowingBelow(const std::vector<MountRecord>& table, const std::wstring& inside,
                               const MountedFolder& reached);

// The point of the mount inside lies on, where that mount shows inside as
// reached or a folder of it (a bind mount of reached's or of a folder above
// it) though its path does not lie below reached's; empty otherwise.
std::wstring mountHolding(const std::vector<MountRecord>& table, const MountedFolder& inside,
                          const MountedFolder& reached);

#endif
