// The option table and the reading of a command line into the front end's options.
#include "cli/options.h"

#include <string>

#include "engine/pattern.h"
#include "platform/platform.h"
#include "settings/settings_file.h"
#include "settings/settings_keys.h"

namespace {

// What an option sets.
enum OptionId {
    OPT_SYNC,
    OPT_RULE,
    OPT_RULES_EXCLUDE,
    OPT_RELATIVE_RULES,
    OPT_EXCLUDE,
    OPT_INCLUDE,
    OPT_EXCLUDE_FROM,
    OPT_LIST,
    OPT_SHOW,
    OPT_QUIET,
    OPT_STATS,
    OPT_JSON,
    OPT_LOG_DIR,
    OPT_LOG_FILE,
    OPT_YES,
    OPT_DRY_RUN,
    OPT_MKPATH,
    OPT_LINKS,
    OPT_COPY_LINKS,
    OPT_HARD_LINKS,
    OPT_XATTRS,
    OPT_ACLS,
    OPT_NO_OWNER,
    OPT_WAIT_LOCK,
    OPT_MODIFY_WINDOW,
    OPT_CHECKSUM,
    OPT_VERIFY,
    OPT_TRUST_SOURCE,
    OPT_JOBS,
    OPT_VERSIONS,
    OPT_KEEP_VERSIONS,
    OPT_KEEP_DAYS,
    OPT_LIST_VERSIONS,
    OPT_RESTORE,
    OPT_AS_OF,
    OPT_RESTORE_TO,
    OPT_MAX_DELETE,
    OPT_ALLOW_EMPTY_FROM,
    OPT_MAX_REPLACE,
    OPT_NO_MOVES,
    OPT_RETRIES,
    OPT_RETRY_WAIT,
    OPT_WATCH,
    OPT_WATCH_DELAY,
    OPT_WATCH_RESCAN,
    OPT_WATCH_FOR,
    OPT_SETTINGS,
    OPT_HELP,
    OPT_VERSION
};

// Whether an option takes a value.
enum ValueKind {
    NO_VALUE,       // a flag
    VALUE,          // the rest of its argument, after "=", or the next argument, whatever it begins with
    OPTIONAL_VALUE  // after "=", or the next argument unless that begins with "-"
};

// One option: its spellings, its value, and its lines in the usage text.
struct OptionInfo {
    OptionId id;
    wchar_t shortName;  // 0 when it has none
    const wchar_t* longName;
    ValueKind value;
    bool once;             // a second one is a usage error
    const wchar_t* shown;  // how the usage text writes its value, or ""
    const wchar_t* help;   // its description; "\n" starts another line of it
};

const OptionInfo kOptions[] = {
    {OPT_SYNC, L's', L"sync", NO_VALUE, false, L"",
     L"Synchronous: also delete what TO has and FROM has not\n(a mirror)"},
    {OPT_RULE, L'r', L"rule", VALUE, false, L"REGEX",
     L"handle only the paths the rule matches (whole path,\n"
     L"ECMAScript); may be given several times: a path\n"
     L"matches when any rule does"},
    {OPT_RULES_EXCLUDE, L'x', L"rules-exclude", NO_VALUE, false, L"",
     L"the -r rules exclude the paths they match instead"},
    {OPT_RELATIVE_RULES, 0, L"relative-rules", NO_VALUE, false, L"",
     L"-r rules see the path below FROM or TO, from its\n"
     L"separator (/sub/a.txt): one rule protects the same\n"
     L"entries on both sides"},
    {OPT_EXCLUDE, 0, L"exclude", VALUE, false, L"PATTERN",
     L"leave out what the shell pattern matches (as rsync\n"
     L"--exclude): '*' within a name, '**' across folders,\n"
     L"'?', '[...]'; a leading '/' anchors at FROM, a\n"
     L"trailing '/' takes folders only; what is left out\n"
     L"is neither copied nor deleted, in FROM and in TO;\n"
     L"a folder left out leaves out all below it"},
    {OPT_INCLUDE, 0, L"include", VALUE, false, L"PATTERN",
     L"take what the pattern matches: --exclude, --include\n"
     L"and --exclude-from are read in the order given, and\n"
     L"the first pattern that matches an entry decides\n"
     L"(as rsync's filter rules); -r rules must take an\n"
     L"entry as well"},
    {OPT_EXCLUDE_FROM, 0, L"exclude-from", VALUE, false, L"FILE",
     L"the patterns of FILE, one a line, as --exclude;\n"
     L"a line '+ PATTERN' as --include, '- PATTERN' as\n"
     L"--exclude, '!' forgets the patterns before it;\n"
     L"empty lines and lines beginning with '#' or ';'\n"
     L"are skipped"},
    {OPT_LIST, L'f', L"list", VALUE, true, L"FILE",
     L"From File mode: copy the paths listed in FILE\n(no rule, no clean-up)"},
    {OPT_SHOW, L'v', L"show", NO_VALUE, false, L"",
     L"a line per change (CP:, MD:, MV:, DF:, RD:, SK:) on\n"
     L"standard output, and the same lines in the log\n"
     L"(Show Copy File)"},
    {OPT_QUIET, L'q', L"quiet", NO_VALUE, false, L"",
     L"print nothing but failures and refusals\n(the exit status is the same)"},
    {OPT_STATS, 0, L"stats", NO_VALUE, false, L"",
     L"after the run, a table: entries examined, copied,\n"
     L"created, deleted, skipped, failed, bytes, time, rate"},
    {OPT_JSON, 0, L"json", NO_VALUE, false, L"",
     L"after the run, the same figures and every failure\n"
     L"(path, reason) as one JSON object on standard output,\n"
     L"which then holds nothing else"},
    {OPT_LOG_DIR, L'l', L"log-dir", VALUE, true, L"DIR",
     L"write the run log to DIR/korvaneui.log, the window\n"
     L"program's, anew each run (a dry run:\n"
     L"DIR/korvaneui.dry-run.log)"},
    {OPT_LOG_FILE, 0, L"log-file", VALUE, true, L"FILE",
     L"append a record of the run to FILE: its start,\n"
     L"command line and user, each failure with its\n"
     L"reason (each change too with -v), the figures and\n"
     L"the exit status; FILE is never written through a\n"
     L"link or another user's file, and a root run's is\n"
     L"root's alone"},
    {OPT_YES, L'y', L"yes", NO_VALUE, false, L"", L"answer Yes to the Synchronous question"},
    {OPT_DRY_RUN, L'n', L"dry-run", NO_VALUE, false, L"", L"change nothing; print a line per change a run would\nmake"},
    {OPT_MKPATH, 0, L"mkpath", NO_VALUE, false, L"", L"create TO, and the folders above it, when missing"},
    {OPT_LINKS, 0, L"links", NO_VALUE, false, L"",
     L"copy symbolic links as links (the same text), not\n"
     L"what they point to: the default on Linux; a link in\n"
     L"place of a folder in TO fails (Windows: where the\n"
     L"system lets links be made)"},
    {OPT_COPY_LINKS, L'L', L"copy-links", NO_VALUE, false, L"",
     L"follow symbolic links below FROM: copy what they\n"
     L"point to (as rsync -L; the default on Windows and\n"
     L"in the window program); a link whose target is\n"
     L"missing fails"},
    {OPT_HARD_LINKS, L'H', L"hard-links", NO_VALUE, false, L"",
     L"names of one file in FROM are names of one file in TO\n"
     L"(as rsync -H; Linux)"},
    {OPT_XATTRS, L'X', L"xattrs", NO_VALUE, false, L"",
     L"keep extended attributes: user.*, and as root\n"
     L"trusted.* and security.* (as rsync -X; Linux)"},
    {OPT_ACLS, L'A', L"acls", NO_VALUE, false, L"",
     L"keep ACLs, and the default ACLs of folders\n(as rsync -A; Linux)"},
    {OPT_NO_OWNER, 0, L"no-owner", NO_VALUE, false, L"",
     L"keep no owner and group: copies are the runner's,\n"
     L"set-user-ID and set-group-ID bits dropped (Linux)"},
    {OPT_WAIT_LOCK, 0, L"wait-lock", NO_VALUE, false, L"",
     L"when another run of this user is changing TO (or a\n"
     L"folder inside it or around it), wait for it to end\n"
     L"instead of refusing (exit 3); no other program's or\n"
     L"user's lock holds a run"},
    {OPT_MODIFY_WINDOW, 0, L"modify-window", VALUE, true, L"N",
     L"modification times whose whole seconds are at most\nN apart compare equal (FAT disks, network shares);\n"
     L"by default they compare to the nanosecond, or to the\nstep of a TO volume that keeps coarser times"},
    {OPT_CHECKSUM, L'c', L"checksum", NO_VALUE, false, L"",
     L"compare files of one size by their contents (both\n"
     L"read side by side and hashed), whatever their times;\n"
     L"files of another size differ unread. Each copy\n"
     L"records its hash (Linux: the attribute\n"
     L"user.korvane.xxh3; Windows: an NTFS stream), and a\n"
     L"source whose contents changed without a write since\n"
     L"(a failing disk) is not copied over its good copy:\n"
     L"told as a failure; a copy that no longer matches\n"
     L"its record is written again, told"},
    {OPT_VERIFY, 0, L"verify", NO_VALUE, false, L"",
     L"read each copy back (past the system's cache) and\n"
     L"compare it with what was read of its source before\n"
     L"it takes its name: a mismatch fails, the old file\n"
     L"stays, --retries applies; records hashes as -c does"},
    {OPT_TRUST_SOURCE, 0, L"checksum-trust-source", NO_VALUE, false, L"",
     L"with -c: a source whose contents changed without a\n"
     L"write is copied over its copy all the same (a disk\n"
     L"image put back, a tool that writes below the file\n"
     L"system)"},
    {OPT_JOBS, L'j', L"jobs", VALUE, true, L"N",
     L"look at and copy up to N entries side by side (1 to\n"
     L"64); default 8 where TO is on a network share or a\n"
     L"FUSE volume, 1 on a local disk (with -c or --verify\n"
     L"one per core there, 2 to 4: give -j 1 for a disk\n"
     L"that seeks); the folders ahead of the walk are read\n"
     L"side by side too, by N readers on a share, by two\n"
     L"on a local disk of a machine with more than one\n"
     L"core; -j 1 reads and does everything in turn"},
    {OPT_VERSIONS, 0, L"versions", VALUE, true, L"DIR",
     L"before a file is replaced or deleted, and before a\n"
     L"folder is removed with what it holds, keep it in\n"
     L"DIR, in a folder for the run named by its start time\n"
     L"(DIR/2026-12-08 013000/), at its path below TO;\n"
     L"an entry whose version cannot be kept stays as it is\n"
     L"and fails; -v and the log show KV: lines. DIR marks\n"
     L"itself (.korvane-versions): inside TO no run deletes\n"
     L"or enters it, even one given no --versions"},
    {OPT_KEEP_VERSIONS, 0, L"keep-versions", VALUE, true, L"N",
     L"after the run, remove this job's run folders of DIR\n"
     L"(--versions) beyond the N newest, in the order the\n"
     L"runs happened; a job is its TO: the run folders of\n"
     L"other jobs sharing DIR are never counted or removed"},
    {OPT_KEEP_DAYS, 0, L"keep-days", VALUE, true, L"DAYS",
     L"after the run, remove this job's run folders of DIR\n"
     L"(--versions) whose runs started more than DAYS days\n"
     L"ago (XV: lines); a run folder a running job holds,\n"
     L"one a volume is mounted in or one dated in the\n"
     L"future stays (an SK: line), and one without its\n"
     L"job's record (an older korvane's) is never removed"},
    {OPT_LIST_VERSIONS, 0, L"list-versions", NO_VALUE, false, L"",
     L"list the versions of PATH, a file or folder of TO,\n"
     L"kept in the --versions DIR, newest first: when the\n"
     L"run that kept it started, its size, its kind and\n"
     L"where it lies"},
    {OPT_RESTORE, 0, L"restore", VALUE, true, L"PATH",
     L"put PATH, a file or folder of TO, back from the\n"
     L"--versions DIR as the newest run that replaced or\n"
     L"deleted it kept it; what the restore replaces is\n"
     L"kept as a version of its own; what no run changed\n"
     L"and what was made since stays"},
    {OPT_AS_OF, 0, L"as-of", VALUE, true, L"TIME",
     L"with --restore: as PATH was at TIME, local time\n"
     L"(\"YYYY-MM-DD HH:MM\", \"YYYY-MM-DD HH:MM:SS\" or a\n"
     L"run folder's name): each entry as the first run\n"
     L"that started then or later kept it"},
    {OPT_RESTORE_TO, 0, L"restore-to", VALUE, true, L"DEST",
     L"with --restore: put it into the folder DEST, at\n"
     L"its path below TO, instead of into TO"},
    {OPT_MAX_DELETE, 0, L"max-delete", VALUE, true, L"N",
     L"a mirror that would delete more than N entries\n"
     L"(files, links and folders, what a folder holds\n"
     L"counted) deletes none of them; its copies stand\n"
     L"(exit 5); 0: a mirror that deletes nothing"},
    {OPT_ALLOW_EMPTY_FROM, 0, L"allow-empty-from", NO_VALUE, false, L"",
     L"mirror a FROM that gives no file (under the rules)\n"
     L"into a TO that holds some, or one that gives ten or\n"
     L"fewer into a TO that holds more than ten times as\n"
     L"many (refused otherwise, exit 3: an unmounted disk,\n"
     L"a wrong path or a rule that matches nothing would\n"
     L"empty TO)"},
    {OPT_MAX_REPLACE, 0, L"max-replace", VALUE, true, L"N",
     L"a run that would replace more than N files of TO\n"
     L"(new contents over old) replaces none of them, and a\n"
     L"mirror then deletes nothing; its new copies stand\n"
     L"(exit 5). Without it a run replaces at most half of\n"
     L"the files it compares, or 20, unless --versions\n"
     L"keeps what it replaces: a FROM rewritten by\n"
     L"ransomware would overwrite the backup"},
    {OPT_NO_MOVES, 0, L"no-moves", NO_VALUE, false, L"",
     L"a mirror copies what FROM holds under a new name\n"
     L"and deletes the old name, as a plain mirror does.\n"
     L"Without it, a file or folder TO holds under a name\n"
     L"FROM lost is renamed to its new name in TO (MV\n"
     L"lines) once its contents are read alike on both\n"
     L"sides: nothing copied, nothing kept as a version"},
    {OPT_RETRIES, 0, L"retries", VALUE, true, L"N",
     L"try a copy or deletion again up to N times when it\n"
     L"fails for a reason that may pass: a file busy or in\n"
     L"use (EBUSY, ETXTBSY; Windows: a sharing violation),\n"
     L"a lock (EAGAIN, ENOLCK, EDEADLK; a lock violation),\n"
     L"a share or network that timed out (ETIMEDOUT; a\n"
     L"network busy, gone or timed out); only the last\n"
     L"failure is told"},
    {OPT_RETRY_WAIT, 0, L"retry-wait", VALUE, true, L"SECONDS",
     L"wait SECONDS (decimals allowed, default 1) before\n"
     L"each try of --retries; Ctrl+C ends the wait"},
    {OPT_WATCH, 0, L"watch", NO_VALUE, false, L"",
     L"keep TO current: watch FROM (armed before the first\n"
     L"pass), run a whole pass, then bring each change to\n"
     L"TO once FROM is quiet (--watch-delay), walking the\n"
     L"folders that changed alone; every option of a run\n"
     L"holds for each batch, TO stays locked; a change the\n"
     L"system may have lost leads to a pass of its folder\n"
     L"(told); Ctrl+C or SIGTERM ends it (exit 0 when all\n"
     L"it saw is in TO). Not with -f or -n"},
    {OPT_WATCH_DELAY, 0, L"watch-delay", VALUE, true, L"SECONDS",
     L"with --watch: how long FROM stays quiet before a\n"
     L"batch (decimals allowed, default 0.2); a FROM that\n"
     L"stays busy gets a batch at least every 10 s (or 10\n"
     L"times the delay)"},
    {OPT_WATCH_RESCAN, 0, L"watch-rescan", VALUE, true, L"SECONDS",
     L"with --watch: a whole pass this often, for what no\n"
     L"change notice told (default 21600: 6 hours; 0: none)"},
    {OPT_WATCH_FOR, 0, L"watch-for", VALUE, true, L"SECONDS",
     L"with --watch: end the watch after SECONDS (what\n"
     L"was told before is still brought over)"},
    {OPT_SETTINGS, 0, L"settings", OPTIONAL_VALUE, true, L"[FILE]",
     L"take the folders, options and rule from a settings\n"
     L"file (default ./korvaneui.ini, the window program's);\n"
     L"the command line wins"},
    {OPT_HELP, L'h', L"help", NO_VALUE, false, L"", L"this text"},
    {OPT_VERSION, L'V', L"version", NO_VALUE, false, L"", L"the version"},
};

// The largest --modify-window: about 136 years.
const long long kModifyWindowMax = 4294967295LL;

const OptionInfo* byShortName(wchar_t name) {
    for (const OptionInfo& info : kOptions) {
        if (info.shortName != 0 && info.shortName == name) return &info;
    }
    return nullptr;
}

const OptionInfo* byLongName(const std::wstring& name) {
    for (const OptionInfo& info : kOptions) {
        if (name == info.longName) return &info;
    }
    return nullptr;
}

// The option's name as problems write it: -f/--list, or --settings.
std::wstring bothNames(const OptionInfo& info) {
    std::wstring name = L"--" + std::wstring(info.longName);
    return info.shortName ? std::wstring(L"-") + info.shortName + L"/" + name : name;
}

bool* flagOf(OptionId id, CliOptions& options) {
    switch (id) {
        case OPT_SYNC: return &options.synchronous;
        case OPT_RULES_EXCLUDE: return &options.excludes;
        case OPT_RELATIVE_RULES: return &options.relativeRules;
        case OPT_SHOW: return &options.show;
        case OPT_QUIET: return &options.quiet;
        case OPT_STATS: return &options.stats;
        case OPT_JSON: return &options.json;
        case OPT_YES: return &options.yes;
        case OPT_DRY_RUN: return &options.dryRun;
        case OPT_MKPATH: return &options.mkpath;
        case OPT_LINKS: return &options.links;
        case OPT_COPY_LINKS: return &options.copyLinks;
        case OPT_LIST_VERSIONS: return &options.listVersions;
        case OPT_HARD_LINKS: return &options.hardLinks;
        case OPT_XATTRS: return &options.xattrs;
        case OPT_ACLS: return &options.acls;
        case OPT_NO_OWNER: return &options.noOwner;
        case OPT_WAIT_LOCK: return &options.waitLock;
        case OPT_ALLOW_EMPTY_FROM: return &options.allowEmptyFrom;
        case OPT_NO_MOVES: return &options.noMoves;
        case OPT_CHECKSUM: return &options.checksum;
        case OPT_VERIFY: return &options.verify;
        case OPT_TRUST_SOURCE: return &options.trustSource;
        case OPT_WATCH: return &options.watch;
        case OPT_HELP: return &options.help;
        case OPT_VERSION: return &options.version;
        default: return nullptr;
    }
}

bool* givenOf(OptionId id, CliOptions& options) {
    switch (id) {
        case OPT_LIST: return &options.listGiven;
        case OPT_LOG_DIR: return &options.logGiven;
        case OPT_MODIFY_WINDOW: return &options.modifyWindowGiven;
        case OPT_JOBS: return &options.jobsGiven;
        case OPT_VERSIONS: return &options.versionsGiven;
        case OPT_KEEP_VERSIONS: return &options.keepVersionsGiven;
        case OPT_KEEP_DAYS: return &options.keepDaysGiven;
        case OPT_MAX_DELETE: return &options.maxDeleteGiven;
        case OPT_MAX_REPLACE: return &options.maxReplaceGiven;
        case OPT_RETRIES: return &options.retriesGiven;
        case OPT_RETRY_WAIT: return &options.retryWaitGiven;
        case OPT_WATCH_DELAY: return &options.watchDelayGiven;
        case OPT_WATCH_RESCAN: return &options.watchRescanGiven;
        case OPT_WATCH_FOR: return &options.watchForGiven;
        case OPT_SETTINGS: return &options.settingsGiven;
        case OPT_LOG_FILE: return &options.logFileGiven;
        case OPT_RESTORE: return &options.restoreGiven;
        case OPT_AS_OF: return &options.asOfGiven;
        case OPT_RESTORE_TO: return &options.restoreToGiven;
        default: return nullptr;
    }
}

// A whole number of seconds, plain decimal digits, within the bound.
bool readSeconds(const std::wstring& text, long long* seconds) {
    if (text.empty() || text.size() > 10) return false;
    long long value = 0;
    for (wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') return false;
        value = value * 10 + (unit - L'0');
    }
    if (value > kModifyWindowMax) return false;
    *seconds = value;
    return true;
}

// A whole number from least to most, plain decimal digits.
bool readCount(const std::wstring& text, long long least, long long most, long long* count) {
    if (text.empty() || text.size() > 15) return false;
    long long value = 0;
    for (wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') return false;
        value = value * 10 + (unit - L'0');
    }
    if (value < least || value > most) return false;
    *count = value;
    return true;
}

// The most workers --jobs takes.
const int kJobsMax = 64;

// A number of workers, plain decimal digits, from 1 to kJobsMax.
bool readJobs(const std::wstring& text, int* jobs) {
    long long value = 0;
    if (text.size() > 2 || !readCount(text, 1, kJobsMax, &value)) return false;
    *jobs = static_cast<int>(value);
    return true;
}

// Seconds with at most three decimals ("2", "0.25"), up to mostSeconds, as milliseconds.
bool readDuration(const std::wstring& text, long long mostSeconds, long long* milliseconds) {
    size_t point = text.find(L'.');
    std::wstring whole = text.substr(0, point);
    std::wstring fraction = point == std::wstring::npos ? std::wstring() : text.substr(point + 1);
    if (fraction.size() > 3 || (point != std::wstring::npos && fraction.empty())) return false;
    long long seconds = 0;
    long long thousandths = 0;
    if (!readCount(whole, 0, mostSeconds, &seconds)) return false;
    if (!fraction.empty() && !readCount(fraction + std::wstring(3 - fraction.size(), L'0'), 0, 999, &thousandths)) {
        return false;
    }
    *milliseconds = seconds * 1000 + thousandths;
    return *milliseconds <= mostSeconds * 1000;
}

// Seconds with at most three decimals, up to an hour, as milliseconds.
bool readWait(const std::wstring& text, long long* milliseconds) { return readDuration(text, 3600, milliseconds); }

// The longest --watch-rescan and --watch-for: a year.
const long long kWatchSecondsMax = 366LL * 24 * 3600;

// The bounds of the counts the options take.
const long long kKeepVersionsMax = 1000000;
const long long kKeepDaysMax = 100000;
const long long kMaxDeleteMax = 999999999999999LL;
const long long kRetriesMax = 1000;

// Reads the value of a counting option into *count; false with a problem
// naming the option and its bounds.
bool readOptionCount(const std::wstring& name, const std::wstring& value, long long least, long long most,
                     long long* count, std::wstring* problem) {
    if (readCount(value, least, most, count)) return true;
    *problem = L"option --" + name + L" needs a whole number from " + std::to_wstring(least) + L" to " +
               std::to_wstring(most) + L", not [" + value + L"]";
    return false;
}

// True when value reads as one of the program's options ("-r", "--sync",
// "--rule=x"): given to --exclude or --include, it was meant as an option.
// Before --exclude took a pattern, it was what -x is now, so "--exclude -r
// RULE" would otherwise run without the rule it meant.
bool looksLikeOption(const std::wstring& value) {
    if (value.size() < 2 || value[0] != L'-') return false;
    if (value[1] == L'-') return byLongName(value.substr(2, value.find(L'=') - 2)) != nullptr;
    return byShortName(value[1]) != nullptr;
}

// Two digits of text from at on, within least and most; -1 otherwise.
int twoDigitsAt(const std::wstring& text, size_t at, int least, int most) {
    if (at + 2 > text.size() || text[at] < L'0' || text[at] > L'9' || text[at + 1] < L'0' || text[at + 1] > L'9') {
        return -1;
    }
    int value = (text[at] - L'0') * 10 + (text[at + 1] - L'0');
    return value >= least && value <= most ? value : -1;
}

// A moment of the local calendar: "YYYY-MM-DD", "YYYY-MM-DD HH:MM",
// "YYYY-MM-DD HH:MM:SS", or a run folder's name, "YYYY-MM-DD HHMMSS".
bool readLocalTime(const std::wstring& text, CalendarTime* time) {
    *time = CalendarTime{0, 1, 1, 0, 0, 0};
    if (text.size() < 10 || text[4] != L'-' || text[7] != L'-') return false;
    int century = twoDigitsAt(text, 0, 0, 99);
    int year = twoDigitsAt(text, 2, 0, 99);
    time->month = twoDigitsAt(text, 5, 1, 12);
    time->day = twoDigitsAt(text, 8, 1, 31);
    if (century < 0 || year < 0 || time->month < 0 || time->day < 0) return false;
    time->year = century * 100 + year;
    if (text.size() == 10) return true;
    if (text[10] != L' ') return false;
    bool colons = text.size() > 13 && text[13] == L':';
    size_t minuteAt = colons ? 14 : 13;
    time->hour = twoDigitsAt(text, 11, 0, 23);
    time->minute = twoDigitsAt(text, minuteAt, 0, 59);
    if (time->hour < 0 || time->minute < 0) return false;
    size_t end = minuteAt + 2;
    if (text.size() == end) return colons;
    if (colons && text[end] != L':') return false;
    size_t secondAt = colons ? end + 1 : end;
    time->second = twoDigitsAt(text, secondAt, 0, 60);
    return time->second >= 0 && text.size() == secondAt + 2;
}

// Sets what the option says; spelt is the name as given, for problems.
bool apply(const OptionInfo& info, const std::wstring& spelt, bool hasValue, const std::wstring& value,
           CliOptions* options, std::wstring* problem) {
    if (bool* flag = flagOf(info.id, *options)) {
        *flag = true;
        return true;
    }
    bool* given = givenOf(info.id, *options);
    if (given && *given) {
        *problem = L"option " + bothNames(info) + L" is given more than once";
        return false;
    }
    if (info.id == OPT_SETTINGS) {
        if (hasValue && value.empty()) {
            *problem = L"option --settings= needs a file name";
            return false;
        }
        options->settingsGiven = true;
        options->settingsFile = WideString(value.c_str());
        return true;
    }
    if (value.empty()) {
        *problem = L"option " + spelt + L" needs a non-empty value";
        return false;
    }
    WideString text(value.c_str());
    switch (info.id) {
        case OPT_EXCLUDE:
        case OPT_INCLUDE: {
            if (looksLikeOption(value)) {
                *problem = L"option " + spelt + L" takes a shell PATTERN, not the option [" + value +
                           L"] (-x, --rules-exclude, makes the -r rules exclude; a pattern beginning with '-' is "
                           L"written '[-]" +
                           value.substr(1) + L"')";
                return false;
            }
            PathPattern pattern;
            std::wstring why;
            if (!readPattern(value, info.id == OPT_EXCLUDE, &pattern, &why)) {
                *problem = L"option " + spelt + L" [" + value + L"]: " + why;
                return false;
            }
            options->patterns.push_back(
                PatternOption{info.id == OPT_EXCLUDE ? PATTERN_EXCLUDE : PATTERN_INCLUDE, text});
            return true;
        }
        case OPT_EXCLUDE_FROM: options->patterns.push_back(PatternOption{PATTERN_FROM_FILE, text}); return true;
        case OPT_LOG_FILE:
            options->logFileGiven = true;
            options->logFile = text;
            return true;
        case OPT_RESTORE:
            options->restoreGiven = true;
            options->restorePath = text;
            return true;
        case OPT_AS_OF:
            options->asOfGiven = true;
            if (readLocalTime(value, &options->asOf)) return true;
            *problem =
                L"option --as-of needs a local time, \"YYYY-MM-DD HH:MM\" (or with \":SS\", or a date alone), "
                L"not [" +
                value + L"]";
            return false;
        case OPT_RESTORE_TO:
            options->restoreToGiven = true;
            options->restoreTo = text;
            return true;
        case OPT_RULE:
            options->ruleGiven = true;
            options->rules.push_back(text);
            return true;
        case OPT_LIST:
            options->listGiven = true;
            options->listFile = text;
            return true;
        case OPT_LOG_DIR:
            options->logGiven = true;
            options->logDir = text;
            return true;
        case OPT_MODIFY_WINDOW:
            if (!readSeconds(value, &options->modifyWindow)) {
                *problem = L"option --modify-window needs a whole number of seconds from 0 to " +
                           std::to_wstring(kModifyWindowMax) + L", not [" + value + L"]";
                return false;
            }
            options->modifyWindowGiven = true;
            return true;
        case OPT_JOBS:
            if (!readJobs(value, &options->jobs)) {
                *problem = L"option -j/--jobs needs a whole number from 1 to " + std::to_wstring(kJobsMax) +
                           L", not [" + value + L"]";
                return false;
            }
            options->jobsGiven = true;
            return true;
        case OPT_VERSIONS:
            options->versionsGiven = true;
            options->versionsDir = text;
            return true;
        case OPT_KEEP_VERSIONS:
            options->keepVersionsGiven = true;
            return readOptionCount(info.longName, value, 1, kKeepVersionsMax, &options->keepVersions, problem);
        case OPT_KEEP_DAYS:
            options->keepDaysGiven = true;
            return readOptionCount(info.longName, value, 1, kKeepDaysMax, &options->keepDays, problem);
        case OPT_MAX_DELETE:
            options->maxDeleteGiven = true;
            return readOptionCount(info.longName, value, 0, kMaxDeleteMax, &options->maxDelete, problem);
        case OPT_MAX_REPLACE:
            options->maxReplaceGiven = true;
            return readOptionCount(info.longName, value, 0, kMaxDeleteMax, &options->maxReplace, problem);
        case OPT_RETRIES:
            options->retriesGiven = true;
            return readOptionCount(info.longName, value, 0, kRetriesMax, &options->retries, problem);
        case OPT_RETRY_WAIT:
            options->retryWaitGiven = true;
            if (readWait(value, &options->retryMilliseconds)) return true;
            *problem =
                L"option --retry-wait needs seconds from 0 to 3600, at most three decimals, not [" + value + L"]";
            return false;
        case OPT_WATCH_DELAY:
        case OPT_WATCH_RESCAN:
        case OPT_WATCH_FOR: {
            long long most = info.id == OPT_WATCH_DELAY ? 3600 : kWatchSecondsMax;
            long long* milliseconds = info.id == OPT_WATCH_DELAY    ? &options->watchDelayMilliseconds
                                      : info.id == OPT_WATCH_RESCAN ? &options->watchRescanMilliseconds
                                                                    : &options->watchForMilliseconds;
            *givenOf(info.id, *options) = true;
            // Whole passes back to back would keep the machine busy for nothing.
            bool read = readDuration(value, most, milliseconds);
            if (read && info.id == OPT_WATCH_RESCAN && *milliseconds > 0 && *milliseconds < 1000) {
                *problem = L"option --watch-rescan needs 0 (no rescans) or at least 1 second, not [" + value + L"]";
                return false;
            }
            if (read) return true;
            *problem = L"option --" + std::wstring(info.longName) + L" needs seconds from 0 to " +
                       std::to_wstring(most) + L", at most three decimals, not [" + value + L"]";
            return false;
        }
        default: return false;
    }
}

// Takes the value of an option from the next argument where it may; false
// with a problem when a value is needed and none is left.
bool takeNext(const OptionInfo& info, const std::wstring& spelt, const std::vector<std::wstring>& arguments, size_t* i,
              bool* hasValue, std::wstring* value, std::wstring* problem) {
    if (info.value == NO_VALUE) return true;
    bool next = *i + 1 < arguments.size();
    if (info.value == OPTIONAL_VALUE) {
        if (next && !arguments[*i + 1].empty() && arguments[*i + 1][0] != L'-') {
            *value = arguments[++*i];
            *hasValue = true;
        }
        return true;
    }
    if (!next) {
        *problem = L"option " + spelt + L" needs a value";
        return false;
    }
    *value = arguments[++*i];
    *hasValue = true;
    return true;
}

// The checks of --list-versions and --restore: what they need, and what
// belongs to a run of FROM and TO instead.
bool readVersionsRequest(CliOptions* options, std::wstring* problem) {
    const wchar_t* name = options->listVersions ? L"--list-versions" : L"--restore";
    if (options->listVersions && options->restoreGiven) {
        *problem = L"options --list-versions and --restore contradict each other";
        return false;
    }
    if (!options->versionsGiven) {
        *problem = std::wstring(L"option ") + name + L" needs --versions DIR, the folder the versions are kept in";
        return false;
    }
    if (options->synchronous || options->listGiven || options->settingsGiven || options->ruleGiven ||
        !options->patterns.empty() || options->keepVersionsGiven || options->keepDaysGiven) {
        *problem = std::wstring(L"option ") + name +
                   L" takes none of -s, -f, -r, --exclude, --include, --settings, --keep-versions, --keep-days";
        return false;
    }
    size_t wanted = options->listVersions ? 1 : 0;
    if (options->folders.size() == wanted) return true;
    *problem = options->listVersions ? L"option --list-versions needs one PATH, a file or folder of TO"
                                     : L"option --restore takes no FROM and TO: the path to put back is its value";
    return false;
}

}  // namespace

