// What the update of one entry is to do, decided apart from doing it: a
// pure function of what is known of the From entry and its To counterpart,
// the run's options and what the run knows, which asks nothing of the file
// system. The update (engine/update_copy.h) learns the facts a plan asks
// for, one at a time and only those, then carries the plan out; whatever
// is to weigh an entry before it is changed (a move found, a verification)
// has its place between the two.
#ifndef KORVANE_ENGINE_ENTRY_PLAN_H
#define KORVANE_ENGINE_ENTRY_PLAN_H

#include <cstdint>
#include <string>

#include "engine/metadata.h"
#include "engine/rule.h"
#include "engine/run_context.h"
#include "fs/paths.h"
#include "text/wide_string.h"

// The facts a plan may ask for, each learned from the file system once:
// bits of EntryFacts::known.
enum EntryFact {
    FACT_MARK = 1 << 0,          // markedVersionsFolder
    FACT_NAME = 1 << 1,          // nameTakenBy
    FACT_SOURCE_LINK = 1 << 2,   // sourceLink (copyLinks)
    FACT_LINK_TARGET = 1 << 3,   // target, targetIsLink and sameLinkText, for a link copied as a link
    FACT_LINK_OWNER = 1 << 4,    // linkOwnerDiffers
    FACT_STATUSES = 1 << 5,      // source and target, for the update test
    FACT_TIME_STEP = 1 << 6,     // timeStep
    FACT_NAMES_OF_ONE = 1 << 7,  // links
    FACT_MEND = 1 << 8,          // mend and mendReason
    FACT_RUN_LOG = 1 << 9,       // targetIsRunLog
    FACT_CONTENTS = 1 << 10      // contents and contentsReason (checksum)
};

// What the contents of a file and its copy of one size tell, read side by side.
enum ContentsVerdict {
    CONTENTS_ALIKE,           // byte for byte alike
    CONTENTS_DIFFER,          // they differ: a change like any other
    CONTENTS_SOURCE_DAMAGED,  // the copy is as it was written, and the source changed without a write since
    CONTENTS_COPY_DAMAGED     // the copy is no longer what was written to it
};

// Judges what side by side reading found (see platformCompareContents): a
// copy that matches its record, taken of this source, while the source's
// change time is no later than the one the record was taken at, has a source
// that changed below the file system (bit rot, a failing disk); a copy that
// does not match its own record, or cannot be read, was damaged itself;
// without a record of this source, or with a later change of the source (a
// tool that wrote and gave the old time back), they simply differ. The plan
// weighs damage to a source only where size and time are alike.
int judgeContents(const ContentComparison& found);

// What is known of one From entry and its To counterpart when its update
// is planned. The fields of a fact are valid once its bit is in known.
struct EntryFacts {
    // Known before any plan.
    bool updatable = false;        // both roots given, and the entry lies below the source root
    int rule = RULE_TAKE;          // what the run's rules say of the entry, a RuleVerdict
    bool programsOwnName = false;  // the entry bears a name of the program's own
    bool versionsPlace = false;    // the counterpart is the run's versions folder or lies below it
    bool mayBeFolder = false;      // the entry may be a folder (a listing said so, or nothing was listed)
    bool targetMissing = false;    // the run made the counterpart's folder just now: nothing stands there
    int known = 0;                 // the EntryFact bits of the facts learned so far

    bool markedVersionsFolder = false;  // the counterpart is a marked versions folder
    WideString nameTakenBy;             // the To entry the counterpart's name reaches under another name, or empty
    bool sourceLink = false;            // copyLinks: the entry is a link whose text was read, copied as a link
    std::wstring linkText;              // that text
    bool targetIsLink = false;          // a link copy: To holds a link of that name
    bool sameLinkText = false;          // a link copy: ... with the same text
    bool linkOwnerDiffers = false;      // a link copy of the same text: its owner or group is not the source's
    ComparedSide source{};              // the From entry, for the update test
    ComparedSide target{};              // the To counterpart (a link copy: its state alone)
    int64_t timeStep = 0;               // the step of To's volume, in nanoseconds (0: not known)
    LinkFinding links{LINK_NONE, false, nullptr};  // what the names of one file ask (hardLinks)
    int mend = MEND_NONE;                          // what the counterpart's metadata ask, a MendKind
    int mendReason = 0;                            // why they could not be read, or 0
    bool targetIsRunLog = false;                   // the counterpart is the open run log
    ContentComparison contents;                    // checksum: what reading both side by side found
    int contentsReason = 0;                        // why they could not be read, or 0
};

// What the run knows, beyond its options, that a plan weighs.
struct RunKnows {
    bool mirror = false;            // a link, or an entry of another kind, facing a From entry goes
    bool holdKindChanges = false;   // a To entry of another kind waits for the deletion guard's count
    bool holdReplacements = false;  // a To file a copy would replace waits for the replacement guard's count
    bool simulated = false;         // the run's changes are simulated (a dry run)
    bool holdNew = false;           // a From file or folder To lacks waits for the clean-up's moves
};

