// The report steps: an entry's change, skip or failure to the log, the front end and the tally.
#include "engine/entry_reports.h"

#include "engine/rule.h"
#include "engine/run_log.h"
#include "fs/changes.h"
#include "platform/platform.h"

namespace {

void tell(int kind, const WideString& line, const WideString& path, const WideString& reason, long long bytes,
          const WideString& target = WideString()) {
    const Host& host = runContext.host;
    if (!host.reported) return;
    RunReport report{kind, line.buffer, path.buffer, reason.buffer, bytes, target.buffer};
    host.reported(host.data, &report);
}

}  // namespace

// A counting pass tells no one: it only counts what it would delete.
void reportEntryFailure(RunState* run, const WideString& message, const WideString& path, const WideString& reason,
                        const WideString& target) {
    checkOnRunThread(*run);
    if (run->counting) return;
    runContext.messageText = message;
    runContext.hadErrors = true;
    ++run->tally.failed;
    writeMessageLine();
    if (runContext.host.reported) {
        tell(REPORT_FAILED, runContext.messageText, path, reason, 0, target);
    } else {
        showStatus(STATUS_ERROR, runContext.messageText);
    }
}

void reportNote(RunState* run, const WideString& line) {
    checkOnRunThread(*run);
    if (run->counting) return;
    if (runContext.showCopyFile) writeLogLine(line);
    tell(REPORT_NOTED, line, WideString(), WideString(), 0);
}

void reportContentsFound(RunState* run, const UpdateOutcome& outcome, const WideString& pair) {
    checkOnRunThread(*run);
    if (run->counting || !outcome.contentsRead) return;
    const wchar_t* warning = outcome.copyDamaged     ? L"  Damaged copy written again: ["
                             : outcome.sourceDamaged ? L"  Contents changed without a write, copied as asked: ["
                                                     : nullptr;
    if (!warning && !outcome.contentsOnly) return;
    if (!warning) return reportNote(run, WideString(L"  Contents differ, size and time alike: [") + pair + L"]");
    WideString line = WideString(warning) + pair + L"]";
    writeLogLine(line);
    tell(REPORT_WARNED, line, WideString(), WideString(), 0);
}

void reportSourceDamaged(RunState* run, const UpdateOutcome& outcome, const WideString& source,
                         const WideString& target) {
    if (!outcome.copyOthers) return reportCopyFailure(run, source, target, outcome.reason);
    checkOnRunThread(*run);
    if (run->counting) return;
    WideString line = WideString(L"  Contents changed without a write, a damaged source? Its copy kept: [") +
                      pathPair(source, target) + L"]";
    writeLogLine(line);
    tell(REPORT_WARNED, line, source, WideString(), 0);
}

void reportChange(RunState* run, int kind, const WideString& line, const WideString& path, long long bytes,
                  const WideString& target) {
    checkOnRunThread(*run);
    if (run->counting) {
        if (kind == REPORT_DELETED || kind == REPORT_REMOVED) ++run->counted;
        return;
    }
    RunTally& tally = run->tally;
    if (kind == REPORT_COPIED) {
        ++tally.copied;
        tally.bytes += bytes;
    } else if (kind == REPORT_CREATED) {
        ++tally.created;
    } else if (kind == REPORT_UPDATED) {
        ++tally.updated;
    } else if (kind == REPORT_KEPT) {
        ++tally.kept;
    } else if (kind == REPORT_EXPIRED) {
        ++tally.expired;
    } else if (kind == REPORT_MOVED) {
        ++tally.moved;
    } else {
        ++tally.deleted;
    }
    tell(kind, line, path, WideString(), bytes, target);
}

void reportSkip(RunState* run, const WideString& line, const WideString& path) {
    checkOnRunThread(*run);
    ++run->tally.skipped;
    if (runContext.host.reported) {
        tell(REPORT_SKIPPED, line, path, WideString(), 0);
    } else {
        showStatus(STATUS_NOTICE, line);
    }
}

void reportWalkStop(RunState* run, int result, const WideString& directory, const WideString& reason) {
    checkOnRunThread(*run);
    if (result != WALK_BROKEN && directory.length > 0) tell(REPORT_STOPPED, WideString(), directory, reason, 0);
    reportWalkResult(result);
}

void reportNotPlainFile(RunState* run, const WideString& entryPath) {
    checkOnRunThread(*run);
    WideString line = WideString(L"  SK: [") + entryPath + L"] (not a regular file)";
    writeLogLine(line);
    reportSkip(run, line, entryPath);
    pumpMessages();
}

void reportProgramsOwnName(RunState* run, const WideString& entryPath) {
    checkOnRunThread(*run);
    WideString line = WideString(L"  SK: [") + entryPath + L"] (a name of the program's own, not copied)";
    writeLogLine(line);
    reportSkip(run, line, entryPath);
    pumpMessages();
}

void reportLinkInTheWay(RunState* run, const WideString& target) {
    reportEntryFailure(run, WideString(L"! Error => Destination is a link, not followed: [") + target + L"]", target,
                       WideString());
    pumpMessages();
}

void reportNameTaken(RunState* run, const WideString& entryPath, const WideString& taken, bool caseOnly) {
    WideString message = caseOnly ? WideString(L"! Error => Same name but for case as [") + taken +
                                        L"], which the To folder does not tell apart: [" + entryPath + L"]"
                                  : WideString(L"! Error => Name is the short name of [") + taken +
                                        L"] in the To folder: [" + entryPath + L"]";
    reportEntryFailure(run, message, entryPath, WideString());
    pumpMessages();
}

bool targetFoldsCase(const WideString& target) {
    return platformFoldsCase(target.Left(target.FindLastSeparator()).buffer);
}

void reportCopyFailure(RunState* run, const WideString& source, const WideString& target, const WideString& given) {
    const WideString& reason = given;
    reportEntryFailure(run, WideString(L"! Error => Copy failure: [") + pathPair(source, target) + L"]", source, reason,
                       target);
    pumpMessages();
}

void reportLinkLoop(RunState* run, const WideString& directoryPath) {
    reportEntryFailure(run, WideString(L"! Error => Link loop is not entered [") + directoryPath + L"].", directoryPath,
                       WideString());
    pumpMessages();
}

RuleVerdict judgeByRules(const RunState& run, const WideString& entryPath, const WideString& walkRoot,
                         bool isDirectory) {
    if (!runContext.ruleActive) return RULE_TAKE;  // no subject to build for each entry
    return entryRuleVerdict(run.patterns, run.options.rulesRelative, entryPath, walkRoot, isDirectory);
}

// Under an active rule an entry whose path the rule cannot judge is neither
// copied nor deleted: it is reported once, and what lies below it is left as
// it is (its paths cannot be judged either).
void leaveByRule(RunState* run, DirectoryWalker* walker, const WideString& entryPath, bool unjudged, bool countSkip) {
    if (unjudged) {
        reportEntryFailure(
            run, WideString(L"! Error => The rule can not judge the path, left as it is: [") + entryPath + L"]",
            entryPath, WideString());
        pumpMessages();
        if (walker) walker->skipDescent = true;
    } else if (countSkip) {
        ++run->tally.skipped;
    }
}
