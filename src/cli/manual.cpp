// The manual page and the bash completion, written from the option table.
#include "cli/manual.h"

#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace {

// Words of the manual page alone: the usage text has no room for them.
const wchar_t kNameLine[] = L"bring a folder up to date with another, by rules";

// A file the program reads or writes, and what it is.
struct FileDoc {
    const wchar_t* path;  // placeholders in capitals
    const wchar_t* meaning;
};

const FileDoc kFiles[] = {
    {L"DIR/korvaneui.log",
     L"the run log, written with -l DIR: a banner, a line per failure (and per change with -v) and the count "
     L"of what was updated"},
    {L"DIR/korvaneui.dry-run.log", L"the log of a dry run (-n -l DIR); a real run's log is never touched by it"},
    {L"VERSIONS/YYYY-MM-DD HHMMSS/",
     L"with --versions VERSIONS: what one run replaced or deleted, each entry at its path below TO; "
     L"another run started in the same second keeps its own in YYYY-MM-DD HHMMSS-2/"},
    {L"./korvaneui.ini",
     L"the window program's settings file: --settings without FILE reads it from the current folder"},
};

// Another manual page, and its section.
struct SeeAlso {
    const wchar_t* page;
    const wchar_t* section;
};

const SeeAlso kSeeAlso[] = {{L"rsync", L"1"}, {L"cp", L"1"}, {L"crontab", L"5"}};

bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool isAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The text's lines joined into one, for the formatter to fill.
std::wstring joined(const wchar_t* text) {
    std::wstring line(text);
    for (wchar_t& c : line) {
        if (c == L'\n') c = L' ';
    }
    return line;
}

// Text as the man macros read it literally: backslash, minus and quotes
// escaped, every other character beyond ASCII named by its code point.
std::wstring escaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\\') {
            out += L"\\e";
        } else if (c == L'-') {
            out += L"\\-";
        } else if (c == L'\'') {
            out += L"\\(aq";
        } else if (c == L'`') {
            out += L"\\(ga";
        } else if (c < 0x20 || c >= 0x7f) {
            wchar_t name[16];
            std::swprintf(name, sizeof name / sizeof name[0], L"\\[u%04X]", static_cast<unsigned>(c));
            out += name;
        } else {
            out += c;
        }
    }
    return out;
}

// A line of running text: one that starts with a period is not a request.
std::wstring textLine(const std::wstring& text) {
    std::wstring line = escaped(text);
    return (!line.empty() && line[0] == L'.' ? L"\\&" : L"") + line + L"\n";
}

// Placeholders (words of letters) in italics, the rest as it stands: "[=FILE]".
std::wstring placeholders(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        size_t end = i;
        while (end < text.size() && isAsciiLetter(text[end])) ++end;
        if (end > i) {
            out += L"\\fI" + escaped(text.substr(i, end - i)) + L"\\fR";
            i = end;
        } else {
            out += escaped(text.substr(i, 1));
            ++i;
        }
    }
    return out;
}

// One usage form: option names in bold, placeholders in italics.
std::wstring styledForm(const std::wstring& form) {
    std::wstring out = L"\\fBkorvane\\fR";
    size_t start = 0;
    while (start < form.size()) {
        size_t end = form.find(L' ', start);
        if (end == std::wstring::npos) end = form.size();
        std::wstring token = form.substr(start, end - start);
        out += L" ";
        // An optional option, "[--as-of": its bracket as it stands, the option in bold.
        if (token.size() > 1 && token[0] == L'[' && token[1] == L'-') {
            out += escaped(L"[");
            token.erase(0, 1);
        }
        if (!token.empty() && token[0] == L'-') {
            size_t name = token.find_first_of(L"[=");
            if (name == std::wstring::npos) name = token.size();
            out += L"\\fB" + escaped(token.substr(0, name)) + L"\\fR" + placeholders(token.substr(name));
        } else {
            out += placeholders(token);
        }
        start = end + 1;
    }
    return out;
}

