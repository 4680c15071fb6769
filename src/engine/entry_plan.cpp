// Deciding what an entry needs: the verdicts and steps of a plan, from the facts learned of it.
#include "engine/entry_plan.h"

#include "fs/time_step.h"

namespace {

// A plan that waits for fact.
EntryPlan ask(EntryPlan plan, int fact) {
    plan.verdict = PLAN_ASK;
    plan.needs = fact;
    return plan;
}

// A plan that ends in verdict.
EntryPlan ending(EntryPlan plan, int verdict) {
    plan.verdict = verdict;
    return plan;
}

// A change that is due and cannot be made, for the words of why.
EntryPlan failing(EntryPlan plan, const wchar_t* why) {
    plan.changeAttempted = true;
    plan.reason = why;
    return ending(plan, PLAN_FAIL);
}

bool knows(const EntryFacts& facts, int fact) { return (facts.known & fact) != 0; }

// A file's modification time.
StampTime stampOf(const EntryState& entry) {
    return StampTime{entry.status.modifiedSeconds, entry.status.modifiedNanoseconds};
}

// True when both are files of one size whose times may compare on a
// coarser step; the setId condition: a copy bearing set-ID bits under
// another owner than its source's is never alike.
bool filesOfOneSize(const EntryState& source, const EntryState& existing) {
    if (!source.queried || !existing.queried || source.isDirectory || existing.isDirectory) return false;
    return existing.status.isRegular && source.status.size == existing.status.size;
}

// A link copied as a link: up to date when To holds a link with the same
// text (its owner and group mended where kept); otherwise a copy of it
// replaces a file or link of that name. A directory in its place stays,
// and the copy fails, unless the run is a mirror, which replaces it.
EntryPlan planLinkCopy(EntryPlan plan, const EntryFacts& facts, const RunOptions& options, const RunKnows& run) {
    plan.linkCopied = true;
    if (!knows(facts, FACT_LINK_TARGET)) return ask(plan, FACT_LINK_TARGET);
    const EntryState& existing = facts.target.state;
    plan.facedFile = existing.queried && existing.status.isRegular && !facts.targetIsLink;
    if (facts.sameLinkText) {
        // The same text: the link's owner and group may be all that differs.
        if (options.updateMetadata && options.keepOwners && existing.queried) {
            if (!knows(facts, FACT_LINK_OWNER)) return ask(plan, FACT_LINK_OWNER);
            if (facts.linkOwnerDiffers) {
                plan.changeAttempted = true;
                plan.make = MAKE_MEND;
                return ending(plan, PLAN_CHANGE);
            }
        }
        return ending(plan, PLAN_UP_TO_DATE);
    }
    plan.changeAttempted = true;
    bool directoryInTheWay = existing.queried && existing.isDirectory && !facts.targetIsLink;
    bool fileStands = existing.queried && !existing.isDirectory && !facts.targetIsLink;
    if (run.mirror && directoryInTheWay) {
        if (run.holdKindChanges) return ending(plan, PLAN_HOLD_KIND);
        plan.clear = CLEAR_TREE;
    }
    bool standing = plan.clear == CLEAR_NONE && (existing.queried || facts.targetIsLink);
    plan.parentFirst = !standing;
    if (fileStands) {
        if (!knows(facts, FACT_RUN_LOG)) return ask(plan, FACT_RUN_LOG);
        if (facts.targetIsRunLog) return failing(plan, L"it is the run's log");
        if (run.holdReplacements) return ending(plan, PLAN_HOLD_REPLACE);
    }
    plan.keep = standing && !directoryInTheWay;
    plan.make = MAKE_LINK_COPY;
    return ending(plan, PLAN_CHANGE);
}

// The update test, with the step of a coarser volume where it decides:
// two files of one size whose times differ only as a coarser volume stores
// them are alike when To's volume keeps times that coarsely.
bool contentsDiffer(const EntryFacts& facts, const RunOptions& options, bool* needsStep) {
    *needsStep = false;
    if (!sidesDiffer(facts.source, facts.target, options.modifyWindow)) return false;
    const EntryState& source = facts.source.state;
    const EntryState& existing = facts.target.state;
    if (!filesOfOneSize(source, existing)) return true;
    if (existing.status.setId && existing.status.owner != source.status.owner) return true;
    if (!timeStepDecides(stampOf(source), stampOf(existing), 0)) return true;
    if (!knows(facts, FACT_TIME_STEP)) {
        *needsStep = true;
        return true;
    }
    return !timesMatchOnStep(stampOf(source), stampOf(existing), facts.timeStep);
}

// A file bearing set-ID bits whose contents match by size and time (within
// the window or a coarser volume's step) is mended in place, not copied.
bool sameContentsStamp(const EntryFacts& facts, const RunOptions& options, bool* needsStep) {
    *needsStep = false;
    const EntryState& source = facts.source.state;
    const EntryState& existing = facts.target.state;
    if (!filesOfOneSize(source, existing)) return false;
    if (!timeStepDecides(stampOf(source), stampOf(existing), options.modifyWindow)) {
        return sameTimeWithStep(stampOf(source), stampOf(existing), options.modifyWindow, 0);
    }
    if (!knows(facts, FACT_TIME_STEP)) {
        *needsStep = true;
        return false;
    }
    return sameTimeWithStep(stampOf(source), stampOf(existing), options.modifyWindow, facts.timeStep);
}

// The steps of a change of a file (or a name of a file of several names)
// or of a directory, once what stands in the way is known to go.
EntryPlan planMaking(EntryPlan plan, const EntryFacts& facts, const RunKnows& run, bool linkFacing, bool renew,
                     bool linkDue) {
    const EntryState& source = facts.source.state;
    const EntryState& existing = facts.target.state;
    // A file in To (not a directory, which a mirror removes) is replaced.
    bool replacing = existing.queried && !existing.isDirectory && !linkFacing;
    if (linkDue || !source.isDirectory) {
        if (replacing) {
            if (!knows(facts, FACT_RUN_LOG)) return ask(plan, FACT_RUN_LOG);
            if (facts.targetIsRunLog) return failing(plan, L"it is the run's log");
            if (run.holdReplacements) return ending(plan, PLAN_HOLD_REPLACE);
        }
        plan.keep = replacing;
        // A list run meets names whose folders in To are not made yet; a
        // simulated copy cannot tell a missing parent: a dry run looks first.
        plan.parentFirst = linkDue ? !existing.queried : !existing.queried && source.queried && run.simulated;
        plan.make = linkDue ? MAKE_HARD_LINK : MAKE_COPY;
        plan.noteFirst = plan.noteFirst && !linkDue;
        return ending(plan, PLAN_CHANGE);
    }
    plan.renew = renew;
    plan.make = MAKE_DIRECTORY;
    plan.noteFirst = false;
    return ending(plan, PLAN_CHANGE);
}

}  // namespace

