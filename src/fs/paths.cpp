// Path tests, the levels of a path made, and the update test of two entries.
#include "fs/paths.h"

#include "base/separator.h"
#include "fs/changes.h"

bool endsWithSeparator(const WideString& path) {
    return path.length > 0 && path.buffer[path.length - 1] == PATH_SEPARATOR;
}

WideString dropTrailingSeparator(const WideString& path) {
    if (!endsWithSeparator(path)) return path;
    // On POSIX the lone "/" is the root itself and stays as it is.
    if (path.length == 1 && platformIsDriveName(path.buffer, 1)) return path;
    return path.Left(path.length - 1);
}

EntryState queryEntryState(const WideString& path) {
    EntryState state{false, false, {}};
    if (path.length == 0) return state;
    if (!endsWithSeparator(path) || (path.length == 1 && platformIsDriveName(path.buffer, 1))) {
        state.queried = platformQueryEntry(path.buffer, &state.status);
        if (state.queried) {
            state.isDirectory = state.status.isDirectory;
        } else if (platformIsDriveName(path.buffer, path.length)) {
            state.isDirectory = platformDriveHoldsFolders(path.buffer);
        }
        return state;
    }
    // Exactly one trailing separator is dropped; a path that still ends in
    // one names nothing, as the system's status query finds.
    WideString tested = dropTrailingSeparator(path);
    if (tested.length == path.length || (endsWithSeparator(tested) && !isDriveRoot(tested))) return state;
    return queryEntryState(tested);
}

bool isDriveRoot(const WideString& path) {
    if (path.length == 0) return false;
    WideString tested = dropTrailingSeparator(path);
    return tested.length > 0 && platformIsDriveName(tested.buffer, tested.length);
}

bool directoryExists(const WideString& path) { return queryEntryState(path).isDirectory; }

bool fileExists(const WideString& path) {
    EntryState state = queryEntryState(path);
    return state.queried && !state.isDirectory;
}

std::vector<DirectoryLevel> directoryLevels(const WideString& path) {
    std::vector<DirectoryLevel> levels;
    int32_t position = rootLevelLength(path.buffer, path.length);
    if (position > 0) levels.push_back(DirectoryLevel{path.Left(position), true});
    while (position < path.length) {
        int32_t end = position;
        while (end < path.length && path.buffer[end] != PATH_SEPARATOR) ++end;
        // A doubled separator makes no level of its own: a/b//c has the levels a/, a/b/ and a/b//c.
        bool empty = end == position && position > 0;
        if (end < path.length) ++end;  // the separator belongs to its level
        position = end;
        if (!empty) levels.push_back(DirectoryLevel{path.Left(position), false});
    }
    return levels;
}

// The root level (a drive, a share) is never created: it is there when the
// system reaches it. The levels made before a failing one stay. A walk makes
// each directory right after its parent, so the parent is asked first and
// the levels above it only when it is missing: the cost of a level does not
// grow with its depth.
SystemResult createDirectoryPath(Changes* changes, const WideString& path) {
    WideString whole = dropTrailingSeparator(path);
    if (directoryExists(whole)) return SystemResult{true, 0};
    int32_t cut = whole.FindLastSeparator();
    int32_t root = rootLevelLength(whole.buffer, whole.length);
    if (cut > 0 && cut + 1 > root && cut + 1 < whole.length && directoryExists(whole.Left(cut + 1))) {
        SystemResult made = changeCreateDirectory(changes, whole.buffer);
        // Another worker of the run may have made it meanwhile.
        return made || !directoryExists(whole) ? made : SystemResult{true, 0};
    }
    for (const DirectoryLevel& level : directoryLevels(path)) {
        if (directoryExists(level.path)) continue;
        if (level.root) {
            if (platformDriveHoldsFolders(level.path.buffer)) continue;
            return SystemResult{false, FAILURE_WOULD_BE_MISSING};
        }
        SystemResult made = changeCreateDirectory(changes, level.path.buffer);
        if (!made && !directoryExists(level.path)) return made;
    }
    return SystemResult{true, 0};
}

