// The process-wide state that the runs, their handlers and the front ends share,
// and the host record through which the engine reaches whatever front end runs it.
#ifndef KORVANE_ENGINE_RUN_CONTEXT_H
#define KORVANE_ENGINE_RUN_CONTEXT_H

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "engine/run_codes.h"
#include "text/wide_string.h"

struct DirectoryWalker;

// Kinds of what a run tells a front end through Host::reported.
enum ReportKind {
    REPORT_COPIED,   // a file (or, with copyLinks, a link) was copied: its "  CP: [" line
    REPORT_CREATED,  // a directory was created or given its source's attributes: its "  CP: [" line
    REPORT_DELETED,  // a file or link without counterpart was deleted: its "  DF: [" line
    REPORT_REMOVED,  // a directory without counterpart was removed: its "  RD: [" line
    REPORT_SKIPPED,  // an entry that is no plain file or directory was left alone: its "  SK: [" line
    REPORT_FAILED,   // an entry could not be brought up to date: its "! Error => " line
    REPORT_STOPPED   // a walk stopped: path names the directory it could not read, when one
};

// One thing a run did (in a dry run: would do) or could not do.
struct RunReport {
    int kind;               // a REPORT_ kind
    const wchar_t* line;    // the line as the log writes it, with "Show Copy File" on
    const wchar_t* path;    // the entry concerned (the source of a copy), or the directory of a stop
    const wchar_t* reason;  // the system's words for a failure, or empty
    long long bytes;        // the bytes a copy wrote (0 for anything but a file copy)
};

// What a run has done so far, for a front end's figures.
struct RunTally {
    long long directories = 0;  // directories examined by the copy walk or listed
    long long files = 0;        // files (and links) examined by the copy walk or listed
    long long copied = 0;       // files and links copied
    long long created = 0;      // directories created or given their source's attributes
    long long deleted = 0;      // files, links and directories deleted by the clean-up
    long long skipped = 0;      // entries left alone by a rule or for not being a plain file
    long long failed = 0;       // entries that failed
    long long bytes = 0;        // bytes copied
};

// What the engine needs of a front end: three plain functions and their datum,
// and optional progress and report functions.
struct Host {
    // Shows text on the status line with its kind (STATUS_INFO, _NOTICE, _ERROR);
    // returns once the text has been shown, so the caller may reuse it.
    void (*showStatus)(void* data, int kind, const wchar_t* text);
    // Asks a Yes/No question; true for Yes.
    bool (*askYesNo)(void* data, const wchar_t* text);
    // Lets the front end handle at most one waiting event; never waits.
    void (*pumpOne)(void* data);
    void* data;  // handed to each of the functions
    // Optional: told of each entry a run deals with, with the entries examined
    // so far and the changes made (for a progress display); may be null.
    void (*entryDone)(void* data, long long examined, long long changed);
    // Optional: told of each change made (in a dry run: due), each entry
    // skipped for its kind, each failure with its reason and each stop of a
    // walk, whatever "Show Copy File" says; may be null. While it is set, a
    // failure of an entry is told here instead of through showStatus.
    void (*reported)(void* data, const RunReport* report);
};

// One rule, compiled for the matcher that never backtracks.
struct CompiledRule {
    std::regex pattern;   // the rule in the polynomial matcher's form
    std::string literal;  // text every match must contain (may be empty)
};

// A list-file line that could not become an entry, and where it stood.
struct ListLineFault {
    long long line;      // its 1-based line number in the file
    size_t beforeEntry;  // how many entries of listEntries came before it
    bool tooLong;        // longer than any path; otherwise its bytes did not decode
    WideString shown;    // its text for the log, undecodable bytes escaped (cut when too long)
};

// The one run state of the process. A reset is one assignment of a fresh
// record, the host and the title kept.
struct RunContext {
    Host host{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};  // the front end that runs the engine
    WideString appTitle{L"korvaneui"};                                // program title: caption and log base name
    FILE* logStream = nullptr;                                        // the run log, or null when none is open
    FILE* logEcho = nullptr;                                          // receives a copy of each log line, or null
    WideString messageText;                                           // scratch text of error, total and list lines
    bool showCopyFile = false;                                        // "Show Copy File" was on for this run
    bool dryRun = false;                        // the run changes nothing and tells what it would change
    bool ruleActive = false;                    // a rule was given to the current folder run
    bool ruleExcludes = false;                  // the rules exclude the paths they match
    std::vector<CompiledRule> rules;            // the compiled rules; a path matches when any does
    bool hadErrors = false;                     // a copy, delete or remove failed in this run
    int updatedCount = 0;                       // changes made in this run
    bool changeAttempted = false;               // the last file operation found a change due
    std::vector<WideString> listEntries;        // entries of the last list file read
    std::vector<ListLineFault> listFaults;      // lines of that file that gave no entry
    int listUpdatedCount = 0;                   // entries the list run copied
    DirectoryWalker* activeWalker = nullptr;    // the folder run's walker while it walks
    bool replaceLinks = false;                  // a link in To facing a From entry is replaced (mirror)
    bool sweepTemporaries = false;              // the copy walk removes dead runs' temporaries in To
    long long modifyWindow = 0;                 // modification times this many seconds apart compare equal
    bool copyLinks = false;                     // links in From are copied as links, not followed
    bool rulesRelative = false;                 // rules see the path below the walked root, from its separator
    RunTally tally;                             // what this run has done so far
    long long lastCopiedBytes = 0;              // bytes the last update copied
    bool linkInTheWay = false;                  // the last update met a link in To and left it
    bool linkCopied = false;                    // the last update took its source as a link (copyLinks), not followed
    bool notPlainFile = false;                  // the last update met a source that is no plain file
    bool madeDirectory = false;                 // the last update made its directory where none stood
    WideString nameTakenBy;                     // the last update's name in To is another entry's short name: its name
    bool logIdentityKnown = false;              // logIdentity and logFolders hold the open log's place
    DirectoryIdentity logIdentity{0, 0};        // the open run log file
    WideString logFileName;                     // its name, after its folder's separator
    std::vector<DirectoryIdentity> logFolders;  // the folders holding the run log, innermost first
};

// The process-wide run state.
extern RunContext runContext;

// Readies the process for a run: changes real or simulated as runContext.dryRun
// says, nothing known of any volume's clock, and every long copy ticking the
// front end as an entry does.
void beginRun();

// Puts the run state back as the process starts it, the host and title left as they are; forgets a stop.
void resetRunContext();

// Asks the run in progress to stop before its next change; safe in a signal handler.
void requestRunStop();

// True once a stop was asked for and until the next run clears it.
bool runStopRequested();

// Forgets a stop asked for before; a front end calls it before it starts a run.
void clearRunStop();

// Sends text to the front end's status line with its kind.
void showStatus(int kind, const WideString& text);

// Lets the front end handle one waiting event, if any.
void pumpMessages();

// Asks the front end a Yes/No question; true for Yes.
bool askYesNo(const WideString& text);

// The entries the active walk has handed over so far, or 0 when none walks.
long long entriesExamined();

// Tells the front end that one more entry was dealt with, and how far the run is.
void noteEntryDone(long long examined);

#endif
