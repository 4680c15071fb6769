// The directory walker: visits a tree depth first and hands each entry to a
// handler; the one traversal of the engine.
#ifndef KORVANE_ENGINE_WALKER_H
#define KORVANE_ENGINE_WALKER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "engine/read_ahead.h"
#include "engine/run_codes.h"
#include "text/wide_string.h"

struct DirectoryWalker;

// Called with the walker, the entry's path, the walked root and the root of
// the other tree; false stops the walk. Through the walker a handler reads
// what the listing told of the entry, the descent path and its own data,
// and sets skipDescent.
typedef bool (*EntryHandler)(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                             const WideString& otherRoot);

// Told of a directory that the walker refuses to enter (a link back into its own path).
typedef void (*RefusalHandler)(DirectoryWalker* walker, const WideString& directoryPath);

// True when the entry handler will neither enter nor act on the directory
// at entryPath, whatever it is: its identity need not be asked.
typedef bool (*PassHandler)(const DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                            const WideString& otherRoot);

// What a listing told of the entry being handed over.
struct ListedEntry {
    bool isDirectory;    // a directory, or a link to one
    bool isLink;         // a link itself
    bool statusKnown;    // the listing told what a status query would (Windows, no link)
    EntryStatus status;  // that status, valid when statusKnown
};

// A walk in progress: what is known of one directory on the current descent path.
struct WalkFrame {
    const WideString* directory;  // the directory's path, owned by its walk step
    int identityState;            // 0 not read yet, 1 read, -1 unreadable
    DirectoryIdentity identity;   // valid when identityState is 1
};

// What the walker found of the name of the entry it hands over.
enum NameFinding {
    NAME_PLAIN,           // nothing to tell
    NAME_FOLDS,           // equal but for case to a name taken before in its directory (with foldNames)
    NAME_HOLDS_SEPARATOR  // holds a path separator (a host's name seen under Wine): no path reaches it
};

// A set of non-zero 64-bit keys in one array (open addressing): no
// allocation per key, and emptied in place for the next directory.
struct KeySet {
    std::vector<uint64_t> slots;  // a power of two of them; 0 marks a free one
    size_t used = 0;              // the keys held
};

// The names one directory of the descent path has handed over, as a
// case-ignoring file system files them.
struct FoldLevel {
    KeySet taken;  // the keys of the names taken so far (a hash of each folded name)
    bool listed;   // byName holds the directory's names
    std::unordered_map<std::wstring, std::vector<std::wstring>> byName;  // once a key comes again: each folded
                                                                         // name, with its names in listing order
};

// A name a directory listed, kept for its after-directory handler.
struct ListedName {
    std::wstring name;  // as the listing gave it
    bool entered;       // the walk went through everything below it without error
};

// The walker's settings, counters and descent path; owned by its caller.
struct DirectoryWalker {
    bool cancelled;                      // set: stop before the next entry (WALK_BROKEN); so does a run stop
    bool recurse;                        // descend into each subdirectory after handing it over
    bool visitFiles;                     // hand files over too, not only directories
    EntryHandler entryHandler;           // called for every entry handed over, or null
    EntryHandler afterDirectoryHandler;  // called for each completely listed directory, or null
    int directoryCount;                  // directories handed over so far
    int fileCount;                       // files handed over so far
    bool enterLinks;                     // descend into directory links and junctions
    bool avoidIdentity;                  // never enter the directory named by avoided
    DirectoryIdentity avoided;           // a directory this walk must not enter
    PassHandler passesBy;                // with avoidIdentity: a directory the handler leaves alone is
                                         // not asked whether it is the avoided one, or null
    RefusalHandler loopHandler;          // told of each link loop not entered, or null
    void* data;                          // the handlers' own: the run they act for
    ListedEntry current;                 // what the listing told of the entry being handed over
    bool skipDescent;                    // set by the entry handler: do not enter this directory
    bool leftBelow;                      // set with skipDescent: what lies below is none of this walk's
                                         // (a watch's batch): kept names count it as gone through
    std::vector<WalkFrame> descent;      // the directories being listed, root first
    WideString failedDirectory;          // the directory whose listing stopped the walk, or empty
    WideString failureReason;            // the system's words for why, or empty
    bool keepNames;                      // keep what each directory listed, for completedNames
    std::vector<std::vector<ListedName>> levelNames;  // per level of the descent path: its names so far
    std::vector<ListedName> completedNames;           // with keepNames: what the directory given to the
                                                      // after-directory handler listed, in listing order
    bool foldNames;                                   // tell a name equal but for case to one taken before
    int currentName;                                  // a NAME_ finding for the entry being handed over
    std::wstring currentFoldsOnto;                    // with NAME_FOLDS: the name taken before
    bool takeName;                                    // cleared by the entry handler: the name was not taken
    std::vector<FoldLevel> levelFolds;                // with foldNames: per level of the descent path
    std::wstring folded;                              // the folded name of the entry being handed over
    AheadSettings readAhead;                          // how folders are read ahead of a walk (default: not)
    ReadAhead* ahead;                                 // while a walk with readAhead goes on: its readers
    WalkPlace aheadPlace;                             // with ahead: the place of the directory being listed
    AheadStatuses aheadFound;                         // with ahead: what was asked ahead of the entry
    CounterpartListing aheadCounterpart;              // with ahead, in the after-directory handler: the
                                                      // directory's counterpart as listed ahead, if it was
};

// True for the names "." and "..", which a listing of a directory holds.
bool isDotEntry(const wchar_t* name);

// A walker with the settings of a copy walk: recurse, visit files, enter links.
DirectoryWalker makeWalker(EntryHandler entryHandler, EntryHandler afterDirectoryHandler);

// Walks root, handing entries over with walkRoot = root and otherRoot passed through.
int walk(DirectoryWalker* walker, const WideString& root, const WideString& otherRoot);

// The recursive step for one directory.
int walkDirectory(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                  const WideString& otherRoot);

// The entries the walk has handed over so far.
long long entriesHandedOver(const DirectoryWalker& walker);

// The depth of the directory whose entry is being handed over (0: the
// walk's root), or SIZE_MAX when no directory is being listed.
size_t listingDepth(const DirectoryWalker& walker);

#endif
