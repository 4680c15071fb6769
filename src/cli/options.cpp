#include "cli/options.h"

#include "settings/settings_file.h"
#include "settings/settings_keys.h"

namespace {

// The options that take a value, by their two spellings.
struct ValueOption {
    wchar_t shortName;
    const wchar_t* longName;
};

const ValueOption kValueOptions[] = {
    {L'r', L"rule"},
    {L'f', L"list"},
    {L'l', L"log-dir"},
};

// Sets a flag option; false when the name is none of ours.
bool setFlag(wchar_t name, CliOptions* options) {
    switch (name) {
        case L's': options->synchronous = true; return true;
        case L'x': options->excludes = true; return true;
        case L'v': options->show = true; return true;
        case L'y': options->yes = true; return true;
        case L'n': options->dryRun = true; return true;
        case L'h': options->help = true; return true;
        case L'V': options->version = true; return true;
        default: return false;
    }
}

wchar_t flagOfLongName(const std::wstring& name) {
    struct Pair {
        const wchar_t* name;
        wchar_t flag;
    };
    static const Pair pairs[] = {{L"sync", L's'},    {L"exclude", L'x'}, {L"show", L'v'},   {L"yes", L'y'},
                                 {L"dry-run", L'n'}, {L"help", L'h'},    {L"version", L'V'}};
    for (const Pair& pair : pairs) {
        if (name == pair.name) return pair.flag;
    }
    return 0;
}

bool isValueOption(wchar_t name) {
    for (const ValueOption& option : kValueOptions) {
        if (option.shortName == name) return true;
    }
    return false;
}

wchar_t valueOptionOfLongName(const std::wstring& name) {
    for (const ValueOption& option : kValueOptions) {
        if (name == option.longName) return option.shortName;
    }
    return 0;
}

const wchar_t* longNameOf(wchar_t name) {
    for (const ValueOption& option : kValueOptions) {
        if (option.shortName == name) return option.longName;
    }
    return L"";
}

// A rule may be given several times; any other value once, in whichever spelling.
bool setValue(wchar_t name, const std::wstring& value, CliOptions* options, std::wstring* problem) {
    if (value.empty()) {
        *problem = std::wstring(L"option -") + name + L" needs a non-empty value";
        return false;
    }
    bool given = name == L'f' ? options->listGiven : name == L'l' ? options->logGiven : false;
    if (given) {
        *problem = std::wstring(L"option -") + name + L"/--" + longNameOf(name) + L" is given more than once";
        return false;
    }
    WideString text(value.c_str());
    if (name == L'r') {
        options->ruleGiven = true;
        options->rules.push_back(text);
    } else if (name == L'f') {
        options->listGiven = true;
        options->listFile = text;
    } else {
        options->logGiven = true;
        options->logDir = text;
    }
    return true;
}

}  // namespace

// Short flags may be bundled (-sy); a value follows its option as the next
// argument, or in the same one (-rX, --rule=X). "--" ends the options.
bool parseArguments(const std::vector<std::wstring>& arguments, CliOptions* options, std::wstring* problem) {
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
            options->folders.push_back(WideString(argument.c_str()));
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        if (argument[1] == L'-') {
            std::wstring name = argument.substr(2);
            std::wstring value;
            size_t equals = name.find(L'=');
            bool hasValue = equals != std::wstring::npos;
            if (hasValue) {
                value = name.substr(equals + 1);
                name = name.substr(0, equals);
            }
            if (name == L"settings") {
                if (options->settingsGiven) {
                    *problem = L"option --settings is given more than once";
                    return false;
                }
                options->settingsGiven = true;
                options->settingsFile = WideString(value.c_str());
                if (hasValue && value.empty()) {
                    *problem = L"option --settings= needs a file name";
                    return false;
                }
                continue;
            }
            if (wchar_t flag = flagOfLongName(name)) {
                if (hasValue) {
                    *problem = L"option --" + name + L" takes no value";
                    return false;
                }
                setFlag(flag, options);
                continue;
            }
            wchar_t valueName = valueOptionOfLongName(name);
            if (!valueName) {
                *problem = L"unknown option --" + name;
                return false;
            }
            if (!hasValue) {
                if (i + 1 >= arguments.size()) {
                    *problem = L"option --" + name + L" needs a value";
                    return false;
                }
                value = arguments[++i];
            }
            if (!setValue(valueName, value, options, problem)) return false;
            continue;
        }
        for (size_t j = 1; j < argument.size(); ++j) {
            wchar_t name = argument[j];
            if (setFlag(name, options)) continue;
            if (!isValueOption(name)) {
                *problem = std::wstring(L"unknown option -") + name;
                return false;
            }
            std::wstring value = argument.substr(j + 1);
            if (value.empty()) {
                if (i + 1 >= arguments.size()) {
                    *problem = std::wstring(L"option -") + name + L" needs a value";
                    return false;
                }
                value = arguments[++i];
            }
            if (!setValue(name, value, options, problem)) return false;
            break;
        }
    }
    if (options->help || options->version) return true;
    size_t wanted = 2;
    if (options->settingsGiven && options->folders.empty()) wanted = 0;
    if (options->folders.size() != wanted) {
        *problem = options->folders.size() < 2 ? L"FROM and TO folders are needed"
                                               : L"too many folders: give FROM and TO only";
        return false;
    }
    return true;
}

