#include "fs/time_step.h"

#include <mutex>
#include <vector>

#include "fs/changes.h"
#include "platform/platform.h"

namespace {

// A volume's step as learned in this run.
struct LearnedStep {
    uint64_t volume;
    int64_t step;
};

std::vector<LearnedStep> learned;
std::mutex learnedLock;  // a run's workers learn side by side

int64_t floorToStep(int64_t time, int64_t step) { return time - ((time % step) + step) % step; }

// An odd second (2010-01-01 00:00:01 UTC) that every file system can hold.
const int64_t kProbeTime = 1262304001;

// The step a file written in directory shows: its odd second kept, or moved
// to the even one below or above it; -1 when no file could be written there.
int64_t probedStep(const wchar_t* directory) {
    int64_t readBack = 0;
    if (!changeProbeModifiedTime(directory, kProbeTime, &readBack)) return -1;
    if (readBack == kProbeTime) return 1;
    if (readBack == kProbeTime - 1 || readBack == kProbeTime + 1) return COARSE_TIME_STEP;
    return 0;  // a volume that keeps no time it is given tells nothing
}

}  // namespace

// Rounded down, a time t in [source, source + 1) is stored as floorToStep(source);
// rounded up, as at most the step above source + 1.
bool timesMatchOnStep(int64_t source, int64_t target, int64_t step) {
    if (step <= 1 || floorToStep(target, step) != target) return false;
    int64_t lowest = floorToStep(source, step);
    int64_t highest = floorToStep(source + step, step);
    return target >= lowest && target <= highest;
}

// The file system's name decides where it tells; otherwise a file written
// there does (never in a dry run or after a stop, which change nothing). A
// folder where no file can be written teaches nothing of its volume: another
// folder may be asked next time.
int64_t volumeTimeStep(const WideString& directory) {
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(directory.buffer, &identity)) return 0;
    std::lock_guard<std::mutex> held(learnedLock);  // one probe per volume, whoever asks first
    for (const LearnedStep& known : learned) {
        if (known.volume == identity.volume) return known.step;
    }
    int64_t step = platformVolumeTimeStep(directory.buffer);
    if (step == 0) step = probedStep(directory.buffer);
    if (step < 0) return 0;
    learned.push_back(LearnedStep{identity.volume, step});
    return step;
}

void forgetTimeSteps() {
    std::lock_guard<std::mutex> held(learnedLock);
    learned.clear();
}
