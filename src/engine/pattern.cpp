// Shell patterns: reading a rule into its pieces, and matching the pieces
// against a path without backtracking.
#include "engine/pattern.h"

#include <cwctype>
#include <string>
#include <vector>

#include "base/separator.h"

namespace {

// The named classes a bracket may list, in the order of their bits.
const char* const kClassNames[] = {"alnum", "alpha", "blank", "cntrl", "digit", "graph",
                                   "lower", "print", "punct", "space", "upper", "xdigit"};
const size_t kClassCount = sizeof kClassNames / sizeof kClassNames[0];

// A wide text as characters: a UTF-16 pair (Windows) is one.
std::u32string charactersOf(const wchar_t* text, size_t length) {
    std::u32string characters;
    characters.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        auto unit = static_cast<char32_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
            auto low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                characters.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        characters.push_back(unit);
    }
    return characters;
}

// Whether c belongs to the named class of that bit, as the locale classifies it.
bool inNamedClass(size_t bit, char32_t c) {
    if (c > 0xFFFF && sizeof(wchar_t) < 4) return false;
    auto unit = static_cast<wint_t>(c);
    switch (bit) {
        case 0: return std::iswalnum(unit) != 0;
        case 1: return std::iswalpha(unit) != 0;
        case 2: return std::iswblank(unit) != 0;
        case 3: return std::iswcntrl(unit) != 0;
        case 4: return std::iswdigit(unit) != 0;
        case 5: return std::iswgraph(unit) != 0;
        case 6: return std::iswlower(unit) != 0;
        case 7: return std::iswprint(unit) != 0;
        case 8: return std::iswpunct(unit) != 0;
        case 9: return std::iswspace(unit) != 0;
        case 10: return std::iswupper(unit) != 0;
        default: return std::iswxdigit(unit) != 0;
    }
}

bool inClass(const PatternToken& token, char32_t c) {
    bool listed = false;
    for (const CharacterRange& range : token.ranges) listed = listed || (c >= range.first && c <= range.last);
    for (size_t bit = 0; bit < kClassCount && !listed; ++bit) {
        if ((token.named & (1u << bit)) != 0) listed = inNamedClass(bit, c);
    }
    return listed != token.negated;
}

// Reads the bracket that opens at text[at]: its class into *token and the
// index past its "]" into *end; false when no "]" closes it (the "[" is then
// a character of its own) or it names a class that does not exist.
bool readClass(const std::u32string& text, size_t at, PatternToken* token, size_t* end, bool* unknownName) {
    token->kind = TOKEN_CLASS;
    size_t i = at + 1;
    if (i < text.size() && (text[i] == U'!' || text[i] == U'^')) {
        token->negated = true;
        ++i;
    }
    bool first = true;
    while (i < text.size()) {
        char32_t c = text[i];
        if (c == U']' && !first) {
            *end = i + 1;
            return true;
        }
        first = false;
        if (c == U'[' && i + 1 < text.size() && text[i + 1] == U':') {
            size_t close = text.find(U":]", i + 2);
            if (close != std::u32string::npos) {
                std::u32string name = text.substr(i + 2, close - i - 2);
                bool known = false;
                for (size_t bit = 0; bit < kClassCount; ++bit) {
                    std::string spelt = kClassNames[bit];
                    if (name == std::u32string(spelt.begin(), spelt.end())) {
                        token->named |= 1u << bit;
                        known = true;
                    }
                }
                if (!known) {
                    *unknownName = true;
                    return false;
                }
                i = close + 2;
                continue;
            }
        }
        if (c == U'\\' && i + 1 < text.size()) c = text[++i];
        ++i;
        char32_t last = c;
        if (i + 1 < text.size() && text[i] == U'-' && text[i + 1] != U']') {
            last = text[i + 1];
            i += 2;
            if (last == U'\\' && i < text.size()) last = text[i++];
        }
        token->ranges.push_back(CharacterRange{c, last});
    }
    return false;
}