// Short flags may be bundled (-sy); a value follows its option as the next
// argument, or in the same one (-rX, --rule=X). "--" ends the options.
bool parseArguments(const std::vector<std::wstring>& arguments, CliOptions* options, std::wstring* problem) {
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
            options->folders.push_back(WideString(argument.c_str()));
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        if (argument[1] == L'-') {
            std::wstring name = argument.substr(2);
            std::wstring value;
            size_t equals = name.find(L'=');
            bool hasValue = equals != std::wstring::npos;
            if (hasValue) {
                value = name.substr(equals + 1);
                name = name.substr(0, equals);
            }
            const OptionInfo* info = byLongName(name);
            if (!info) {
                *problem = L"unknown option --" + name;
                return false;
            }
            std::wstring spelt = L"--" + name;
            if (hasValue && info->value == NO_VALUE) {
                *problem = L"option " + spelt + L" takes no value";
                return false;
            }
            if (!hasValue && !takeNext(*info, spelt, arguments, &i, &hasValue, &value, problem)) return false;
            if (!apply(*info, spelt, hasValue, value, options, problem)) return false;
            continue;
        }
        for (size_t j = 1; j < argument.size(); ++j) {
            const OptionInfo* info = byShortName(argument[j]);
            std::wstring spelt = std::wstring(L"-") + argument[j];
            if (!info) {
                *problem = L"unknown option " + spelt;
                return false;
            }
            if (info->value == NO_VALUE) {
                if (!apply(*info, spelt, false, L"", options, problem)) return false;
                continue;
            }
            std::wstring value = argument.substr(j + 1);
            bool hasValue = !value.empty();
            if (!hasValue && !takeNext(*info, spelt, arguments, &i, &hasValue, &value, problem)) return false;
            if (!apply(*info, spelt, hasValue, value, options, problem)) return false;
            break;
        }
    }
    if (options->help || options->version) return true;
    if (options->quiet && options->show) {
        *problem = L"options -q/--quiet and -v/--show contradict each other";
        return false;
    }
    if ((options->keepVersionsGiven || options->keepDaysGiven) && !options->versionsGiven) {
        *problem = std::wstring(L"option --") + (options->keepVersionsGiven ? L"keep-versions" : L"keep-days") +
                   L" needs --versions DIR";
        return false;
    }
    if (options->retryWaitGiven && !options->retriesGiven) {
        *problem = L"option --retry-wait needs --retries N";
        return false;
    }
    if (options->trustSource && !options->checksum) {
        *problem = L"option --checksum-trust-source needs -c/--checksum";
        return false;
    }
    if (options->links && options->copyLinks) {
        *problem = L"options --links and -L/--copy-links contradict each other";
        return false;
    }
    if ((options->asOfGiven || options->restoreToGiven) && !options->restoreGiven) {
        *problem =
            std::wstring(L"option --") + (options->asOfGiven ? L"as-of" : L"restore-to") + L" needs --restore PATH";
        return false;
    }
    if ((options->watchDelayGiven || options->watchRescanGiven || options->watchForGiven) && !options->watch) {
        *problem = std::wstring(L"option --") +
                   (options->watchDelayGiven    ? L"watch-delay"
                    : options->watchRescanGiven ? L"watch-rescan"
                                                : L"watch-for") +
                   L" needs --watch";
        return false;
    }
    // A list names what one run copies; a dry run changes nothing to keep current.
    if (options->watch && (options->listGiven || options->dryRun || options->listVersions || options->restoreGiven)) {
        *problem = std::wstring(L"option --watch takes none of ") +
                   (options->listGiven      ? L"-f/--list: a list names what one run copies"
                    : options->dryRun       ? L"-n/--dry-run: a dry run changes nothing to keep current"
                    : options->listVersions ? L"--list-versions"
                                            : L"--restore");
        return false;
    }
    if (options->listVersions || options->restoreGiven) return readVersionsRequest(options, problem);
    size_t wanted = 2;
    if (options->settingsGiven && options->folders.empty()) wanted = 0;
    if (options->folders.size() != wanted) {
        *problem = options->folders.size() < 2 ? L"FROM and TO folders are needed"
                                               : L"too many folders: give FROM and TO only";
        return false;
    }
    return true;
}

