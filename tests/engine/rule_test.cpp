#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "engine/rule.h"
#include "engine/run_context.h"
#include "support/test_support.h"

namespace {

struct RuleCase {
    const wchar_t* rule;  // empty: no rule
    bool excludes;
    const wchar_t* path;  // "\" stands for the platform's separator
    bool filteredOut;
};

TEST(Rule, DecisionTable) {
    // The default exclusion rule, written for the platform's separator.
    const wchar_t* svn = onWindows() ? L".+\\\\\\.svn.*" : L".+/\\.svn.*";
    const std::vector<RuleCase> cases = {
        {L"", false, L"C:\\src\\a.txt", false},
        {L"", true, L"C:\\src\\a.txt", false},
        {svn, true, L"C:\\src\\.svn", true},
        {svn, true, L"C:\\src\\.svn\\entries", true},
        {svn, true, L"C:\\src\\lib\\.svn\\x", true},
        {svn, true, L"C:\\src\\lib\\file.svn.txt", false},
        {svn, false, L"C:\\src\\lib\\file.svn.txt", true},
        {L".*\\.txt", false, L"C:\\src\\a.txt", false},
        {L".*\\.txt", false, L"C:\\src\\sub", true},
        {L".*\\.txt", false, L"C:\\src\\a.txt.bak", true},
        {L".*\\.txt", false, L"C:\\src\\sub\\b.txt", false},
        {L"txt", false, L"C:\\src\\a.txt", true},  // the whole path must match
        {L".*\\.TXT", false, L"C:\\src\\a.txt", true},  // case counts
        {L".*\\.TXT", true, L"C:\\src\\a.txt", false},
    };
    for (const RuleCase& c : cases) {
        resetRunContext();
        WideString rule(c.rule);
        runContext.ruleActive = rule.length > 0;
        runContext.ruleExcludes = c.excludes;
        if (runContext.ruleActive) {
            ASSERT_TRUE(compileRule(rule));
        }
        WideString path = nativePath(c.path);
        EXPECT_EQ(isFilteredOut(path), c.filteredOut)
            << fromWide(rule) << (c.excludes ? " excludes " : " includes ") << fromWide(path);
    }
}

TEST(Rule, NoCompiledRuleMatchesNothing) {
    resetRunContext();
    EXPECT_FALSE(ruleMatches(WideString(L"anything")));
    EXPECT_FALSE(compileRule(WideString(L"[unclosed")));
    EXPECT_FALSE(ruleMatches(WideString(L"[unclosed")));
}

TEST(Rule, NumbersTheMatcherCannotHoldAreRefused) {
    resetRunContext();
    EXPECT_FALSE(compileRule(WideString(L"\\3111111111111111111111")));
    EXPECT_FALSE(compileRule(WideString(L"a{1,99999999999}")));
    EXPECT_TRUE(compileRule(WideString(L"(a)\\1{2,3}")));
    EXPECT_TRUE(compileRule(WideString(L".*\\\\31111111111111.*")));  // an escaped backslash, then digits
}

TEST(Rule, RulesTooLongForTheCompilerAreRefused) {
    resetRunContext();
    std::wstring nested(RULE_MAX_LENGTH / 2, L'(');
    nested += std::wstring(RULE_MAX_LENGTH / 2, L')');
    EXPECT_TRUE(compileRule(WideString(nested.c_str())));
    std::wstring deeper = L"(" + nested + L")";
    EXPECT_FALSE(compileRule(WideString(deeper.c_str())));
    std::wstring plain(200000, L'a');  // far past what the compiler's recursion survives
    EXPECT_FALSE(compileRule(WideString(plain.c_str())));
}

TEST(Rule, WhichRulesBacktrackBoundedly) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {".+/\\.git(/.*)?", true},
        {".*\\.txt", true},
        {".*a.*b", true},
        {".*a.*b.*c", false},        // three unbounded repetitions
        {"(a*)*b", false},           // a repeated group holding a repetition
        {"(a|aa)+b", false},         // a repeated group holding an alternative
        {"((a|b)c){2,}", false},
        {"(x(a|b))?c", true},        // a choice taken at most once
        {".**", false},              // stacked repetition
        {".?+", false},
        {".*?x", true},              // a lazy mark is no second repetition
        {"a{2,5}b{3}c{1,}", true},
        {"[(*]+x", true},            // inside a class nothing repeats
        {"\\(a*\\)+", true},     // escaped parentheses are no group
        {"(?:ab)*", true},
        {"(\\c)a*)*", false},     // the control escape takes the first ")"
    };
    for (const auto& c : cases) EXPECT_EQ(backtracksBoundedly(c.first), c.second) << c.first;
}

