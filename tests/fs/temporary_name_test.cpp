// The names of a copy's temporaries: what is taken for one, and whose it is.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/separator.h"
#include "base/temporary_name.h"

namespace {

TEST(TemporaryName, OnlyTheNamesThisBuildMakesAreTaken) {
    const std::wstring tag = TEMPORARY_TAG;
    const std::wstring other = tag.empty() ? L"w" : L"";
    struct Case {
        std::wstring name;
        long owner;
    };
    const std::vector<Case> cases = {
        {temporaryName(4242, 7), 4242},
        {L".korvane-" + tag + L"12-0.tmp", 12},
        {L".korvane-" + other + L"12-0.tmp", 0},  // the other build's
        {L".korvane-" + tag + L"012-0.tmp", 0},   // leading zeros: never made here
        {L".korvane-" + tag + L"12-01.tmp", 0},
        {L".korvane-" + tag + L"12.tmp", 0},
        {L".korvane-" + tag + L"12-.tmp", 0},
        {L".korvane-" + tag + L"-3.tmp", 0},
        {L".korvane-" + tag + L"12-3.tmp.bak", 0},
        {L".korvane-" + tag + L"12-3.TMP", 0},
        {L".korvane-notes.tmp", 0},
        {L"korvane-" + tag + L"12-3.tmp", 0},
        {L".korvane-" + tag + L"99999999999-3.tmp", 0},
        {L"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(temporaryOwner(c.name.c_str()), c.owner) << c.name;
}

}  // namespace
