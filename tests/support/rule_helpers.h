// Short forms of the rule's interface for the tests and the fuzzers.
#ifndef KORVANE_TESTS_RULE_HELPERS_H
#define KORVANE_TESTS_RULE_HELPERS_H

#include <vector>

#include "engine/rule.h"
#include "engine/run_context.h"

// Makes ruleText the run's only rule; false (the rules untouched) when it is refused.
inline bool compileRule(const WideString& ruleText) {
    size_t refusedAt = 0;
    RuleRefusal why = RULE_ACCEPTED;
    return compileRules(std::vector<WideString>(1, ruleText), &refusedAt, &why);
}

// True when any compiled rule matches the whole narrow form of path; no rule or no judgement is no match.
inline bool ruleMatches(const WideString& path) {
    bool active = runContext.ruleActive;
    bool excludes = runContext.ruleExcludes;
    runContext.ruleActive = true;
    runContext.ruleExcludes = false;
    bool matches = ruleVerdict(path) == RULE_TAKE;
    runContext.ruleActive = active;
    runContext.ruleExcludes = excludes;
    return matches;
}

// True when a handler must leave entryPath alone: any verdict but RULE_TAKE.
inline bool isFilteredOut(const WideString& entryPath) { return ruleVerdict(entryPath) != RULE_TAKE; }

#endif