// Rules the backtracking matcher would take years over, or subjects deep
// enough to overflow its stack, are matched by the bounded one instead.
TEST(Rule, ExplosiveRulesAndLongPathsStayBounded) {
    resetRunContext();
    runContext.ruleActive = true;
    ASSERT_TRUE(compileRule(WideString(L"(a*)*b")));
    EXPECT_FALSE(ruleMatches(WideString(std::wstring(40, L'a').c_str())));
    EXPECT_TRUE(ruleMatches(WideString((std::wstring(40, L'a') + L"b").c_str())));
    ASSERT_TRUE(compileRule(WideString(L".+/\\.git(/.*)?")));
    std::wstring deep;
    while (deep.size() < 200000) deep += L"/abcdefgh";
    EXPECT_TRUE(ruleMatches(WideString((deep + L"/.git/x").c_str())));
    EXPECT_FALSE(ruleMatches(WideString((deep + L"/git/x").c_str())));
}

TEST(Rule, UnencodablePathIsJudgedAsEmptyText) {
    resetRunContext();
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'.', L't', L'x', L't', L'\0'};
    runContext.ruleActive = true;
    ASSERT_TRUE(compileRule(WideString(L".*\\.txt")));
    runContext.ruleExcludes = false;
    EXPECT_TRUE(isFilteredOut(WideString(lone)));
    ASSERT_TRUE(compileRule(WideString(L".+\\.svn.*")));
    runContext.ruleExcludes = true;
    EXPECT_FALSE(isFilteredOut(WideString(lone)));
}

TEST(Rule, RequiredLiteralIsOnlyWhatEveryMatchHolds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {".+/\\.git(/.*)?", "/.git"},
        {".+\\\\\\.svn.*", "\\.svn"},
        {".*\\.txt", ".txt"},
        {"txt", "txt"},
        {"abc|def", ""},             // alternatives at the top: nothing certain
        {"(abc|def)xyz", "xyz"},     // inside a group: not counted
        {"ab*c", "a"},               // a quantified atom ends the run
        {"a*bc", "bc"},
        {"q{1,3}rs", "rs"},
        {"ab+cd", "cd"},
        {"a{2}bc", "bc"},
        {"[xyz]abc[^q]", "abc"},
        {"[]a]bc", "bc"},
        {"~[]tq|", ""},          // "[]" closes at once: the "|" is at the top
        {"\\d\\w+zz", "zz"},     // escapes of letters are classes, not letters
        {"\\1abc", "abc"},
        {"\\x41bc", "bc"},     // \x41 is "A": its digits are not literal
        {"\\u0041bc\\.", "bc."},
        {"\\cJkl", "kl"},
        {".+\\c)c||U", ""},      // the control escape takes the ")": the "|" is at the top
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)\\12", ""},
        {"\\x414", "4"},
        {"^/home/.*$", "/home/"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(requiredLiteral(c.first), c.second) << c.first;
}

// Whatever the literal, it must never turn a real match away.
TEST(Rule, LiteralFilterNeverChangesTheAnswer) {
    const std::vector<std::string> patterns = {
        ".+/\\.git(/.*)?", ".*a[b-d]+e.*", "x(y|z)*w.*", ".*\\.(txt|md)", ".*q{1,3}r.*",
        "(/[a-z.]+)+", ".*/\\.?git.*", ".*[.]txt", ".*\\/\\..*", ".*e{0}f.*", ".*\\x2egit.*", ".*\\u0071r.*",
    };
    std::mt19937 random(5);
    const std::string alphabet = "abcdefgqrtwxyz./";
    for (const std::string& pattern : patterns) {
        resetRunContext();
        runContext.ruleActive = true;
        runContext.ruleExcludes = true;
        ASSERT_TRUE(compileRule(WideString(std::wstring(pattern.begin(), pattern.end()).c_str())));
        std::regex plain(pattern, std::regex::ECMAScript);
        for (int i = 0; i < 400; ++i) {
            std::string path = "/";
            for (size_t n = random() % 24; n > 0; --n) path += alphabet[random() % alphabet.size()];
            if (i % 7 == 0) path += "/.git/x";
            bool expected = std::regex_match(path, plain);
            EXPECT_EQ(ruleMatches(WideString(std::wstring(path.begin(), path.end()).c_str())), expected)
                << pattern << " on " << path;
        }
    }
}

}  // namespace
