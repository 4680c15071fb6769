// Shell patterns as include and exclude rules, read as rsync's --exclude and
// --include read them: matched against an entry's path below the walked
// root, "/" between its names on every system; "*" within a name, "**"
// across names, "?", "[...]"; a leading "/" anchors at the root, a trailing
// "/" matches folders only. In a list of them the first that matches
// decides, and an entry below an excluded folder is excluded with it.
#ifndef KORVANE_ENGINE_PATTERN_H
#define KORVANE_ENGINE_PATTERN_H

#include <cstddef>
#include <string>
#include <vector>

// Longest pattern, in characters, that is accepted.
constexpr size_t PATTERN_MAX_LENGTH = 1024;

// The characters from first to last, both included.
struct CharacterRange {
    char32_t first;  // the lowest
    char32_t last;   // the highest
};

// What one piece of a pattern stands for.
enum TokenKind {
    TOKEN_CHARACTER,  // the character itself
    TOKEN_ANY,        // "?": any one character but "/"
    TOKEN_CLASS,      // "[...]": one character of the class, never "/"
    TOKEN_NAME_PART,  // "*": any characters but "/", none too
    TOKEN_ANYTHING    // "**": any characters, "/" too, none too
};

// One piece of a pattern.
struct PatternToken {
    TokenKind kind = TOKEN_CHARACTER;    // what it stands for
    char32_t character = 0;              // TOKEN_CHARACTER: the character
    std::vector<CharacterRange> ranges;  // TOKEN_CLASS: the characters it lists
    unsigned named = 0;                  // TOKEN_CLASS: the named classes it lists ("[:alpha:]"), one bit each
    bool negated = false;                // TOKEN_CLASS: it matches what it does not list ("[!...]", "[^...]")
};

// One way a rule matches: "dir/***" matches as "dir/" and as "dir/**".
struct PatternForm {
    std::vector<PatternToken> tokens;  // the pattern, its leading and trailing "/" taken off
    bool directoriesOnly = false;      // a trailing "/": matches folders only
    bool wholePath = false;            // holds a "/" between names or a "**": matched against the path
};

// One rule as given on the command line or in a file.
struct PathPattern {
    bool excludes = true;            // an exclude rule; otherwise an include rule
    bool anchored = false;           // a leading "/": matched from the walked root only
    std::vector<PatternForm> forms;  // it matches where any of them does
    std::wstring given;              // the rule as it was given, for the lines that name it
};

// Reads text as a rule, an exclude rule or an include rule; false with why
// in *problem for an empty pattern or one longer than PATTERN_MAX_LENGTH.
bool readPattern(const std::wstring& text, bool excludes, PathPattern* pattern, std::wstring* problem);

// True when pattern matches the entry at relative, its path below the walked
// root with "/" between its names and none before the first, a folder when
// isDirectory. Time grows with the pattern's length times the path's.
bool patternMatches(const PathPattern& pattern, const std::u32string& relative, bool isDirectory);

// The rules of one run, in order, and what they found of the folders last
// asked about, so that a walk pays for each folder's verdict once.
struct PatternRules {
    std::vector<PathPattern> rules;  // in the order given: the first that matches decides
    std::u32string folder;           // the folder whose verdicts are known below
    std::vector<size_t> ends;        // where each of its levels ends in folder
    std::vector<bool> excluded;      // for each level, whether it or a level above is excluded
};

// True when rules leave out the entry at relative (as patternMatches takes
// it): the first rule that matches it is an exclude rule, or a folder above
// it is left out so.
bool patternsExclude(PatternRules* rules, const std::u32string& relative, bool isDirectory);

// The path below root of entryPath, as patternMatches takes it: each
// separator of the system written "/", none before its first name.
std::u32string patternSubject(const wchar_t* entryPath, size_t entryLength, size_t rootLength);

// True when a rule text looks like a shell pattern rather than a regular
// expression: what a user meant for --exclude or --include.
bool looksLikeShellPattern(const std::wstring& text);

#endif