// What a plan comes to.
enum PlanVerdict {
    PLAN_ASK,             // a fact is to be learned first (needs), then the plan made again
    PLAN_NOTHING,         // no update was asked (an entry outside the source root)
    PLAN_RULE_LEAVES,     // the rules leave the entry alone
    PLAN_RULE_UNJUDGED,   // the rules cannot judge the entry's path: neither copied nor deleted, and told
    PLAN_OWN_NAME,        // the entry bears a name of the program's own: never copied
    PLAN_VERSIONS,        // the counterpart is a versions folder, or the run's: left as it is
    PLAN_NAME_TAKEN,      // the counterpart's name reaches another entry of To: left out
    PLAN_NOT_PLAIN,       // the entry is no plain file or directory: left alone, never opened
    PLAN_UP_TO_DATE,      // the counterpart is up to date: nothing to do
    PLAN_FAIL,            // a change is due and cannot be made (why in reason or failure)
    PLAN_HOLD_KIND,       // a To entry of another kind waits for the deletion guard: nothing done
    PLAN_HOLD_REPLACE,    // the To file it would replace waits for the replacement guard: nothing done
    PLAN_HOLD_NEW,        // To lacks the entry, which waits for a move to bring it: nothing done
    PLAN_LINK_STAYS,      // a link in To faces the entry, and a run that is no mirror leaves it
    PLAN_SOURCE_DAMAGED,  // checksum: the source's contents changed without a write; its good copy stays
                          // (a failure, or, where the copy is another user's, who may write its record, told alone)
    PLAN_CHANGE           // the steps below
};

// What stands in the way is removed first.
enum ClearStep {
    CLEAR_NONE,  // nothing stands in the way
    CLEAR_TREE,  // a directory where From has a file or link: it goes with what is below it (the run's thread)
    CLEAR_FILE,  // a file where From has a directory: it goes (the run's thread)
    CLEAR_LINK   // a link in To faces the entry: it goes as a link, its version kept first (the run's thread)
};

// What the change makes.
enum MakeStep {
    MAKE_NOTHING,    // no change
    MAKE_COPY,       // the file is copied over the counterpart, or where none stands
    MAKE_LINK_COPY,  // the link is copied as a link
    MAKE_HARD_LINK,  // the counterpart becomes another name of the copy of the file's first name; where
                     // that cannot be, a copy of its own
    MAKE_DIRECTORY,  // the directory is made, or given its source's attributes
    MAKE_MEND,       // the counterpart's metadata alone are brought to the source's, in place
    MAKE_RETIME      // checksum: contents alike, the counterpart's modification time alone is given its source's
};

// What the update of one entry is to do.
struct EntryPlan {
    int verdict = PLAN_ASK;         // a PlanVerdict
    int needs = 0;                  // PLAN_ASK: the EntryFact to learn
    bool linksReplaced = false;     // asking FACT_NAMES_OF_ONE: the counterpart is to be replaced anyway
    bool changeAttempted = false;   // a change is due
    bool isDirectory = false;       // the entry is a directory, not taken as a link
    bool facedFile = false;         // From's file met a file in To (what the replacement guard's share counts)
    bool linkCopied = false;        // the entry is taken as a link
    bool contentsRead = false;      // checksum: the file and its copy were read side by side
    int contents = CONTENTS_ALIKE;  // what their contents told then, a ContentsVerdict
    bool contentsOnly = false;      // the contents differ while size and time are alike
    bool retime = false;            // contents alike: the counterpart's modification time is given its source's first
    const wchar_t* reason = L"";    // PLAN_VERSIONS, PLAN_FAIL: the words of why, or empty
    int failure = 0;                // PLAN_FAIL: the system's reason, when reason is empty
    // PLAN_CHANGE: the steps, in this order.
    int clear = CLEAR_NONE;      // a ClearStep
    bool renew = false;          // the directory is made anew first, what it holds moved along
    bool parentFirst = false;    // the folder holding the counterpart is made first
    bool keep = false;           // the file it replaces is kept as a version first
    int make = MAKE_NOTHING;     // a MakeStep
    bool noteFirst = false;      // the counterpart is noted as the copy of the file's first name (also up to date)
    bool checkWordKept = false;  // MAKE_DIRECTORY: a word the volume cannot hold leaves nothing changed
};

// Decides what the update of the entry is to do from facts, the run's
// options and what the run knows, asking nothing: PLAN_ASK with the fact it
// needs first, as long as one is missing. A fact is asked for only where
// the decision turns on it, in the order the update has always asked them.
EntryPlan planEntry(const EntryFacts& facts, const RunOptions& options, const RunKnows& knows);

#endif
