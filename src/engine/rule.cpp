#include "engine/rule.h"

#include <string>

#include "engine/run_context.h"

bool compileRule(const WideString& ruleText) {
    NarrowString narrow = ruleText.ToNarrow();
    try {
        runContext.rulePattern.assign(narrow.buffer, static_cast<size_t>(narrow.length),
                                      std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        return false;
    }
    runContext.ruleCompiled = true;
    return true;
}

// Whatever the matcher throws (too complex a subject, no memory) counts as no match.
bool ruleMatches(const WideString& path) {
    if (!runContext.ruleCompiled) return false;
    try {
        NarrowString subject = path.ToNarrow();
        return std::regex_match(subject.buffer, subject.buffer + subject.length,
                                runContext.rulePattern);
    } catch (...) {
        return false;
    }
}

bool isFilteredOut(const WideString& entryPath) {
    if (!runContext.ruleActive) return false;
    bool matches = ruleMatches(entryPath);
    return runContext.ruleExcludes ? matches : !matches;
}
