// The process-wide state that the runs, their handlers and the front ends share,
// and the host record through which the engine reaches whatever front end runs it.
#ifndef KORVANE_ENGINE_RUN_CONTEXT_H
#define KORVANE_ENGINE_RUN_CONTEXT_H

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "text/wide_string.h"

struct DirectoryWalker;

// What the engine needs of a front end: three plain functions and their datum,
// and an optional progress tick.
struct Host {
    // Shows text on the status line with its kind (STATUS_INFO, _NOTICE, _ERROR);
    // returns once the text has been shown, so the caller may reuse it.
    void (*showStatus)(void* data, int kind, const wchar_t* text);
    // Asks a Yes/No question; true for Yes.
    bool (*askYesNo)(void* data, const wchar_t* text);
    // Lets the front end handle at most one waiting event; never waits.
    void (*pumpOne)(void* data);
    void* data;  // handed to each of the functions
    // Optional: told after each entry a walk's handler has dealt with (for a
    // progress display); null where the front end shows no progress.
    void (*entryDone)(void* data);
};

// One rule, compiled for the matcher that never backtracks.
struct CompiledRule {
    std::regex pattern;   // the rule in the polynomial matcher's form
    std::string literal;  // text every match must contain (may be empty)
};

// A list-file line that could not become an entry, and where it stood.
struct ListLineFault {
    long long line;          // its 1-based line number in the file
    size_t beforeEntry;      // how many entries of listEntries came before it
    bool tooLong;            // longer than any path; otherwise its bytes did not decode
    WideString shown;        // its text for the log, undecodable bytes escaped (cut when too long)
};

// The one run state of the process.
struct RunContext {
    Host host;                             // the front end that runs the engine
    WideString appTitle;                   // program title: caption and log base name
    FILE* logStream;                       // the run log, or null when none is open
    FILE* logEcho;                         // receives a copy of each log line, or null
    WideString messageText;                // scratch text of error, total and list lines
    bool showCopyFile;                     // "Show Copy File" was on for this run
    bool ruleActive;                       // a rule was given to the current folder run
    bool ruleExcludes;                     // the rule excludes the paths it matches
    std::vector<CompiledRule> rules;       // the compiled rules; a path matches when any does
    bool hadErrors;                        // a copy, delete or remove failed in this run
    int updatedCount;                      // changes made in this run
    bool changeAttempted;                  // the last file operation found a change due
    std::vector<WideString> listEntries;   // entries of the last list file read
    std::vector<ListLineFault> listFaults; // lines of that file that gave no entry
    int listUpdatedCount;                  // entries the list run copied
    DirectoryWalker* activeWalker;         // the folder run's walker while it walks
};

// The process-wide run state.
extern RunContext runContext;

// Puts the run state back as the process starts it, the host left as it is.
void resetRunContext();

// Asks the folder run in progress, if any, to stop at its next entry.
void requestRunStop();

// Sends text to the front end's status line with its kind.
void showStatus(int kind, const WideString& text);

// Lets the front end handle one waiting event, if any.
void pumpMessages();

// Asks the front end a Yes/No question; true for Yes.
bool askYesNo(const WideString& text);

// Tells the front end that one more entry was dealt with.
void noteEntryDone();

#endif
