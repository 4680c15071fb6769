// The walk: listings read depth first, names looked at, link loops refused, entries handed over.
#include "engine/walker.h"

#include "base/separator.h"
#include "engine/run_context.h"

#include <cwchar>
#include <memory>
#include <utility>

namespace {

// The identity of a directory on the descent path, read once when first needed.
bool frameIdentity(WalkFrame* frame, DirectoryIdentity* identity) {
    if (frame->identityState == 0) {
        frame->identityState = platformDirectoryIdentity(frame->directory->buffer, &frame->identity) ? 1 : -1;
    }
    if (frame->identityState != 1) return false;
    *identity = frame->identity;
    return true;
}

// Whether the walk may descend into a directory it has just handed over. A
// link is entered only when the walk enters links, and never when it leads
// back to a directory still being listed. Identities are read only where
// links make them matter, so a plain tree costs no extra queries, except
// where the system may show a link as a plain directory: there every
// directory is checked against the descent path. An identity read, here or
// before, is handed back for the directory's own frame.
bool mayEnter(DirectoryWalker* walker, const WideString& path, bool isLink, int* identityState,
              DirectoryIdentity* identity) {
    if (isLink && !walker->enterLinks) return false;
    if (!isLink && platformLinksAreVisible()) return true;
    if (*identityState == 0) {
        *identityState = platformDirectoryIdentity(path.buffer, identity) ? 1 : -1;
    }
    if (*identityState < 0) return true;
    for (WalkFrame& frame : walker->descent) {
        DirectoryIdentity open;
        if (frameIdentity(&frame, &open) && sameIdentity(open, *identity)) {
            if (walker->loopHandler) walker->loopHandler(walker, path);
            return false;
        }
    }
    return true;
}

// The key of a folded name, never 0: equal names give equal keys; two
// names of one key are told apart by their text.
uint64_t foldKey(const std::wstring& folded) {
    uint64_t key = 14695981039346656037ULL;
    for (wchar_t unit : folded) {
        key ^= static_cast<uint64_t>(unit);
        key *= 1099511628211ULL;
    }
    return key == 0 ? 1 : key;
}

void emptyKeys(KeySet* set) {
    set->slots.assign(16, 0);
    set->used = 0;
}

// The slot that holds key, or the free one where it belongs.
size_t slotOf(const KeySet& set, uint64_t key) {
    size_t mask = set.slots.size() - 1;
    size_t at = static_cast<size_t>(key ^ (key >> 32)) & mask;
    while (set.slots[at] != 0 && set.slots[at] != key) at = (at + 1) & mask;
    return at;
}

bool holdsKey(const KeySet& set, uint64_t key) { return set.slots[slotOf(set, key)] == key; }

// Adds key; the array doubles once it is half full.
void addKey(KeySet* set, uint64_t key) {
    size_t at = slotOf(*set, key);
    if (set->slots[at] == key) return;
    set->slots[at] = key;
    if (++set->used * 2 <= set->slots.size()) return;
    std::vector<uint64_t> old;
    old.swap(set->slots);
    set->slots.assign(old.size() * 2, 0);
    for (uint64_t held : old) {
        if (held != 0) set->slots[slotOf(*set, held)] = held;
    }
}

// Reads the names of directory (with its separator) into level, by folded
// name, in listing order; once per directory, and only when a key comes again.
void readFoldedNames(const WideString& directory, FoldLevel* level) {
    level->listed = true;
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(directory.buffer, &reason);
    if (!listing) return;
    DirectoryEntry entry;
    std::wstring folded;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        platformFoldName(entry.name, &folded);
        level->byName[folded].emplace_back(entry.name);
    }
    platformCloseListing(listing);
}

// Tells the handler what the name of the entry about to be handed over is:
// one holding a separator cannot be joined to its directory's path, and
// with foldNames one equal but for case to a name taken before in the
// directory at level (base, with its separator) is told with that name. A
// name whose key no name taken before has costs no look-up; one whose key
// comes again has the directory's names read once, to be told apart.
void noteName(DirectoryWalker* walker, size_t level, const WideString& base, const wchar_t* name, uint64_t* key) {
    walker->currentName = NAME_PLAIN;
    walker->takeName = true;
    for (const wchar_t* unit = name; *unit; ++unit) {
        if (isComponentSeparator(*unit)) {
            walker->currentName = NAME_HOLDS_SEPARATOR;
            return;
        }
    }
    if (!walker->foldNames) return;
    platformFoldName(name, &walker->folded);
    *key = foldKey(walker->folded);
    FoldLevel& names = walker->levelFolds[level];
    if (!holdsKey(names.taken, *key)) return;
    if (!names.listed) readFoldedNames(base, &names);
    auto at = names.byName.find(walker->folded);
    if (at == names.byName.end()) return;
    for (const std::wstring& other : at->second) {
        if (other == name) continue;
        walker->currentName = NAME_FOLDS;
        walker->currentFoldsOnto = other;
        return;
    }
}

