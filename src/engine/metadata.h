// What a copy keeps beyond contents and times, as a run's options ask: the
// comparison of an entry's metadata with its source's, and the names of one
// file that are to stay one file.
#ifndef KORVANE_ENGINE_METADATA_H
#define KORVANE_ENGINE_METADATA_H

#include "engine/run_context.h"
#include "fs/paths.h"
#include "text/wide_string.h"

// What the copies of a run of options keep beyond contents, modes and times.
KeptMetadata keptMetadata(const RunOptions& options);

// What bringing a To entry's metadata to its source's asks.
enum MendKind {
    MEND_NONE,      // they are its source's already
    MEND_IN_PLACE,  // they differ, and may be brought in place
    MEND_ANEW       // in place, its contents (which another may have chosen) would take an owner, a set-ID
                    // bit or an attribute they may not (platformMendGrants): a file is copied anew, a folder renewed
};

// What the To entry target (existing) asks to have the metadata a copy of
// the From entry source (sourceState) would have, as run's options ask: owner,
// group and mode from the statuses alone; attributes and ACLs read only when
// kept. *reason, when not 0, tells why they could not be read.
MendKind metadataMend(const RunState& run, const WideString& source, const WideString& target,
                      const EntryState& sourceState, const EntryState& existing, int* reason);

// What the names of one file in From ask of the To name of one of them.
enum LinkStep {
    LINK_NONE,        // a file of one name, or no To copy of its file is known yet: brought up to date as any
    LINK_FIRST,       // the first name of a file of several met: brought up to date as any, then its copy noted
    LINK_UP_TO_DATE,  // the To name is a name of the copy made of the file's first name already
    LINK_DUE          // the To name is to become another name of that copy
};

// What findLinks found of a From file and its To counterpart.
struct LinkFinding {
    int step;                // a LINK_ step
    bool shared;             // the To file is the copy of another From file too: made afresh, its other names left
    const FirstCopy* first;  // with LINK_UP_TO_DATE and LINK_DUE: the copy of the file's first name
};

// Looks up the plain From file source (and existing, its To counterpart as
// queried) among the files of several names of a run (links), and notes a To file of
// several names as the copy of source unless another From file claimed it
// first, or source has one name and its copy is replaced anyway. Only a
// run with hardLinks asks.
LinkFinding findLinks(LinkGroups* links, const EntryState& source, const EntryState& existing, bool replaced);

// Notes target, of identity (null: not known, as in a dry run), as the copy
// of the first name of the From file source that a run met (links).
void noteFirstCopy(LinkGroups* links, const EntryState& source, const WideString& target,
                   const DirectoryIdentity* identity);

#endif
