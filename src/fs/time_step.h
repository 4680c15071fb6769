// The steps in which volumes keep modification times. A FAT volume keeps
// them in steps of 2 seconds; a run learns each volume's step once, from
// what its file system is called or, failing that, from the time a file it
// writes there reads back, and compares times on it within that step.
#ifndef KORVANE_FS_TIME_STEP_H
#define KORVANE_FS_TIME_STEP_H

#include <cstdint>

#include "text/wide_string.h"

// The coarsest step a volume is taken to keep times in, in seconds.
const int64_t COARSE_TIME_STEP = 2;

// True when target is the time a volume keeping times in steps of step
// seconds stores for a file modified at source (whole seconds), rounded down
// or up; false for a step of one second or less.
bool timesMatchOnStep(int64_t source, int64_t target, int64_t step);

// The step of the volume holding directory: 1 or more once learned, 0 when
// it cannot be learned (then times compare exactly). Learned once per volume
// until forgetTimeSteps.
int64_t volumeTimeStep(const WideString& directory);

// Forgets what was learned of every volume; each run starts with it.
void forgetTimeSteps();

#endif