int judgeContents(const ContentComparison& found) {
    if (found.same) return CONTENTS_ALIKE;
    if (found.targetUnreadable) return CONTENTS_COPY_DAMAGED;
    // A record taken of another source's copy (a copy moved or swapped in To) tells nothing of this one.
    if (!found.recordKnown || found.record.sourceIdentity != found.sourceIdentity) return CONTENTS_DIFFER;
    if (found.record.hash != found.targetHash) return CONTENTS_COPY_DAMAGED;
    if (recordPredates(found.record, found.sourceChangeSeconds, found.sourceChangeNanoseconds)) return CONTENTS_DIFFER;
    return CONTENTS_SOURCE_DAMAGED;
}

// The facts are asked for in the order the update has always looked: the
// rules first (judged already), the program's own names and versions folders, then the name, then the
// link, the statuses, a coarse volume's step, the names of one file, the
// metadata, and last whether the file it would replace is the run log.
EntryPlan planEntry(const EntryFacts& facts, const RunOptions& options, const RunKnows& run) {
    EntryPlan plan;
    if (!facts.updatable) return ending(plan, PLAN_NOTHING);
    if (facts.rule == RULE_UNMATCHABLE) return ending(plan, PLAN_RULE_UNJUDGED);
    if (facts.rule == RULE_SKIP || facts.rule == RULE_SKIP_BELOW) return ending(plan, PLAN_RULE_LEAVES);
    // A mark carried over from From would make a folder of To pass for a versions folder.
    if (facts.programsOwnName) return ending(plan, PLAN_OWN_NAME);
    if (facts.versionsPlace) {
        plan.changeAttempted = true;
        plan.reason = L"the run keeps its versions there; left as it is";
        return ending(plan, PLAN_VERSIONS);
    }
    // A folder the run has just made holds no mark.
    if (facts.mayBeFolder && !facts.targetMissing) {
        if (!knows(facts, FACT_MARK)) return ask(plan, FACT_MARK);
        if (facts.markedVersionsFolder) {
            plan.changeAttempted = true;
            plan.reason = L"a versions folder is there; left as it is";
            return ending(plan, PLAN_VERSIONS);
        }
    }
    if (!facts.targetMissing) {
        if (!knows(facts, FACT_NAME)) return ask(plan, FACT_NAME);
        if (facts.nameTakenBy.length > 0) {
            plan.changeAttempted = true;
            return ending(plan, PLAN_NAME_TAKEN);
        }
    }
    if (options.copyLinks) {
        if (!knows(facts, FACT_SOURCE_LINK)) return ask(plan, FACT_SOURCE_LINK);
        if (facts.sourceLink) return planLinkCopy(plan, facts, options, run);
    }
    if (!knows(facts, FACT_STATUSES)) return ask(plan, FACT_STATUSES);
    const EntryState& source = facts.source.state;
    const EntryState& existing = facts.target.state;
    bool needsStep = false;
    bool differ = contentsDiffer(facts, options, &needsStep);
    if (needsStep) return ask(plan, FACT_TIME_STEP);
    plan.isDirectory = source.queried && source.isDirectory;
    plan.facedFile = source.queried && existing.queried && !source.isDirectory && source.status.isRegular &&
                     !existing.isDirectory && existing.status.isRegular && !existing.status.isLink;
    if (source.queried && !source.isDirectory && !source.status.isRegular) return ending(plan, PLAN_NOT_PLAIN);
    // What To lacks may stand there under another name: a mirror's clean-up
    // looks first. Names of one file are followed as met, and stay so.
    if (run.holdNew && source.queried && !existing.queried && !options.hardLinks) {
        return ending(plan, PLAN_HOLD_NEW);
    }
    bool linkFacing = existing.queried && existing.status.isLink;
    bool faithful = options.updateMetadata;
    bool sameKind = source.queried && existing.queried && !linkFacing && source.isDirectory == existing.isDirectory;
    // Files of one size are read side by side where contents decide; a set-ID
    // copy under another owner is judged as by time (mended or copied).
    bool setIdElsewhere = existing.status.setId && existing.status.owner != source.status.owner;
    bool byContents =
        options.checksum && sameKind && !source.isDirectory && filesOfOneSize(source, existing) && !setIdElsewhere;
    if (byContents) {
        if (!knows(facts, FACT_CONTENTS)) return ask(plan, FACT_CONTENTS);
        if (facts.contentsReason != 0) {
            plan.changeAttempted = true;
            plan.failure = facts.contentsReason;
            return ending(plan, PLAN_FAIL);
        }
        plan.contentsRead = true;
        plan.contents = judgeContents(facts.contents);
        // Damage below the file system leaves the times as they were: a new time is a write.
        if (plan.contents == CONTENTS_SOURCE_DAMAGED && differ) plan.contents = CONTENTS_DIFFER;
        plan.contentsOnly = plan.contents != CONTENTS_ALIKE && !differ;
        bool timeDiffers = differ;
        differ = plan.contents != CONTENTS_ALIKE;
        // Alike contents under another time: the time is given, so that the
        // next run by time finds it up to date, its metadata mended as ever.
        // A To file of several names is not changed in place, and names of one
        // file with -H are what their links decide: they are copied as by time.
        bool severalNames = existing.status.linkCount > 1 || (options.hardLinks && source.status.linkCount > 1);
        if (!differ && timeDiffers && severalNames) differ = true;
        plan.retime = !differ && timeDiffers;
        // A good copy is not written over with what a failing disk made of its source.
        if (plan.contents == CONTENTS_SOURCE_DAMAGED && !options.trustSource) {
            plan.changeAttempted = true;
            plan.reason = L"contents changed without a write: a damaged source?";
            return ending(plan, PLAN_SOURCE_DAMAGED);
        }
    }
    // Where metadata are kept, they decide below: a folder's mode, and a
    // file's set-ID bits under another owner, are mended in place.
    if (faithful && sameKind && source.isDirectory) differ = false;
    if (faithful && sameKind && !source.isDirectory && differ && existing.status.setId && !byContents) {
        differ = !sameContentsStamp(facts, options, &needsStep);
        if (needsStep) return ask(plan, FACT_TIME_STEP);
    }
    int linkStep = LINK_NONE;
    if (options.hardLinks && source.queried && source.status.isRegular) {
        if (!knows(facts, FACT_NAMES_OF_ONE)) {
            plan.linksReplaced = differ;
            return ask(plan, FACT_NAMES_OF_ONE);
        }
        linkStep = facts.links.step;
        // A To file that is another From file's copy too is made afresh; its other names stay as they are.
        if (facts.links.shared) differ = true;
    }
    if (linkStep == LINK_UP_TO_DATE) return ending(plan, PLAN_UP_TO_DATE);
    plan.noteFirst = linkStep == LINK_FIRST;
    bool inPlace = false;
    bool renew = false;
    if (faithful && sameKind && !differ && linkStep != LINK_DUE) {
        if (!knows(facts, FACT_MEND)) return ask(plan, FACT_MEND);
        if (facts.mendReason != 0) {
            plan.changeAttempted = true;
            plan.failure = facts.mendReason;
            return ending(plan, PLAN_FAIL);
        }
        // A To file of several names is never changed in place: the other
        // names (a snapshot's, or one planted to reach another's file) stay
        // as they are, and this one gets a copy of its own. Nor is an entry
        // whose contents another may have chosen given what they may not
        // take: a file gets a copy the run writes, a folder is renewed.
        bool othersShare = !source.isDirectory && existing.status.linkCount > 1;
        bool anew = facts.mend == MEND_ANEW || (facts.mend == MEND_IN_PLACE && othersShare);
        differ = anew && !source.isDirectory;
        renew = anew && source.isDirectory;
        inPlace = facts.mend == MEND_IN_PLACE && !anew;
    }
    plan.changeAttempted = differ || linkFacing || inPlace || renew || linkStep == LINK_DUE || plan.retime;
    if (!plan.changeAttempted) return ending(plan, PLAN_UP_TO_DATE);
    // A mirror replaces a To entry of another kind than its From entry: a
    // directory where From has a file or a link goes with everything below
    // it, a file or link where From has a directory goes too; while the
    // deletion guard counts, it waits. Other runs leave it, and its copy
    // fails as before.
    bool kindInTheWay =
        run.mirror && source.queried && existing.queried && !linkFacing && source.isDirectory != existing.isDirectory;
    if (kindInTheWay) {
        if (run.holdKindChanges) return ending(plan, PLAN_HOLD_KIND);
        plan.clear = existing.isDirectory ? CLEAR_TREE : CLEAR_FILE;
    }
    // A link in To facing the entry is never written through: a mirror
    // removes it as a link, a deletion the guard counts first, and any
    // other run leaves it.
    if (linkFacing) {
        if (!run.mirror) return ending(plan, PLAN_LINK_STAYS);
        if (run.holdKindChanges) return ending(plan, PLAN_HOLD_KIND);
        plan.clear = CLEAR_LINK;
    }
    if (inPlace) {
        plan.make = MAKE_MEND;
        return ending(plan, PLAN_CHANGE);
    }
    if (plan.retime && !differ && !renew && linkStep != LINK_DUE) {
        plan.make = MAKE_RETIME;
        return ending(plan, PLAN_CHANGE);
    }
    plan.retime = false;
    plan.checkWordKept = !linkFacing && !faithful;
    return planMaking(plan, facts, run, linkFacing, renew, linkStep == LINK_DUE);
}
