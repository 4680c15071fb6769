#include "engine/list_run.h"

#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>

#include "engine/folder_run.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
#include "fs/changes.h"
#include "fs/line_reader.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// What is shown of a line that gives no entry: its bytes, undecodable ones
// escaped, cut short when the line is longer than any path.
const int32_t SHOWN_UNITS_MAX = 200;

void noteFault(const ReadLine& line, bool tooLong) {
    WideString shown = DecodeNarrowEscaped(line.bytes.data(), line.bytes.size());
    if (tooLong || shown.length > SHOWN_UNITS_MAX) shown = shown.Left(SHOWN_UNITS_MAX) + L"...";
    runContext.listFaults.push_back(ListLineFault{line.number, runContext.listEntries.size(), tooLong, shown});
}

// A line becomes an entry only when all of its bytes decode: a line the code
// page rejects, or holding a NUL, is never kept cut short or empty.
bool storeLine(void* data, ReadLine* read) {
    int* count = static_cast<int*>(data);
    ReadLine& line = *read;
    std::string& bytes = line.bytes;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    if (bytes.empty() && !line.overflowed) return true;
    WideString entry;
    bool tooLong = line.overflowed || bytes.size() > LIST_LINE_MAX_BYTES - 4;
    bool decoded = !tooLong && DecodeNarrow(bytes.data(), bytes.size(), &entry);
    if (decoded && static_cast<size_t>(entry.length) > LIST_LINE_MAX_UNITS) tooLong = true;
    if (tooLong || !decoded) {
        noteFault(line, tooLong);
        return true;
    }
    runContext.listEntries.push_back(entry);
    ++*count;
    return true;
}

// Where the system takes another separator as well (Windows: "/"), an entry
// is written with the platform's own, so that its levels are found and made.
WideString joined(const WideString& folder, const WideString& entry) {
    WideString path = folder;
    path.AppendSeparator();
    WideString tail = entry;
    for (int32_t i = 0; i < tail.length; ++i) {
        if (isComponentSeparator(tail.buffer[i])) tail.buffer[i] = PATH_SEPARATOR;
    }
    return path + tail;
}

// An entry's path below the folders as one spelling: its names joined by
// the platform's separator, empty names and "." left out.
std::wstring normalEntry(const WideString& entry) {
    std::wstring normal;
    int32_t start = 0;
    for (int32_t i = 0; i <= entry.length; ++i) {
        if (i < entry.length && !isComponentSeparator(entry.buffer[i])) continue;
        bool dot = i - start == 1 && entry.buffer[start] == L'.';
        if (i > start && !dot) {
            if (!normal.empty()) normal.push_back(PATH_SEPARATOR);
            normal.append(entry.buffer + start, static_cast<size_t>(i - start));
        }
        start = i + 1;
    }
    return normal;
}

}  // namespace

// Lines end in LF, a CR before it is dropped; a byte-order mark at the start
// of any line is dropped; empty lines are skipped. A file that exists but
// cannot be opened or read is an error, not an empty list. Memory grows with
// the entries kept, never with one line beyond LIST_LINE_MAX_BYTES.
int readListFile(const WideString& listFile) {
    if (!platformEntryExists(listFile.buffer)) return -1;
    runContext.listEntries.clear();
    runContext.listFaults.clear();
    int count = 0;
    if (!readLines(listFile.buffer, LIST_LINE_MAX_BYTES, storeLine, &count)) return -1;
    return count;
}

bool listEntryLeavesFolder(const WideString& entry) {
    if (isRootedPath(entry.buffer)) return true;
    int32_t start = 0;
    for (int32_t i = 0; i <= entry.length; ++i) {
        if (i < entry.length && !isComponentSeparator(entry.buffer[i])) continue;
        if (i - start == 2 && entry.buffer[start] == L'.' && entry.buffer[start + 1] == L'.') {
            return true;
        }
        start = i + 1;
    }
    return false;
}

namespace {

// Reports, as errors, the lines that gave no entry and stood before entry
// index; gives how many it reported.
int reportLineFaults(size_t index, size_t* reported) {
    int count = 0;
    std::vector<ListLineFault>& faults = runContext.listFaults;
    while (*reported < faults.size() && faults[*reported].beforeEntry <= index) {
        const ListLineFault& fault = faults[(*reported)++];
        WideString lineNumber = decimalText(fault.line);
        runContext.messageText = fault.tooLong
                                     ? WideString(L"! Error => List entry is longer than any path [") + fault.shown +
                                           L"] on line [" + lineNumber + L"]."
                                     : WideString(L"! Error => List entry is not valid text in the code page [") +
                                           fault.shown + L"] on line [" + lineNumber + L"].";
        reportEntryFailure(fault.shown, WideString());
        ++count;
    }
    return count;
}

}  // namespace