// The window's own file, ./korvaneui.ini, unless one is named.
WideString settingsPathOf(const CliOptions& options) {
    return options.settingsFile.length > 0 ? options.settingsFile : SettingsFilePath(WideString(L"korvaneui"));
}

// Keys as the window saves them: the four path fields, the five check boxes
// and the rule. A rule or list file is taken only when its check box is on,
// as the window's copy command does; the command line wins over the file.
bool applySettingsFile(CliOptions* options, std::wstring* problem) {
    WideString path = settingsPathOf(*options);
    std::vector<SettingLine> lines;
    int failure = 0;
    if (path.length == 0 || !ReadSettingLines(path, &lines, &failure)) {
        *problem = L"settings file [" + std::wstring(path.buffer) + L"] is not exist";
        return false;
    }
    if (failure != 0) {
        *problem = L"settings file [" + std::wstring(path.buffer) + L"] cannot be read: " + platformReasonText(failure);
        return false;
    }
    WideString texts[SETTING_FIELD_COUNT];
    bool checks[SETTING_FIELD_COUNT] = {};
    for (const SettingLine& line : lines) {
        SettingValue value;
        if (!ReadSettingValue(line, &value)) continue;
        if (value.key->kind == SETTING_CHECK) {
            checks[value.key->field] = value.number != 0;
        } else {
            texts[value.key->field] = value.text;
        }
    }
    const WideString& from = texts[SETTING_FROM_FOLDER];
    const WideString& to = texts[SETTING_TO_FOLDER];
    const WideString& logDir = texts[SETTING_LOG_FOLDER];
    const WideString& listFile = texts[SETTING_LIST_FILE];
    const WideString& rule = texts[SETTING_RULE];
    if (options->folders.empty()) {
        options->folders.push_back(from);
        options->folders.push_back(to);
    }
    if (!options->logGiven && logDir.length > 0) {
        options->logGiven = true;
        options->logDir = logDir;
    }
    bool listMode = checks[SETTING_LIST_MODE];
    if (!options->listGiven && listMode) {
        options->listGiven = true;
        options->listFile = listFile;
    }
    options->synchronous = options->synchronous || checks[SETTING_SYNCHRONOUS];
    options->show = options->show || checks[SETTING_SHOW_COPY_FILE];
    if (!options->ruleGiven && checks[SETTING_RULE_ON] && rule.length > 0) {
        options->ruleGiven = true;
        options->rules.push_back(rule);
        options->excludes = options->excludes || checks[SETTING_RULE_EXCLUDES];
    }
    return true;
}

