// The settings file's line rules, shared by the window program and the
// command-line front end: key=value lines keyed by control identifier.
#ifndef KORVANE_SETTINGS_SETTINGS_FILE_H
#define KORVANE_SETTINGS_SETTINGS_FILE_H

#include <string>
#include <vector>

#include "settings/settings_keys.h"
#include "text/wide_string.h"

// A line splits at its last "=" into a non-empty key and any value.
#define SETTING_LINE_PATTERN "^(.+)=(.*)$"

// Starts the key of a line that keeps a text in full (SettingTextLines);
// earlier versions never wrote it, and read such a key as 0 and skip the line.
#define SETTING_FULL_TEXT_PREFIX "utf8:"

// One line of the file that matched the pattern.
struct SettingLine {
    int id;             // the key (after SETTING_FULL_TEXT_PREFIX) read as atoi reads it; 0 when not a number
    std::string value;  // the narrow value as stored
    bool fullText;      // the key starts with SETTING_FULL_TEXT_PREFIX: the value is a text in full
};

// What one line sets in the window.
struct SettingValue {
    const SettingKey* key = nullptr;  // the field the line belongs to
    WideString text;                  // the text, for a text field
    int number = 0;                   // the number, for a check box
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

// Reads what line sets: a plain text as earlier versions read it, a rule as
// SettingRuleText, a check box's number; false when the line sets no field
// (its key holds none, or it is a full text that does not decode or names a check box).
bool ReadSettingValue(const SettingLine& line, SettingValue* value);

// The lines, without their line ends, that keep text for key: the line that
// earlier versions wrote, and after it, when that line would not read back as
// text, a full-text line that does.
std::vector<std::string> SettingTextLines(const SettingKey& key, const WideString& text);

// The settings file's path: the current directory, a separator, title + ".ini".
// Empty when the current directory is missing or longer than 259 characters.
WideString SettingsFilePath(const WideString& title);

// The same path whether or not the current directory still exists (a save
// tries it and tells the system's reason); empty when it cannot be read.
WideString SettingsFileToWrite(const WideString& title);

#endif