bool stopAsked(const DirectoryWalker* walker) { return walker->cancelled || runStopRequested(); }

// A directory's listing as the walk goes through it: its own, or the one its readers read ahead.
struct LevelListing {
    DirectoryListing* listing = nullptr;
    std::shared_ptr<AheadFolder> ahead;
};

bool openLevel(DirectoryWalker* walker, const WideString& base, LevelListing* level, int* reason) {
    if (!walker->ahead) {
        level->listing = platformOpenListing(base.buffer, reason);
        return level->listing != nullptr;
    }
    level->ahead = openAheadFolder(walker->ahead, walker->aheadPlace, base, reason);
    return level->ahead != nullptr;
}

// The next entry; what was asked ahead of it is noted in the walker.
bool nextLevelEntry(DirectoryWalker* walker, LevelListing* level, DirectoryEntry* entry) {
    if (level->ahead) return nextAheadEntry(walker->ahead, level->ahead.get(), entry, &walker->aheadFound);
    walker->aheadFound.sourceKnown = false;
    walker->aheadFound.targetKnown = false;
    return platformNextEntry(level->listing, entry);
}

// Closes the listing; cutByStop is set where a stop cut the reading ahead short.
SystemResult closeLevel(DirectoryWalker* walker, LevelListing* level, bool* cutByStop) {
    walker->aheadFound.sourceKnown = false;
    walker->aheadFound.targetKnown = false;
    if (level->ahead) return closeAheadFolder(walker->ahead, level->ahead, cutByStop, &walker->aheadCounterpart);
    walker->aheadCounterpart = CounterpartListing();
    return platformCloseListing(level->listing);
}

int walkLevel(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
              const WideString& otherRoot, int identityState, const DirectoryIdentity& identity);

}  // namespace

bool isDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

DirectoryWalker makeWalker(EntryHandler entryHandler, EntryHandler afterDirectoryHandler) {
    DirectoryWalker walker;
    walker.cancelled = false;
    walker.recurse = true;
    walker.visitFiles = true;
    walker.entryHandler = entryHandler;
    walker.afterDirectoryHandler = afterDirectoryHandler;
    walker.directoryCount = 0;
    walker.fileCount = 0;
    walker.enterLinks = true;
    walker.avoidIdentity = false;
    walker.avoided = DirectoryIdentity{0, 0};
    walker.passesBy = nullptr;
    walker.loopHandler = nullptr;
    walker.data = nullptr;
    walker.current = ListedEntry{false, false, false, EntryStatus{}};
    walker.skipDescent = false;
    walker.leftBelow = false;
    walker.keepNames = false;
    walker.foldNames = false;
    walker.currentName = NAME_PLAIN;
    walker.takeName = true;
    walker.readAhead = AheadSettings{};
    walker.ahead = nullptr;
    walker.aheadFound = AheadStatuses{};
    return walker;
}

int walk(DirectoryWalker* walker, const WideString& root, const WideString& otherRoot) {
    walker->descent.clear();
    if (walker->avoidIdentity && root.length > 0) {
        DirectoryIdentity identity;
        if (platformDirectoryIdentity(root.buffer, &identity) && sameIdentity(identity, walker->avoided)) {
            return WALK_OK;
        }
    }
    walker->aheadPlace.clear();
    if (walker->readAhead.readers > 0) walker->ahead = startReadAhead(walker->readAhead, root, otherRoot);
    int result = walkDirectory(walker, root, root, otherRoot);
    endReadAhead(walker->ahead);
    walker->ahead = nullptr;
    walker->aheadFound = AheadStatuses{};
    return result;
}

long long entriesHandedOver(const DirectoryWalker& walker) {
    return static_cast<long long>(walker.directoryCount) + walker.fileCount;
}

size_t listingDepth(const DirectoryWalker& walker) {
    return walker.descent.empty() ? SIZE_MAX : walker.descent.size() - 1;
}

// Lists one directory in the order the system delivers its entries: each entry
// is counted and handed over, and a subdirectory is descended into right after
// its own call. The directory itself goes to the after-directory handler once
// everything below it was listed without error. The first problem ends the
// step and, through the callers, the whole walk.
int walkDirectory(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                  const WideString& otherRoot) {
    return walkLevel(walker, directory, walkRoot, otherRoot, 0, DirectoryIdentity{0, 0});
}