namespace {

// One level a directory's make is to add, beside the level of its source.
struct LevelToMake {
    WideString source;  // the source level of the same name
    WideString target;  // the level to make
};

// True when the last names of a and b (cut at their last separators) are the same.
bool sameLastName(const WideString& a, int32_t aCut, const WideString& b, int32_t bCut) {
    int32_t length = a.length - aCut;
    if (length != b.length - bCut) return false;
    for (int32_t i = 1; i < length; ++i) {
        if (a.buffer[aCut + i] != b.buffer[bCut + i]) return false;
    }
    return true;
}

// The levels of target that do not stand, the deepest first, each beside the
// level of source of the same name, up to the first that stands (*above says
// it stands) or to the first whose name the source's level does not share.
std::vector<LevelToMake> levelsToMake(const WideString& source, const WideString& target, bool* aboveStands) {
    std::vector<LevelToMake> levels;
    WideString from = dropTrailingSeparator(source);
    WideString to = dropTrailingSeparator(target);
    *aboveStands = false;
    while (!directoryExists(to)) {
        levels.push_back(LevelToMake{from, to});
        int32_t cut = to.FindLastSeparator();
        int32_t fromCut = from.FindLastSeparator();
        if (cut <= 0 || cut + 1 <= rootLevelLength(to.buffer, to.length) || fromCut <= 0 ||
            fromCut + 1 <= rootLevelLength(from.buffer, from.length) || !sameLastName(to, cut, from, fromCut)) {
            return levels;
        }
        to = to.Left(cut);
        from = from.Left(fromCut);
    }
    *aboveStands = true;
    return levels;
}

// Makes target and each missing level above it that has its source's name,
// the highest first; each level made is given what its source level has
// (give) before anything is made in it, so that no folder stands with the
// runner's owner and mode below another that is the source's. The target
// itself is given it also when it stood before. A level made is given it
// even when a stop comes meanwhile. A drive root is never given anything.
template <typename Give>
SystemResult makeLevelsLike(Changes* changes, const WideString& source, const WideString& target, Give give) {
    bool aboveStands = false;
    std::vector<LevelToMake> levels = levelsToMake(source, target, &aboveStands);
    for (size_t i = levels.size(); i-- > 0;) {
        const LevelToMake& level = levels[i];
        bool top = i + 1 == levels.size();
        SystemResult made{true, 0};
        if (top && !aboveStands) {
            made = createDirectoryPath(changes, level.target);
        } else {
            made = changeCreateDirectory(changes, level.target.buffer);
            // Another worker of the run may have made it meanwhile.
            if (!made && directoryExists(level.target)) made = SystemResult{true, 0};
        }
        if (!made) return made;
        if (i == 0) break;
        SystemResult given = give(level.source, level.target, true);
        if (!given) return given;
    }
    if (isDriveRoot(target)) return SystemResult{true, 0};
    return give(source, target, !levels.empty());
}

}  // namespace

// A source that cannot be read gives nothing: the level fails.
SystemResult createDirectoryLike(Changes* changes, const WideString& source, const WideString& target) {
    return makeLevelsLike(changes, source, target,
                          [changes](const WideString& from, const WideString& to, bool madeNow) {
                              uint32_t word = 0;
                              if (!platformReadAttributeWord(from.buffer, &word))
                                  return SystemResult{false, FAILURE_WOULD_BE_MISSING};
                              return changeWriteAttributeWord(changes, to.buffer, word, madeNow);
                          });
}

SystemResult createDirectoryKeeping(Changes* changes, const WideString& source, const WideString& target,
                                    const KeptMetadata& keep) {
    return makeLevelsLike(changes, source, target,
                          [changes, &keep](const WideString& from, const WideString& to, bool madeNow) {
                              EntryStatus status;
                              if (!platformQueryEntry(from.buffer, &status))
                                  return SystemResult{false, FAILURE_WOULD_BE_MISSING};
                              bool changed = false;
                              return changeWriteMetadata(changes, from.buffer, to.buffer, keep, &changed, madeNow);
                          });
}

ComparedSide compareSide(const WideString& path, const EntryState& state, bool needsWord) {
    // A path that ends in a separator names no file: the status query sees no time or size.
    ComparedSide side{state, state.queried && !endsWithSeparator(path), false, 0};
    if (!needsWord) return side;
    if (state.queried) {
        side.wordKnown = true;
        side.word = state.status.attributeWord;
    } else {
        side.wordKnown = platformReadAttributeWord(path.buffer, &side.word);
    }
    return side;
}

