// Compiling the rules for a matcher that never backtracks, and judging a path by them.
#include "engine/rule.h"
#include "base/separator.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// libstdc++'s own switch for its matcher that never backtracks. The name is a
// reserved one of that library, documented only in its sources; it is named
// here and nowhere else, so that another standard library fails to build on
// this line instead of running rules with a backtracking matcher.
constexpr std::regex_constants::syntax_option_type kMatcherWithoutBacktracking = std::regex_constants::__polynomial;

bool isSpecial(char c) { return std::strchr("^$\\.*+?()[]{}|", c) != nullptr; }

bool isQuantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

// How many characters the escape at `at` takes: \x41, \u0041 and \12 spell
// one character or reference with what follows, and the control escape takes
// the next character whatever it is, a bracket or parenthesis too.
size_t escapeWidth(const std::string& pattern, size_t at) {
    if (at + 1 >= pattern.size()) return 1;
    char letter = pattern[at + 1];
    size_t width = 2;
    auto takeWhile = [&](size_t most, bool hexadecimal) {
        for (size_t n = 0; n < most && at + width < pattern.size(); ++n) {
            unsigned char next = static_cast<unsigned char>(pattern[at + width]);
            if (!(hexadecimal ? std::isxdigit(next) : std::isdigit(next))) break;
            ++width;
        }
    };
    if (letter >= '0' && letter <= '9') takeWhile(SIZE_MAX, false);
    if (letter == 'x') takeWhile(2, true);
    if (letter == 'u') takeWhile(4, true);
    if (letter == 'c' && at + width < pattern.size()) ++width;
    return width;
}

// The index just past the class that opens at `at`; "[]" is an empty class.
size_t classEnd(const std::string& pattern, size_t at) {
    size_t i = at + 1;
    if (i < pattern.size() && pattern[i] == '^') ++i;
    while (i < pattern.size() && pattern[i] != ']') i += pattern[i] == '\\' ? escapeWidth(pattern, i) : 1;
    return i + 1;
}

}  // namespace

// Reads the pattern's top level only: groups and classes are skipped whole,
// and a quantified atom, a dot, an anchor or any escape but an escaped
// punctuation mark ends a run. Whatever is uncertain ends a run, so the
// literal found is always one that a match must hold.
std::string requiredLiteral(const std::string& pattern) {
    std::string best;
    std::string run;
    int depth = 0;
    size_t i = 0;
    auto endRun = [&] {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '[') {
            endRun();
            i = classEnd(pattern, i);
            continue;
        }
        if (c == '(' || c == ')') {
            endRun();
            depth += c == '(' ? 1 : -1;
            ++i;
            continue;
        }
        if (c == '|' && depth == 0) return std::string();  // alternatives: nothing is certain
        if (c == '{' && depth == 0) {                      // a counted quantifier, to its closing brace
            endRun();
            while (i < pattern.size() && pattern[i] != '}') ++i;
            ++i;
            continue;
        }
        if (depth > 0 || c == '|') {
            i += c == '\\' ? escapeWidth(pattern, i) : 1;
            continue;
        }
        char literal = 0;
        size_t width = 1;
        if (c == '\\') {
            width = escapeWidth(pattern, i);
            if (width == 2 && std::ispunct(static_cast<unsigned char>(pattern[i + 1]))) literal = pattern[i + 1];
        } else if (!isSpecial(c)) {
            literal = c;
        }
        bool quantified = i + width < pattern.size() && isQuantifier(pattern[i + width]);
        if (literal == 0 || quantified) {
            endRun();
        } else {
            run.push_back(literal);
        }
        i += width;
    }
    endRun();
    return best;
}

namespace {

// The number of digits from `at` on.
size_t digitsAt(const std::string& pattern, size_t at) {
    size_t n = 0;
    while (at + n < pattern.size() && pattern[at + n] >= '0' && pattern[at + n] <= '9') ++n;
    return n;
}

// The compiler reads the counts of repetitions and the numbers of
// back-references into a long without a bound check; a number of ten digits
// or more there is no rule anyone means, and is refused before it can
// overflow. Only those numbers count: digits elsewhere (",12345678901" or
// "[{]12345678901") are plain characters.
bool hasOversizedNumber(const std::string& pattern) {
    size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '\\') {
            if (digitsAt(pattern, i + 1) >= 10) return true;
            i += escapeWidth(pattern, i);
        } else if (c == '[') {
            size_t end = classEnd(pattern, i);
            for (size_t j = i + 1; j < end && j < pattern.size(); ++j) {
                if (pattern[j] != '\\') continue;
                if (digitsAt(pattern, j + 1) >= 10) return true;
                ++j;
            }
            i = end;
        } else if (c == '{') {
            ++i;
            while (i < pattern.size() && pattern[i] != '}') {
                size_t n = digitsAt(pattern, i);
                if (n >= 10) return true;
                i += n > 0 ? n : 1;
            }
        } else {
            ++i;
        }
    }
    return false;
}