namespace {

// One directory, whose identity may already be known from the check before entering it.
int walkLevel(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
              const WideString& otherRoot, int identityState, const DirectoryIdentity& identity) {
    if (stopAsked(walker)) return WALK_BROKEN;
    if (!walker->entryHandler && !walker->afterDirectoryHandler) return WALK_NO_HANDLER;
    if (directory.length == 0) return WALK_OK;

    WideString base = directory;
    if (base.buffer[base.length - 1] != PATH_SEPARATOR) base.AppendSeparator();
    int reason = 0;
    LevelListing listing;
    if (!openLevel(walker, base, &listing, &reason)) {
        walker->failedDirectory = directory;
        walker->failureReason = WideString(platformReasonText(reason).c_str());
        return WALK_FIND_ERROR;
    }

    size_t level = walker->descent.size();
    walker->descent.push_back(WalkFrame{&directory, identityState, identity});
    if (walker->keepNames) {
        if (walker->levelNames.size() <= level) walker->levelNames.resize(level + 1);
        walker->levelNames[level].clear();
    }
    if (walker->foldNames) {
        if (walker->levelFolds.size() <= level) walker->levelFolds.resize(level + 1);
        FoldLevel& names = walker->levelFolds[level];
        emptyKeys(&names.taken);
        names.listed = false;
        names.byName.clear();
    }
    int result = WALK_OK;
    DirectoryEntry entry;
    uint32_t position = 0;
    while (nextLevelEntry(walker, &listing, &entry)) {
        uint32_t place = position++;
        if (stopAsked(walker)) {
            result = WALK_BROKEN;
            break;
        }
        if (entry.isDirectory ? isDotEntry(entry.name) : !walker->visitFiles) continue;
        if (walker->keepNames) walker->levelNames[level].push_back(ListedName{entry.name, false});
        WideString entryPath = base + entry.name;
        // The avoided directory is neither handed over nor entered; one the
        // handler leaves alone is not asked, unless it is to be entered after all.
        int childState = 0;
        DirectoryIdentity child{0, 0};
        bool askLater = entry.isDirectory && walker->avoidIdentity && !entry.isLink && walker->passesBy &&
                        walker->passesBy(walker, entryPath, walkRoot, otherRoot);
        if (entry.isDirectory && walker->avoidIdentity && !askLater) {
            childState = platformDirectoryIdentity(entryPath.buffer, &child) ? 1 : -1;
            if (childState == 1 && sameIdentity(child, walker->avoided)) continue;
        }
        if (entry.isDirectory) {
            ++walker->directoryCount;
        } else {
            ++walker->fileCount;
        }
        walker->current.isDirectory = entry.isDirectory;
        walker->current.isLink = entry.isLink;
        walker->current.statusKnown = entry.statusKnown;
        if (entry.statusKnown) walker->current.status = entry.status;
        walker->skipDescent = false;
        walker->leftBelow = false;
        uint64_t key = 0;
        noteName(walker, level, base, entry.name, &key);
        if (walker->entryHandler && !walker->entryHandler(walker, entryPath, walkRoot, otherRoot)) {
            result = WALK_BROKEN;
            break;
        }
        if (walker->foldNames && walker->takeName && walker->currentName == NAME_PLAIN) {
            addKey(&walker->levelFolds[level].taken, key);
        }
        if (walker->currentName == NAME_HOLDS_SEPARATOR) walker->skipDescent = true;
        if (askLater && walker->recurse && !walker->skipDescent) {
            childState = platformDirectoryIdentity(entryPath.buffer, &child) ? 1 : -1;
            if (childState == 1 && sameIdentity(child, walker->avoided)) walker->skipDescent = true;
        }
        if (entry.isDirectory && walker->recurse && !walker->skipDescent &&
            mayEnter(walker, entryPath, entry.isLink, &childState, &child)) {
            walker->aheadPlace.push_back(place);
            result = walkLevel(walker, entryPath, walkRoot, otherRoot, childState, child);
            walker->aheadPlace.pop_back();
            if (result != WALK_OK) break;
            if (walker->keepNames) walker->levelNames[level].back().entered = true;
        } else if (walker->leftBelow && walker->keepNames) {
            walker->levelNames[level].back().entered = true;
        }
    }
    walker->descent.pop_back();

    bool cutByStop = false;
    SystemResult closed = closeLevel(walker, &listing, &cutByStop);
    if (cutByStop && result == WALK_OK) result = WALK_BROKEN;
    if (!closed) {
        walker->failedDirectory = directory;
        walker->failureReason = WideString(platformReasonText(closed.reason).c_str());
        return WALK_CLOSE_ERROR;
    }
    if (walker->keepNames) std::swap(walker->completedNames, walker->levelNames[level]);
    if (result == WALK_OK && walker->afterDirectoryHandler &&
        !walker->afterDirectoryHandler(walker, directory, walkRoot, otherRoot)) {
        result = WALK_BROKEN;
    }
    return result;
}

}  // namespace