// Keys as the window saves them: the four path fields, the five check boxes
// and the rule. A rule or list file is taken only when its check box is on,
// as the window's copy command does; the command line wins over the file.
bool applySettingsFile(CliOptions* options, std::wstring* problem) {
    WideString path = options->settingsFile;
    if (path.length == 0) path = SettingsFilePath(WideString(L"korvaneui"));
    std::vector<SettingLine> lines;
    if (path.length == 0 || !ReadSettingLines(path, &lines)) {
        *problem = L"settings file [" + std::wstring(path.buffer) + L"] is not exist";
        return false;
    }
    WideString texts[SETTING_FIELD_COUNT];
    bool checks[SETTING_FIELD_COUNT] = {};
    for (const SettingLine& line : lines) {
        const SettingKey* key = FindSettingKey(line.id);
        if (!key) continue;
        if (key->kind == SETTING_CHECK) {
            checks[key->field] = SettingNumber(line.value) != 0;
        } else if (key->kind == SETTING_RULE_TEXT) {
            texts[key->field] = SettingRuleText(line.value);
        } else {
            texts[key->field] = WideString(line.value.c_str());
        }
    }
    const WideString& from = texts[SETTING_FROM_FOLDER];
    const WideString& to = texts[SETTING_TO_FOLDER];
    const WideString& logDir = texts[SETTING_LOG_FOLDER];
    const WideString& listFile = texts[SETTING_LIST_FILE];
    const WideString& rule = texts[SETTING_RULE];
    if (options->folders.empty()) {
        options->folders.push_back(from);
        options->folders.push_back(to);
    }
    if (!options->logGiven && logDir.length > 0) {
        options->logGiven = true;
        options->logDir = logDir;
    }
    bool listMode = checks[SETTING_LIST_MODE];
    if (!options->listGiven && listMode) {
        options->listGiven = true;
        options->listFile = listFile;
    }
    options->synchronous = options->synchronous || checks[SETTING_SYNCHRONOUS];
    options->show = options->show || checks[SETTING_SHOW_COPY_FILE];
    if (!options->ruleGiven && checks[SETTING_RULE_ON] && rule.length > 0) {
        options->ruleGiven = true;
        options->rules.push_back(rule);
        options->excludes = options->excludes || checks[SETTING_RULE_EXCLUDES];
    }
    return true;
}

const wchar_t* usageText() {
    return L"usage: korvane [options] FROM TO\n"
           L"  -s, --sync             Synchronous: also delete what TO has and FROM has not\n"
           L"  -r, --rule REGEX       handle only the paths the rule matches (whole path, ECMAScript);\n"
           L"                         may be given several times: a path matches when any rule does\n"
           L"  -x, --exclude          the rules exclude the paths they match instead\n"
           L"  -f, --list FILE        From File mode: copy the paths listed in FILE (no rule, no clean-up)\n"
           L"  -v, --show             Show Copy File: each entry on the status output, CP/DF/RD lines in the log\n"
           L"  -l, --log-dir DIR      write the run log to DIR/korvaneui.log (default: no log file)\n"
           L"  -y, --yes              answer Yes to the Synchronous question without asking\n"
           L"  -n, --dry-run          report what the run would change; change nothing\n"
           L"      --settings[=FILE]  take the folders, options and rule from a settings file\n"
           L"                         (default ./korvaneui.ini, the window program's file); options\n"
           L"                         given on the command line win\n"
           L"  -f, -l and --settings may be given once each.\n"
           L"  -h, --help             usage;  -V, --version\n";
}