long long saturated(long long value) { return value > RULE_MAX_EXPANSION ? RULE_MAX_EXPANSION + 1 : value; }

// How many atoms the compiler makes of the pattern: a counted repetition
// copies its atom once per count, "+" once more. It only has to be large for
// patterns whose automaton is large; an odd spelling that the compiler
// refuses anyway may be counted any way.
long long expandedAtoms(const std::string& pattern) {
    std::vector<long long> totals(1, 0);  // one per open group, the top level first
    long long last = 0;                   // atoms of the atom a quantifier would repeat
    bool afterQuantifier = false;
    size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        long long added = 0;
        bool quantifier = false;
        if (c == '(') {
            totals.push_back(0);
            ++i;
            if (i < pattern.size() && pattern[i] == '?') i += 2;  // (?: (?= (?!
            afterQuantifier = false;
            continue;
        }
        if (c == ')') {
            long long inner = totals.size() > 1 ? totals.back() : 0;
            if (totals.size() > 1) totals.pop_back();
            last = inner > 0 ? inner : 1;
            totals.back() = saturated(totals.back() + last);
            ++i;
            afterQuantifier = false;
            continue;
        }
        if (c == '?' && afterQuantifier) {  // the lazy mark
            ++i;
            afterQuantifier = false;
            continue;
        }
        if (c == '*' || c == '?') {
            quantifier = true;
            ++i;
        } else if (c == '+') {
            quantifier = true;
            added = last;
            ++i;
        } else if (c == '{') {
            quantifier = true;
            ++i;
            size_t n = digitsAt(pattern, i);
            long long low = n > 0 && n < 10 ? std::stoll(pattern.substr(i, n)) : 0;
            long long high = low;
            i += n;
            if (i < pattern.size() && pattern[i] == ',') {
                ++i;
                size_t m = digitsAt(pattern, i);
                if (m > 0 && m < 10) high = std::stoll(pattern.substr(i, m));
                i += m;
            }
            if (i < pattern.size() && pattern[i] == '}') ++i;
            long long copies = high > low ? high : low;
            added = copies > 1 ? saturated(last * (copies - 1)) : 0;
        } else {
            last = 1;
            added = 1;
            if (c == '\\') {
                i += escapeWidth(pattern, i);
            } else if (c == '[') {
                i = classEnd(pattern, i);
            } else {
                if (c == '|') added = 0;
                ++i;
            }
        }
        totals.back() = saturated(totals.back() + added);
        afterQuantifier = quantifier;
    }
    long long whole = 0;
    for (long long total : totals) whole = saturated(whole + total);
    return whole;
}

}  // namespace

// Every rule is compiled for libstdc++'s polynomial matcher, which never
// backtracks: its time grows with the path's length times the automaton's
// size, and its depth with the automaton only. Only whether the whole path
// matches counts, so groups capture nothing: keeping their submatches made
// the matcher copy them at every state and step. That matcher takes no
// back-references, so a rule holding one is refused, as is a rule whose
// automaton would be too large for that bound to mean anything.
RuleRefusal prepareRule(const WideString& ruleText, CompiledRule* compiled) {
    if (ruleText.length > 0 && HasUnwritableUnit(ruleText)) return RULE_NO_NARROW_FORM;
    NarrowString narrow = ruleText.ToNarrow();
    if (ruleText.length > 0 && narrow.length == 0) return RULE_NO_NARROW_FORM;
    std::string pattern(narrow.buffer, static_cast<size_t>(narrow.length));
    if (pattern.size() > RULE_MAX_LENGTH) return RULE_TOO_LARGE;
    if (hasOversizedNumber(pattern)) return RULE_NOT_VALID;
    if (expandedAtoms(pattern) > RULE_MAX_EXPANSION) return RULE_TOO_LARGE;
    try {
        compiled->pattern.assign(pattern, std::regex::ECMAScript | std::regex::nosubs | kMatcherWithoutBacktracking);
    } catch (const std::regex_error& error) {
        if (error.code() == std::regex_constants::error_complexity) return RULE_BACK_REFERENCE;
        if (error.code() == std::regex_constants::error_space) return RULE_TOO_LARGE;
        return RULE_NOT_VALID;
    } catch (const std::exception&) {
        return RULE_TOO_LARGE;
    }
    compiled->literal = requiredLiteral(pattern);
    return RULE_ACCEPTED;
}

