// The shell-pattern options of the front end as the engine's rules: the
// patterns given, and the lines of each --exclude-from file, in order.
#ifndef KORVANE_CLI_PATTERN_OPTIONS_H
#define KORVANE_CLI_PATTERN_OPTIONS_H

#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/pattern.h"

// Longest line of a pattern file kept while reading, in bytes.
constexpr size_t PATTERN_LINE_MAX_BYTES = 4 * PATTERN_MAX_LENGTH + 4;

// Reads one line of a pattern file into rules (a comment or an empty line
// gives none, "!" forgets the rules before it); false with why in *problem.
bool readPatternLine(const std::wstring& line, std::vector<PathPattern>* rules, std::wstring* problem);

// The rules of the options given, the files' lines in their places; false
// with a line naming the file or pattern and why in *problem. A root run
// reads a file only through links whose owner may read it, and refuses a
// file another user may change: it would choose what root's mirror deletes.
bool readPatternOptions(const std::vector<PatternOption>& given, std::vector<PathPattern>* rules,
                        std::wstring* problem);

#endif