// What a completion offers for an option's value.
enum ValueCompletion {
    COMPLETE_NOTHING,  // a flag, or a value no file names
    COMPLETE_FILE,
    COMPLETE_FOLDER
};

// Told by how the usage text writes the value: FILE, LIST or PATH (a file
// or a folder), DIR or DEST.
ValueCompletion completionOf(const OptionDoc& option) {
    std::wstring shown(option.shown);
    if (shown.find(L"DIR") != std::wstring::npos || shown.find(L"DEST") != std::wstring::npos) return COMPLETE_FOLDER;
    if (shown.find(L"FILE") != std::wstring::npos || shown.find(L"LIST") != std::wstring::npos ||
        shown.find(L"PATH") != std::wstring::npos) {
        return COMPLETE_FILE;
    }
    return COMPLETE_NOTHING;
}

// The option's spellings as a case pattern: "-f | --list".
std::wstring casePattern(const OptionDoc& option) {
    std::wstring pattern;
    if (option.shortName) pattern = std::wstring(L"-") + option.shortName + L" | ";
    return pattern + L"--" + option.longName;
}

// One branch of the completion's case over the previous word, or nothing
// when no option has values of that kind.
std::wstring caseBranch(const UsageWords& words, ValueCompletion kind, bool optional, const wchar_t* action) {
    std::wstring patterns;
    for (const OptionDoc& option : words.options) {
        if (!option.takesValue || completionOf(option) != kind || (option.shown[0] == L'[') != optional) continue;
        patterns += (patterns.empty() ? L"" : L" | ") + casePattern(option);
    }
    if (patterns.empty()) return L"";
    std::wstring branch = L"        " + patterns + L")\n";
    if (optional) {
        // A value that may be left out gives way to the next option.
        return branch + L"            if [[ $cur != -* ]]; then\n                " + action +
               L"\n                return\n            fi\n            ;;\n";
    }
    if (action[0] != L'\0') branch += L"            " + std::wstring(action) + L"\n";
    return branch + L"            return\n            ;;\n";
}

}  // namespace

bool checkOptionWords(const UsageWords& words, std::wstring* problem) {
    std::set<std::wstring> longNames;
    std::map<wchar_t, std::wstring> shortNames;  // the long name of each
    for (const OptionDoc& option : words.options) {
        std::wstring name = option.longName ? option.longName : L"";
        std::wstring spelt = L"option --" + name;
        bool nameOk = !name.empty() && name[0] != L'-';
        for (wchar_t c : name) nameOk = nameOk && (isAsciiLetter(c) || isAsciiDigit(c) || c == L'-');
        if (!nameOk) {
            *problem = L"option [" + name + L"] is not named by letters, digits and '-'";
            return false;
        }
        if (!longNames.insert(name).second) {
            *problem = spelt + L" is in the table twice";
            return false;
        }
        if (option.shortName != 0) {
            if (!isAsciiLetter(option.shortName) && !isAsciiDigit(option.shortName)) {
                *problem = spelt + L" has a short name that is not a letter or a digit";
                return false;
            }
            auto taken = shortNames.emplace(option.shortName, name);
            if (!taken.second) {
                *problem = L"options --" + taken.first->second + L" and --" + name + L" share the short name -" +
                           option.shortName;
                return false;
            }
        }
        std::wstring help = option.help ? option.help : L"";
        if (help.find_first_not_of(L" \n") == std::wstring::npos) {
            *problem = spelt + L" has no help text";
            return false;
        }
        bool shown = option.shown && option.shown[0] != L'\0';
        if (shown != option.takesValue) {
            *problem = spelt + (option.takesValue ? L" takes a value the usage text does not show"
                                                  : L" shows a value it does not take");
            return false;
        }
    }
    return true;
}

