// The sweep of dead runs' temporaries, and what tells a temporary's run alive or gone.
#include "engine/temporaries.h"

#include <cstdint>
#include <vector>

#include "base/temporary_name.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// Where the entry at path comes from, when its name is a temporary's; only
// such names are asked about.
TemporaryOrigin originOf(const WideString& path) {
    int32_t cut = path.FindLastSeparator();
    if (temporaryOwner(path.buffer + cut + 1) == 0) return TEMPORARY_UNPROVEN;
    return platformTemporaryOrigin(path.buffer);
}

}  // namespace

bool isLiveTemporary(const WideString& path) { return originOf(path) == TEMPORARY_IN_USE; }

// A name proves nothing: any user may name a file so; only a run's record does.
bool isDeadTemporary(const WideString& path) { return originOf(path) == TEMPORARY_LEFT; }

bool removeDeadTemporaries(Changes* changes, const WideString& directory, const WideString& counterpart) {
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    WideString otherBase = counterpart;
    if (!endsWithSeparator(otherBase)) otherBase.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return false;
    std::vector<WideString> dead;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory || temporaryOwner(entry.name) == 0) continue;
        WideString path = base + entry.name;
        // A name From has is From's file, whatever it looks like.
        if (platformEntryPresence((otherBase + entry.name).buffer) != ENTRY_ABSENT) continue;
        if (isDeadTemporary(path)) dead.push_back(path);
    }
    platformCloseListing(listing);
    bool deleted = false;
    for (const WideString& path : dead) deleted = changeDeleteFile(changes, path.buffer).done || deleted;
    return deleted;
}
