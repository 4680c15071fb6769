// The settings lines read and written: a key and its value, rules and numbers, full texts escaped.
#include "settings/settings_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/line_reader.h"
#include "fs/paths.h"
#include "platform/platform.h"

// The split SETTING_LINE_PATTERN makes, written out so that a line of any
// length takes no recursion: "." matches every byte but CR and LF, so a line
// holding either does not match; the greedy key ends at the last "=", which
// must leave the key at least one byte.
bool ParseSettingLine(const std::string& line, std::string& key, std::string& value) {
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    size_t equals = line.rfind('=');
    if (equals == std::string::npos || equals == 0) return false;
    key = line.substr(0, equals);
    value = line.substr(equals + 1);
    return true;
}

WideString SettingRuleText(const std::string& value) {
    WideString text;
    if (DecodeNarrow(value.data(), value.size(), &text)) return text;
    return DecodeNarrowEscaped(value.data(), value.size());
}

int SettingNumber(const std::string& value) { return std::atoi(value.c_str()); }

namespace {

const size_t kFullTextPrefixLength = std::strlen(SETTING_FULL_TEXT_PREFIX);

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The bytes a full text keeps as they are; every other byte is escaped.
bool IsPlainByte(unsigned char byte) { return byte > 0x20 && byte < 0x7F && byte != '%' && byte != '='; }

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

void AppendUtf8(uint32_t point, std::string* bytes) {
    if (point < 0x80) {
        bytes->push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        bytes->push_back(static_cast<char>(0xC0 | (point >> 6)));
        bytes->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        bytes->push_back(static_cast<char>(0xE0 | (point >> 12)));
        bytes->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        bytes->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        bytes->push_back(static_cast<char>(0xF0 | (point >> 18)));
        bytes->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        bytes->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        bytes->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// A full text: the text in UTF-8, where a surrogate that is not half of a
// pair (Windows names may hold one) takes the three bytes of its code point;
// then each byte outside "!" to "~", and each "%" and "=", as "%" and two
// upper-case hex digits, so the value is ASCII whatever the code page and
// holds no line end and no "=" that would move the line's split. False when
// a unit is no code point (beyond U+10FFFF), which no system hands over.
bool EncodeFullText(const WideString& text, std::string* value) {
    std::string utf8;
    for (int32_t i = 0; i < text.length; ++i) {
        uint32_t point = static_cast<uint32_t>(text.buffer[i]);
        if (sizeof(wchar_t) == 2 && IsHighSurrogate(point) && i + 1 < text.length &&
            IsLowSurrogate(static_cast<uint32_t>(text.buffer[i + 1]))) {
            point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<uint32_t>(text.buffer[i + 1]) - 0xDC00);
            ++i;
        }
        if (point > 0x10FFFF) return false;
        AppendUtf8(point, &utf8);
    }
    static const char digits[] = "0123456789ABCDEF";
    value->clear();
    for (char c : utf8) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (IsPlainByte(byte)) {
            value->push_back(c);
        } else {
            value->push_back('%');
            value->push_back(digits[byte >> 4]);
            value->push_back(digits[byte & 0x0F]);
        }
    }
    return true;
}

// Reverses EncodeFullText; a byte left unescaped (a file edited by hand)
// counts as itself. False, text untouched, on a broken escape, bytes that are
// no UTF-8 (overlong forms and code points beyond U+10FFFF among them) or a
// NUL, which would cut the text short.
bool DecodeFullText(const std::string& value, WideString* text) {
    std::string utf8;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            utf8.push_back(value[i]);
            continue;
        }
        if (i + 2 >= value.size()) return false;
        int high = HexValue(value[i + 1]);
        int low = HexValue(value[i + 2]);
        if (high < 0 || low < 0) return false;
        utf8.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    std::wstring units;
    size_t at = 0;
    while (at < utf8.size()) {
        unsigned char lead = static_cast<unsigned char>(utf8[at]);
        uint32_t point = 0;
        size_t count = 0;
        if (lead < 0x80) {
            point = lead;
            count = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            point = lead & 0x1Fu;
            count = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            point = lead & 0x0Fu;
            count = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            point = lead & 0x07u;
            count = 4;
        } else {
            return false;
        }
        if (count > utf8.size() - at) return false;
        for (size_t k = 1; k < count; ++k) {
            unsigned char next = static_cast<unsigned char>(utf8[at + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3Fu);
        }
        if ((count == 3 && point < 0x800) || (count == 4 && (point < 0x10000 || point > 0x10FFFF))) return false;
        if (point == 0) return false;
        if (sizeof(wchar_t) == 2 && point > 0xFFFF) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(point));
        }
        at += count;
    }
    *text = WideString(units.c_str());
    return true;
}

