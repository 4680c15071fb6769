#include "engine/rule.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/run_context.h"

namespace {

bool isSpecial(char c) { return std::strchr("^$\\.*+?()[]{}|", c) != nullptr; }

bool isQuantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

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
        if (c == '[') {  // a class, to its closing bracket
            endRun();
            ++i;
            if (i < pattern.size() && pattern[i] == '^') ++i;
            if (i < pattern.size() && pattern[i] == ']') ++i;
            while (i < pattern.size() && pattern[i] != ']') i += pattern[i] == '\\' ? 2 : 1;
            ++i;
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
            i += c == '\\' ? 2 : 1;
            continue;
        }
        char literal = 0;
        size_t width = 1;
        if (c == '\\') {
            width = 2;
            if (i + 1 < pattern.size() && std::ispunct(static_cast<unsigned char>(pattern[i + 1]))) {
                literal = pattern[i + 1];
            }
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

bool compileRule(const WideString& ruleText) {
    NarrowString narrow = ruleText.ToNarrow();
    std::string pattern(narrow.buffer, static_cast<size_t>(narrow.length));
    if (hasOversizedNumber(pattern)) return false;
    try {
        runContext.rulePattern.assign(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        return false;
    }
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
