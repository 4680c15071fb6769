// Moves in a mirror: a From entry that To lacks and a To entry that From
// lacks, found to be one entry, are made one rename inside To instead of a
// copy and a deletion. Learned from what the run meets alone, no record
// kept between runs: the copy walk holds each new entry back, the clean-up
// walk asks for each To entry it would delete whether a held one is it,
// and what no move took is copied after the clean-up.
#ifndef KORVANE_ENGINE_MOVES_H
#define KORVANE_ENGINE_MOVES_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/run_context.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// The most entries a run holds in its index of new entries: past it, new
// entries are copied as they are met and no move finds them.
constexpr size_t kMoveBound = 25000;

// The smallest file that moves on its own: a smaller one costs as much to
// read on both sides as to copy. (A folder moves whole whatever it holds.)
constexpr int64_t kSmallestMovedFile = int64_t{16} * 1024;

// The most bytes of candidates a run reads in vain (contents that turned
// out to differ): past them, what is left is copied and deleted as before.
constexpr long long kMostMisread = 1LL << 30;

// One From entry To lacked, waiting for a move to take it.
struct MoveCandidate {
    WideString source;         // the From entry
    int64_t size = 0;          // a file: its size
    StampTime time{0, 0};      // a file: its modification time
    bool isDirectory = false;  // a folder (or, followed, a link to one)
    bool isLink = false;       // the walk's listing told a link
    uint32_t owner = 0;        // its owner and group, and whether it bears a set-ID bit: a To entry
    uint32_t group = 0;        // that differs in them would be copied anew after the move, its
    bool setId = false;        // version kept under another path than its own
    bool held = false;         // held back by the copy walk; otherwise found below a held folder
    size_t parent = SIZE_MAX;  // found below a held folder: the candidate of the folder holding it
    uint64_t signature = 0;    // a folder indexed: its names, kinds and sizes below; 0: none to match
    bool moved = false;        // a move has put it in place (or would have, in a dry run)
    bool countTaken = false;   // the deletion guard's count took it
    int takenBelow = 0;        // a folder: candidates below it the count took (it moves whole no more)
};

// What a mirror's moves know: the new entries held back, indexed for the
// clean-up's questions, and what the moves did. The run's thread's own but
// for holding, which its workers read.
struct MoveIndex {
    std::atomic<bool> holding{false};                    // the copy walk holds new entries back
    bool folders = true;                                 // whole folders may move (no rule judges entries)
    size_t bound = kMoveBound;                           // the most candidates
    std::vector<MoveCandidate> candidates;               // held ones in the walk's order, then those below them
    std::unordered_multimap<uint64_t, size_t> files;     // file candidates by size and time bucket
    std::unordered_multimap<uint64_t, size_t> folderAt;  // folder candidates by signature
    bool belowIndexed = false;                           // what the held folders hold is indexed
    std::unordered_set<std::wstring> madeFolders;        // From folders whose To folder a move made
    std::unordered_set<std::wstring> placed;             // From entries a move put in place
    long long misread = 0;                               // bytes of candidates read in vain, at most kMostMisread
    std::vector<size_t> countTaken;                      // what the count took, to give back
    std::unordered_map<std::wstring, uint64_t> toKeys;   // keys of To folders below one asked about, until asked
    std::vector<std::pair<WideString, size_t>> planned;  // the count's moves: To entry, candidate, in its order

    MoveIndex() = default;
    MoveIndex(const MoveIndex&) = delete;
    MoveIndex& operator=(const MoveIndex&) = delete;
};

// Readies index for a run: new entries held when on, whole folders moved
// only when folders (no rule judges entries one by one).
void startMoves(MoveIndex* index, bool on, bool folders);

// Notes source, a From entry To lacks that the copy walk held back, with
// its status; at the bound, holding ends and later entries are copied.
// False, noting nothing, once the bound is reached: the caller copies it.
bool holdNewEntry(MoveIndex* index, const WideString& source, const EntryStatus& status, bool isDirectory, bool isLink);

// A held entry as the walk met it.
struct HeldEntry {
    WideString path;   // the From entry
    bool isDirectory;  // a folder, or a link to one followed
    bool isLink;       // the listing told a link
};

// The From entries held back, in the walk's order: those a move has put in
// place too (an update finds them up to date, or mends them).
std::vector<HeldEntry> heldNewEntries(const MoveIndex& index);

// For the count of a mirror's clean-up (run, from and to its roots), about
// to count entry, a To entry From lacks (a folder when isDirectory), as
// deleted: when a held entry is the same, the move is planned, and true
// (no deletion). A file is the same when its size and time match and its
// contents are byte for byte alike; a folder when the names, kinds and
// sizes of all it holds match and every file's contents are alike.
// Outside the count (run->counting false), nothing is asked: false.
bool moveInsteadOfDeleting(RunState* run, const WideString& from, const WideString& to, const WideString& entry,
                           bool isDirectory, const EntryStatus* listed);

// What the planned moves did.
struct MovesMade {
    std::vector<WideString> left;  // the To folders the moves took entries out of, each once
    long long fellBack = 0;        // the To entries of moves that could not be made: the clean-up deletes them
};

// Makes the moves the count planned, each a rename told as a move (the To
// folders it lands in made first, told as copies). A move that cannot be
// made is told with why (-v) and left to the copy after and the deletion
// of the clean-up, as without moves: its entries are counted in fellBack,
// for the deletion guard.
MovesMade makePlannedMoves(RunState* run, const WideString& from, const WideString& to);

// Forgets what the count planned, so that the entries are copied and deleted as without moves.
void endMoveCount(MoveIndex* index);

// Gives the To entry at target, which To (a volume that folds case) holds
// under the name spelling (in another case than From's), From's
// spelling: one rename, told as a move. False when it stays as it was.
bool respellInTo(RunState* run, const WideString& target, const std::wstring& spelling);

// What a run's moves did of a From entry, which a dry run's walk after the
// clean-up tells nothing more of.
enum MovePlacement {
    PLACED_NONE,  // nothing: the entry is updated as any
    PLACED_MADE,  // its To folder was made for a move below it: walked into, not made again
    PLACED_MOVED  // a move put it in place, with everything below it
};

// What a run's moves did of source: PLACED_MOVED only in a dry run (a
// real run finds the entry in place).
int placedByMove(const RunState& run, const WideString& source);

#endif
