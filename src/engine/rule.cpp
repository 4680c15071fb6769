#include "engine/rule.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run_context.h"

namespace {

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
        if (c == '{' && depth == 0) {  // a counted quantifier, to its closing brace
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

// The matcher reads the numbers of back-references and counted repetitions
// into a long without a bound check; a number of ten digits or more is no
// rule anyone means, and is refused before it can overflow there.
bool hasOversizedNumber(const std::string& pattern) {
    size_t digits = 0;
    bool counting = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        bool digit = c >= '0' && c <= '9';
        if (digit && counting) {
            if (++digits >= 10) return true;
            continue;
        }
        digits = 0;
        counting = c == '{' || c == ',' ||
                   (c == '\\' && i + 1 < pattern.size() && pattern[i + 1] >= '0' && pattern[i + 1] <= '9');
        if (c == '\\' && !counting) ++i;  // an escaped character, not a number's start
    }
    return false;
}

bool backtracksBoundedly(const std::string& pattern) {
    // One flag per open group, the top level first: whether it holds a
    // repetition or an alternative.
    std::vector<bool> holdsChoice(1, false);
    int unbounded = 0;
    bool afterRepetition = false;
    bool afterChoosingGroup = false;
    size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (isQuantifier(c)) {
            if (c == '?' && afterRepetition) {  // the lazy mark
                ++i;
                continue;
            }
            if (afterRepetition || (afterChoosingGroup && c != '?')) return false;
            size_t end = i + 1;
            bool isUnbounded = c == '*' || c == '+';
            if (c == '{') {
                end = pattern.find('}', i);
                if (end == std::string::npos) end = pattern.size();
                size_t comma = pattern.find(',', i);
                isUnbounded = comma != std::string::npos && comma + 1 == end;
                ++end;
            }
            if (isUnbounded && ++unbounded > 2) return false;
            holdsChoice.back() = true;
            afterRepetition = true;
            afterChoosingGroup = false;
            i = end;
            continue;
        }
        afterRepetition = false;
        afterChoosingGroup = false;
        if (c == '\\') {
            i += escapeWidth(pattern, i);
        } else if (c == '[') {
            i = classEnd(pattern, i);
        } else if (c == '(') {
            holdsChoice.push_back(false);
            ++i;
            if (i < pattern.size() && pattern[i] == '?') i += 2;  // (?: (?= (?!
        } else if (c == ')') {
            bool choosing = holdsChoice.back();
            if (holdsChoice.size() > 1) holdsChoice.pop_back();
            if (choosing) holdsChoice.back() = true;
            afterChoosingGroup = choosing;
            ++i;
        } else {
            if (c == '|') holdsChoice.back() = true;
            ++i;
        }
    }
    return true;
}

// Two matchers serve a rule. The backtracking one is the quicker, but its
// depth grows with the subject and its time can explode on a rule that
// repeats choices; the other, libstdc++'s polynomial mode, keeps both bounded
// but takes no back-references. A rule too long for the compiler's own
// recursion is refused.
bool compileRule(const WideString& ruleText) {
    NarrowString narrow = ruleText.ToNarrow();
    std::string pattern(narrow.buffer, static_cast<size_t>(narrow.length));
    if (pattern.size() > RULE_MAX_LENGTH || hasOversizedNumber(pattern)) return false;
    try {
        runContext.rulePattern.assign(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        return false;
    }
    try {
        runContext.ruleSteadyPattern.assign(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
        runContext.ruleHasSteady = true;
    } catch (const std::regex_error&) {
        runContext.ruleHasSteady = false;
    }
    runContext.ruleBacktracksBoundedly = backtracksBoundedly(pattern);
    runContext.ruleLiteral = requiredLiteral(pattern);
    runContext.ruleCompiled = true;
    return true;
}

// Whatever the matcher throws (too complex a subject, no memory) counts as no match.
bool ruleMatches(const WideString& path) {
    if (!runContext.ruleCompiled) return false;
    try {
        NarrowString subject = path.ToNarrow();
        // A subject without the text every match holds cannot match: no need
        // to run the matcher, which is slow, on it.
        const std::string& literal = runContext.ruleLiteral;
        if (!literal.empty() &&
            std::string_view(subject.buffer, static_cast<size_t>(subject.length)).find(literal) ==
                std::string_view::npos) {
            return false;
        }
        bool backtrack = !runContext.ruleHasSteady ||
                         (runContext.ruleBacktracksBoundedly &&
                          static_cast<size_t>(subject.length) <= RULE_BACKTRACK_SUBJECT_MAX);
        return std::regex_match(subject.buffer, subject.buffer + subject.length,
                                backtrack ? runContext.rulePattern : runContext.ruleSteadyPattern);
    } catch (...) {
        return false;
    }
}

bool isFilteredOut(const WideString& entryPath) {
    if (!runContext.ruleActive) return false;
    bool matches = ruleMatches(entryPath);
    return runContext.ruleExcludes ? matches : !matches;
}
