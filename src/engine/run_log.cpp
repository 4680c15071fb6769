// Writing the run log: its opening where it lies, its lines, and the walk-result lines.
#include "engine/run_log.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "base/text_file.h"
#include "engine/run_context.h"
#include "platform/platform.h"

namespace {

// The first failure to write the log is kept with its reason; the lines go on being tried.
void writeBytes(const char* bytes, size_t count) {
    FILE* file = runContext.logStream;
    if (!file) return;
    std::string line(bytes, count);
    line += LINE_END;
    SystemResult written = platformWriteBytes(file, line.data(), line.size());
    if (!written && runContext.log.failure.length == 0) {
        runContext.log.failure = WideString(platformReasonText(written.reason).c_str());
    }
}

const wchar_t* walkResultText(int result) {
    switch (result) {
        case WALK_BROKEN: return L"! Error => It is broken by user.";
        case WALK_FIND_ERROR: return L"! Error => Look for the files error. Please ensure the dir is valid.";
        case WALK_NO_HANDLER: return L"! Error => Handler defined error.";
        case WALK_CLOSE_ERROR: return L"! Error => Close find error.";
        default: return L"! Error => Unexpect error.";
    }
}

}  // namespace

// Where the log lies is kept too, so that a clean-up can leave it and the
// folders holding it alone, however they are reached.
bool openRunLog(const WideString& path, int* reason) {
    closeRunLog();
    runContext.log = RunLog();
    int why = 0;
    runContext.logStream = platformOpenOwnFile(path.buffer, &why);
    if (reason) *reason = why;
    if (!runContext.logStream) return false;
    int32_t cut = path.FindLastSeparator();
    WideString folder = cut > 0 ? path.Left(cut) : cut == 0 ? path.Left(1) : WideString(L".");
    RunLog& log = runContext.log;
    log.placeKnown = platformStreamIdentity(runContext.logStream, &log.identity) &&
                     platformDirectoryChain(folder.buffer, &log.folders);
    log.fileName = path.Tail(cut >= 0 ? cut + 1 : 1);  // with its separator, where it has one
    return true;
}

bool isOpenRunLog(const WideString& path) {
    DirectoryIdentity identity;
    return runContext.log.placeKnown && platformEntryIdentity(path.buffer, &identity) &&
           sameIdentity(identity, runContext.log.identity);
}

bool closeRunLog() {
    RunLog& log = runContext.log;
    log.placeKnown = false;
    log.fileName = WideString();
    log.folders.clear();
    if (!runContext.logStream) return log.failure.length == 0;
    SystemResult kept = platformCloseFile(runContext.logStream);
    runContext.logStream = nullptr;
    if (!kept && log.failure.length == 0) log.failure = WideString(platformReasonText(kept.reason).c_str());
    return log.failure.length == 0;
}

void writeBanner(bool dryRun) {
    static const char* const lines[] = {
        "*---------------------------------------------*",
        "| Descript : Copy dirs and files by rules.    |",
        "| Create on: 2010/10/3                        |",
        "*---------------------------------------------*",
    };
    for (const char* line : lines) writeBytes(line, std::strlen(line));
    // A dry run's log cannot be taken for a real run's.
    if (dryRun) {
        static const char dryRunLine[] =
            "* Dry run: nothing was changed; the lines below tell what a run would change.";
        writeBytes(dryRunLine, std::strlen(dryRunLine));
    }
}

void writeLogLine(const WideString& line) {
    if (!runContext.logStream) return;
    // A control character in a path would end the line early or forge
    // another: each is written as "?", like a character the code page lacks.
    NarrowString bytes = ToNarrowLossy(ControlsAsQuestionMarks(line));
    writeBytes(bytes.buffer, static_cast<size_t>(bytes.length));
}

void writeEmptyLine() { writeBytes("", 0); }

void writeMessageLine() { writeLogLine(runContext.messageText); }

void reportWalkResult(int result) {
    if (result == WALK_OK) return;
    runContext.messageText = walkResultText(result);
    writeMessageLine();
    showStatus(STATUS_ERROR, runContext.messageText);
}

namespace {

// The text a line puts between the two paths it names.
const wchar_t kPairSeparator[] = L"] -> [";

// path with each kPairSeparator in it written "] ?> [".
WideString withoutPairSeparator(const WideString& path) {
    const int32_t length = static_cast<int32_t>(std::wcslen(kPairSeparator));
    WideString shown = path;
    for (int32_t at = 0; at + length <= shown.length; ++at) {
        if (std::wcsncmp(shown.buffer + at, kPairSeparator, static_cast<size_t>(length)) == 0) {
            shown.buffer[at + 2] = L'?';
            at += length - 1;
        }
    }
    return shown;
}

}  // namespace

WideString pathPair(const WideString& source, const WideString& target) {
    return withoutPairSeparator(source) + kPairSeparator + withoutPairSeparator(target);
}

WideString decimalText(long long value) {
    std::string digits = std::to_string(value);
    std::wstring wide(digits.begin(), digits.end());
    return WideString(wide.c_str());
}