// Two non-directories differ unless both can be queried and have the same
// size and modification time (to the nanosecond, or within the window's
// whole seconds); where a directory is involved the attribute words decide.
bool sidesDiffer(const ComparedSide& source, const ComparedSide& target, long long timeWindow) {
    if (!source.state.isDirectory && !target.state.isDirectory) {
        if (!source.stamped || !target.stamped) return true;
        const EntryStatus& from = source.state.status;
        const EntryStatus& to = target.state.status;
        long long apart = from.modifiedSeconds - to.modifiedSeconds;
        if (apart < 0) apart = -apart;
        bool sameTime =
            timeWindow > 0 ? apart <= timeWindow : apart == 0 && from.modifiedNanoseconds == to.modifiedNanoseconds;
        // A copy that carries set-ID bits under another owner than its
        // source's (made before copies dropped them) is made again.
        bool misowned = to.setId && to.owner != from.owner;
        return !sameTime || from.size != to.size || misowned;
    }
    return !source.wordKnown || !target.wordKnown || source.word != target.word;
}

void queryBothStates(const WideString& source, const WideString& target, EntryState* sourceState,
                     EntryState* targetState, const EntryStatus* sourceKnown, bool targetMissing,
                     const EntryStatus* targetKnown) {
    if (sourceKnown && !endsWithSeparator(source)) {
        *sourceState = EntryState{true, sourceKnown->isDirectory, *sourceKnown};
    } else {
        *sourceState = queryEntryState(source);
    }
    if (targetMissing) {
        *targetState = EntryState{false, false, {}};
    } else if (targetKnown && !endsWithSeparator(target)) {
        *targetState = EntryState{true, targetKnown->isDirectory, *targetKnown};
    } else {
        *targetState = queryEntryState(target);
    }
}

// Each side is queried once; an attribute word is read only where a
// directory is involved and its side's query told none.
// cppcheck-suppress unusedFunction ; the update test with its queries, which its tests call
bool entriesDifferWith(const WideString& source, const WideString& target, EntryState* sourceState,
                       EntryState* targetState, long long timeWindow, const EntryStatus* sourceKnown,
                       bool targetMissing, const EntryStatus* targetKnown) {
    queryBothStates(source, target, sourceState, targetState, sourceKnown, targetMissing, targetKnown);
    bool words = sourceState->isDirectory || targetState->isDirectory;
    return sidesDiffer(compareSide(source, *sourceState, words), compareSide(target, *targetState, words), timeWindow);
}

bool directoryBelow(const WideString& inner, const WideString& outer) {
    if (inner.length == 0 || outer.length == 0) return false;
    DirectoryIdentity target;
    std::vector<DirectoryIdentity> chain;
    if (!platformDirectoryIdentity(outer.buffer, &target) || !platformDirectoryChain(inner.buffer, &chain)) {
        return false;
    }
    for (size_t level = 1; level < chain.size(); ++level) {
        if (sameIdentity(chain[level], target)) return true;
    }
    return false;
}

// Built in one allocation: it runs for every entry of a walk.
WideString counterpartPath(const WideString& path, const WideString& root, const WideString& otherRoot) {
    if (path.length == 0 || root.length == 0 || !StartsWith(path, root) || path.length == root.length) {
        return otherRoot;
    }
    const wchar_t* relative = path.buffer + root.length;
    int32_t relativeLength = path.length - root.length;
    bool rootEnds = endsWithSeparator(otherRoot);
    bool relativeBegins = relative[0] == PATH_SEPARATOR;
    const wchar_t separator[] = {PATH_SEPARATOR, L'\0'};
    if (rootEnds && relativeBegins) {
        ++relative;
        --relativeLength;
    }
    const wchar_t* middle = (!rootEnds && !relativeBegins) ? separator : L"";
    return WideString::Join(otherRoot.buffer, otherRoot.length, middle, relative, relativeLength);
}

bool hasDotLevel(const WideString& path) {
    int32_t start = 0;
    for (int32_t i = 0; i <= path.length; ++i) {
        if (i < path.length && !isComponentSeparator(path.buffer[i])) continue;
        if (i > start && isDotName(path.buffer + start, static_cast<size_t>(i - start))) return true;
        start = i + 1;
    }
    return false;
}

WideString nearestStandingFolder(const WideString& path) {
    WideString level = dropTrailingSeparator(path);
    while (level.length > 0 && !directoryExists(level)) {
        int32_t cut = level.FindLastSeparator();
        while (cut > 0 && level.buffer[cut - 1] == PATH_SEPARATOR) --cut;  // a doubled separator is one
        if (cut < 0) return directoryExists(WideString(L".")) ? WideString(L".") : WideString();
        level = cut == 0 ? level.Left(1) : level.Left(cut);
    }
    return level;
}
