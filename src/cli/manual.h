// The manual page and the bash completion of the front end, written at build
// time from the same words and option table as its usage text.
#ifndef KORVANE_CLI_MANUAL_H
#define KORVANE_CLI_MANUAL_H

#include <string>

#include "cli/options.h"

// Whether every option can be written into the usage text, the manual page
// and the completion; false with the first problem found.
bool checkOptionWords(const UsageWords& words, std::wstring* problem);

// The manual page in the man macros, ASCII only; version and date go into
// its title line.
std::wstring manualPage(const UsageWords& words, const std::wstring& version, const std::wstring& date);

// The bash completion: the long options after "-", files or folders after an
// option whose value names one, folders elsewhere.
std::wstring bashCompletion(const UsageWords& words);

#endif