// The pieces of one form of a rule; false when it names a class that does
// not exist. A rule without wildcards is its characters as they stand,
// backslashes included; with them, a backslash takes the next character as
// it is.
bool tokensOf(const std::u32string& text, bool wildcards, std::vector<PatternToken>* tokens) {
    for (size_t i = 0; i < text.size();) {
        PatternToken token;
        char32_t c = text[i];
        if (wildcards && c == U'\\' && i + 1 < text.size()) {
            token.character = text[i + 1];
            i += 2;
        } else if (wildcards && c == U'*') {
            size_t stars = 0;
            while (i < text.size() && text[i] == U'*') {
                ++stars;
                ++i;
            }
            token.kind = stars > 1 ? TOKEN_ANYTHING : TOKEN_NAME_PART;
        } else if (wildcards && c == U'?') {
            token.kind = TOKEN_ANY;
            ++i;
        } else if (wildcards && c == U'[') {
            size_t end = 0;
            bool unknownName = false;
            if (readClass(text, i, &token, &end, &unknownName)) {
                i = end;
            } else {
                if (unknownName) return false;
                token = PatternToken();
                token.character = c;
                ++i;
            }
        } else {
            token.character = c;
            ++i;
        }
        tokens->push_back(token);
    }
    return true;
}

// One form of a rule from its text, its leading "/" gone.
bool formOf(std::u32string text, bool wildcards, PatternForm* form) {
    while (!text.empty() && text.back() == U'/') {
        form->directoriesOnly = true;
        text.pop_back();
    }
    if (text.empty() || !tokensOf(text, wildcards, &form->tokens)) return false;
    for (const PatternToken& token : form->tokens) {
        if (token.kind == TOKEN_ANYTHING || (token.kind == TOKEN_CHARACTER && token.character == U'/')) {
            form->wholePath = true;
        }
    }
    return true;
}

// Whether tokens match text[start, end) whole, for any start in starts:
// one row of answers per piece, from the last piece back, each over every
// position of the text, so the time is the pieces times the text, whatever
// the stars.
bool tokensMatch(const std::vector<PatternToken>& tokens, const std::u32string& text, size_t from,
                 const std::vector<size_t>& starts) {
    size_t length = text.size() - from;
    std::vector<char> after(length + 1, 0);
    std::vector<char> row(length + 1, 0);
    after[length] = 1;
    for (size_t i = tokens.size(); i-- > 0;) {
        const PatternToken& token = tokens[i];
        for (size_t j = length + 1; j-- > 0;) {
            bool more = j < length;
            char32_t c = more ? text[from + j] : 0;
            bool matched = false;
            switch (token.kind) {
                case TOKEN_CHARACTER: matched = more && c == token.character && after[j + 1]; break;
                case TOKEN_ANY: matched = more && c != U'/' && after[j + 1]; break;
                case TOKEN_CLASS: matched = more && c != U'/' && inClass(token, c) && after[j + 1]; break;
                case TOKEN_NAME_PART: matched = after[j] || (more && c != U'/' && row[j + 1]); break;
                case TOKEN_ANYTHING: matched = after[j] || (more && row[j + 1]); break;
            }
            row[j] = matched ? 1 : 0;
        }
        row.swap(after);
    }
    for (size_t start : starts) {
        if (start >= from && after[start - from]) return true;
    }
    return false;
}

// True when the first rule of rules that matches the entry excludes it.
bool firstMatchExcludes(const std::vector<PathPattern>& rules, const std::u32string& relative, bool isDirectory) {
    for (const PathPattern& rule : rules) {
        if (patternMatches(rule, relative, isDirectory)) return rule.excludes;
    }
    return false;
}

}  // namespace

// A trailing "/***" gives two forms: the folder itself, and all below it.
bool readPattern(const std::wstring& text, bool excludes, PathPattern* pattern, std::wstring* problem) {
    *pattern = PathPattern();
    pattern->excludes = excludes;
    pattern->given = text;
    if (text.empty()) {
        *problem = L"the pattern is empty";
        return false;
    }
    if (text.size() > PATTERN_MAX_LENGTH) {
        *problem = L"the pattern is longer than " + std::to_wstring(PATTERN_MAX_LENGTH) + L" characters";
        return false;
    }
    std::u32string characters = charactersOf(text.c_str(), text.size());
    bool wildcards = characters.find_first_of(U"*?[") != std::u32string::npos;
    size_t first = characters.find_first_not_of(U'/');
    pattern->anchored = first > 0;
    std::u32string body = first == std::u32string::npos ? std::u32string() : characters.substr(first);
    const std::u32string contents = U"/***";
    std::vector<std::u32string> forms{body};
    if (wildcards && body.size() > contents.size() &&
        body.compare(body.size() - contents.size(), contents.size(), contents) == 0) {
        std::u32string folder = body.substr(0, body.size() - contents.size());
        forms = {folder + U"/", folder + U"/**"};
    }
    for (const std::u32string& spelt : forms) {
        PatternForm form;
        if (!formOf(spelt, wildcards, &form)) {
            *problem = body.empty() ? L"the pattern names no entry below the folder"
                                    : L"the pattern names a character class that does not exist";
            return false;
        }
        pattern->forms.push_back(form);
    }
    return true;
}