namespace {

// Appends left, then right from the column on (on the next line when left
// reaches it); each further line of right starts at the column too.
void appendColumns(std::wstring* text, const std::wstring& left, const wchar_t* right, size_t column) {
    if (left.size() + 1 > column) {
        *text += left + L"\n" + std::wstring(column, L' ');
    } else {
        *text += left + std::wstring(column - left.size(), L' ');
    }
    for (const wchar_t* p = right; *p; ++p) {
        *text += *p;
        if (*p == L'\n') *text += std::wstring(column, L' ');
    }
    *text += L"\n";
}

UsageWords makeUsageWords() {
    UsageWords words;
    words.forms = {L"[options] FROM TO", L"[options] -f LIST FROM TO", L"[options] --settings[=FILE]",
                   L"--list-versions --versions DIR PATH",
                   L"--restore PATH --versions DIR [--as-of TIME] [--restore-to DEST]"};
    words.summary =
        L"Brings the folder TO up to date with the folder FROM: copies what is missing\n"
        L"or differs (files by modification time and size), and with --sync deletes\n"
        L"what FROM does not have.";
    for (const OptionInfo& info : kOptions) {
        // A missing text reads as empty here and is refused by the manual's check.
        words.options.push_back(OptionDoc{info.shortName, info.longName, info.value != NO_VALUE,
                                          info.shown ? info.shown : L"", info.help ? info.help : L""});
    }
    words.notes =
        L"-r, --exclude, --include and --exclude-from may be given several times;\n"
        L"every other option with a value once.\n"
        L"Changes (-v, -n) and the closing line go to standard output, failures with\n"
        L"the system's reason to standard error; on a terminal a progress line shows\n"
        L"entries per second, bytes copied and per second, the entry at hand, and,\n"
        L"once FROM is counted, how far the run is and the time left.\n"
        L"A copy keeps contents, modification time and permission bits (Windows: its\n"
        L"attributes); a folder takes the time FROM has once its contents are done.\n"
        L"On Linux a symbolic link is copied as a link, as rsync -a and cp -a copy it;\n"
        L"-L follows it (as Windows and the window program do).\n"
        L"On Linux, as rsync -a as root, a copy keeps owner and group (not root: the\n"
        L"group, where the runner may give it); its set-ID bits only under its\n"
        L"source's owner (set-group-ID: and group). A mode, group, attribute or ACL\n"
        L"changed alone is mended in place, without copying (MD: lines, counted as\n"
        L"updated); a file of another owner than its copy would have, or that would\n"
        L"take a set-ID bit or a capability in place, is copied anew (CP:), and a\n"
        L"folder of another user's is made anew around what it holds (CP:). -H, -X\n"
        L"and -A keep what rsync -H, -X and -A keep; --no-owner what rsync\n"
        L"--no-owner --no-group does.\n"
        L"As root, a run reads FROM, a list and a settings file only through links\n"
        L"whose owner may read what they lead to, and refuses a TO, a versions or\n"
        L"log folder, or a settings file that another user may change (exit 3).";
    words.exitStatuses = {
        {0, L"done, nothing failed"},
        {1, L"finished, but entries failed (each named, with the system's reason)"},
        {2, L"usage error: the command line could not be understood"},
        {3,
         L"refused before any change: the Synchronous question declined, a folder\n"
         L"check (FROM, TO, the --versions DIR, the log DIR or file), the list or\n"
         L"pattern file, an invalid rule, another run holding TO, a mirror of a FROM\n"
         L"that holds next to nothing, a restore that finds no version"},
        {4, L"a walk stopped early (a folder could not be read), or a stop (Ctrl+C)"},
        {5,
         L"a guard held changes back: the deletion guard (--max-delete) a mirror's\n"
         L"deletions, the replacement guard (--max-replace) a run's replacements and\n"
         L"a mirror's deletions; none of them was made; the new copies stand"},
    };
    words.examples = {
        {L"korvane /data /backup/data", L"copy what is new or changed"},
        {L"korvane -s -y -q --stats /data /backup/data", L"a mirror, for a nightly job"},
        {L"korvane -s -y -q --versions /backup/versions --keep-days 30 --max-delete 1000 /data /backup/data",
         L"a nightly mirror that keeps\nwhat it replaces or deletes for\n30 days, and deletes nothing\nwhen more than "
         L"1000 would go"},
        {L"korvane --watch -s -y --versions /backup/versions --keep-days 30 /data /backup/data",
         L"keep the backup current all day,\neach change in TO within a second"},
        {L"korvane -n -s /data /backup/data", L"what a mirror would change"},
        {L"korvane -s -y --exclude '*.tmp' --exclude /build/ /src /copy",
         L"a mirror of all but temporary\nfiles and the top folder build,\nwhich stay as they are in TO"},
        {L"korvane -f list.txt /data /backup/data", L"only the paths in list.txt"},
        {L"korvane --settings korvaneui.ini --yes", L"the window program's job"},
        {L"korvane --list-versions --versions /backup/versions /backup/data/report.txt",
         L"the kept versions of one file"},
        {L"korvane --restore /backup/data/report.txt --versions /backup/versions",
         L"put it back as the last run\nthat replaced it kept it"},
    };
    return words;
}

}  // namespace

