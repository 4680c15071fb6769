// What the update of one entry found and did, and what its caller knows of
// it before: the records the run's workers hand back to the run's thread.
#ifndef KORVANE_ENGINE_UPDATE_OUTCOME_H
#define KORVANE_ENGINE_UPDATE_OUTCOME_H

#include <cstdint>

#include "engine/kept_version.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// What bringing one entry up to date found and did.
struct UpdateOutcome {
    bool upToDate = false;          // the counterpart is up to date afterwards
    bool changeAttempted = false;   // a change was due
    bool linkInTheWay = false;      // a link in To faced the entry and was left as it is (not a mirror)
    bool notPlainFile = false;      // the source is no plain file or directory: left alone, never opened
    bool programsOwnName = false;   // the source bears a name of the program's own: never copied
    bool linkCopied = false;        // the source was taken as a link (copyLinks), not followed
    bool madeDirectory = false;     // a directory was made where none stood
    bool isDirectory = false;       // the source is a directory, not taken as a link
    bool severalNames = false;      // the source is a file of several names (a link count above one)
    bool othersFolder = false;      // a folder another user holds was to be made anew and could not be: nothing
                                    // of From's goes below it
    bool updatedInPlace = false;    // the change was of metadata alone, made in place: an "  MD: [" line
    bool folderTimeDue = false;     // a directory: its To time was not its From time, or it was made
    int64_t sourceSeconds = 0;      // a directory: its From modification time (with folderTimes)
    int32_t sourceNanoseconds = 0;  // and the part of it below the second
    bool counted = false;           // a change was made (in a dry run: due), which the run's closing line counts
    long long copiedBytes = 0;      // the bytes a file copy wrote
    WideString nameTakenBy;         // the To entry the name reaches under another name; left alone
    WideString reason;              // why it failed, where the run itself found why (else the change's reason)

    // What was read and checked of the contents (checksum, verify).
    bool contentsRead = false;   // the file and its copy were read side by side
    bool contentsOnly = false;   // their contents differed while size and time were alike
    bool copyDamaged = false;    // the copy no longer matched its own record: written again
    bool copyOthers = false;     // the copy is another user's, who may write its record
    bool sourceDamaged = false;  // the source changed without a write: its copy was left as it is (or,
                                 // as asked, written over: upToDate)
    bool verified = false;       // the copy was read back and matched what was read
    bool verifyFailed = false;   // the copy read back did not match: it did not take the name
    long long bytesHashed = 0;   // the bytes hashed for the entry

    // The net under a mirror.
    bool heldBack = false;          // a To entry of another kind waits for the deletion guard: nothing was done
    bool replaceHeld = false;       // the To file it would replace waits for the replacement guard: nothing was done
    bool heldNew = false;           // To lacked the entry, which waits for the clean-up's moves: nothing was done
    bool facedFile = false;         // From's file met a file in To (what the replacement guard's share counts)
    bool versionsInTheWay = false;  // the counterpart is the run's versions folder or lies below it, or
                                    // is a versions folder facing a From folder: left alone
    KeptVersion kept;               // the version kept of the counterpart before it changed, or the failure
                                    // to keep it (KEEP_FAILED: the update failed for that), to be told
    // True when the counterpart is up to date afterwards.
    explicit operator bool() const { return upToDate; }
};

// What the caller knows of an entry before its update.
struct UpdateAsk {
    const ListedEntry* listed = nullptr;        // what the walk's listing told of the entry, or null
    bool targetMissing = false;                 // the run made the target's folder just now: nothing stands there
    const EntryStatus* targetListed = nullptr;  // what the listing of the target's folder told of it, or null
    int rule = 0;                               // what the run's rules said of the entry, a RuleVerdict (RULE_TAKE: 0)
};

#endif
