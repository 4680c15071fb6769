// Mounts on Windows: a volume mounted on a folder is a mount-point reparse
// point there, which the walks take as a link and never enter; no table is
// needed.
#include "platform/win32/win32_layer.h"

std::vector<MountRecord> platformMountTable() { return {}; }

bool platformMountNumber(const wchar_t*, uint64_t*) { return false; }
