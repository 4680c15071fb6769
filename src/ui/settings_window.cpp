// The settings file as the window reads and writes it: the controls hold the
// state, the file keeps it between sessions.
#include <cstdio>
#include <string>

#include "engine/run_context.h"
#include "platform/platform.h"
#include "settings/settings_file.h"
#include "settings/settings_keys.h"
#include "ui/ui_context.h"

namespace {

void WriteLine(FILE* file, int identifier, const std::string& value) {
    std::string line = std::to_string(identifier) + "=" + value + "\r\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

std::string ReadFieldNarrow(HWND window, int identifier) {
    wchar_t buffer[MAX_PATH] = {0};
    GetDlgItemTextW(window, identifier, buffer, MAX_PATH - 1);
    return WideString(buffer).ToNarrow().buffer;
}

// The rule is kept one byte per character; a rule with a character beyond
// U+00FF cannot be kept that way and is kept in the locale's encoding.
// A byte that did not decode when the rule was loaded is kept as that byte,
// so that the rule is saved as it was read.
std::string RuleBytes(const wchar_t* rule) {
    std::string bytes;
    bool bytePerCharacter = true;
    for (const wchar_t* p = rule; *p; ++p) {
        unsigned unit = static_cast<unsigned>(*p);
        unsigned base = static_cast<unsigned>(BYTE_ESCAPE_BASE);
        bool escape = unit >= base && unit <= base + 0xFF;
        if (unit > 0xFF && !escape) bytePerCharacter = false;
        bytes.push_back(static_cast<char>(escape ? unit - base : unit));
    }
    if (bytePerCharacter) return bytes;
    return WideString(rule).ToNarrow().buffer;
}

void ApplyCheck(HWND window, int identifier, bool wasChecked) {
    switch (identifier) {
        case IDC_SYNCHRONOUS_CHECK: ToggleSynchronousCheck(window, wasChecked); break;
        case IDC_SHOW_COPY_FILE_CHECK: ToggleShowCopyFileCheck(window, wasChecked); break;
        case IDC_REGEX_CHECK: ToggleRegexCheck(window, wasChecked); break;
        case IDC_EXCLUDE_REGEX_CHECK: ToggleExcludeRegexCheck(window, wasChecked); break;
        case IDC_FROM_FILE_CHECK: ToggleFromFileCheck(window, wasChecked); break;
        default: break;
    }
}

}  // namespace

// The settings file's keys are the controls' identifiers.
static_assert(IDC_FROM_FOLDER_EDIT == 1012 && IDC_TO_FOLDER_EDIT == 1013 && IDC_LOG_FOLDER_EDIT == 1014 &&
                  IDC_FROM_FILE_EDIT == 1015 && IDC_SYNCHRONOUS_CHECK == 1006 && IDC_SHOW_COPY_FILE_CHECK == 1007 &&
                  IDC_EXCLUDE_REGEX_CHECK == 1009 && IDC_REGEX_CHECK == 1008 && IDC_FROM_FILE_CHECK == 1010 &&
                  IDC_REGEX_EDIT == 1011 && IDC_STATUS_EDIT == 1016,
              "the settings keys are the control identifiers");

bool LoadSettings(HWND window) {
    WideString path = SettingsFilePath(runContext.appTitle);
    std::vector<SettingLine> lines;
    if (path.length == 0 || !ReadSettingLines(path, &lines)) return false;
    for (const SettingLine& line : lines) {
        const SettingKey* key = FindSettingKey(line.id);
        if (!key) continue;
        if (key->kind == SETTING_CHECK) {
            ApplyCheck(window, key->key, SettingNumber(line.value) == 0);
        } else if (key->kind == SETTING_RULE_TEXT) {
            SetDlgItemTextW(window, key->key, SettingRuleText(line.value).buffer);
        } else {
            SetDlgItemTextW(window, key->key, WideString(line.value.c_str()).buffer);
        }
    }
    RestoreControlStates(window);
    return true;
}

bool SaveSettings(HWND window) {
    WideString path = SettingsFilePath(runContext.appTitle);
    if (path.length == 0) return false;
    int reason = 0;
    FILE* file = platformOpenOwnFile(path.buffer, &reason);
    if (!file) return true;
    for (size_t index = 0; index < kSettingKeyCount; ++index) {
        const SettingKey& key = kSettingKeys[index];
        if (!key.saved) continue;
        if (key.kind == SETTING_CHECK) {
            WriteLine(file, key.key, std::to_string(IsDlgButtonChecked(window, key.key)));
        } else if (key.kind == SETTING_RULE_TEXT) {
            wchar_t rule[MAX_PATH] = {0};
            GetDlgItemTextW(window, key.key, rule, MAX_PATH - 1);
            WriteLine(file, key.key, RuleBytes(rule));
        } else {
            WriteLine(file, key.key, ReadFieldNarrow(window, key.key));
        }
    }
    std::fclose(file);
    return true;
}
