// What an entry's update is to do, decided from what is known of the entry
// and its counterpart alone: one table of cases, no disk. Each case gives
// the world as it is; the plan is made from nothing learned, and each fact
// it asks for is looked up in the world, so that a case tells which facts
// the plan needed and in what order, as well as what it decided.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/entry_plan.h"
#include "engine/rule.h"

namespace {

const uint32_t kFileMode = 0100644;
const uint32_t kDirectoryMode = 040755;

// A plain file's status.
EntryStatus file(int64_t size, int64_t seconds, int32_t nanoseconds = 0) {
    EntryStatus status{};
    status.isRegular = true;
    status.attributeWord = kFileMode;
    status.permissions = kFileMode & 07777;
    status.size = size;
    status.modifiedSeconds = seconds;
    status.modifiedNanoseconds = nanoseconds;
    status.owner = 1000;
    status.group = 1000;
    status.linkCount = 1;
    status.identity = DirectoryIdentity{1, static_cast<uint64_t>(seconds + size)};
    return status;
}

// A directory's status.
EntryStatus folder(uint32_t mode = kDirectoryMode) {
    EntryStatus status = file(4096, 500);
    status.isRegular = false;
    status.isDirectory = true;
    status.attributeWord = mode;
    status.permissions = mode & 07777;
    return status;
}

// A link's status, the link itself.
EntryStatus link() {
    EntryStatus status = file(7, 500);
    status.isRegular = false;
    status.isLink = true;
    status.attributeWord = 0120777;
    return status;
}

// A FIFO's status.
EntryStatus fifo() {
    EntryStatus status = file(0, 500);
    status.isRegular = false;
    status.attributeWord = 010644;
    return status;
}

// A file that another user owns, bearing the set-user-ID bit.
EntryStatus setIdOf(EntryStatus status, uint32_t owner) {
    status.setId = true;
    status.owner = owner;
    status.permissions |= 04000;
    status.attributeWord |= 04000;
    return status;
}

// A file of several names.
EntryStatus namesOf(EntryStatus status, uint32_t names) {
    status.linkCount = names;
    return status;
}

// One side of the update test: an entry that stands.
ComparedSide standing(const EntryStatus& status) {
    return ComparedSide{EntryState{true, status.isDirectory, status}, true, true, status.attributeWord};
}

// One side of the update test: nothing stands there.
ComparedSide nothing() { return ComparedSide{EntryState{false, false, {}}, false, false, 0}; }

// A first copy of a file of several names, for LINK_DUE and LINK_UP_TO_DATE.
const FirstCopy kFirst{WideString(L"/to/first"), DirectoryIdentity{1, 77}, true};

// One case: the world, the run, and what the plan is to come to.
struct Case {
    const char* what;
    EntryFacts world;             // every fact as it is (known is ignored)
    RunOptions options;           // the run's options
    RunKnows knows;               // what the run knows
    int verdict;                  // the PlanVerdict expected
    int clear;                    // the ClearStep expected (PLAN_CHANGE)
    int make;                     // the MakeStep expected (PLAN_CHANGE)
    bool keep;                    // a version is kept first
    std::vector<int> asks;        // the facts asked, in order
    bool parentFirst = false;     // the parent is made first
    bool renew = false;           // the folder is made anew first
    bool noteFirst = false;       // the copy is noted as the first name's
    bool changeAttempted = true;  // a change is due
};

// The world of a file (or whatever source and target say) below the roots.
EntryFacts world(ComparedSide source, ComparedSide target) {
    EntryFacts facts;
    facts.updatable = true;
    facts.mayBeFolder = source.state.isDirectory;
    facts.source = source;
    facts.target = target;
    return facts;
}

// The same world with one change made by edit.
template <typename Edit>
EntryFacts with(EntryFacts facts, Edit edit) {
    edit(&facts);
    return facts;
}

// Options with one change made by edit.
template <typename Edit>
RunOptions options(Edit edit) {
    RunOptions made;
    edit(&made);
    return made;
}

RunKnows mirror() { return RunKnows{true, false, false, false}; }

// What a copy's record says of it, for contents read side by side.
enum RecordSays {
    RECORD_NONE,          // the copy carries none
    RECORD_SINCE_WRITE,   // it matches the copy, and the source has not been changed since it was taken
    RECORD_BEFORE_EDIT,   // it matches the copy, and the source was changed since (a write, its time put back)
    RECORD_NOT_COPY,      // it does not match the copy
    RECORD_OTHER_SOURCE,  // it matches the copy, taken of another source (a copy moved or swapped in To)
    COPY_UNREADABLE       // the copy could not be read
};

// Contents read side by side: alike or not, with what the copy's record says.
ContentComparison contents(bool same, int record) {
    ContentComparison found;
    found.same = same;
    found.targetHash = ContentHash{1, 2};
    found.sourceChangeSeconds = 900;
    found.sourceChangeNanoseconds = 5;
    found.recordKnown = record != RECORD_NONE && record != COPY_UNREADABLE;
    found.targetUnreadable = record == COPY_UNREADABLE;
    found.sourceIdentity = 42;
    found.record.sourceIdentity = record == RECORD_OTHER_SOURCE ? 43 : 42;
    found.record.hash = record == RECORD_NOT_COPY ? ContentHash{7, 7} : found.targetHash;
    found.record.sourceChangeSeconds = record == RECORD_BEFORE_EDIT ? 899 : 900;
    found.record.sourceChangeNanoseconds = 5;
    return found;
}

// A world of a file and its copy of one size whose contents were found so.
EntryFacts readWorld(ComparedSide source, ComparedSide target, const ContentComparison& found, int reason = 0) {
    EntryFacts facts = world(source, target);
    facts.contents = found;
    facts.contentsReason = reason;
    return facts;
}

RunOptions byContents(bool trustSource = false) {
    RunOptions made;
    made.checksum = true;
    made.trustSource = trustSource;
    return made;
}

// The facts known before any plan: what the caller hands the update.
EntryFacts upFront(const EntryFacts& world) {
    EntryFacts facts;
    facts.updatable = world.updatable;
    facts.rule = world.rule;
    facts.programsOwnName = world.programsOwnName;
    facts.versionsPlace = world.versionsPlace;
    facts.mayBeFolder = world.mayBeFolder;
    facts.targetMissing = world.targetMissing;
    return facts;
}

// Learns fact from the world into facts.
void learnFrom(const EntryFacts& world, int fact, EntryFacts* facts) {
    switch (fact) {
        case FACT_MARK: facts->markedVersionsFolder = world.markedVersionsFolder; break;
        case FACT_NAME: facts->nameTakenBy = world.nameTakenBy; break;
        case FACT_SOURCE_LINK:
            facts->sourceLink = world.sourceLink;
            facts->linkText = world.linkText;
            break;
        case FACT_LINK_TARGET:
            facts->target = world.target;
            facts->targetIsLink = world.targetIsLink;
            facts->sameLinkText = world.sameLinkText;
            break;
        case FACT_LINK_OWNER: facts->linkOwnerDiffers = world.linkOwnerDiffers; break;
        case FACT_STATUSES:
            facts->source = world.source;
            facts->target = world.target;
            break;
        case FACT_TIME_STEP: facts->timeStep = world.timeStep; break;
        case FACT_NAMES_OF_ONE: facts->links = world.links; break;
        case FACT_MEND:
            facts->mend = world.mend;
            facts->mendReason = world.mendReason;
            break;
        case FACT_RUN_LOG: facts->targetIsRunLog = world.targetIsRunLog; break;
        case FACT_CONTENTS:
            facts->contents = world.contents;
            facts->contentsReason = world.contentsReason;
            break;
        default: FAIL() << "asked for an unknown fact " << fact;
    }
    facts->known |= fact;
}

std::vector<Case> cases() {
    const ComparedSide aFile = standing(file(100, 1000));
    const ComparedSide aDirectory = standing(folder());
    const RunKnows plain{};
    return {
        // Kinds, sizes and times.
        {"a file missing in To is copied",
         world(aFile, nothing()),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"a file of the same size and time is up to date",
         world(aFile, aFile),
         RunOptions(),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES},
         false,
         false,
         false,
         false},
        {"a file of another time is copied over, kept first",
         world(aFile, standing(file(100, 999))),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"a file of another size is copied over",
         world(aFile, standing(file(101, 1000))),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"times within the window compare equal",
         world(aFile, standing(file(100, 1001))),
         options([](RunOptions* o) { o->modifyWindow = 1; }),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES},
         false,
         false,
         false,
         false},
        {"a FAT volume's even second is the same time: its step is asked",
         with(world(standing(file(100, 1001, 300)), standing(file(100, 1002))),
              [](EntryFacts* f) { f->timeStep = 2000000000; }),
         RunOptions(),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_TIME_STEP},
         false,
         false,
         false,
         false},
        {"on a volume of exact times that is another time",
         with(world(standing(file(100, 1001, 300)), standing(file(100, 1002))), [](EntryFacts* f) { f->timeStep = 1; }),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_TIME_STEP, FACT_RUN_LOG}},
        {"a time no coarser volume makes asks no step",
         world(standing(file(100, 1001, 300)), standing(file(100, 900))),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"a directory missing in To is made",
         world(aDirectory, nothing()),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_DIRECTORY,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES}},
        {"a directory of the same mode is up to date",
         world(aDirectory, aDirectory),
         RunOptions(),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES},
         false,
         false,
         false,
         false},
        {"a directory of another mode is given its source's",
         world(aDirectory, standing(folder(040700))),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_DIRECTORY,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES}},
        {"a FIFO is left alone, never opened",
         world(standing(fifo()), nothing()),
         RunOptions(),
         plain,
         PLAN_NOT_PLAIN,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES},
         false,
         false,
         false,
         false},
        {"below a folder the run has just made nothing is asked of To",
         with(world(aDirectory, nothing()), [](EntryFacts* f) { f->targetMissing = true; }),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_DIRECTORY,
         false,
         {FACT_STATUSES}},
        {"a dry run looks at a missing file's folder first",
         world(aFile, nothing()),
         RunOptions(),
         RunKnows{false, false, false, true},
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES},
         true},

        // What the run keeps for itself, and names.
        {"the run log is never copied over",
         with(world(aFile, standing(file(5, 1))), [](EntryFacts* f) { f->targetIsRunLog = true; }),
         RunOptions(),
         plain,
         PLAN_FAIL,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"the run's versions folder is left as it is",
         with(world(aDirectory, aDirectory), [](EntryFacts* f) { f->versionsPlace = true; }),
         RunOptions(),
         plain,
         PLAN_VERSIONS,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {}},
        {"a marked versions folder facing a From folder is left as it is",
         with(world(aDirectory, aDirectory), [](EntryFacts* f) { f->markedVersionsFolder = true; }),
         RunOptions(),
         plain,
         PLAN_VERSIONS,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_MARK}},
        {"a name of the program's own is never copied",
         with(world(aFile, nothing()), [](EntryFacts* f) { f->programsOwnName = true; }),
         RunOptions(),
         plain,
         PLAN_OWN_NAME,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {},
         false,
         false,
         false,
         false},
        {"a name that reaches another entry of To is left out",
         with(world(aFile, nothing()), [](EntryFacts* f) { f->nameTakenBy = WideString(L"PROGRAM FILES"); }),
         RunOptions(),
         plain,
         PLAN_NAME_TAKEN,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME}},

        // Rules.
        {"an entry the rules leave is left before anything is asked",
         with(world(aFile, nothing()), [](EntryFacts* f) { f->rule = RULE_SKIP; }),
         RunOptions(),
         plain,
         PLAN_RULE_LEAVES,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {},
         false,
         false,
         false,
         false},
        {"an entry the rules cannot judge is neither copied nor asked about",
         with(world(aDirectory, nothing()), [](EntryFacts* f) { f->rule = RULE_UNMATCHABLE; }),
         RunOptions(),
         plain,
         PLAN_RULE_UNJUDGED,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {},
         false,
         false,
         false,
         false},

        // Kinds facing each other, links in To, and the guards.
        {"a mirror removes a directory where From has a file, on the run's thread",
         world(aFile, aDirectory),
         RunOptions(),
         mirror(),
         PLAN_CHANGE,
         CLEAR_TREE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"a mirror removes a file where From has a directory",
         world(aDirectory, aFile),
         RunOptions(),
         mirror(),
         PLAN_CHANGE,
         CLEAR_FILE,
         MAKE_DIRECTORY,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES}},
        {"another run leaves a directory where From has a file",
         world(aFile, aDirectory),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"while the deletion guard counts, an entry of another kind waits",
         world(aFile, aDirectory),
         RunOptions(),
         RunKnows{true, true, false, false},
         PLAN_HOLD_KIND,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"a mirror removes a link in To as a link",
         world(aFile, standing(link())),
         RunOptions(),
         mirror(),
         PLAN_CHANGE,
         CLEAR_LINK,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"while the deletion guard counts, a link in To waits: it goes as a deletion",
         world(aDirectory, standing(link())),
         RunOptions(),
         RunKnows{true, true, false, false},
         PLAN_HOLD_KIND,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES}},
        {"another run never writes through a link in To",
         world(aFile, standing(link())),
         RunOptions(),
         plain,
         PLAN_LINK_STAYS,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES}},
        {"while the replacement guard counts, a replaced file waits",
         world(aFile, standing(file(100, 999))),
         RunOptions(),
         RunKnows{false, false, true, false},
         PLAN_HOLD_REPLACE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"the replacement guard holds no new file",
         world(aFile, nothing()),
         RunOptions(),
         RunKnows{false, false, true, false},
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES}},

        // Modes and owners, where metadata are kept.
        {"a mode that alone differs is mended in place",
         with(world(aFile, aFile), [](EntryFacts* f) { f->mend = MEND_IN_PLACE; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_MEND,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_MEND}},
        {"metadata that are the source's already: up to date",
         world(aFile, aFile),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_MEND},
         false,
         false,
         false,
         false},
        {"a file whose mend would grant another user's bytes is copied anew",
         with(world(aFile, aFile), [](EntryFacts* f) { f->mend = MEND_ANEW; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_MEND, FACT_RUN_LOG}},
        {"a file of several names gets a copy of its own, not a mend",
         with(world(aFile, standing(namesOf(file(100, 1000), 2))), [](EntryFacts* f) { f->mend = MEND_IN_PLACE; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_MEND, FACT_RUN_LOG}},
        {"another user's folder that would take an owner is renewed",
         with(world(aDirectory, aDirectory), [](EntryFacts* f) { f->mend = MEND_ANEW; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_DIRECTORY,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES, FACT_MEND},
         false,
         true},
        {"a folder's mode is mended in place, its word not compared",
         with(world(aDirectory, standing(folder(040700))), [](EntryFacts* f) { f->mend = MEND_IN_PLACE; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_MEND,
         false,
         {FACT_MARK, FACT_NAME, FACT_STATUSES, FACT_MEND}},
        {"metadata that cannot be read fail the entry",
         with(world(aFile, aFile), [](EntryFacts* f) { f->mendReason = 13; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_FAIL,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_MEND}},
        {"a copy bearing set-ID bits under another owner is made again",
         world(aFile, standing(setIdOf(file(100, 1000), 0))),
         RunOptions(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"kept metadata: set-ID bits under another owner on the same contents are mended",
         with(world(aFile, standing(setIdOf(file(100, 1000), 0))), [](EntryFacts* f) { f->mend = MEND_IN_PLACE; }),
         options([](RunOptions* o) { o->updateMetadata = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_MEND,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_MEND}},

        // Names of one file.
        {"the To name that is a name of the first copy already is up to date",
         with(world(standing(namesOf(file(100, 1000), 2)), aFile),
              [](EntryFacts* f) {
                  f->links = LinkFinding{LINK_UP_TO_DATE, false, &kFirst};
              }),
         options([](RunOptions* o) { o->hardLinks = true; }),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_NAMES_OF_ONE},
         false,
         false,
         false,
         false},
        {"a further name becomes another name of the first copy",
         with(world(standing(namesOf(file(100, 1000), 2)), nothing()),
              [](EntryFacts* f) {
                  f->links = LinkFinding{LINK_DUE, false, &kFirst};
              }),
         options([](RunOptions* o) { o->hardLinks = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_HARD_LINK,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_NAMES_OF_ONE},
         true},
        {"the first name met is copied and noted",
         with(world(standing(namesOf(file(100, 1000), 2)), nothing()),
              [](EntryFacts* f) {
                  f->links = LinkFinding{LINK_FIRST, false, nullptr};
              }),
         options([](RunOptions* o) { o->hardLinks = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_NAMES_OF_ONE},
         false,
         false,
         true},
        {"a first name found up to date is noted all the same",
         with(world(standing(namesOf(file(100, 1000), 2)), aFile),
              [](EntryFacts* f) {
                  f->links = LinkFinding{LINK_FIRST, false, nullptr};
              }),
         options([](RunOptions* o) { o->hardLinks = true; }),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_NAMES_OF_ONE},
         false,
         false,
         true,
         false},
        {"a To file that is another From file's copy too is made afresh",
         with(world(aFile, standing(namesOf(file(100, 1000), 2))),
              [](EntryFacts* f) {
                  f->links = LinkFinding{LINK_NONE, true, nullptr};
              }),
         options([](RunOptions* o) { o->hardLinks = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_NAMES_OF_ONE, FACT_RUN_LOG}},

        // Links copied as links.
        {"a link with the same text is up to date",
         with(world(aFile, standing(link())),
              [](EntryFacts* f) {
                  f->sourceLink = true;
                  f->targetIsLink = true;
                  f->sameLinkText = true;
              }),
         options([](RunOptions* o) { o->copyLinks = true; }),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_SOURCE_LINK, FACT_LINK_TARGET},
         false,
         false,
         false,
         false},
        {"a link of the same text whose owner differs is mended, owners kept",
         with(world(aFile, standing(link())),
              [](EntryFacts* f) {
                  f->sourceLink = true;
                  f->targetIsLink = true;
                  f->sameLinkText = true;
                  f->linkOwnerDiffers = true;
              }),
         options([](RunOptions* o) {
             o->copyLinks = true;
             o->updateMetadata = true;
             o->keepOwners = true;
         }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_MEND,
         false,
         {FACT_NAME, FACT_SOURCE_LINK, FACT_LINK_TARGET, FACT_LINK_OWNER}},
        {"a link is copied over a file, the file kept first",
         with(world(aFile, aFile), [](EntryFacts* f) { f->sourceLink = true; }),
         options([](RunOptions* o) { o->copyLinks = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_LINK_COPY,
         true,
         {FACT_NAME, FACT_SOURCE_LINK, FACT_LINK_TARGET, FACT_RUN_LOG}},
        {"a mirror removes a directory where a link is to go",
         with(world(aFile, aDirectory), [](EntryFacts* f) { f->sourceLink = true; }),
         options([](RunOptions* o) { o->copyLinks = true; }),
         mirror(),
         PLAN_CHANGE,
         CLEAR_TREE,
         MAKE_LINK_COPY,
         false,
         {FACT_NAME, FACT_SOURCE_LINK, FACT_LINK_TARGET},
         true},
        {"a link where nothing stands has its folder made first",
         with(world(aFile, nothing()), [](EntryFacts* f) { f->sourceLink = true; }),
         options([](RunOptions* o) { o->copyLinks = true; }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_LINK_COPY,
         false,
         {FACT_NAME, FACT_SOURCE_LINK, FACT_LINK_TARGET},
         true},

        // Contents compared (checksum), and what a copy's record tells.
        {"contents that differ under the same size and time are copied",
         readWorld(aFile, aFile, contents(false, RECORD_NONE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"alike contents under another time are given the time alone",
         readWorld(aFile, standing(file(100, 2000)), contents(true, RECORD_NONE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_RETIME,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS}},
        {"... and a copy of several names gets a copy of its own instead",
         readWorld(aFile, standing(namesOf(file(100, 2000), 2)), contents(true, RECORD_NONE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"alike contents under the same time are up to date",
         readWorld(aFile, aFile, contents(true, RECORD_SINCE_WRITE)),
         byContents(),
         plain,
         PLAN_UP_TO_DATE,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS},
         false,
         false,
         false,
         false},
        {"a source of a new time is no damaged one, whatever its record says",
         readWorld(aFile, standing(file(100, 2000)), contents(false, RECORD_SINCE_WRITE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"a record taken of another source's copy tells nothing",
         readWorld(aFile, aFile, contents(false, RECORD_OTHER_SOURCE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"alike contents under another time, their mode mended too: time and mode in one change",
         with(readWorld(aFile, standing(file(100, 2000)), contents(true, RECORD_NONE)),
              [](EntryFacts* f) { f->mend = MEND_IN_PLACE; }),
         options([](RunOptions* o) {
             o->checksum = true;
             o->updateMetadata = true;
         }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_MEND,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_MEND}},
        {"alike contents whose metadata ask for a file made anew are copied",
         with(readWorld(aFile, standing(file(100, 2000)), contents(true, RECORD_NONE)),
              [](EntryFacts* f) { f->mend = MEND_ANEW; }),
         options([](RunOptions* o) {
             o->checksum = true;
             o->updateMetadata = true;
         }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_MEND, FACT_RUN_LOG}},
        {"names of one file with -H are copied as by time, never retimed one by one",
         readWorld(standing(namesOf(file(100, 1000), 2)), standing(file(100, 2000)), contents(true, RECORD_NONE)),
         options([](RunOptions* o) {
             o->checksum = true;
             o->hardLinks = true;
         }),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_NAMES_OF_ONE, FACT_RUN_LOG}},
        {"a set-ID copy under another owner is judged by time, unread",
         readWorld(aFile, standing(setIdOf(file(100, 1000), 0)), contents(true, RECORD_NONE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"a copy that cannot be read is written again",
         readWorld(aFile, aFile, contents(false, COPY_UNREADABLE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"files of another size differ unread",
         readWorld(aFile, standing(file(101, 1000)), contents(true, RECORD_NONE)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_RUN_LOG}},
        {"a source changed without a write leaves its good copy alone",
         readWorld(aFile, aFile, contents(false, RECORD_SINCE_WRITE)),
         byContents(),
         plain,
         PLAN_SOURCE_DAMAGED,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS}},
        {"a source changed without a write is copied when trusted",
         readWorld(aFile, aFile, contents(false, RECORD_SINCE_WRITE)),
         byContents(true),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"a source written since its copy's record is copied",
         readWorld(aFile, aFile, contents(false, RECORD_BEFORE_EDIT)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"a copy that no longer matches its record is written again",
         readWorld(aFile, aFile, contents(false, RECORD_NOT_COPY)),
         byContents(),
         plain,
         PLAN_CHANGE,
         CLEAR_NONE,
         MAKE_COPY,
         true,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS, FACT_RUN_LOG}},
        {"contents that cannot be read fail the entry",
         readWorld(aFile, aFile, contents(false, RECORD_NONE), 13),
         byContents(),
         plain,
         PLAN_FAIL,
         CLEAR_NONE,
         MAKE_NOTHING,
         false,
         {FACT_NAME, FACT_STATUSES, FACT_CONTENTS}},
    };
}

std::string factNames(const std::vector<int>& facts) {
    static const char* const names[] = {"mark",       "name",     "source link", "link target",
                                        "link owner", "statuses", "time step",   "names of one",
                                        "mend",       "run log",  "contents"};
    std::string text;
    for (int fact : facts) {
        for (int bit = 0; bit < 11; ++bit) {
            if (fact == (1 << bit)) text += std::string(text.empty() ? "" : ", ") + names[bit];
        }
    }
    return text;
}

TEST(EntryPlan, DecidesFromWhatIsKnownAndAsksOnlyWhatItNeeds) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        EntryFacts facts = upFront(c.world);
        std::vector<int> asked;
        EntryPlan plan = planEntry(facts, c.options, c.knows);
        while (plan.verdict == PLAN_ASK && asked.size() < 12) {
            asked.push_back(plan.needs);
            EXPECT_EQ(facts.known & plan.needs, 0) << "asked twice";
            learnFrom(c.world, plan.needs, &facts);
            plan = planEntry(facts, c.options, c.knows);
        }
        EXPECT_EQ(factNames(asked), factNames(c.asks));
        EXPECT_EQ(plan.verdict, c.verdict);
        EXPECT_EQ(plan.changeAttempted, c.changeAttempted);
        EXPECT_EQ(plan.noteFirst, c.noteFirst);
        if (plan.verdict != PLAN_CHANGE) continue;
        EXPECT_EQ(plan.clear, c.clear);
        EXPECT_EQ(plan.make, c.make);
        EXPECT_EQ(plan.keep, c.keep);
        EXPECT_EQ(plan.parentFirst, c.parentFirst);
        EXPECT_EQ(plan.renew, c.renew);
    }
}

// The same facts give the same plan however often it is made: a plan is a
// function of what is known, nothing else.
TEST(EntryPlan, IsTheSameForTheSameFacts) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        EntryFacts facts = c.world;
        facts.known = ~0;
        EntryPlan first = planEntry(facts, c.options, c.knows);
        EntryPlan again = planEntry(facts, c.options, c.knows);
        EXPECT_EQ(first.verdict, again.verdict);
        EXPECT_EQ(first.make, again.make);
        EXPECT_EQ(first.verdict, c.verdict);
    }
}

// Nothing outside the source root is asked or planned.
TEST(EntryPlan, AnEntryOutsideTheSourceRootIsNoUpdate) {
    EntryFacts facts;
    EntryPlan plan = planEntry(facts, RunOptions(), RunKnows{});
    EXPECT_EQ(plan.verdict, PLAN_NOTHING);
    EXPECT_FALSE(plan.changeAttempted);
}

}  // namespace