std::wstring manualPage(const UsageWords& words, const std::wstring& version, const std::wstring& date) {
    std::wstring page = L".\\\" The manual page of korvane, written from its option table when it was built.\n";
    page += L".TH KORVANE 1 " + escaped(date) + L" \"korvane " + escaped(version) + L"\" \"User Commands\"\n";
    page += L".SH NAME\nkorvane \\- " + escaped(kNameLine) + L"\n";
    page += L".SH SYNOPSIS\n";
    for (size_t i = 0; i < words.forms.size(); ++i) {
        if (i > 0) page += L".br\n";
        page += styledForm(words.forms[i]) + L"\n";
    }
    page += L".SH DESCRIPTION\n" + textLine(joined(words.summary));
    page += L".PP\n" + textLine(joined(words.notes));
    page += L".SH OPTIONS\n";
    for (const OptionDoc& option : words.options) {
        std::wstring tag;
        if (option.shortName) tag = L"\\fB\\-" + escaped(std::wstring(1, option.shortName)) + L"\\fR, ";
        tag += L"\\fB\\-\\-" + escaped(option.longName) + L"\\fR";
        if (option.shown[0] != L'\0') tag += L" " + placeholders(option.shown);
        page += L".TP\n" + tag + L"\n" + textLine(joined(option.help));
    }
    page += L".SH EXIT STATUS\n";
    for (const ExitStatusDoc& status : words.exitStatuses) {
        page += L".TP\n.B " + std::to_wstring(status.status) + L"\n" + textLine(joined(status.meaning));
    }
    page += L".SH FILES\n";
    for (const FileDoc& file : kFiles) page += L".TP\n\\fI" + escaped(file.path) + L"\\fR\n" + textLine(file.meaning);
    page += L".SH EXAMPLES\n";
    for (const ExampleDoc& example : words.examples) {
        page += L".TP\n\\fB" + escaped(example.command) + L"\\fR\n" + textLine(joined(example.meaning));
    }
    page += L".SH SEE ALSO\n";
    const size_t count = sizeof kSeeAlso / sizeof kSeeAlso[0];
    for (size_t i = 0; i < count; ++i) {
        page +=
            L".BR " + escaped(kSeeAlso[i].page) + L" (" + kSeeAlso[i].section + L")" + (i + 1 < count ? L",\n" : L"\n");
    }
    return page;
}

std::wstring bashCompletion(const UsageWords& words) {
    std::wstring longNames;
    for (const OptionDoc& option : words.options) {
        longNames += (longNames.empty() ? L"--" : L" --") + std::wstring(option.longName);
    }
    std::wstring script =
        L"# bash completion for korvane                              -*- shell-script -*-\n"
        L"# Written from the program's option table when it was built.\n\n"
        L"_korvane()\n{\n"
        L"    local cur prev words cword split\n"
        L"    _init_completion -s || return\n\n"
        L"    case $prev in\n";
    script += caseBranch(words, COMPLETE_FILE, false, L"_filedir");
    script += caseBranch(words, COMPLETE_FOLDER, false, L"_filedir -d");
    script += caseBranch(words, COMPLETE_NOTHING, false, L"");
    script += caseBranch(words, COMPLETE_FILE, true, L"_filedir");
    script += caseBranch(words, COMPLETE_FOLDER, true, L"_filedir -d");
    script +=
        L"    esac\n"
        L"    $split && return\n\n"
        L"    local i\n"
        L"    for ((i = 1; i < cword; i++)); do\n"
        L"        if [[ ${words[i]} == -- ]]; then\n"
        L"            _filedir -d\n"
        L"            return\n"
        L"        fi\n"
        L"    done\n"
        L"    if [[ $cur == -* ]]; then\n"
        L"        COMPREPLY=($(compgen -W '" +
        longNames +
        L"' -- \"$cur\"))\n"
        L"        return\n"
        L"    fi\n"
        L"    _filedir -d\n"
        L"} &&\n"
        L"    complete -F _korvane korvane\n\n"
        L"# ex: filetype=sh\n";
    return script;
}