bool compileRules(const std::vector<WideString>& ruleTexts, size_t* refusedAt, RuleRefusal* why) {
    std::vector<CompiledRule> compiled(ruleTexts.size());
    for (size_t i = 0; i < ruleTexts.size(); ++i) {
        RuleRefusal refusal = prepareRule(ruleTexts[i], &compiled[i]);
        if (refusal != RULE_ACCEPTED) {
            *refusedAt = i;
            *why = refusal;
            return false;
        }
    }
    runContext.rules.swap(compiled);
    return true;
}

WideString ruleRefusalLine(RuleRefusal why, const WideString& ruleText) {
    switch (why) {
        case RULE_NO_NARROW_FORM:
            return WideString(L"! Error => Regular expression has characters the code page can not hold [") + ruleText +
                   L"].";
        case RULE_BACK_REFERENCE:
            return WideString(L"! Error => Regular expression with a back-reference is not supported [") + ruleText +
                   L"].";
        case RULE_TOO_LARGE: return WideString(L"! Error => Regular expression is too large [") + ruleText + L"].";
        default: return WideString();
    }
}

namespace {

enum Judgement { JUDGED_MATCH, JUDGED_NO_MATCH, JUDGED_NOT };

// Whether any rule matches the whole narrow form of path. A path without a
// narrow form, or one a matcher gave up on with no other rule matching, is
// not judged.
Judgement judge(const WideString& path) {
    if (runContext.rules.empty()) return JUDGED_NO_MATCH;
    if (HasUnwritableUnit(path)) return JUDGED_NOT;
    NarrowString subject = path.ToNarrow();
    if (path.length > 0 && subject.length == 0) return JUDGED_NOT;
    std::string_view text(subject.buffer, static_cast<size_t>(subject.length));
    bool gaveUp = false;
    for (const CompiledRule& rule : runContext.rules) {
        // A subject without the text every match holds cannot match: no need
        // to run the matcher, which is slow, on it.
        if (!rule.literal.empty() && text.find(rule.literal) == std::string_view::npos) continue;
        try {
            if (std::regex_match(subject.buffer, subject.buffer + subject.length, rule.pattern)) {
                return JUDGED_MATCH;
            }
        } catch (...) {
            gaveUp = true;
        }
    }
    return gaveUp ? JUDGED_NOT : JUDGED_NO_MATCH;
}

}  // namespace

WideString ruleSubject(const WideString& entryPath, const WideString& walkRoot, bool relative) {
    if (!relative || !StartsWith(entryPath, walkRoot)) return entryPath;
    WideString below = entryPath.Tail(walkRoot.length + 1);
    if (below.length > 0 && below.buffer[0] == PATH_SEPARATOR) return below;
    const wchar_t separator[] = {PATH_SEPARATOR, L'\0'};
    return WideString(separator) + below;
}

RuleVerdict ruleVerdict(const WideString& entryPath) {
    if (!runContext.ruleActive) return RULE_TAKE;
    Judgement judgement = judge(entryPath);
    if (judgement == JUDGED_NOT) return RULE_UNMATCHABLE;
    bool matches = judgement == JUDGED_MATCH;
    return matches == runContext.ruleExcludes ? RULE_SKIP : RULE_TAKE;
}

// Patterns see the path below the walked root whatever --relative-rules says.
RuleVerdict entryRuleVerdict(PatternRules* patterns, bool relative, const WideString& entryPath,
                             const WideString& walkRoot, bool isDirectory) {
    if (!runContext.ruleActive) return RULE_TAKE;
    if (patterns && !patterns->rules.empty()) {
        size_t root = StartsWith(entryPath, walkRoot) ? static_cast<size_t>(walkRoot.length) : 0;
        std::u32string subject = patternSubject(entryPath.buffer, static_cast<size_t>(entryPath.length), root);
        if (patternsExclude(patterns, subject, isDirectory)) {
            return isDirectory ? RULE_SKIP_BELOW : RULE_SKIP;
        }
    }
    if (runContext.rules.empty()) return RULE_TAKE;
    return ruleVerdict(ruleSubject(entryPath, walkRoot, relative));
}
