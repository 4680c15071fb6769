// What keeping a version of a To entry came to: a record the workers fill
// and the run's thread tells.
#ifndef KORVANE_ENGINE_KEPT_VERSION_H
#define KORVANE_ENGINE_KEPT_VERSION_H

#include "text/wide_string.h"

// What keeping a version before a change came to.
enum KeepResult {
    KEEP_NOT_ASKED,  // the run keeps no versions: the change goes ahead as it would
    KEEP_MOVED,      // the entry itself went into the run folder: it is gone from To
    KEEP_BESIDE,     // a second name, a copy or (a directory) its place stands in the run folder; the entry stands
    KEEP_PER_ENTRY,  // a tree cannot go in one change (another volume): nothing was done
    KEEP_FAILED      // nothing was kept: the entry must stay as it is
};

// A version kept of one entry, or the failure to keep it: what the keeping
// found, to be told on the run's thread in the entry's turn.
struct KeptVersion {
    KeepResult result = KEEP_NOT_ASKED;  // how the keeping went
    WideString version;                  // where the version lies; KEEP_FAILED: the place that could not be made
    int reason = 0;                      // KEEP_FAILED: why (see platformReasonText)
};

#endif
