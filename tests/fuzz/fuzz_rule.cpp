// Rules and the paths they judge: a pattern, a NUL, then a path. Compiling is
// fuzzed for every pattern; matching is checked against the plain
// backtracking matcher for patterns of few quantifiers on short paths, where
// that matcher stays bounded: neither the literal filter nor the matcher
// without backtracking may change an answer.
#include <cstdint>
#include <regex>
#include <string>

#include "engine/rule.h"
#include "engine/run_context.h"
#include "../support/rule_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string pattern = input.substr(0, split);
    std::string path = split == std::string::npos ? std::string("/some/path.txt") : input.substr(split + 1);
    path = path.substr(0, 32).c_str();  // a path ends at its first NUL
    if (pattern.size() > 64) pattern.resize(64);
    runContext.ruleActive = true;
    runContext.ruleExcludes = true;
    if (!compileRule(WideString(pattern.c_str()))) return 0;
    // Any accepted rule on a long path answers, and within the fuzzer's timeout.
    std::string longPath = "/" + std::string(2000, path.empty() ? 'a' : path[0]) + path;
    isFilteredOut(WideString(longPath.c_str()));
    // Stacked or grouped repetition, (x*)*, .** or .?+, backtracks exponentially.
    int quantifiers = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        bool quantifier = c == '*' || c == '+' || c == '?' || c == '{';
        if (!quantifier) continue;
        ++quantifiers;
        char before = i > 0 ? pattern[i - 1] : '\0';
        if (before == ')' || before == '*' || before == '+' || before == '?' || before == '}') return 0;
    }
    if (quantifiers > 3) return 0;
    bool filtered = isFilteredOut(WideString(path.c_str()));
    NarrowString narrowPattern = WideString(pattern.c_str()).ToNarrow();
    NarrowString narrowPath = WideString(path.c_str()).ToNarrow();
    bool expected = false;
    try {
        std::regex plain(narrowPattern.buffer, std::regex::ECMAScript);
        expected = std::regex_match(narrowPath.buffer, plain);
    } catch (const std::exception&) {
        return 0;
    }
    if (filtered != expected) __builtin_trap();
    return 0;
}
