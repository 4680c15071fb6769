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
    bool ruleCompiled;                     // rulePattern holds a compiled rule
    std::regex rulePattern;                // the compiled rule, for the backtracking matcher
    std::regex ruleSteadyPattern;          // the same rule for the matcher of bounded depth and time
    bool ruleHasSteady;                    // ruleSteadyPattern holds it (not so with back-references)
    bool ruleBacktracksBoundedly;          // the rule cannot make the backtracking matcher explode
    std::string ruleLiteral;               // text every match must contain (may be empty)
    bool hadErrors;                        // a copy, delete or remove failed in this run
    int updatedCount;                      // changes made in this run
    bool changeAttempted;                  // the last file operation found a change due
    std::vector<WideString> listEntries;   // entries of the last list file read
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
