// The shell-pattern options read into rules, pattern files line by line.
#include "cli/pattern_options.h"

#include "fs/line_reader.h"
#include "platform/platform.h"
#include "text/wide_string.h"

namespace {

// What reading one pattern file gathers.
struct PatternFileReading {
    std::vector<PathPattern>* rules;  // where its rules go
    std::wstring problem;             // the first line that gave no rule, and why
};

// A line becomes a rule only when all of its bytes decode.
bool takePatternLine(void* data, ReadLine* read) {
    auto* reading = static_cast<PatternFileReading*>(data);
    std::string& bytes = read->bytes;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    WideString text;
    std::wstring why;
    if (read->overflowed) {
        why = L"the line is longer than any pattern";
    } else if (!DecodeNarrow(bytes.data(), bytes.size(), &text)) {
        why = L"the line is not valid text in the code page";
    } else if (readPatternLine(std::wstring(text.buffer, static_cast<size_t>(text.length)), reading->rules, &why)) {
        return true;
    }
    reading->problem = L"line " + std::to_wstring(read->number) + L": " + why;
    return false;
}

}  // namespace

// As rsync reads --exclude-from: "+ " and "- " say which rule a line is.
bool readPatternLine(const std::wstring& line, std::vector<PathPattern>* rules, std::wstring* problem) {
    if (line.empty() || line[0] == L'#' || line[0] == L';') return true;
    if (line == L"!") {
        rules->clear();
        return true;
    }
    bool excludes = true;
    std::wstring text = line;
    if (line.size() >= 2 && (line[0] == L'+' || line[0] == L'-') && line[1] == L' ') {
        excludes = line[0] == L'-';
        text = line.substr(2);
    }
    PathPattern pattern;
    if (!readPattern(text, excludes, &pattern, problem)) return false;
    rules->push_back(pattern);
    return true;
}

bool readPatternOptions(const std::vector<PatternOption>& given, std::vector<PathPattern>* rules,
                        std::wstring* problem) {
    for (const PatternOption& option : given) {
        std::wstring text(option.text.buffer, static_cast<size_t>(option.text.length));
        if (option.kind != PATTERN_FROM_FILE) {
            PathPattern pattern;
            if (!readPattern(text, option.kind == PATTERN_EXCLUDE, &pattern, problem)) return false;
            rules->push_back(pattern);
            continue;
        }
        if (platformRunsAsRoot() && platformOthersMayChangeFile(option.text.buffer)) {
            *problem = L"the pattern file [" + text +
                       L"] can be changed by another user, or is reached through another user's link; a run as root "
                       L"refuses it.";
            return false;
        }
        PatternFileReading reading{rules, std::wstring()};
        int reason = 0;
        bool read = readLines(option.text.buffer, PATTERN_LINE_MAX_BYTES, takePatternLine, &reading, &reason);
        if (!reading.problem.empty()) {
            *problem = L"the pattern file [" + text + L"], " + reading.problem;
            return false;
        }
        if (!read) {
            *problem = L"the pattern file [" + text + L"] can not be read: " + platformReasonText(reason);
            return false;
        }
    }
    return true;
}