bool patternMatches(const PathPattern& pattern, const std::u32string& relative, bool isDirectory) {
    size_t lastName = relative.rfind(U'/');
    lastName = lastName == std::u32string::npos ? 0 : lastName + 1;
    for (const PatternForm& form : pattern.forms) {
        if (form.directoriesOnly && !isDirectory) continue;
        std::vector<size_t> starts;
        size_t from = 0;
        if (pattern.anchored) {
            starts.push_back(0);
        } else if (!form.wholePath) {
            // Only the last name is looked at.
            from = lastName;
            starts.push_back(lastName);
        } else {
            // Any last names of the path: a start at each name.
            starts.push_back(0);
            for (size_t i = 0; i < relative.size(); ++i) {
                if (relative[i] == U'/') starts.push_back(i + 1);
            }
        }
        if (tokensMatch(form.tokens, relative, from, starts)) return true;
    }
    return false;
}

// The folders above the entry are judged as a walk meets them: the levels
// shared with the folder asked about before keep their verdicts.
bool patternsExclude(PatternRules* rules, const std::u32string& relative, bool isDirectory) {
    if (rules->rules.empty()) return false;
    size_t cut = relative.rfind(U'/');
    std::u32string folder = cut == std::u32string::npos ? std::u32string() : relative.substr(0, cut);
    size_t kept = 0;
    while (kept < rules->ends.size()) {
        size_t end = rules->ends[kept];
        bool shared = end <= folder.size() && (end == folder.size() || folder[end] == U'/') &&
                      folder.compare(0, end, rules->folder, 0, end) == 0;
        if (!shared) break;
        ++kept;
    }
    rules->ends.resize(kept);
    rules->excluded.resize(kept);
    size_t start = kept == 0 ? 0 : rules->ends.back() + 1;
    while (!folder.empty() && (rules->ends.empty() || rules->ends.back() < folder.size())) {
        size_t end = folder.find(U'/', start);
        if (end == std::u32string::npos) end = folder.size();
        bool above = !rules->excluded.empty() && rules->excluded.back();
        bool excluded = above || firstMatchExcludes(rules->rules, folder.substr(0, end), true);
        rules->ends.push_back(end);
        rules->excluded.push_back(excluded);
        start = end + 1;
    }
    rules->folder = folder;
    if (!rules->excluded.empty() && rules->excluded.back()) return true;
    return firstMatchExcludes(rules->rules, relative, isDirectory);
}

std::u32string patternSubject(const wchar_t* entryPath, size_t entryLength, size_t rootLength) {
    size_t at = rootLength < entryLength ? rootLength : entryLength;
    while (at < entryLength && isComponentSeparator(entryPath[at])) ++at;
    std::u32string subject = charactersOf(entryPath + at, entryLength - at);
    for (char32_t& c : subject) {
        if (c < 0x80 && isComponentSeparator(static_cast<wchar_t>(c))) c = U'/';
    }
    return subject;
}

// A regular expression cannot begin with a repetition; a shell pattern
// often does ("*.gz"), or repeats a "/" or a "." the way one does ("dir/*",
// "**/cache", "*.o").
bool looksLikeShellPattern(const std::wstring& text) {
    if (text.empty()) return false;
    if (text[0] == L'*' || text[0] == L'?') return true;
    return text.find(L"**") != std::wstring::npos || text.find(L"/*") != std::wstring::npos ||
           text.find(L"*.") != std::wstring::npos;
}
