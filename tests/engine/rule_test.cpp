#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "engine/rule.h"
#include "engine/run_context.h"
#include "support/rule_helpers.h"
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
        {L"txt", false, L"C:\\src\\a.txt", true},       // the whole path must match
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
    EXPECT_FALSE(compileRule(WideString(L"(a)\\1{2,3}")));  // a back-reference: refused
    EXPECT_TRUE(compileRule(WideString(L"(a){2,3}")));
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

// Rules once sorted by hand into those the backtracking matcher could take:
// every one is now matched without backtracking, in bounded time, and with the
// answer the backtracking matcher gives.
TEST(Rule, RulesOnceSortedByHandAllMatchWithoutBacktracking) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {".+/\\.git(/.*)?", true},
        {".*\\.txt", true},
        {".*a.*b", true},
        {".*a.*b.*c", false},  // three unbounded repetitions
        {"(a*)*b", false},     // a repeated group holding a repetition
        {"(a|aa)+b", false},   // a repeated group holding an alternative
        {"((a|b)c){2,}", false},
        {"(x(a|b))?c", true},  // a choice taken at most once
        {".**", false},        // stacked repetition
        {".?+", false},
        {".*?x", true},  // a lazy mark is no second repetition
        {"a{2,5}b{3}c{1,}", true},
        {"[(*]+x", true},     // inside a class nothing repeats
        {"\\(a*\\)+", true},  // escaped parentheses are no group
        {"(?:ab)*", true},
        {"(\\c)a*)*", false},  // the control escape takes the first ")"
    };
    const std::vector<std::string> subjects = {
        "/src/.git/x", "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "a.txt", "abc", "(aaa)", "x"};
    for (const auto& c : cases) {
        resetRunContext();
        ASSERT_TRUE(compileRule(WideString(std::wstring(c.first.begin(), c.first.end()).c_str()))) << c.first;
        std::regex plain(c.first, std::regex::ECMAScript);
        for (const std::string& subject : subjects) {
            EXPECT_EQ(ruleMatches(WideString(std::wstring(subject.begin(), subject.end()).c_str())),
                      std::regex_match(subject, plain))
                << c.first << " on " << subject;
        }
    }
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

// A path without a narrow form cannot be judged: it is neither taken under an
// inclusion rule nor let through an exclusion rule as the empty text would be.
TEST(Rule, UnencodablePathIsNeverTaken) {
    resetRunContext();
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'.', L't', L'x', L't', L'\0'};
    runContext.ruleActive = true;
    ASSERT_TRUE(compileRule(WideString(L".*\\.txt")));
    runContext.ruleExcludes = false;
    EXPECT_TRUE(isFilteredOut(WideString(lone)));
    ASSERT_TRUE(compileRule(WideString(L".+\\.svn.*")));
    runContext.ruleExcludes = true;
    EXPECT_TRUE(isFilteredOut(WideString(lone)));
    EXPECT_EQ(ruleVerdict(WideString(lone)), RULE_UNMATCHABLE);
}

