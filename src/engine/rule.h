// The include and exclude rules: regular expressions matched against whole
// narrow paths, ECMAScript grammar, case-sensitive; a path matches when any
// rule matches it.
#ifndef KORVANE_ENGINE_RULE_H
#define KORVANE_ENGINE_RULE_H

#include <string>
#include <vector>

#include "engine/run_context.h"
#include "text/wide_string.h"

// Longest rule, in narrow bytes, that is compiled; a longer one is refused as invalid.
constexpr size_t RULE_MAX_LENGTH = 1024;

// Most atoms a rule may hold once its counted repetitions are written out.
constexpr long long RULE_MAX_EXPANSION = 2048;

// What a handler is to do with one entry under the run's rules.
enum RuleVerdict {
    RULE_TAKE,        // handle the entry
    RULE_SKIP,        // leave it alone: the rules say so
    RULE_SKIP_BELOW,  // leave it alone, and everything below it: a pattern leaves out the folder
    RULE_UNMATCHABLE  // leave it alone: the rules cannot judge its path
};

// Why a rule was accepted or refused.
enum RuleRefusal {
    RULE_ACCEPTED,        // compiled
    RULE_NOT_VALID,       // no valid expression, or a number the compiler cannot hold
    RULE_NO_NARROW_FORM,  // holds characters (or undecodable bytes) the code page cannot write
    RULE_BACK_REFERENCE,  // holds a back-reference, which needs a backtracking matcher
    RULE_TOO_LARGE        // longer than RULE_MAX_LENGTH, or too many atoms written out
};

// Compiles one rule text into compiled; RULE_ACCEPTED or why it was refused.
RuleRefusal prepareRule(const WideString& ruleText, CompiledRule* compiled);

// Makes ruleTexts the run's rules, all or none; on a refusal gives false with
// the index of the first refused rule and why.
bool compileRules(const std::vector<WideString>& ruleTexts, size_t* refusedAt, RuleRefusal* why);

// The error line that says why a rule was refused, or the empty text for a plain invalid rule.
WideString ruleRefusalLine(RuleRefusal why, const WideString& ruleText);

// The text the rules judge for an entry of a walk of walkRoot: the whole
// path, or (relative: the run's rulesRelative) the part below walkRoot,
// beginning with the separator.
WideString ruleSubject(const WideString& entryPath, const WideString& walkRoot, bool relative);

// The verdict of the run's regular expressions on an entry path.
RuleVerdict ruleVerdict(const WideString& entryPath);

// The verdict of all the run's rules on the entry at entryPath, found by a
// walk of walkRoot, a folder when isDirectory: the shell patterns (none when
// null) must not exclude it, and the regular expressions must take it
// (relative: they see the path below walkRoot).
RuleVerdict entryRuleVerdict(PatternRules* patterns, bool relative, const WideString& entryPath,
                             const WideString& walkRoot, bool isDirectory);

// The longest run of plain characters that every whole match of an ECMAScript
// pattern must contain; empty when none can be told (alternatives at the top).
std::string requiredLiteral(const std::string& pattern);

#endif
