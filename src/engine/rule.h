// The include and exclude rule: one regular expression matched against whole
// narrow paths, ECMAScript grammar, case-sensitive.
#ifndef KORVANE_ENGINE_RULE_H
#define KORVANE_ENGINE_RULE_H

#include <string>

#include "text/wide_string.h"

// Longest rule, in narrow bytes, that is compiled; a longer one is refused as invalid.
constexpr size_t RULE_MAX_LENGTH = 1024;

// Longest subject, in narrow bytes, that the backtracking matcher is given.
constexpr size_t RULE_BACKTRACK_SUBJECT_MAX = 256;

// Compiles ruleText into runContext's rule patterns; false when it is no valid expression.
bool compileRule(const WideString& ruleText);

// True when the rule matches the whole narrow form of path; a matching failure is no match.
bool ruleMatches(const WideString& path);

// The longest run of plain characters that every whole match of an ECMAScript
// pattern must contain; empty when none can be told (alternatives at the top).
std::string requiredLiteral(const std::string& pattern);

// True when backtracking cannot explode on the pattern: no repeated group holds
// a repetition or an alternative, no repetition is stacked on another, and at
// most two repetitions are unbounded.
bool backtracksBoundedly(const std::string& pattern);

// True when a handler must skip entryPath under the run's rule.
bool isFilteredOut(const WideString& entryPath);

#endif
