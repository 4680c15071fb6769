// The table of the settings keys and the fields of the window they belong to.
#include "settings/settings_keys.h"

const SettingKey kSettingKeys[] = {
    {1012, SETTING_FROM_FOLDER, SETTING_TEXT, true},    {1013, SETTING_TO_FOLDER, SETTING_TEXT, true},
    {1014, SETTING_LOG_FOLDER, SETTING_TEXT, true},     {1015, SETTING_LIST_FILE, SETTING_TEXT, true},
    {1006, SETTING_SYNCHRONOUS, SETTING_CHECK, true},   {1007, SETTING_SHOW_COPY_FILE, SETTING_CHECK, true},
    {1009, SETTING_RULE_EXCLUDES, SETTING_CHECK, true}, {1008, SETTING_RULE_ON, SETTING_CHECK, true},
    {1010, SETTING_LIST_MODE, SETTING_CHECK, true},     {1011, SETTING_RULE, SETTING_RULE_TEXT, true},
    {1016, SETTING_STATUS, SETTING_TEXT, false},
};

const size_t kSettingKeyCount = sizeof kSettingKeys / sizeof kSettingKeys[0];

const SettingKey* FindSettingKey(int key) {
    for (const SettingKey& entry : kSettingKeys) {
        if (entry.key == key) return &entry;
    }
    return nullptr;
}
