// The settings file's line rules, shared by the window program and the
// command-line front end: key=value lines keyed by control identifier.
#ifndef KORVANE_SETTINGS_SETTINGS_FILE_H
#define KORVANE_SETTINGS_SETTINGS_FILE_H

#include <string>
#include <vector>

#include "text/wide_string.h"

// A line splits at its last "=" into a non-empty key and any value.
#define SETTING_LINE_PATTERN "^(.+)=(.*)$"

// One line of the file that matched the pattern.
struct SettingLine {
    int id;             // the key read as atoi reads it (0 when not a number)
    std::string value;  // the narrow value as stored
};

// Splits line at its last "="; false (key and value untouched) when it does not match.
bool ParseSettingLine(const std::string& line, std::string& key, std::string& value);

// Reads the matching lines of the file at path, in file order; false when the
// file does not exist. Empty and non-matching lines are skipped. *failure,
// when given, is 0 when all of it could be read, else why not (no plain
// file, a read error: what was read stands).
bool ReadSettingLines(const WideString& path, std::vector<SettingLine>* lines, int* failure = nullptr);

// The rule text of a stored value, in the locale's encoding. A value that does
// not decode there (a rule kept one byte per character) keeps its undecodable
// bytes as escapes, which the run refuses as a rule rather than losing them.
WideString SettingRuleText(const std::string& value);

// The number of a check-box value, the way atoi reads it.
int SettingNumber(const std::string& value);

// The settings file's path: the current directory, a separator, title + ".ini".
// Empty when the current directory is missing or longer than 259 characters.
WideString SettingsFilePath(const WideString& title);

#endif
