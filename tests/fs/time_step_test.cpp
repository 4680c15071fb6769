#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/time_step.h"

namespace {

const int64_t kSecond = NANOSECONDS_PER_SECOND;

// A time of whole seconds and nanoseconds, for the tables.
StampTime at(int64_t seconds, int32_t nanoseconds = 0) { return StampTime{seconds, nanoseconds}; }

std::string shown(StampTime time) { return std::to_string(time.seconds) + "." + std::to_string(time.nanoseconds); }

// A coarse volume stores a time cut down or rounded up to its step; a time
// already on the step stays as it is, and a volume of exact times (or one
// whose step is not known) matches nothing but the time itself.
TEST(TimeStep, TimesMatchAsACoarseVolumeStoresThem) {
    struct Case {
        StampTime source;
        StampTime target;
        int64_t step;
        bool match;
    };
    const std::vector<Case> cases = {
        {at(11), at(10), 2 * kSecond, true},       // an odd second cut down
        {at(11), at(12), 2 * kSecond, true},       // and rounded up
        {at(10), at(10), 2 * kSecond, true},       // an even second kept
        {at(10, 500), at(12), 2 * kSecond, true},  // an even second and a fraction, rounded up
        {at(10), at(12), 2 * kSecond, false},      // an even second has nothing to round up
        {at(11), at(11), 2 * kSecond, false},      // no such volume stores an odd second
        {at(12), at(10), 2 * kSecond, false},      // a source two seconds newer still differs
        {at(13), at(10), 2 * kSecond, false},
        {at(10), at(14), 2 * kSecond, false},
        {at(10), at(8), 2 * kSecond, false},
        {at(-1), at(-2), 2 * kSecond, true},  // before 1970 as well
        {at(-1), at(0), 2 * kSecond, true},
        {at(-1), at(-4), 2 * kSecond, false},
        {at(11, 999999999), at(11), kSecond, true},  // a volume of whole seconds cuts the rest
        {at(11, 1), at(12), kSecond, true},          // or rounds it up
        {at(11, 1), at(10), kSecond, false},
        {at(11, 123456789), at(11, 123456700), 100, true},  // NTFS's 100 ns
        {at(11, 123456789), at(11, 123456000), 100, false},
        {at(11, 123456789), at(11, 120000000), 10000000, true},  // exFAT's 10 ms
        {at(11, 999999999), at(12), 10000000, true},             // rounded up into the next second
        {at(11, 1000), at(11), 1, false},                        // a volume of exact times decides nothing here
        {at(11, 1000), at(11), 0, false},                        // nor one whose step is not known
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.source) + " against " + shown(c.target) + " in steps of " + std::to_string(c.step));
        EXPECT_EQ(timesMatchOnStep(c.source, c.target, c.step), c.match);
    }
}

// Whether a volume is asked at all: only where the To time looks like the
// From time as some coarser volume keeps it. A change within the second on
// a volume of nanoseconds (1 us, 1 ms, 0.999 s) asks nothing and differs,
// unless the To time is From's cut as a coarser volume would cut it.
TEST(TimeStep, OnlyTimesACoarserVolumeCouldMakeAskTheVolume) {
    struct Case {
        StampTime source;
        StampTime target;
        bool asked;
    };
    const std::vector<Case> cases = {
        {at(100, 1000), at(100, 2000), false},           // 1 us apart, neither cut
        {at(100, 5000000), at(100, 4000000), false},     // 1 ms apart
        {at(100, 999999999), at(100, 1), false},         // 0.999... s apart within one second
        {at(100, 123456789), at(100, 123456700), true},  // cut to 100 ns
        {at(100, 123456789), at(100, 123000000), true},  // to 1 ms
        {at(100, 123456789), at(100), true},             // to the second
        {at(101, 123456789), at(100), true},             // to FAT's even second
        {at(100, 1), at(103), false},                    // more than a step apart
        {at(100), at(100, 5), false},                    // the To time finer than From's: a change
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.source) + " against " + shown(c.target));
        EXPECT_EQ(mayBeStoredCoarser(c.source, c.target), c.asked);
        // A volume whose step is never learned (no such folder) compares exactly.
        EXPECT_FALSE(sameModifiedTime(c.source, c.target, 0, WideString(L"/no/such/folder/here"), nullptr));
    }
    // A window the user gives compares whole seconds.
    EXPECT_TRUE(sameModifiedTime(at(100, 1), at(101, 999), 1, WideString(L"/no/such/folder/here"), nullptr));
    EXPECT_FALSE(sameModifiedTime(at(100, 1), at(102), 1, WideString(L"/no/such/folder/here"), nullptr));
    EXPECT_TRUE(sameModifiedTime(at(100, 7), at(100, 7), 0, WideString(L"/no/such/folder/here"), nullptr));
}

}  // namespace
