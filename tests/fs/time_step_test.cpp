#include <gtest/gtest.h>

#include <vector>

#include "fs/time_step.h"

namespace {

// A coarse volume stores a time rounded down or up to its step; whole
// seconds of the source stand for any time within that second.
TEST(TimeStep, TimesMatchAsACoarseVolumeStoresThem) {
    struct Case {
        int64_t source;
        int64_t target;
        int64_t step;
        bool match;
    };
    const std::vector<Case> cases = {
        {11, 10, 2, true},   // an odd second rounded down
        {11, 12, 2, true},   // and up
        {10, 10, 2, true},   // an even second kept
        {10, 12, 2, true},   // an even second and a fraction, rounded up
        {11, 11, 2, false},  // no such volume stores an odd second: it keeps exact times
        {12, 10, 2, false},  // a source two seconds newer still differs
        {13, 10, 2, false}, {10, 14, 2, false}, {10, 8, 2, false},  {-1, -2, 2, true},  // before 1970 as well
        {-1, 0, 2, true},   {-1, -4, 2, false}, {11, 10, 1, false},  // a volume of exact times decides nothing here
        {11, 10, 0, false},                                          // nor one whose step is not known
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.source) + " against " + std::to_string(c.target) + " in steps of " +
                     std::to_string(c.step));
        EXPECT_EQ(timesMatchOnStep(c.source, c.target, c.step), c.match);
    }
}

}  // namespace
