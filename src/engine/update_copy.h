// The update copy: brings one entry of the source tree up to date in the
// target tree. Its plan (engine/entry_plan.h) decides what the entry needs;
// the update learns what the plan asks, then carries the plan out: on a
// worker up to a step that is the run's thread's (removing what stands in
// the way, which is told), and that step and the rest on the run's thread.
#ifndef KORVANE_ENGINE_UPDATE_COPY_H
#define KORVANE_ENGINE_UPDATE_COPY_H

#include "engine/entry_plan.h"
#include "engine/run_context.h"
#include "engine/update_outcome.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// One entry's update on its way from its plan to its end.
struct EntryUpdate {
    const WideString* targetRoot = nullptr;                  // the root its counterpart lies below; outlives the update
    const WideString* entryPath = nullptr;                   // the entry; outlives the update
    WideString target;                                       // its counterpart
    bool listedKnown = false;                                // listed holds what the walk's listing told of the entry
    ListedEntry listed{false, false, false, EntryStatus{}};  // that
    EntryFacts facts;                                        // what was learned of the entry and its counterpart
    EntryPlan plan;                                          // what it is to do
    UpdateOutcome outcome;                                   // what it found and did so far
    bool waitsForRunThread = false;  // the plan's next step is the run's thread's: removing what stands in the way
    bool cleared = false;            // that step is done
};

// Learns what the plan of the update of entryPath (under sourceRoot) asks,
// one fact at a time, and plans it; the outcome holds what the plan tells
// before anything is done. Asks, changes nothing but what learning a fact
// does (a volume's clock probed, a name of one file claimed): on a worker
// or the run's thread. sourceRoot, targetRoot and entryPath outlive the update.
EntryUpdate planUpdate(const RunState& run, const WideString& sourceRoot, const WideString& targetRoot,
                       const WideString& entryPath, const UpdateAsk& ask);

// The verdict of an update's plan from what the run's rules said of the
// entry (rule, a RuleVerdict) alone, before anything is learned:
// PLAN_RULE_LEAVES or PLAN_RULE_UNJUDGED when they leave it, PLAN_ASK when
// the update goes on. A walk asks it before it hands the entry over.
int planByRules(const RunState& run, int rule);

// Carries out update's plan from where it stands up to its end, or up to a
// step that is the run's thread's (update->waitsForRunThread). Tells
// nothing: on a worker or the run's thread.
void carryOutPlan(const RunState& run, EntryUpdate* update);

// On the run's thread, once update waits for it: removes what stands in
// the way (each removal told, as the clean-up tells it), then carries out
// the rest of the plan.
void finishOnRunThread(RunState* run, EntryUpdate* update);

// Copies or creates the counterpart of entryPath (under sourceRoot) below
// targetRoot when it is missing or differs, for run, on the run's thread,
// and tells what it found and did; the run's own figures are left to noteOutcome.
UpdateOutcome updateEntry(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                          const WideString& entryPath, const UpdateAsk& ask);

// Puts an update's outcome into the run's figures, on run's thread:
// runContext.changeAttempted tells whether a change was due, and
// runContext.updatedCount counts the change made.
void noteOutcome(RunState* run, const UpdateOutcome& outcome);

// updateEntry on the run's thread, its outcome noted; listed, when not
// null, is what the walk's listing told of entryPath.
UpdateOutcome updateEntryNoted(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                               const WideString& entryPath, const ListedEntry* listed);

// Brings one entry up to date as the window program's design names it: a
// run of default options that is no mirror, its outcome noted.
UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath);

// Copies source over target; a target that refuses (read-only, hidden or
// system) has those attributes cleared and is tried once more.
bool copyFileOver(const WideString& source, const WideString& target);

#endif
