// The stop flag, one for the process: set by a signal handler, the window's
// quit or a test, and read by every thread that copies or walks.
#include <atomic>

#include "platform/platform.h"

namespace {

std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

}  // namespace

void platformRequestStop() { stopFlag.store(1); }

bool platformStopRequested() { return stopFlag.load() != 0; }

void platformClearStop() { stopFlag.store(0); }
