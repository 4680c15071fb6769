// The empty-From guard counts files before a mirror changes anything; the
// replacement guard judges the replacements a run's copy walk held back.
#include "engine/guards.h"

#include <algorithm>
#include <vector>

#include "base/separator.h"
#include "engine/entry_reports.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_log.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// What a count of files found.
struct FileCount {
    long long files = 0;    // files the rules take, up to the count's bound
    bool anyEntry = false;  // the root holds an entry at all (a folder, a file the rules leave)
    bool rootRead = false;  // the root could be listed
};

// True when the rules of rulesOf take the file at path, found below root.
bool takenFile(const RunState& rulesOf, const WideString& path, const WideString& root) {
    return judgeByRules(rulesOf, path, root, false) == RULE_TAKE;
}

// True when the entry name at path is the open run log: only an entry of its name is asked.
bool isRunLogEntry(const WideString& path, const wchar_t* name) {
    return runContext.log.placeKnown && WideString(name) == runContext.log.fileName && isOpenRunLog(path);
}

// Counts the files below root that a mirror takes, From's (run null) or
// To's (run given: its versions folder, any marked versions folder and its
// log are none of them), one folder's listing at a time, without
// recursion; stops once more than most are found, in the middle of a
// listing too (most below 0: counts them all). A file is any entry but a
// folder: a link is not followed. A folder that cannot be listed gives none.
// The rules are rulesOf's.
FileCount countFiles(const RunState& rulesOf, const RunState* run, const WideString& root, long long most) {
    FileCount count;
    std::vector<WideString> folders{root};
    bool atTop = true;
    while (!folders.empty() && (most < 0 || count.files <= most)) {
        WideString base = folders.back();
        folders.pop_back();
        // Joined as the walks join, so that the rules see the paths they see.
        if (base.length > 0 && base.buffer[base.length - 1] != PATH_SEPARATOR) base.AppendSeparator();
        int reason = 0;
        DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
        bool top = atTop;
        atTop = false;
        if (top) count.rootRead = listing != nullptr;
        if (!listing) continue;
        DirectoryEntry entry;
        // A big folder is read only as far as the count needs.
        while ((most < 0 || count.files <= most) && platformNextEntry(listing, &entry)) {
            if (entry.isDirectory && isDotEntry(entry.name)) continue;
            WideString path = base + entry.name;
            if (run && (isVersionsPlace(run, path) || isRunLogEntry(path, entry.name))) continue;
            // A versions folder of another run's is no file a mirror would take either.
            if (run && entry.isDirectory && !entry.isLink && isMarkedVersionsFolder(path)) continue;
            count.anyEntry = count.anyEntry || top;
            if (entry.isDirectory && !entry.isLink) {
                folders.push_back(path);
            } else if (takenFile(rulesOf, path, root)) {
                ++count.files;
            }
        }
        platformCloseListing(listing);
    }
    return count;
}

// True when folder holds an entry; for run (To), one a mirror would take:
// anything but the versions folder (and the folders on its way to it, when
// they hold nothing else) and the run log. A folder that cannot be listed
// holds what it may.
bool holdsEntries(const RunState* run, const WideString& folder) {
    WideString base = folder;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return true;
    bool holds = false;
    DirectoryEntry entry;
    while (!holds && platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        WideString path = base + entry.name;
        if (run && (isVersionsPlace(run, path) || isOpenRunLog(path))) continue;
        if (run && entry.isDirectory && !entry.isLink && isMarkedVersionsFolder(path)) continue;
        holds = !holdsVersions(run, path) || holdsEntries(run, path);
    }
    platformCloseListing(listing);
    return holds;
}

// "[n] files", or "no file", with the words the rules add.
WideString filesText(long long files) {
    WideString text = files == 0 ? WideString(L"no file") : WideString(L"[") + decimalText(files) + L"] files";
    return runContext.ruleActive ? text + L" the rules take" : text;
}

}  // namespace

// From is counted as far as it takes to know it holds more than a few
// files: on any ordinary night, one listing or a few. Only a From of few
// files has To counted, as far as it takes to know it holds too many, and
// all of it for the figures of a refusal. A From that cannot be listed is
// left to the walk, which tells why.
int guardEmptySource(const RunState* run, const WideString& from, const WideString& to) {
    FileCount source = countFiles(*run, nullptr, from, EMPTY_FROM_FEW_FILES);
    if (!source.rootRead || source.files > EMPTY_FROM_FEW_FILES) return RUN_OK;
    long long most = source.files * EMPTY_FROM_RATIO;
    FileCount target = countFiles(*run, run, to, most);
    if (target.files <= most) {
        if (source.anyEntry || !holdsEntries(run, to)) return RUN_OK;
        return refuse(RUN_EMPTY_SOURCE, WideString(L"! Error => Source dir [") + from +
                                            L"] is empty and destination dir [" + to +
                                            L"] is not: the mirror would delete everything in it.");
    }
    long long toFiles = countFiles(*run, run, to, -1).files;
    WideString line = WideString(L"! Error => Source dir [") + from;
    if (!source.anyEntry) {
        line += L"] is empty";
    } else if (source.files == 0) {
        line += L"] holds " + filesText(0);
    } else {
        line += WideString(L"] holds only ") + filesText(source.files);
    }
    line += WideString(L" and destination dir [") + to + L"] holds " + filesText(toFiles) +
            (source.files == 0 ? L": the mirror would delete them all." : L": the mirror would delete nearly all.");
    return refuse(RUN_EMPTY_SOURCE, line);
}

long long replaceLimit(const RunState* run) {
    if (run->options.maxReplace >= 0) return run->options.maxReplace;
    return std::max(REPLACE_GUARD_FREE, std::max(run->comparedFiles, run->options.guardBase) / 2);
}

// The window's user has no option to give: the window asks, No by default.
int judgeReplacements(RunState* run, const WideString& to, bool synchronous) {
    long long count = static_cast<long long>(run->heldReplacements.size());
    long long limit = replaceLimit(run);
    if (count <= limit) return RUN_OK;
    WideString compared = decimalText(run->comparedFiles);
    if (run->options.replaceGuard == REPLACE_GUARD_ASK) {
        showStatus(STATUS_NOTICE, WideString(L"[Copy] would replace [") + decimalText(count) + L"] of [" + compared +
                                      L"] files in [To Folder].");
        bool yes = askCautious(WideString(L"The copy would replace [") + decimalText(count) + L"] of the [" + compared +
                               L"] files in [" + to +
                               L"]\nthat it compared, more than half of them: their old contents would be lost,\n"
                               L"as when a program rewrote every file of the From Folder.\n\n"
                               L"Do you want to continue?");
        return yes ? RUN_OK : RUN_DECLINED;
    }
    run->tally.replacesHeld = count;
    run->heldReplacements.clear();
    WideString line = WideString(L"! Error => Replacement guard: the run would replace [") + decimalText(count);
    if (run->options.maxReplace >= 0) {
        line += WideString(L"] files in [") + to + L"], more than the limit [" + decimalText(limit) + L"]";
    } else {
        line += WideString(L"] of the [") + compared + L"] files it compared in [" + to + L"], more than half of them";
    }
    line += synchronous ? L"; nothing was replaced or deleted." : L"; nothing was replaced.";
    return refuse(RUN_REPLACES_HELD, line);
}
