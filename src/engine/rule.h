// The include and exclude rule: one regular expression matched against whole
// narrow paths, ECMAScript grammar, case-sensitive.
#ifndef KORVANE_ENGINE_RULE_H
#define KORVANE_ENGINE_RULE_H

#include <string>

#include "text/wide_string.h"

// Compiles ruleText into runContext.rulePattern; false when it is no valid expression.
bool compileRule(const WideString& ruleText);

// True when the rule matches the whole narrow form of path; a matching failure is no match.
bool ruleMatches(const WideString& path);

// The longest run of plain characters that every whole match of an ECMAScript
// pattern must contain; empty when none can be told (alternatives at the top).
std::string requiredLiteral(const std::string& pattern);

// True when a handler must skip entryPath under the run's rule.
bool isFilteredOut(const WideString& entryPath);

#endif
