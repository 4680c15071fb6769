// The walk's listings read ahead: readers of their own list the folders the
// walk will enter next, and ask both trees for each file's status, while
// the walk's thread goes through what was read before. The walk takes each
// folder in its own order, as if it had listed it itself.
#ifndef KORVANE_ENGINE_READ_AHEAD_H
#define KORVANE_ENGINE_READ_AHEAD_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "text/wide_string.h"

// The readers and what they have read; owned by the walk that started them.
struct ReadAhead;

// One folder as read ahead (or, where no reader came first, as the walk's
// own thread reads it when asked).
struct AheadFolder;

// Where a folder lies in the walk: the place of each folder on its way in
// its parent's listing, from the root down. Compared as they stand, earlier
// means entered earlier.
typedef std::vector<uint32_t> WalkPlace;

// One entry of a listing of the other tree's directory, as a mirror's marks judge it.
struct TargetName {
    std::wstring name;  // as listed
    bool isDirectory;   // a directory, or a link to one
    bool isLink;        // a link itself
};

// A folder's counterpart as a reader listed it, names alone.
struct CounterpartListing {
    bool known = false;             // it was listed, recently enough to stand for a listing made now
    std::vector<TargetName> names;  // with known: every entry but "." and ".."
    bool whole = false;             // with known: the listing went through to its end
};

// Lists the To directory base (with its separator) for the marks into
// names; *opened and *whole tell whether it could be listed, and to its
// end. Touches nothing else: a worker or a reader may list.
void listForMarks(const WideString& base, std::vector<TargetName>* names, bool* opened, bool* whole);

// What was asked ahead of one entry, beyond its listing.
struct AheadStatuses {
    bool sourceKnown = false;  // source holds the entry's status, asked as a query of its path asks
    EntryStatus source{};      // valid when sourceKnown
    bool targetKnown = false;  // target holds its counterpart's status: it stood there when asked
    EntryStatus target{};      // valid when targetKnown
};

// Whether the walk may enter the folder (with its separator) below
// walkRoot, as far as data tells; asked on the readers, beside the walk, so
// data must be what the walk does not change.
typedef bool (*AheadFilter)(const void* data, const WideString& folder, const WideString& walkRoot);

// How a walk's folders are read ahead.
struct AheadSettings {
    int readers = 0;                   // readers (0: none, each listing read in turn by the walk)
    bool asks = true;                  // the statuses are asked too, not only the listings read
    AheadFilter enters = nullptr;      // the folders worth reading, or null: all the walk may enter
    const void* entersData = nullptr;  // what enters reads
    int freshForMs = 1000;             // what was read longer ago than this is read again by the walk
    bool listsCounterparts = false;    // each folder's counterpart is listed too, where it stands
};

// The readers that suit a walk of from into to with asked workers (0: as
// suits the volumes): none where one worker was asked, so nothing runs off
// the run's thread; as many as workers where requests wait on a volume;
// one beside the walk on a machine of more than one core.
int readersFor(int asked, const WideString& from, const WideString& to);

// Starts the readers of settings (none: every folder is read when the
// walk asks for it) for a walk of walkRoot whose counterparts lie below
// otherRoot.
ReadAhead* startReadAhead(const AheadSettings& settings, const WideString& walkRoot, const WideString& otherRoot);

// Stops the readers and lets go of all they read; null is ignored.
void endReadAhead(ReadAhead* ahead);

// The folder base (with its separator) at place, for the walk to go
// through; null, with the system's reason, when it cannot be listed.
// Whatever was read ahead of folders the walk has passed by is dropped.
std::shared_ptr<AheadFolder> openAheadFolder(ReadAhead* ahead, const WalkPlace& place, const WideString& base,
                                             int* reason);

// The folder's next entry as its listing told it, with what was asked of
// it; read here when no reader has; false at its end.
bool nextAheadEntry(ReadAhead* ahead, AheadFolder* folder, DirectoryEntry* entry, AheadStatuses* statuses);

// Ends the walk's use of the folder: a failure when its listing was cut
// short or could not be closed; cutByStop set when a stop ended it. With
// listsCounterparts, counterpart takes the counterpart's listing where a
// reader has made it (waited for while one makes it), and is unknown where
// none has begun it.
SystemResult closeAheadFolder(ReadAhead* ahead, const std::shared_ptr<AheadFolder>& folder, bool* cutByStop,
                              CounterpartListing* counterpart);

#endif  // KORVANE_ENGINE_READ_AHEAD_H
