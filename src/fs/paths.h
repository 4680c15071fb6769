// Path tests and directory operations. Each asks the file system afresh,
// answers with a bool or a new text, and composes no message.
#ifndef KORVANE_FS_PATHS_H
#define KORVANE_FS_PATHS_H

#include <cstdint>
#include <vector>

#include "fs/changes.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// What one query of an entry found; the existence tests and the update test
// share it, so an entry is asked once where the meanings allow it.
struct EntryState {
    bool queried;        // the status query succeeded
    bool isDirectory;    // an existing directory, or a usable drive spec
    EntryStatus status;  // valid when queried
};

// The path with one trailing separator dropped; a lone root keeps its separator.
WideString dropTrailingSeparator(const WideString& path);

// True when the path ends in the platform's separator.
bool endsWithSeparator(const WideString& path);

// Queries an entry with one trailing separator dropped, with the drive fallback.
EntryState queryEntryState(const WideString& path);

// True when the path, less one trailing separator, names a drive (C: or C:\, or /).
bool isDriveRoot(const WideString& path);

// True for an existing directory, or a usable drive spec.
bool directoryExists(const WideString& path);

// True for an existing entry that is not a directory.
bool fileExists(const WideString& path);

// One level of a path as createDirectoryPath takes it.
struct DirectoryLevel {
    WideString path;  // the path up to and including the level's separator
    bool root;        // the root level (drive, share, /): never created
};

// The levels of path in the order they are tested and made: the root level
// first when the path has one, then one level up to each separator.
std::vector<DirectoryLevel> directoryLevels(const WideString& path);

// Creates every missing level of the path through changes; done when all exist afterwards.
SystemResult createDirectoryPath(Changes* changes, const WideString& path);

// Creates the target directory path and gives it, and each missing level
// above it that has its source level's name, that level's attribute word;
// done when it stands with that word afterwards.
SystemResult createDirectoryLike(Changes* changes, const WideString& source, const WideString& target);

// Creates the target directory path and gives it, and each missing level
// above it that has its source level's name, the metadata of that source
// level as keep asks (owner and group, attributes, mode), each before
// anything is made in it; done when it stands with them afterwards.
SystemResult createDirectoryKeeping(Changes* changes, const WideString& source, const WideString& target,
                                    const KeptMetadata& keep);

// One side of the update test, as asked: its state, whether its time and
// size are known, and its attribute word where the test needs one.
struct ComparedSide {
    EntryState state;  // the entry as queried (or as a listing told it)
    bool stamped;      // its time and size are known: queried, and its path names a file (no trailing separator)
    bool wordKnown;    // word holds its attribute word
    uint32_t word;     // its attribute word, when wordKnown
};

// The side of the update test of the entry at path, of state; needsWord:
// a directory is involved, so its attribute word is read where state has
// none (a drive spec).
ComparedSide compareSide(const WideString& path, const EntryState& state, bool needsWord);

// The update test on two sides asked already, asking nothing: true when
// the target must be brought up to date with the source. Modification times
// whose whole seconds are at most timeWindow apart compare equal (0: only
// times equal to the nanosecond do; a coarser volume's are the caller's to
// judge); where a directory is involved the attribute words decide.
bool sidesDiffer(const ComparedSide& source, const ComparedSide& target, long long timeWindow);

// Queries both entries of the update test into their states, as
// entriesDifferWith queries them (see there for sourceKnown, targetMissing
// and targetKnown).
void queryBothStates(const WideString& source, const WideString& target, EntryState* sourceState,
                     EntryState* targetState, const EntryStatus* sourceKnown, bool targetMissing,
                     const EntryStatus* targetKnown);

// True when the target must be brought up to date with the source, handing
// back what it found of both entries; modification times whose whole
// seconds are at most timeWindow apart compare equal (0: only times equal to
// the nanosecond do; a coarser volume's are the caller's to judge). sourceKnown, when
// not null, is the source's status as its listing told it: not queried again.
// targetMissing: the caller knows nothing stands at target (it made the
// folder just now), which is not asked either; targetKnown, when not null,
// is the target's status as its folder's listing told it.
bool entriesDifferWith(const WideString& source, const WideString& target, EntryState* sourceState,
                       EntryState* targetState, long long timeWindow, const EntryStatus* sourceKnown,
                       bool targetMissing = false, const EntryStatus* targetKnown = nullptr);

// True when the directory inner lies strictly below the directory outer on
// disk, whatever the spellings; false when either cannot be read.
bool directoryBelow(const WideString& inner, const WideString& outer);

// True when a level of the path is "." or ".." (on Windows also such a name
// with dots or blanks after it, which the system reads the same way).
bool hasDotLevel(const WideString& path);

// The longest part of path, level by level, that names a standing
// directory; empty when none does.
WideString nearestStandingFolder(const WideString& path);

// The path with the same relative part under otherRoot, joined by one separator.
WideString counterpartPath(const WideString& path, const WideString& root, const WideString& otherRoot);

#endif
