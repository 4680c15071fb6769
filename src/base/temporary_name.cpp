// How a temporary's name is made and read back: the mark, the owner's number and the run's.
#include "base/temporary_name.h"

#include <cwchar>

namespace {

const wchar_t kPrefix[] = L".korvane-";
const wchar_t kSuffix[] = L".tmp";

// Reads the digits at name[*at], up to limit; false when there are none.
bool readNumber(const wchar_t* name, size_t* at, size_t limit, long* value) {
    size_t start = *at;
    *value = 0;
    if (*at < limit && name[*at] == L'0' && *at + 1 < limit && name[*at + 1] >= L'0' && name[*at + 1] <= L'9') {
        return false;  // no name made here has a leading zero
    }
    while (*at < limit && name[*at] >= L'0' && name[*at] <= L'9') {
        if (*value > 100000000L) return false;
        *value = *value * 10 + (name[*at] - L'0');
        ++*at;
    }
    return *at > start;
}

}  // namespace

std::wstring temporaryName(long process, unsigned counter) {
    return kPrefix + std::wstring(TEMPORARY_TAG) + std::to_wstring(process) + L"-" + std::to_wstring(counter) + kSuffix;
}

// Exactly prefix, digits, "-", digits, suffix, as temporaryName spells
// them: a user's file that merely looks alike is no temporary.
long temporaryOwner(const wchar_t* name) {
    size_t prefix = std::wcslen(kPrefix);
    size_t suffix = std::wcslen(kSuffix);
    size_t length = std::wcslen(name);
    if (length < prefix + suffix + 3) return 0;
    if (std::wcsncmp(name, kPrefix, prefix) != 0) return 0;
    // A temporary of the other build (Wine beside Linux) names a process this
    // one cannot look up: it is not ours to judge.
    size_t tag = std::wcslen(TEMPORARY_TAG);
    if (std::wcsncmp(name + prefix, TEMPORARY_TAG, tag) != 0) return 0;
    prefix += tag;
    if (std::wcscmp(name + length - suffix, kSuffix) != 0) return 0;
    size_t at = prefix;
    size_t limit = length - suffix;
    long owner = 0;
    long counter = 0;
    if (!readNumber(name, &at, limit, &owner) || at >= limit || name[at] != L'-') return 0;
    ++at;
    if (!readNumber(name, &at, limit, &counter) || at != limit) return 0;
    return owner;
}
