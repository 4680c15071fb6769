// Which field of the window each settings key holds. The keys are the
// window's control identifiers (the window checks that the two agree); every
// front end reads and writes a settings file through this one table.
#ifndef KORVANE_SETTINGS_SETTINGS_KEYS_H
#define KORVANE_SETTINGS_SETTINGS_KEYS_H

#include <cstddef>

// The fields a settings file holds.
enum SettingField {
    SETTING_FROM_FOLDER,     // the From Folder text
    SETTING_TO_FOLDER,       // the To Folder text
    SETTING_LOG_FOLDER,      // the Log Folder text
    SETTING_LIST_FILE,       // the list file text
    SETTING_SYNCHRONOUS,     // "Synchronous" is checked
    SETTING_SHOW_COPY_FILE,  // "Show Copy File" is checked
    SETTING_RULE_EXCLUDES,   // the rule excludes what it matches
    SETTING_RULE_ON,         // "Regular Expression" is checked
    SETTING_LIST_MODE,       // "From File" is checked
    SETTING_RULE,            // the rule text
    SETTING_STATUS,          // the status line (loaded, never saved)
    SETTING_FIELD_COUNT      // how many fields there are
};

// How a field's value is written in the file.
enum SettingKind {
    SETTING_TEXT,      // a narrow text
    SETTING_CHECK,     // a number: 0 unchecked, anything else checked
    SETTING_RULE_TEXT  // one byte per character where it can be, else the narrow form
};

// One key of the file.
struct SettingKey {
    int key;             // the number before "="
    SettingField field;  // what it holds
    SettingKind kind;    // how its value is written
    bool saved;          // the window writes it when it quits
};

// The keys, in the order the window writes them.
extern const SettingKey kSettingKeys[];

// How many entries kSettingKeys has.
extern const size_t kSettingKeyCount;

// The entry of key, or null when the key holds no field.
const SettingKey* FindSettingKey(int key);

#endif
