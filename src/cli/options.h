// The command line of the korvane front end: options, folders, and the jobs
// saved by the window program's settings file.
#ifndef KORVANE_CLI_OPTIONS_H
#define KORVANE_CLI_OPTIONS_H

#include <string>
#include <vector>

#include "platform/platform.h"
#include "text/wide_string.h"

// What a shell-pattern option gives.
enum PatternOptionKind {
    PATTERN_EXCLUDE,   // --exclude PATTERN
    PATTERN_INCLUDE,   // --include PATTERN
    PATTERN_FROM_FILE  // --exclude-from FILE: a rule a line
};

// One shell-pattern option, in the order given among the others.
struct PatternOption {
    PatternOptionKind kind;  // what it gives
    WideString text;         // the pattern, or the file's name
};

// What the command line asks for.
struct CliOptions {
    bool synchronous = false;             // -s: delete what TO has and FROM has not
    bool ruleGiven = false;               // -r: at least one rule was given
    std::vector<WideString> rules;        // the rule texts, in the order given; any may match
    bool excludes = false;                // -x: the rule excludes what it matches
    std::vector<PatternOption> patterns;  // --exclude, --include, --exclude-from, in the order given
    bool listGiven = false;               // -f: From File mode
    WideString listFile;                  // the list file
    bool show = false;                    // -v: a line per change, and CP/DF/RD lines in the log
    bool quiet = false;                   // -q: print only failures and refusals
    bool stats = false;                   // --stats: a table of the run's figures afterwards
    bool json = false;                    // --json: the figures and failures as one JSON object
    bool logGiven = false;                // -l: write a log
    WideString logDir;                    // the folder of the log
    bool yes = false;                     // -y: answer Yes to the Synchronous question
    bool dryRun = false;                  // -n: change nothing, report what would change
    bool mkpath = false;                  // --mkpath: create TO and its missing parents
    bool links = false;                   // --links: copy links as links
    bool copyLinks = false;               // -L: follow links, copying what they point to
    bool noOwner = false;                 // --no-owner: copies keep no owner and group of their sources
    bool hardLinks = false;               // -H: names of one file in FROM are one file in TO
    bool xattrs = false;                  // -X: copies keep extended attributes
    bool acls = false;                    // -A: copies keep ACLs
    bool waitLock = false;                // --wait-lock: wait for another run's lock of TO
    bool relativeRules = false;           // --relative-rules: rules see the path below the walked root
    bool modifyWindowGiven = false;       // --modify-window was given
    long long modifyWindow = 0;           // its seconds
    bool jobsGiven = false;               // -j/--jobs was given
    int jobs = 0;                         // its workers; 0: as suits TO's volume
    bool settingsGiven = false;           // --settings: read the window program's settings file
    WideString settingsFile;              // that file; empty for ./korvaneui.ini
    bool help = false;                    // -h: the usage text
    bool version = false;                 // -V: the version
    bool logFileGiven = false;            // --log-file: append a record of the run to a file
    WideString logFile;                   // that file

    // Versions kept before, looked at and put back.
    bool listVersions = false;        // --list-versions: list the kept versions of a path
    bool restoreGiven = false;        // --restore: put a path back as a run kept it
    WideString restorePath;           // the path to put back, in TO
    bool asOfGiven = false;           // --as-of was given
    CalendarTime asOf{};              // the time the path is put back as it was then, local
    bool restoreToGiven = false;      // --restore-to: put it back elsewhere
    WideString restoreTo;             // where
    std::vector<WideString> folders;  // FROM and TO, as given

    // The net under a mirror.
    bool versionsGiven = false;          // --versions: keep what a run replaces or deletes
    WideString versionsDir;              // the folder the versions are kept in
    bool keepVersionsGiven = false;      // --keep-versions was given
    long long keepVersions = -1;         // the newest run folders of the versions folder that stay
    bool keepDaysGiven = false;          // --keep-days was given
    long long keepDays = -1;             // the days a run folder of the versions folder stays
    bool maxDeleteGiven = false;         // --max-delete was given
    long long maxDelete = -1;            // the most entries a mirror may delete; more: none
    bool allowEmptyFrom = false;         // --allow-empty-from: mirror a FROM that holds next to nothing
    bool noMoves = false;                // --no-moves: a mirror copies and deletes what moved in FROM
    bool checksum = false;               // -c: files of one size are compared by their contents
    bool verify = false;                 // --verify: each copy is read back and compared
    bool trustSource = false;            // --checksum-trust-source: a source changed without a write is copied
    bool maxReplaceGiven = false;        // --max-replace was given
    long long maxReplace = -1;           // the most files a run may replace; more: none
    bool retriesGiven = false;           // --retries was given
    long long retries = 0;               // how often a change that may pass is tried again
    bool retryWaitGiven = false;         // --retry-wait was given
    long long retryMilliseconds = 1000;  // the wait before each try again

    // Keeping TO current.
    bool watch = false;                            // --watch: watch FROM and bring each change over
    bool watchDelayGiven = false;                  // --watch-delay was given
    long long watchDelayMilliseconds = 200;        // how long FROM stays quiet before a batch
    bool watchRescanGiven = false;                 // --watch-rescan was given
    long long watchRescanMilliseconds = 21600000;  // a whole pass this often (0: none)
    bool watchForGiven = false;                    // --watch-for was given
    long long watchForMilliseconds = -1;           // the watch ends after this long (-1: when stopped)
};

// Reads the arguments (without the program name); false with a one-line
// message naming the problem when they cannot be understood.
bool parseArguments(const std::vector<std::wstring>& arguments, CliOptions* options, std::wstring* problem);

// The settings file --settings names: the one given, or ./korvaneui.ini.
WideString settingsPathOf(const CliOptions& options);

// The folders, options and rule of a settings file, for the options the command
// line did not give; false with a message when the file is missing.
bool applySettingsFile(CliOptions* options, std::wstring* problem);

// One option as the usage text, the manual page and the completion describe it.
struct OptionDoc {
    wchar_t shortName;        // 0 when it has none
    const wchar_t* longName;  // without the leading "--"
    bool takesValue;          // whether a value follows it (always, or where one is given)
    const wchar_t* shown;     // how its value is written ("FILE", "[FILE]"), or "" for a flag
    const wchar_t* help;      // what it does; "\n" starts another line of it in the usage text
};

// One exit status and what it means.
struct ExitStatusDoc {
    int status;              // the process's exit code
    const wchar_t* meaning;  // "\n" starts another line of it in the usage text
};

// One example command line and what it does.
struct ExampleDoc {
    const wchar_t* command;  // as typed at a shell
    const wchar_t* meaning;  // "\n" starts another line of it in the usage text
};

// The words that describe the front end; the usage text and the manual page
// are both written from them, so the two never disagree.
struct UsageWords {
    std::vector<const wchar_t*> forms;        // what follows "korvane " on each usage line
    const wchar_t* summary;                   // what the program does, lines joined by "\n"
    std::vector<OptionDoc> options;           // every option, in the order the usage text lists them
    const wchar_t* notes;                     // what follows the options, lines joined by "\n"
    std::vector<ExitStatusDoc> exitStatuses;  // every exit status, lowest first
    std::vector<ExampleDoc> examples;         // an example per mode
};

// The words, options from the table the parser reads.
const UsageWords& usageWords();

// The usage text: every option, the exit statuses and an example per mode.
const wchar_t* usageText();

#endif
