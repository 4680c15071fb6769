// Folder times: each folder of To takes its From folder's modification time
// once its contents are done (the walks' after-folder step), so that a run
// leaves the times that copying into a folder or deleting from it changed
// as From has them; a folder in which nothing changed is not touched.
#ifndef KORVANE_ENGINE_FOLDER_TIMES_H
#define KORVANE_ENGINE_FOLDER_TIMES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/run_context.h"
#include "text/wide_string.h"

// What the folder-time step knows of one folder on a walk's descent path.
struct FolderTimeFrame {
    bool taken;               // the folder is the run's to give a time (the rules take it, it stands in To)
    bool due;                 // its To time was not its From time when it was met: a change of its own
    bool changed;             // the folder itself was changed when it was met: its time goes with that change
    bool touched;             // the run changed it without telling (a dead run's temporaries went)
    bool fromKnown;           // fromSeconds holds the From folder's time
    int64_t fromSeconds;      // the From folder's modification time
    int32_t fromNanoseconds;  // and the part of it below the second
    long long activity;       // the run's changes and failures when its contents began (runActivity)
};

// The frames of one walk, per depth of its descent path (0: the walked root).
struct FolderTimes {
    bool on = false;                                       // the run keeps folder times, and this walk gives them
    std::vector<std::shared_ptr<FolderTimeFrame>> frames;  // the folders being walked, root first
    std::set<std::wstring> deferred;  // To folders whose time alone was due, left to the clean-up walk
};

// The copies, creations, deletions and failures of run so far, and the
// replacements waiting for the replacement guard's count: when they grew
// while a folder's contents were dealt with, its time may have changed.
long long runActivity(const RunState* run);

// A folder's modification time: whole seconds since 1970 and the part below.
struct FolderTime {
    int64_t seconds;      // whole seconds since 1970 UTC
    int32_t nanoseconds;  // the part below the second
};

// True when a To folder's time is not the From folder's as run compares
// times (sameModifiedTime): to the nanosecond, within the
// modification window, or within the step of a volume that keeps coarser
// times (folder, on that volume, asked only then).
bool folderTimeDiffers(const RunState& run, const WideString& folder, FolderTime from, FolderTime to);

// Begins the frames of a walk of run whose folder times are given (on),
// with the frame of the walked root: the roots' times are looked at only
// when due is asked for (the copy walk; the clean-up walk leaves that to it).
void beginFolderTimes(FolderTimes* times, bool on, const RunState* run, const WideString& from, const WideString& to,
                      bool askDue);

// The frame of the folder at depth, as its walk meets it: a new one, its
// activity that of run now, for the walk to fill.
FolderTimeFrame* folderFrame(FolderTimes* times, size_t depth, const RunState* run);

// The frame of a folder the rules do not take (null: none): it still takes
// From's time, with no line of its own, when the run changes or fails
// anything below it from now on, as the changes made there moved its time.
void takeTimeForBelow(FolderTimeFrame* frame, const RunState* run);

// The frame of the folder at depth on the walk's descent path; null when
// the walk gives no folder times.
std::shared_ptr<FolderTimeFrame> frameAt(const FolderTimes& times, size_t depth);

// The after-folder step for the To folder toFolder, whose From folder is
// fromFolder and whose frame is taken: its time is set when it was due, or
// when anything changed or failed below it since its activity was taken
// and it then differs from From's. A time that alone was due is a change of
// its own, told with an "  MD: [" line and counted; when the clean-up walk
// is to enter the folder after this walk (cleanupEnters), the step is left
// to it, which tells the time alone only when it deleted nothing there. A
// failure is told with its reason. On the run's thread, once what was
// handed over below the folder is told.
void finishFolder(RunState* run, FolderTimes* times, FolderTimeFrame* taken, const WideString& fromFolder,
                  const WideString& toFolder, bool cleanupEnters);

// Gives the To folder toFolder (of status target) the time of its From
// folder fromFolder (of status source) where it differs; true when it was
// set. A failure to set it is told with its reason.
bool matchFolderTime(RunState* run, const WideString& fromFolder, const WideString& toFolder, const EntryStatus& source,
                     const EntryStatus& target);

// The after-folder step, once more, for the To folder toFolder (From:
// fromFolder) in which an entry changed after its step had come (an entry
// the deletion guard held back until its count): its time is set where it
// differs from From's, with no line of its own, as it goes with that change.
void refinishFolder(RunState* run, FolderTimes* times, const WideString& fromFolder, const WideString& toFolder);

// Readies the To folder toFolder to be retimed as refinishFolder retimes
// it, by a worker (folderTimeDiffers, then its time set): false where it is
// not to be (folder times off, or the run's changes took the folder away).
// What was left for later there is done by that retime.
bool readyRetime(RunState* run, FolderTimes* times, const WideString& toFolder);

// The after-folder step for the folders whose time alone was due and was
// left to a clean-up walk that does not come (the deletion guard held it
// back), each told as finishFolder tells it; from and to are the run's roots.
void finishDeferred(RunState* run, FolderTimes* times, const WideString& from, const WideString& to);

#endif
