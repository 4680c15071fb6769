// The guards of a night that would take almost all of a backup: a mirror of
// a From that gives next to nothing (an unmounted disk's folder, a rule
// that matches nothing), and a run that would replace most of To's files
// (a From rewritten by ransomware).
#ifndef KORVANE_ENGINE_GUARDS_H
#define KORVANE_ENGINE_GUARDS_H

#include "engine/run_context.h"
#include "text/wide_string.h"

// The most files a From may give for the empty-From guard to weigh To against it.
constexpr long long EMPTY_FROM_FEW_FILES = 10;

// A mirror of a From of few files is refused when To holds more than this many times as many.
constexpr long long EMPTY_FROM_RATIO = 10;

// By default a run may replace this many of To's files whatever share of them it is.
constexpr long long REPLACE_GUARD_FREE = 20;

// The empty-From guard of a mirror of from into to, its rules set up and
// its versions prepared. Refused (RUN_EMPTY_SOURCE, its line naming both
// folders and the figures written and shown): From gives EMPTY_FROM_FEW_FILES
// files or fewer, under the rules, and To holds more than EMPTY_FROM_RATIO
// times as many (no file: any), its versions folder and the log aside; or
// From holds no entry at all and To holds any. Otherwise RUN_OK.
int guardEmptySource(const RunState* run, const WideString& from, const WideString& to);

// The most files run may replace: its options' maxReplace, or by default
// half of the files it compared, and never fewer than REPLACE_GUARD_FREE.
long long replaceLimit(const RunState* run);

// The replacement guard, once the copy walk of run is through with every
// replacement waiting in run->heldReplacements: RUN_OK when they may go
// (within the limit, or the front end was asked and said Yes);
// RUN_DECLINED when it said No; RUN_REPLACES_HELD, its line written and
// shown and the waiting replacements forgotten, when they are held back.
// synchronous: a mirror, whose deletions are held back with them.
int judgeReplacements(RunState* run, const WideString& to, bool synchronous);

#endif