// The rule is kept one byte per character; a rule with a character beyond
// U+00FF cannot be kept that way and is kept in the locale's encoding.
// A byte that did not decode when the rule was loaded is kept as that byte,
// so that the rule is saved as it was read.
std::string RuleBytes(const WideString& rule) {
    std::string bytes;
    bool bytePerCharacter = true;
    for (int32_t i = 0; i < rule.length; ++i) {
        unsigned unit = static_cast<unsigned>(rule.buffer[i]);
        unsigned base = static_cast<unsigned>(BYTE_ESCAPE_BASE);
        bool escape = unit >= base && unit <= base + 0xFF;
        if (unit > 0xFF && !escape) bytePerCharacter = false;
        bytes.push_back(static_cast<char>(escape ? unit - base : unit));
    }
    if (bytePerCharacter) return bytes;
    return rule.ToNarrow().buffer;
}

bool keepSettingLine(void* data, ReadLine* line) {
    std::string key;
    std::string value;
    if (!line->bytes.empty() && ParseSettingLine(line->bytes, key, value)) {
        bool fullText = key.compare(0, kFullTextPrefixLength, SETTING_FULL_TEXT_PREFIX) == 0;
        int id = std::atoi(key.c_str() + (fullText ? kFullTextPrefixLength : 0));
        static_cast<std::vector<SettingLine>*>(data)->push_back(SettingLine{id, value, fullText});
    }
    return true;
}

// directory, a separator, title and ".ini".
WideString SettingsFileIn(const WideString& directory, const WideString& title) {
    WideString path(directory);
    path.AppendSeparator();
    return path + title + L".ini";
}

WideString CurrentDirectory() {
    wchar_t buffer[260] = {0};
    if (platformCurrentDirectory(buffer, 260) == 0) return WideString();
    return WideString(buffer);
}

}  // namespace

bool ReadSettingValue(const SettingLine& line, SettingValue* value) {
    const SettingKey* key = FindSettingKey(line.id);
    if (!key) return false;
    SettingValue read{key, WideString(), 0};
    if (line.fullText) {
        if (key->kind == SETTING_CHECK || !DecodeFullText(line.value, &read.text)) return false;
    } else if (key->kind == SETTING_CHECK) {
        read.number = SettingNumber(line.value);
    } else if (key->kind == SETTING_RULE_TEXT) {
        read.text = SettingRuleText(line.value);
    } else {
        read.text = WideString(line.value.c_str());
    }
    *value = read;
    return true;
}

// Earlier versions wrote a path field's text in the locale's encoding (empty
// when a character does not fit, so the text was lost) and the rule one byte
// per character; they read a line by its last "=". That line is still
// written first, as they wrote it, so that they read what they always read.
// When it would not read back as the text (a character the code page lacks,
// an "=" in a path, a byte-per-character rule the code page decodes
// otherwise), a second line follows under the key with
// SETTING_FULL_TEXT_PREFIX before it and the text as EncodeFullText writes
// it. It comes after the first, so that it wins where both are read. In code
// page 1252, a To Folder of D:\Fotos\ and U+65C5 is kept as
//   1013=
//   utf8:1013=D:\Fotos\%E6%97%85
std::vector<std::string> SettingTextLines(const SettingKey& key, const WideString& text) {
    std::string number = std::to_string(key.key);
    std::string plain = key.kind == SETTING_RULE_TEXT ? RuleBytes(text) : std::string(text.ToNarrow().buffer);
    std::vector<std::string> lines = {number + "=" + plain};
    std::string readKey;
    std::string readValue;
    SettingValue readBack{nullptr, WideString(), 0};
    bool kept = ParseSettingLine(lines[0], readKey, readValue) &&
                ReadSettingValue(SettingLine{std::atoi(readKey.c_str()), readValue, false}, &readBack) &&
                readBack.key->key == key.key && readBack.text == text;
    std::string full;
    if (!kept && EncodeFullText(text, &full)) lines.push_back(SETTING_FULL_TEXT_PREFIX + number + "=" + full);
    return lines;
}

// Lines end in LF, with or without a CR before it; the last line needs no end.
bool ReadSettingLines(const WideString& path, std::vector<SettingLine>* lines, int* failure) {
    lines->clear();
    if (!fileExists(path)) return false;
    int reason = 0;
    bool read = readLines(path.buffer, static_cast<size_t>(-1), keepSettingLine, lines, &reason);
    if (failure) *failure = read ? 0 : (reason != 0 ? reason : FAILURE_NOT_PLAIN_FILE);
    return true;
}

WideString SettingsFilePath(const WideString& title) {
    WideString directory = CurrentDirectory();
    if (directory.length == 0 || !directoryExists(directory)) return WideString();
    return SettingsFileIn(directory, title);
}

WideString SettingsFileToWrite(const WideString& title) {
    WideString directory = CurrentDirectory();
    if (directory.length == 0) return WideString();
    return SettingsFileIn(directory, title);
}
