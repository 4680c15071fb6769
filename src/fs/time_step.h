// The steps in which volumes keep modification times. Most keep nanoseconds
// (tmpfs, ext4, XFS, btrfs) or 100 ns (NTFS); a FAT volume keeps 2-second
// steps, exFAT 10 ms, and some volumes whole seconds. Times compare to the
// nanosecond; only where a To volume is seen to keep them more coarsely is
// its step learned, once per run, from what its file system is called or,
// failing that, from the time a file written there reads back, and times
// on it compare within that step.
#ifndef KORVANE_FS_TIME_STEP_H
#define KORVANE_FS_TIME_STEP_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "fs/changes.h"
#include "text/wide_string.h"

// The nanoseconds in a second.
const int64_t NANOSECONDS_PER_SECOND = 1000000000;

// The coarsest step a volume is taken to keep times in (FAT's), in nanoseconds.
const int64_t COARSE_TIME_STEP = 2 * NANOSECONDS_PER_SECOND;

// A modification time: whole seconds since 1970 UTC and the nanoseconds below them.
struct StampTime {
    int64_t seconds;      // whole seconds, rounded down
    int32_t nanoseconds;  // 0 to 999,999,999
};

// True when both name the same moment.
inline bool sameMoment(StampTime a, StampTime b) { return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds; }

// A volume's step as a run learned it.
struct LearnedStep {
    uint64_t volume;  // the volume's number
    int64_t step;     // its step in nanoseconds, 1 or more; 0: it could not be learned
};

// What a run learns of the steps its volumes keep times in: each volume's
// step once, by whichever of its workers asks first.
struct TimeSteps {
    const Changes* changes = nullptr;  // how a probe's file is written (never in a simulation); null: none is
    std::mutex lock;                   // guards learned: a run's workers learn side by side
    std::vector<LearnedStep> learned;  // the volumes learned so far
};

// True when target is the time a volume keeping times in steps of step
// nanoseconds stores for a file modified at source: source cut down to the
// step, or rounded up to it; false for a step of 1 or less (exact times)
// and for 0 (a step not known), where only equal times match.
bool timesMatchOnStep(StampTime source, StampTime target, int64_t step);

// True when target may be source as a volume keeping coarser times than
// nanoseconds stores it: cut or rounded to 100 ns, 1 us, 1 ms, 10 ms, a
// second or FAT's 2 seconds. Asks nothing of any volume.
bool mayBeStoredCoarser(StampTime source, StampTime target);

// True when the step of the target's volume would decide whether source
// and target compare equal: they differ, beyond window (seconds, when more
// than 0), as a volume keeping coarser times than nanoseconds makes them differ.
bool timeStepDecides(StampTime source, StampTime target, long long window);

// True when source and target compare equal as sameModifiedTime compares
// them, the step of the target's volume known as step (0: not known).
// Asks nothing of any volume.
bool sameTimeWithStep(StampTime source, StampTime target, long long window, int64_t step);

// True when the modification times of a From entry (source) and of its To
// counterpart (target, in directory) compare equal: the same to the
// nanosecond; or, with a window (seconds, more than 0) the user gave, whole
// seconds at most that far apart; or as target's volume stores source,
// where it keeps times more coarsely (its step then learned into steps;
// null: only the first two).
bool sameModifiedTime(StampTime source, StampTime target, long long window, const WideString& directory,
                      TimeSteps* steps);

// The step of the volume holding directory, in nanoseconds: 1 or more once
// learned, 0 when it cannot be learned (then times compare exactly) or
// steps is null. Learned once per volume into steps.
int64_t volumeTimeStep(const WideString& directory, TimeSteps* steps);

#endif
