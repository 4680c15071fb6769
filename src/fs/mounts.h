// Mounts that show one folder inside another: a change made through the one
// would land in the other.
#ifndef KORVANE_FS_MOUNTS_H
#define KORVANE_FS_MOUNTS_H

#include <string>
#include <vector>

#include "platform/platform.h"

// The point of the first mount of table, at or below inside, that shows
// reached, a folder of it or a folder that holds it; empty where none does.
// Both paths are whole, as the system resolves them; a mount covered by a
// later one on the same point is not seen.
std::wstring mountShowing(const std::vector<MountRecord>& table, const std::wstring& inside,
                          const std::wstring& reached);

#endif
