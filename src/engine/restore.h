// Versions looked at and put back: the kept versions of an entry of To,
// found through the records of the run folders, and a restore run that
// puts an entry back as the runs kept it, under every rule a run keeps.
#ifndef KORVANE_ENGINE_RESTORE_H
#define KORVANE_ENGINE_RESTORE_H

#include <vector>

#include "engine/run_context.h"
#include "engine/versions.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// One version of an entry of To, as a run kept it.
struct EntryVersion {
    WideString runFolder;      // the run folder that holds it
    WideString path;           // the version itself: the entry's place in the run folder
    RunRecord record;          // the run that kept it
    bool isDirectory = false;  // a folder (what the run kept of what it held)
    bool isLink = false;       // a symbolic link, kept as a link
    long long size = 0;        // a file's bytes; a folder's: the bytes of the files it holds
    long long entries = 0;     // a folder's: the entries it holds, at any depth
};

// A path of To and the versions a versions folder keeps of it.
struct VersionedPath {
    WideString to;                       // the To Folder of the job it belongs to, as the path spells it
    WideString relative;                 // its path below To, the system's separators; empty for To itself
    std::vector<EntryVersion> versions;  // newest first, by the order the job's runs happened
};

// Finds the versions the versions folder keeps of path, a file or folder
// of a To Folder (whether or not it stands there now). The job is the one
// whose run records name a To Folder that holds path, by identity (any
// spelling, a link) or by its whole path; the deepest such To wins. False
// with why in *why when no run folder's record names a To that holds path,
// or path lies in the versions folder; a job without versions of path
// gives true and none.
bool findVersions(const WideString& versionsFolder, const WideString& path, VersionedPath* found, WideString* why);

// True when version was kept by a run that started at asOf or later, in
// local time, to the second.
bool keptSince(const EntryVersion& version, const CalendarTime& asOf);

// Puts found back into target (To, or another folder), as it was at asOf
// (null: when the newest run that kept a version of it started): each
// entry at or below it as the first run that started then or later kept
// it; what no such run kept, and what was made since, stays as it is. A
// run of options: what the restore replaces or deletes is kept in
// options.versionsFolder (a run folder of its own), under target's lock,
// through held folders, links copied as links, owners as a copy keeps
// them. Its RUN_ or WALK_ code; RUN_NO_VERSION when no run since asOf kept
// anything of it.
int RestoreRun(const RunOptions& options, RunTally* tally, bool showCopyFile, const VersionedPath& found,
               const WideString& target, const CalendarTime* asOf);

#endif