const UsageWords& usageWords() {
    static const UsageWords words = makeUsageWords();
    return words;
}

// Written from the words above, the options' part from the table the parser reads.
const wchar_t* usageText() {
    static std::wstring text;
    if (!text.empty()) return text.c_str();
    const UsageWords& words = usageWords();
    for (size_t i = 0; i < words.forms.size(); ++i) {
        text += std::wstring(i == 0 ? L"usage: " : L"       ") + L"korvane " + words.forms[i] + L"\n";
    }
    text += std::wstring(words.summary) + L"\n\nOptions:\n";
    for (const OptionDoc& option : words.options) {
        std::wstring names =
            option.shortName ? std::wstring(L"  -") + option.shortName + L", " : std::wstring(L"      ");
        names += L"--" + std::wstring(option.longName);
        if (option.shown[0] != L'\0') names += L" " + std::wstring(option.shown);
        appendColumns(&text, names, option.help, 26);
    }
    text += std::wstring(words.notes) + L"\n\nExit status:\n";
    for (const ExitStatusDoc& status : words.exitStatuses) {
        appendColumns(&text, L"  " + std::to_wstring(status.status), status.meaning, 5);
    }
    text += L"\nExamples:\n";
    for (const ExampleDoc& example : words.examples) {
        appendColumns(&text, L"  " + std::wstring(example.command), example.meaning, 46);
    }
    return text.c_str();
}
