#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "base/separator.h"
#include "text/wide_string.h"

namespace {

struct SubstringCase {
    const char* operation;
    const wchar_t* source;
    int first;
    int second;
    const wchar_t* expected;
};

WideString apply(const SubstringCase& c) {
    WideString source(c.source);
    std::string op = c.operation;
    if (op == "Mid") return WideString::Mid(source, c.first, c.second);
    if (op == "Left") return source.Left(c.first);
    return source.Tail(c.first);
}

TEST(WideString, SubstringsKeepToTheirBounds) {
    const std::vector<SubstringCase> cases = {
        {"Mid", L"abcdef", 2, 3, L"bcd"},
        {"Mid", L"abc", 2, 10, L"bc"},
        {"Mid", L"abc", 0, 2, L""},
        {"Mid", L"abc", 4, 1, L""},
        {"Mid", L"abc", 1, 0, L""},
        {"Mid", L"abc", 1, -3, L""},
        {"Mid", L"abc", 3, 1, L"c"},
        {"Mid", L"", 1, 1, L""},
        {"Left", L"abc", 5, 0, L"abc"},
        {"Left", L"abc", 0, 0, L""},
        {"Left", L"abc", 2, 0, L"ab"},
        {"Tail", L"abc", 2, 0, L"bc"},
        {"Tail", L"abc", 0, 0, L""},
        {"Tail", L"abc", 4, 0, L""},
        {"Tail", L"abc", 3, 0, L"c"},
        // Counts at the int limits must not wrap into a position.
        {"Tail", L"abc", INT32_MIN, 0, L""},
        {"Mid", L"abc", 2, INT32_MAX, L"bc"},
        {"Left", L"abc", INT32_MAX, 0, L"abc"},
    };
    for (const SubstringCase& c : cases) {
        WideString result = apply(c);
        SCOPED_TRACE(testing::Message() << c.operation << " " << c.first << " " << c.second);
        EXPECT_EQ(fromWide(result), std::wstring(c.expected));
        EXPECT_EQ(result.length, static_cast<int32_t>(std::wcslen(result.buffer)));
    }
}

TEST(WideString, FindLastSeparatorAndEndsWith) {
    EXPECT_EQ(WideString(L"C:\\a\\b").FindLastSeparator(), onWindows() ? 4 : -1);
    EXPECT_EQ(WideString(L"abc").FindLastSeparator(), -1);
    EXPECT_EQ(WideString().FindLastSeparator(), -1);
    EXPECT_EQ(WideString(L"/a/b").FindLastSeparator(), onWindows() ? -1 : 2);

    EXPECT_TRUE(WideString(L"C:").EndsWith(WideString(L":")));
    EXPECT_FALSE(WideString(L"a").EndsWith(WideString(L"abc")));
    EXPECT_TRUE(WideString(L"a").EndsWith(WideString()));
    EXPECT_TRUE(WideString().EndsWith(WideString()));
}

TEST(WideString, NumbersUpToNineCharacters) {
    const std::vector<std::pair<int32_t, const wchar_t*>> cases = {
        {0, L"0"},         {-5, L"-5"},       {999999999, L"999999999"}, {-99999999, L"-99999999"},
        {1000000000, L""}, {-100000000, L""}, {INT32_MIN, L""},          {INT32_MAX, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromWide(WideString(c.first)), std::wstring(c.second)) << c.first;
    }
}

TEST(WideString, CopiesAreDeepAndSelfAssignmentIsHarmless) {
    WideString a(L"path");
    WideString b(a);
    EXPECT_NE(a.buffer, b.buffer);
    b += L"\\x";
    EXPECT_EQ(fromWide(a), L"path");
    EXPECT_EQ(fromWide(b), L"path\\x");

    WideString& alias = a;
    a = alias;
    EXPECT_EQ(fromWide(a), L"path");
    a = a.buffer;
    EXPECT_EQ(fromWide(a), L"path");
    EXPECT_EQ(a.length, 4);

    WideString empty;
    EXPECT_EQ(empty.length, 0);
    EXPECT_EQ(empty.buffer[0], L'\0');
    empty.AppendSeparator();
    EXPECT_EQ(empty.buffer[0], PATH_SEPARATOR);
    EXPECT_EQ(empty.length, 1);

    WideString nothing(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(nothing.length, 0);
}

TEST(WideString, ConcatenationAndComparison) {
    WideString joined = WideString(L"C:") + L"\\" + WideString(L"data");
    EXPECT_EQ(fromWide(joined), L"C:\\data");
    EXPECT_EQ(joined.length, 7);
    EXPECT_TRUE(WideString(L"a") == WideString(L"a"));
    EXPECT_FALSE(WideString(L"a") == WideString(L"A"));
    EXPECT_TRUE(WideString(L"a") != WideString(L"ab"));
    EXPECT_TRUE(StartsWith(WideString(L"C:\\data\\x"), WideString(L"C:\\data")));
    EXPECT_FALSE(StartsWith(WideString(L"C:\\da"), WideString(L"C:\\data")));

    // A text taken from a buffer with an embedded NUL stops there.
    const wchar_t withNul[] = {L'a', L'\0', L'b', L'\0'};
    EXPECT_EQ(WideString(withNul).length, 1);
}

TEST(WideString, LowerCaseKeepsLength) {
    WideString lower = WideString(L"C:\\Temp").ToLower();
    EXPECT_EQ(fromWide(lower), L"c:\\temp");
    EXPECT_EQ(lower.length, 7);
}

TEST(WideString, ConversionsFailToEmptyTexts) {
    WideString ascii("plain.txt");
    EXPECT_EQ(fromWide(ascii), L"plain.txt");
    EXPECT_STREQ(ascii.ToNarrow().buffer, "plain.txt");

    // U+D800 alone is no character in any code page.
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', L'\0'};
    NarrowString failed = WideString(lone).ToNarrow();
    EXPECT_EQ(failed.length, 0);
    EXPECT_EQ(failed.buffer[0], '\0');
    NarrowString lossy = ToNarrowLossy(WideString(lone));
    EXPECT_STREQ(lossy.buffer, "a?b");
    // A pair of surrogates the code page cannot hold is one character, one "?".
    const wchar_t pair[] = {L'a', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00),
                            L'b', static_cast<wchar_t>(0xD800), L'\0'};
    NarrowString paired = ToNarrowLossy(WideString(pair));
    EXPECT_STREQ(paired.buffer, "a?b?");
    EXPECT_EQ(WideString().ToNarrow().length, 0);
}

TEST(WideString, NonAsciiRoundTripsThroughTheLocale) {
    const wchar_t name[] = {L'd', 0x00E9, L'j', 0x00E0, L'\0'};  // "déjà"
    NarrowString narrow = WideString(name).ToNarrow();
    if (narrow.length == 0) GTEST_SKIP() << "the locale's code page lacks these letters";
    EXPECT_EQ(fromWide(WideString(narrow.buffer)), std::wstring(name));
}

TEST(WideString, InvalidNarrowBytesGiveEmptyText) {
    NarrowString probe = WideString(L"\x00e9").ToNarrow();
    if (probe.length != 2) GTEST_SKIP() << "the locale is not UTF-8";
    EXPECT_EQ(WideString("\xff\xfe bad").length, 0);
}

// A line of bytes decodes whole or not at all; the escaping decode keeps every
// byte, the strict one refuses what does not decode and never stops at a NUL.
TEST(WideString, DecodingNeverCutsOrEmptiesText) {
    bool utf8 = WideString(L"\x00e9").ToNarrow().length == 2;
    struct Case {
        std::string bytes;
        bool decodes;                   // DecodeNarrow accepts it
        std::vector<unsigned> escaped;  // DecodeNarrowEscaped's units
        bool utf8Only;                  // the answer holds in a UTF-8 locale only
    };
    const std::vector<Case> cases = {
        {"abc", true, {'a', 'b', 'c'}, false},
        {"", true, {}, false},
        {std::string("a\0b", 3), false, {'a', 0xDC00, 'b'}, false},
        {"caf\xe9.txt", false, {'c', 'a', 'f', 0xDCE9, '.', 't', 'x', 't'}, true},
        {"caf\xc3\xa9", true, {'c', 'a', 'f', 0xE9}, true},
        {"\xc3", false, {0xDCC3}, true},                          // cut inside a character
        {"\xed\xa0\x80", false, {0xDCED, 0xDCA0, 0xDC80}, true},  // an encoded surrogate
        {"\xff\xfe", false, {0xDCFF, 0xDCFE}, true},
    };
    for (const Case& c : cases) {
        if (c.utf8Only && !utf8) continue;
        WideString out(L"untouched");
        EXPECT_EQ(DecodeNarrow(c.bytes.data(), c.bytes.size(), &out), c.decodes) << c.bytes;
        if (!c.decodes) {
            EXPECT_EQ(fromWide(out), L"untouched") << c.bytes;
        }
        WideString escaped = DecodeNarrowEscaped(c.bytes.data(), c.bytes.size());
        std::vector<unsigned> units(escaped.buffer, escaped.buffer + escaped.length);
        EXPECT_EQ(units, c.escaped) << c.bytes;
        EXPECT_EQ(HasUnwritableUnit(escaped), !c.decodes) << c.bytes;
    }
}

TEST(WideString, UnwritableUnitsAreEscapesAndLoneSurrogates) {
    const std::vector<std::pair<std::vector<wchar_t>, bool>> cases = {
        {{L'a', L'b'}, false},
        {{L'a', static_cast<wchar_t>(0xDCE9)}, true},
        {{static_cast<wchar_t>(0xD800), L'x'}, true},
        {{L'x', static_cast<wchar_t>(0xD800)}, true},
        {{static_cast<wchar_t>(0x00E9), static_cast<wchar_t>(0xFFFD)}, false},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> units = c.first;
        units.push_back(L'\0');
        EXPECT_EQ(HasUnwritableUnit(WideString(units.data())), c.second);
    }
    if (sizeof(wchar_t) == 2) {  // a pair is one character
        const wchar_t pair[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), L'\0'};
        EXPECT_FALSE(HasUnwritableUnit(WideString(pair)));
    }
}

TEST(WideString, ControlCharactersBecomeQuestionMarks) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"x\n! Error => forged", L"x?! Error => forged"},
        {L"a\rb\tc\x1b[31m", L"a?b?c?[31m"},
        {L"del\x7f c1\x85\x9f end\xa0", L"del? c1?? end\xa0"},
        {L"plain \x00e9 \x20ac", L"plain \x00e9 \x20ac"},
        {L"\x01\x1f ", L"?? "},
        // What turns a line around or hides: the bidirectional marks,
        // embeddings and isolates, the invisible spaces; the joiners stay.
        {L"cod\x202eslp.exe", L"cod?slp.exe"},
        {L"\x200e\x200f\x202a\x202b\x202c\x202d\x061c|", L"???????|"},
        {L"\x2066\x2067\x2068\x2069\x200b\xfeff\x2060|", L"???????|"},
        {L"line\x2028para\x2029", L"line?para?"},
        {L"\x200c\x200d \x2065 \x2010", L"\x200c\x200d \x2065 \x2010"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromWide(ControlsAsQuestionMarks(WideString(c.first.c_str()))), c.second);
    }
}

}  // namespace