// The folder checks, the list file's checks, then each entry in file order:
// joined to both folders with one separator and brought up to date. No rule,
// no clean-up, no pumping. An entry that would leave the folders is refused.
int ListCopyRun(bool showCopyFile, const WideString& from, const WideString& to, const WideString& listFile) {
    platformSetUserLocale();
    beginRun();
    writeBanner();
    int refused = validateFolders(from, to);
    if (refused != RUN_OK) return refused;
    if (!fileExists(listFile)) {
        runContext.messageText = WideString(L"! Error => List file [") + listFile + L"] is not exist.";
        reportError();
        return RUN_NO_LIST_FILE;
    }
    runContext.showCopyFile = showCopyFile;
    int count = readListFile(listFile);
    if (count < 0 || static_cast<size_t>(count) != runContext.listEntries.size()) {
        runContext.messageText = WideString(L"! Error => Copy list error. [") + listFile + L"]";
        reportError();
        return RUN_LIST_READ_ERROR;
    }
    runContext.replaceLinks = false;
    if (runStopRequested() || !platformGuardTree(to.buffer)) {
        platformReleaseTree();
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    writeLogLine(WideString(L"Start to copy [") + from + L"] -> [" + to + L"]...");
    writeEmptyLine();

    runContext.updatedCount = 0;
    runContext.listUpdatedCount = 0;
    int total = 0;
    size_t faultsReported = 0;
    // Each path taken, by its folded key: two lines naming paths equal but
    // for case name one entry of a To that does not tell case apart.
    std::unordered_map<std::wstring, std::wstring> takenPaths;
    for (size_t index = 0; index <= runContext.listEntries.size(); ++index) {
        noteEntryDone(total);
        if (runStopRequested()) break;
        total += reportLineFaults(index, &faultsReported);
        if (index == runContext.listEntries.size()) break;
        const WideString& entry = runContext.listEntries[index];
        ++total;
        ++runContext.tally.files;
        if (listEntryLeavesFolder(entry)) {
            runContext.messageText = WideString(L"! Error => List entry is outside the From Folder [") + entry + L"].";
            reportEntryFailure(entry, WideString());
            continue;
        }
        WideString source = joined(from, entry);
        WideString target = joined(to, entry);
        std::wstring normal = normalEntry(entry);
        std::wstring key;
        platformFoldName(normal.c_str(), &key);
        auto taken = takenPaths.emplace(std::move(key), normal).first;
        if (taken->second != normal && targetFoldsCase(target)) {
            reportNameTaken(source, WideString(taken->second.c_str()), true);
            continue;
        }
        bool ok = copyIfUpdated(from, to, source);
        if (runStopRequested()) break;
        if (runContext.notPlainFile) {
            reportNotPlainFile(source);
            continue;
        }
        if (runContext.linkInTheWay) {
            reportLinkInTheWay(target);
            continue;
        }
        if (runContext.nameTakenBy.length > 0) {
            reportNameTaken(source, runContext.nameTakenBy, false);
            continue;
        }
        if (!runContext.changeAttempted) continue;
        if (ok) {
            ++runContext.listUpdatedCount;
            WideString line = WideString(L"  CP: [") + source + L"] -> [" + target + L"]";
            if (runContext.showCopyFile) {
                runContext.messageText = line;
                writeErrorLine();
                showStatus(STATUS_INFO, runContext.messageText);
            }
            bool made = runContext.lastCopiedBytes == 0 && directoryExists(source) && !platformIsLink(source.buffer);
            reportChange(made ? REPORT_CREATED : REPORT_COPIED, line, source, runContext.lastCopiedBytes);
        } else {
            WideString reason = failureReason();
            runContext.messageText = WideString(L"! Error => Copy failure: [") + source + L"] -> [" + target + L"]";
            reportEntryFailure(source, reason);
        }
    }

    platformReleaseTree();
    if (runStopRequested()) {
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    if (runContext.hadErrors || (runContext.showCopyFile && runContext.listUpdatedCount > 0)) {
        writeEmptyLine();
    }
    writeLogLine(WideString(L"End of copy [") + from + L"] -> [" + to + L"].");
    writeEmptyLine();
    runContext.messageText = WideString(L"Total: [") + WideString(total) + L" files].";
    writeErrorLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.listUpdatedCount) + L" files]. ");
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}
