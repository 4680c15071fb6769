// The command line of the korvane front end: options, folders, and the jobs
// saved by the window program's settings file.
#ifndef KORVANE_CLI_OPTIONS_H
#define KORVANE_CLI_OPTIONS_H

#include <string>
#include <vector>

#include "text/wide_string.h"

// What the command line asks for.
struct CliOptions {
    bool synchronous = false;         // -s: delete what TO has and FROM has not
    bool ruleGiven = false;           // -r: at least one rule was given
    std::vector<WideString> rules;    // the rule texts, in the order given; any may match
    bool excludes = false;            // -x: the rule excludes what it matches
    bool listGiven = false;           // -f: From File mode
    WideString listFile;              // the list file
    bool show = false;                // -v: each entry on the status output, CP/DF/RD lines
    bool logGiven = false;            // -l: write a log
    WideString logDir;                // the folder of the log
    bool yes = false;                 // -y: answer Yes to the Synchronous question
    bool dryRun = false;              // -n: change nothing, report what would change
    bool settingsGiven = false;       // --settings: read the window program's settings file
    WideString settingsFile;          // that file; empty for ./korvaneui.ini
    bool help = false;                // -h
    bool version = false;             // -V
    std::vector<WideString> folders;  // FROM and TO, as given
};

// Reads the arguments (without the program name); false with a one-line
// message naming the problem when they cannot be understood.
bool parseArguments(const std::vector<std::wstring>& arguments, CliOptions* options, std::wstring* problem);

// The folders, options and rule of a settings file, for the options the command
// line did not give; false with a message when the file is missing.
bool applySettingsFile(CliOptions* options, std::wstring* problem);

// The usage text.
const wchar_t* usageText();

#endif