TEST(Rule, RequiredLiteralIsOnlyWhatEveryMatchHolds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {".+/\\.git(/.*)?", "/.git"},
        {".+\\\\\\.svn.*", "\\.svn"},
        {".*\\.txt", ".txt"},
        {"txt", "txt"},
        {"abc|def", ""},          // alternatives at the top: nothing certain
        {"(abc|def)xyz", "xyz"},  // inside a group: not counted
        {"ab*c", "a"},            // a quantified atom ends the run
        {"a*bc", "bc"},
        {"q{1,3}rs", "rs"},
        {"ab+cd", "cd"},
        {"a{2}bc", "bc"},
        {"[xyz]abc[^q]", "abc"},
        {"[]a]bc", "bc"},
        {"~[]tq|", ""},       // "[]" closes at once: the "|" is at the top
        {"\\d\\w+zz", "zz"},  // escapes of letters are classes, not letters
        {"\\1abc", "abc"},
        {"\\x41bc", "bc"},  // \x41 is "A": its digits are not literal
        {"\\u0041bc\\.", "bc."},
        {"\\cJkl", "kl"},
        {".+\\c)c||U", ""},  // the control escape takes the ")": the "|" is at the top
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
        ".+/\\.git(/.*)?", ".*a[b-d]+e.*", "x(y|z)*w.*", ".*\\.(txt|md)", ".*q{1,3}r.*",  "(/[a-z.]+)+",
        ".*/\\.?git.*",    ".*[.]txt",     ".*\\/\\..*", ".*e{0}f.*",     ".*\\x2egit.*", ".*\\u0071r.*",
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

WideString wide(const std::string& text) { return WideString(std::wstring(text.begin(), text.end()).c_str()); }

// Which rules are taken and why the others are refused: refused rules never
// leave the run without a rule, and valid rules are never refused.
TEST(Rule, RefusalsNameTheirReason) {
    const wchar_t escapedByte[] = {L'.', L'*', L'c', L'a', L'f', static_cast<wchar_t>(0xDCE9), L'\0'};
    const wchar_t loneSurrogate[] = {L'.', L'*', static_cast<wchar_t>(0xD800), L'\0'};
    struct Case {
        WideString rule;
        RuleRefusal expected;
    };
    const std::vector<Case> cases = {
        {wide(".*,12345678901\\.txt"), RULE_ACCEPTED},  // a bare comma is no count
        {wide(".*[{]12345678901"), RULE_ACCEPTED},      // a brace in a class is no count
        {wide(".*[,]12345678901{2}"), RULE_ACCEPTED},
        {wide("a{1,12345678901}"), RULE_NOT_VALID},
        {wide("a{12345678901}"), RULE_NOT_VALID},
        {wide("(a)\\12345678901"), RULE_NOT_VALID},
        {wide("[unclosed"), RULE_NOT_VALID},
        {wide(".*/(a|aa)*\\1c"), RULE_BACK_REFERENCE},
        {wide("(x)\\1"), RULE_BACK_REFERENCE},
        {wide("(?:a?){5000}"), RULE_TOO_LARGE},
        {wide("((((a?){10}){10}){10}){10}"), RULE_TOO_LARGE},
        {wide("(a{100}){100}"), RULE_TOO_LARGE},
        {wide("a{2000}b{2000}c{100}"), RULE_TOO_LARGE},
        {wide("a{2000}"), RULE_ACCEPTED},
        {wide("a{2100}"), RULE_TOO_LARGE},
        {wide(std::string(RULE_MAX_LENGTH + 1, 'a')), RULE_TOO_LARGE},
        {WideString(escapedByte), RULE_NO_NARROW_FORM},
        {WideString(loneSurrogate), RULE_NO_NARROW_FORM},
        {wide(".+/\\.svn.*"), RULE_ACCEPTED},
    };
    for (const Case& c : cases) {
        CompiledRule compiled;
        EXPECT_EQ(prepareRule(c.rule, &compiled), c.expected) << ToNarrowLossy(c.rule).buffer;
        EXPECT_EQ(ruleRefusalLine(c.expected, c.rule).length > 0,
                  c.expected != RULE_ACCEPTED && c.expected != RULE_NOT_VALID);
    }
    // A refused rule among several leaves the rules as they were.
    resetRunContext();
    ASSERT_TRUE(compileRule(wide("keep")));
    size_t refusedAt = 0;
    RuleRefusal why = RULE_ACCEPTED;
    EXPECT_FALSE(compileRules({wide("a"), wide("b"), wide("(x)\\1"), wide("[")}, &refusedAt, &why));
    EXPECT_EQ(refusedAt, 2u);
    EXPECT_EQ(why, RULE_BACK_REFERENCE);
    EXPECT_TRUE(ruleMatches(wide("keep")));
    EXPECT_FALSE(ruleMatches(wide("a")));
}

// Several rules: a path matches when any does, so with exclusion any rule
// keeps the entry out; an unjudgeable path is never taken.
TEST(Rule, VerdictsUnderSeveralRules) {
    const wchar_t unwritable[] = {L'/', L'k', L'e', L'e', L'p', L'/', static_cast<wchar_t>(0xDCE9), L'\0'};
    struct Case {
        bool excludes;
        const wchar_t* path;
        RuleVerdict expected;
    };
    const std::vector<Case> cases = {
        {true, L"/b/keep/notes.txt", RULE_SKIP}, {true, L"/b/.git/config", RULE_SKIP},
        {true, L"/b/other.txt", RULE_TAKE},      {false, L"/b/keep/notes.txt", RULE_TAKE},
        {false, L"/b/.git", RULE_TAKE},          {false, L"/b/other.txt", RULE_SKIP},
        {true, unwritable, RULE_UNMATCHABLE},    {false, unwritable, RULE_UNMATCHABLE},
    };
    size_t refusedAt = 0;
    RuleRefusal why = RULE_ACCEPTED;
    for (const Case& c : cases) {
        resetRunContext();
        runContext.ruleActive = true;
        runContext.ruleExcludes = c.excludes;
        ASSERT_TRUE(compileRules({wide(".*/keep(/.*)?"), wide(".*/\\.git(/.*)?")}, &refusedAt, &why));
        EXPECT_EQ(ruleVerdict(WideString(c.path)), c.expected) << ToNarrowLossy(WideString(c.path)).buffer;
        EXPECT_EQ(isFilteredOut(WideString(c.path)), c.expected != RULE_TAKE);
    }
    resetRunContext();
    EXPECT_EQ(ruleVerdict(WideString(unwritable)), RULE_TAKE);  // no rule: every entry is handled
}

// Rules that make a backtracking matcher take minutes finish at once, or are refused.
TEST(Rule, ExplosiveRulesFinishWithinASecond) {
    std::string twenty = ".*/";
    for (int i = 0; i < 20; ++i) twenty += "(a|aa)?";
    std::vector<std::string> rules = {
        twenty + "b", ".*/(a|aa)*c", "(a*)*b", "(a|a)*b", "((a+)+)+b", "(.*a){12}", "(a?){30}a{30}", ".*.*.*.*.*.*=.*",
    };
    std::string groups;  // groups capture nothing: once each step copied 100 submatches per state
    for (int i = 0; i < 100; ++i) groups += "(.)*";
    rules.push_back(groups);
    for (const std::string& rule : rules) {
        resetRunContext();
        runContext.ruleActive = true;
        ASSERT_TRUE(compileRule(wide(rule))) << rule;
        // Paths of 4000 bytes are judged too, but only shorter ones are timed:
        // a sanitizer's build is many times slower than the one shipped.
        // Each path holds every plain character of the rules ("b", "c", "="),
        // so that no literal filter answers in the matcher's place.
        for (size_t length : {10, 24, 40, 400, 4000}) {
            std::string path = "/" + std::string(length, 'a') + "bcd=x";
            auto started = std::chrono::steady_clock::now();
            bool matches = ruleMatches(wide(path));
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (length <= 400) {
                EXPECT_LT(seconds, 1.0) << rule << " on " << length << " bytes";
            }
            // The backtracking matcher gives its answer in time on a short path,
            // but for the twenty choices and the hundred groups.
            if (length == 10 && rule != groups && rule.find("(a|aa)?") == std::string::npos) {
                std::regex plain(rule, std::regex::ECMAScript);
                EXPECT_EQ(matches, std::regex_match(path, plain)) << rule;
            }
        }
    }
}

// The matcher without backtracking gives the answer the backtracking one
// gives, on random rules and paths of a small alphabet.
TEST(Rule, MatcherWithoutBacktrackingNeverChangesTheAnswer) {
    const std::string atoms[] = {"a", "b", "/", ".", "[ab]", "[^/]", "(a|b)", "(ab|a)", "(?:b/)", "\\.", "(?=a)", "$"};
    const std::string quantifiers[] = {"", "", "*", "+", "?", "{2}", "{0,2}", "*?"};
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        std::string rule;
        for (size_t n = 1 + random() % 5; n > 0; --n) {
            rule += atoms[random() % (sizeof atoms / sizeof atoms[0])];
            rule += quantifiers[random() % (sizeof quantifiers / sizeof quantifiers[0])];
        }
        resetRunContext();
        std::regex plain;
        try {
            plain.assign(rule, std::regex::ECMAScript);
        } catch (const std::regex_error&) {
            EXPECT_FALSE(compileRule(wide(rule))) << rule;
            continue;
        }
        ASSERT_TRUE(compileRule(wide(rule))) << rule;
        for (int i = 0; i < 30; ++i) {
            std::string path;
            for (size_t n = random() % 8; n > 0; --n) path += "ab/."[random() % 4];
            EXPECT_EQ(ruleMatches(wide(path)), std::regex_match(path, plain)) << rule << " on " << path;
        }
    }
}

}  // namespace
