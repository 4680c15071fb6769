// Times compared on the steps volumes keep them in, and each volume's step learned once per run.
#include "fs/time_step.h"

#include <mutex>

#include "platform/platform.h"

namespace {

int64_t floorToStep(int64_t value, int64_t step) { return value - ((value % step) + step) % step; }

// The time cut down to step nanoseconds: within the second for a step that
// divides it, on whole seconds for one of a second or more.
StampTime cutToStep(StampTime time, int64_t step) {
    if (step < NANOSECONDS_PER_SECOND) {
        return StampTime{time.seconds, static_cast<int32_t>(floorToStep(time.nanoseconds, step))};
    }
    return StampTime{floorToStep(time.seconds, step / NANOSECONDS_PER_SECOND), 0};
}

// The time one step after a time on the step.
StampTime nextStep(StampTime time, int64_t step) {
    if (step >= NANOSECONDS_PER_SECOND) return StampTime{time.seconds + step / NANOSECONDS_PER_SECOND, 0};
    int64_t nanoseconds = time.nanoseconds + step;
    if (nanoseconds >= NANOSECONDS_PER_SECOND) return StampTime{time.seconds + 1, 0};
    return StampTime{time.seconds, static_cast<int32_t>(nanoseconds)};
}

// The steps volumes are known to keep times in, finest first.
const int64_t kSteps[] = {100, 1000, 1000000, 10000000, NANOSECONDS_PER_SECOND, COARSE_TIME_STEP};

// An odd second (2010-01-01 00:00:01 UTC) that every file system can hold,
// and a part below it that only a volume of nanoseconds keeps whole.
const StampTime kProbeTime{1262304001, 123456789};

// The step a file written in directory shows: its time kept whole, cut to
// one of the known steps, or moved to an even second; -1 when no file
// could be written there. A whole second is told by the odd second kept
// (a volume of whole seconds cuts, it never rounds up), FAT's 2 seconds by
// the even one below or above.
int64_t probedStep(const Changes* changes, const wchar_t* directory) {
    StampTime read{0, 0};
    if (!changes || !changeProbeModifiedTime(*changes, directory, kProbeTime.seconds, kProbeTime.nanoseconds,
                                             &read.seconds, &read.nanoseconds)) {
        return -1;
    }
    if (sameMoment(read, kProbeTime)) return 1;
    for (int64_t step : kSteps) {
        if (step == NANOSECONDS_PER_SECOND) {
            if (sameMoment(read, cutToStep(kProbeTime, step))) return step;
        } else if (timesMatchOnStep(kProbeTime, read, step)) {
            return step;
        }
    }
    return 0;  // a volume that keeps no time it is given tells nothing
}

}  // namespace

bool timesMatchOnStep(StampTime source, StampTime target, int64_t step) {
    if (step <= 1) return false;
    StampTime down = cutToStep(source, step);
    if (sameMoment(target, down)) return true;
    return !sameMoment(source, down) && sameMoment(target, nextStep(down, step));
}

bool mayBeStoredCoarser(StampTime source, StampTime target) {
    for (int64_t step : kSteps) {
        if (timesMatchOnStep(source, target, step)) return true;
    }
    return false;
}

namespace {

// True when source and target are the same moment, or whole seconds at
// most window apart (a window of 0: only the same moment).
bool withinWindow(StampTime source, StampTime target, long long window) {
    if (sameMoment(source, target)) return true;
    int64_t apart = source.seconds > target.seconds ? source.seconds - target.seconds : target.seconds - source.seconds;
    return window > 0 && apart <= window;
}

}  // namespace

bool timeStepDecides(StampTime source, StampTime target, long long window) {
    return !withinWindow(source, target, window) && mayBeStoredCoarser(source, target);
}

bool sameTimeWithStep(StampTime source, StampTime target, long long window, int64_t step) {
    if (withinWindow(source, target, window)) return true;
    return mayBeStoredCoarser(source, target) && timesMatchOnStep(source, target, step);
}

// The volume is asked only when the times differ as a coarser volume would
// make them differ, so a volume of exact times is never probed for a file
// that changed.
bool sameModifiedTime(StampTime source, StampTime target, long long window, const WideString& directory,
                      TimeSteps* steps) {
    if (!timeStepDecides(source, target, window)) return withinWindow(source, target, window);
    return timesMatchOnStep(source, target, volumeTimeStep(directory, steps));
}

// The file system's name decides where it tells; otherwise a file written
// there does (never in a dry run or after a stop, which change nothing). A
// folder where no file can be written teaches nothing of its volume: another
// folder may be asked next time.
int64_t volumeTimeStep(const WideString& directory, TimeSteps* steps) {
    DirectoryIdentity identity;
    if (!steps || !platformDirectoryIdentity(directory.buffer, &identity)) return 0;
    std::lock_guard<std::mutex> held(steps->lock);  // one probe per volume, whoever asks first
    for (const LearnedStep& known : steps->learned) {
        if (known.volume == identity.volume) return known.step;
    }
    int64_t step = platformVolumeTimeStep(directory.buffer);
    if (step == 0) step = probedStep(steps->changes, directory.buffer);
    if (step < 0) return 0;
    steps->learned.push_back(LearnedStep{identity.volume, step});
    return step;
}
