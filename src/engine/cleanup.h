// The synchronous clean-up: the second walk of a folder run, which deletes the
// files and removes the directories of the To Folder that the From Folder lacks.
#ifndef KORVANE_ENGINE_CLEANUP_H
#define KORVANE_ENGINE_CLEANUP_H

#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/folder_times.h"
#include "engine/run_context.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// How the clean-up walk treats a directory of To it lists.
enum CleanupScope {
    SCOPE_WHOLE,  // every entry is asked about, every directory with a counterpart entered
    SCOPE_LEVEL,  // every entry is asked about; only marked directories (or surplus ones) entered
    SCOPE_PASS,   // no entry is surplus: only marked directories, or those above them, entered
    SCOPE_NONE    // nothing below is surplus: not entered
};

// The names of the From directory facing one To directory of the clean-up
// walk, read with one listing instead of one query per To entry. A name
// listed there stands in From (as a link or not); a name not listed, or a
// listing cut short, proves nothing: that entry is asked about by name.
struct CounterpartNames {
    std::wstring toDirectory;                          // the To directory whose entries are looked up
    std::vector<std::pair<std::wstring, bool>> names;  // the From names, sorted, each with: a link itself
};

// What the clean-up of one folder run knows. Where the copy walk of a mirror
// saw that To may hold surplus, so that the clean-up walk lists only there:
// right after the copy walk was through a From directory, the To directory
// facing it is listed; a name From did not list marks that directory (a
// level to check), and a To directory whose counterpart the copy walk did
// not go through marks a tree to walk whole, as without marks. Only marks
// are kept: a To tree without surplus costs no memory. Directories are
// named below the To Folder, "" for the To Folder itself.
struct CleanupState {
    bool pruning = false;                        // the copy walk marks, and the clean-up walk trusts the marks
    bool foldCase = false;                       // marks are kept folded for case: To does not tell case apart
    std::set<std::wstring> levels;               // To directories holding a name From lacked
    std::set<std::wstring> trees;                // To directories to walk whole, as without marks
    std::vector<CleanupScope> scopes;            // the scope of each directory on the clean-up's descent path
    std::vector<CounterpartNames> counterparts;  // per level of that path: the From names facing it
    std::set<std::wstring> versionsFolders;      // versions folders met in To: neither they nor what holds them go
    std::set<std::wstring> mountsLeft;           // folders with a volume mounted, met in To: the same
};

// What the listing of one To directory told of its entries, where listings
// tell each entry's status (Windows' find data).
struct TargetListing {
    WideString directory;                                   // the To directory listed, with its separator
    std::unordered_map<std::wstring, EntryStatus> status;   // each entry but links, by its exact name
    std::vector<TargetName> names;                          // every entry but "." and ".."
    bool whole = false;                                     // the listing went through to its end
    std::unordered_map<std::wstring, std::wstring> folded;  // names by their case folded, once a name missed
};

// What a folder run's walks hand their handlers as the walker's data.
struct FolderWalk {
    RunState* run;                            // the run they act for
    CleanupState* cleanup;                    // the clean-up's marks and listings
    std::vector<char> madeLevels;             // per level of the copy walk's descent path: the run made that
                                              // To directory just now, so nothing stands in it
    std::vector<TargetListing> targetLevels;  // per level of that path: To's listing of the counterpart
    FolderTimes times{};                      // the folders on the walk's descent path, when it gives folder times
};

// Entry handler of the clean-up walk: deletes a file or link without counterpart.
bool deleteFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                       const WideString& otherRoot);

// After-directory handler of the clean-up walk: removes a directory without
// counterpart; one that stays takes its From time when anything changed in
// it (folder times on).
bool removeDirectoryHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                            const WideString& otherRoot);

// The clean-up walk's test before it asks whether a To directory is the
// From Folder reached under another name: true when the marks prove the
// walk will neither enter the directory at entryPath nor remove it (From
// holds its counterpart, and nothing below it is marked).
bool cleanupPassesBy(const DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot);

// Deletes path, a file (or link) under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was deleted; sets changeAttempted.
bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path);

// Removes path, a directory under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was removed; sets changeAttempted.
bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path);

// True when a mirror's clean-up walk, after a copy walk that marked
// cleanup, is to look for surplus in the To directory (below root, the
// copy walk's root): it holds names From lacks, or is walked whole.
bool cleanupEnters(const CleanupState& cleanup, const WideString& directory, const WideString& root);

// Whether the clean-up walk may enter the To directory at path (below
// root), as far as the marks tell: it is marked, on the way to one, or
// below one walked whole. state is a CleanupState; only its marks are read,
// which no clean-up walk changes, so it may be asked beside the walk.
bool cleanupMayEnter(const void* state, const WideString& path, const WideString& root);

// False when the copy walk's marks prove that To holds nothing From lacks.
bool mayHoldSurplus(const CleanupState& cleanup);

// Starts the marks of where To may hold surplus (on), or none (off: the
// clean-up walk goes through all of To). On only for a mirror's copy walk
// whose after-directory step marks from To's listings (no rule active: a
// rule judges each To entry on its own). foldCase: To does not tell case
// apart, so From's spelling of a folder and To's mark the same folder.
void markSurplusInCopyWalk(CleanupState* cleanup, bool on, bool foldCase);

// After-directory step of a mirror's copy walk (its walker keeping names),
// where the copy walk took the listing of the To directory facing the From
// directory just walked through already (listings that tell statuses):
// marks what the clean-up walk must look at there, and true. False, marking
// nothing, where To's directory is yet to be listed (listForMarks).
bool markFromTakenListing(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                          const WideString& otherRoot);

// Marks what the clean-up walk must look at in the To directory facing the
// From directory (below walkRoot), from the From names the copy walk
// listed there (fromNames, sorted here) and what listForMarks found.
void markFromListing(CleanupState* state, const WideString& directory, const WideString& walkRoot,
                     std::vector<ListedName>* fromNames, const std::vector<TargetName>& names, bool opened, bool whole);

// Readies the clean-up walk's scopes from the marks; call right before it.
void startCleanupScopes(CleanupState* cleanup);

#endif
