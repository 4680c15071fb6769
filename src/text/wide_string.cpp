// WideString and NarrowString: their storage, operations and conversions.
#include "text/wide_string.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>

#include "base/separator.h"

namespace {

size_t CountUnits(const wchar_t* text) { return text ? std::wcslen(text) : 0; }

// The array every empty text shares: an empty text costs no allocation.
// Nothing is ever written into it (an empty text has no unit to write).
wchar_t kEmptyText[1] = {L'\0'};

// Frees an array of a text, unless it is the shared empty one.
void FreeWideArray(wchar_t* array) {
    if (array != kEmptyText) delete[] array;
}

// A fresh array of length + 1 units holding text[0..length) and a NUL; the
// shared empty one for length 0.
wchar_t* NewWideArray(const wchar_t* text, size_t length) {
    if (length == 0) return kEmptyText;
    wchar_t* array = new wchar_t[length + 1];
    if (length > 0) std::wmemcpy(array, text, length);
    array[length] = L'\0';
    return array;
}

char* NewNarrowArray(const char* text, size_t length) {
    char* array = new char[length + 1];
    if (length > 0) std::memcpy(array, text, length);
    array[length] = '\0';
    return array;
}

int32_t ToLength(size_t count) {
    if (count > static_cast<size_t>(INT32_MAX - 1)) throw std::bad_alloc();
    return static_cast<int32_t>(count);
}

// Joins two counted texts into a fresh exact-size array.
wchar_t* JoinArrays(const wchar_t* left, size_t leftLength, const wchar_t* right, size_t rightLength) {
    size_t total = leftLength + rightLength;
    ToLength(total);
    if (total == 0) return kEmptyText;
    wchar_t* array = new wchar_t[total + 1];
    if (leftLength > 0) std::wmemcpy(array, left, leftLength);
    if (rightLength > 0) std::wmemcpy(array + leftLength, right, rightLength);
    array[total] = L'\0';
    return array;
}

int32_t FindLast(const WideString& text, wchar_t unit) {
    for (int32_t i = text.length - 1; i >= 0; --i) {
        if (text.buffer[i] == unit) return i;
    }
    return -1;
}

}  // namespace

NarrowString::NarrowString() : length(0), buffer(NewNarrowArray("", 0)) {}

NarrowString::NarrowString(const char* text) : length(0), buffer(nullptr) {
    size_t count = text ? std::strlen(text) : 0;
    length = ToLength(count);
    buffer = NewNarrowArray(text, count);
}

NarrowString::NarrowString(const NarrowString& other)
    : length(other.length), buffer(NewNarrowArray(other.buffer, other.length)) {}

NarrowString& NarrowString::operator=(const NarrowString& other) {
    if (this == &other) return *this;
    char* array = NewNarrowArray(other.buffer, other.length);
    delete[] buffer;
    buffer = array;
    length = other.length;
    return *this;
}

NarrowString::~NarrowString() { delete[] buffer; }

WideString::WideString() : length(0), buffer(NewWideArray(L"", 0)) {}

WideString::WideString(const wchar_t* text) : length(0), buffer(nullptr) {
    size_t count = CountUnits(text);
    length = ToLength(count);
    buffer = NewWideArray(text, count);
}

WideString::WideString(const WideString& other)
    : length(other.length), buffer(NewWideArray(other.buffer, other.length)) {}

// Bytes that the locale's encoding rejects give the empty text.
WideString::WideString(const char* narrow) : length(0), buffer(nullptr) {
    size_t count = 0;
    wchar_t* converted = nullptr;
    if (narrow && *narrow) {
        size_t room = std::strlen(narrow) + 1;
        converted = new wchar_t[room];
        count = std::mbstowcs(converted, narrow, room);
        if (count == static_cast<size_t>(-1) || count >= room) count = 0;
    }
    length = ToLength(count);
    buffer = NewWideArray(converted, count);
    delete[] converted;
}

// Decimal text with at most nine characters, "-" included; otherwise empty.
WideString::WideString(int32_t value) : length(0), buffer(nullptr) {
    wchar_t digits[12];
    int position = 11;
    digits[position] = L'\0';
    int64_t magnitude = value < 0 ? -static_cast<int64_t>(value) : value;
    do {
        digits[--position] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (value < 0) digits[--position] = L'-';
    size_t count = static_cast<size_t>(11 - position);
    if (count > 9) count = 0;
    length = static_cast<int32_t>(count);
    buffer = NewWideArray(digits + position, count);
}

WideString::WideString(wchar_t* array, int32_t count) : length(count), buffer(array) {}

WideString::WideString(WideString&& other) noexcept : length(other.length), buffer(other.buffer) {
    other.length = 0;
    other.buffer = kEmptyText;
}

WideString::~WideString() { FreeWideArray(buffer); }

WideString& WideString::operator=(WideString&& other) noexcept {
    if (this == &other) return *this;
    FreeWideArray(buffer);
    buffer = other.buffer;
    length = other.length;
    other.length = 0;
    other.buffer = kEmptyText;
    return *this;
}

WideString& WideString::operator=(const WideString& other) {
    if (this == &other) return *this;
    wchar_t* array = NewWideArray(other.buffer, other.length);
    FreeWideArray(buffer);
    buffer = array;
    length = other.length;
    return *this;
}

WideString& WideString::operator=(const wchar_t* text) {
    if (text == buffer) return *this;
    size_t count = CountUnits(text);
    int32_t newLength = ToLength(count);
    wchar_t* array = NewWideArray(text, count);
    FreeWideArray(buffer);
    buffer = array;
    length = newLength;
    return *this;
}

WideString& WideString::operator+=(const WideString& other) {
    wchar_t* array = JoinArrays(buffer, length, other.buffer, other.length);
    int32_t newLength = length + other.length;
    FreeWideArray(buffer);
    buffer = array;
    length = newLength;
    return *this;
}

WideString& WideString::operator+=(const wchar_t* text) {
    size_t count = CountUnits(text);
    wchar_t* array = JoinArrays(buffer, length, text, count);
    int32_t newLength = ToLength(length + count);
    FreeWideArray(buffer);
    buffer = array;
    length = newLength;
    return *this;
}

WideString& WideString::AppendSeparator() {
    static const wchar_t separator[] = {PATH_SEPARATOR, L'\0'};
    return *this += separator;
}

int32_t WideString::FindLastSeparator() const { return FindLast(*this, PATH_SEPARATOR); }

bool WideString::EndsWith(const WideString& suffix) const {
    if (suffix.length > length) return false;
    return std::wmemcmp(buffer + (length - suffix.length), suffix.buffer, suffix.length) == 0;
}

// Counts are cut to what lies between start and the end; a start outside the
// text, or a count of 0 or less, gives the empty text.
WideString WideString::Mid(const WideString& source, int32_t start, int32_t count) {
    if (start < 1 || start > source.length || count <= 0) return WideString();
    int32_t available = source.length - start + 1;
    if (count > available) count = available;
    const wchar_t* first = source.buffer + (start - 1);
    // The copy stops at an embedded NUL, so the length is counted from it.
    size_t copied = 0;
    while (copied < static_cast<size_t>(count) && first[copied] != L'\0') ++copied;
    return WideString(NewWideArray(first, copied), static_cast<int32_t>(copied));
}

WideString WideString::Join(const wchar_t* first, int32_t firstLength, const wchar_t* middle, const wchar_t* last,
                            int32_t lastLength) {
    size_t middleLength = CountUnits(middle);
    size_t total = static_cast<size_t>(firstLength) + middleLength + static_cast<size_t>(lastLength);
    int32_t length = ToLength(total);
    if (total == 0) return WideString();
    wchar_t* array = new wchar_t[total + 1];
    std::wmemcpy(array, first, static_cast<size_t>(firstLength));
    std::wmemcpy(array + firstLength, middle, middleLength);
    std::wmemcpy(array + firstLength + middleLength, last, static_cast<size_t>(lastLength));
    array[total] = L'\0';
    return WideString(array, length);
}

WideString WideString::Left(int32_t count) const { return Mid(*this, 1, count); }

// The positions are worked out in 64 bits: counts near the int limits must
// not wrap around into a valid-looking position.
WideString WideString::Tail(int32_t start) const {
    if (start < 1 || start > length) return WideString();
    return Mid(*this, start, length - start + 1);
}

WideString WideString::ToLower() const {
    WideString result(*this);
    for (int32_t i = 0; i < result.length; ++i) {
        result.buffer[i] = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(result.buffer[i])));
    }
    return result;
}

// Any unit that the locale's encoding cannot hold makes the whole result empty.
NarrowString WideString::ToNarrow() const {
    NarrowString result;
    if (length == 0) return result;
    // ASCII is the same bytes in every encoding a locale uses: no conversion needed.
    int32_t ascii = 0;
    while (ascii < length && static_cast<unsigned>(buffer[ascii]) < 0x80) ++ascii;
    if (ascii == length) {
        delete[] result.buffer;
        result.buffer = new char[static_cast<size_t>(length) + 1];
        for (int32_t i = 0; i <= length; ++i) result.buffer[i] = static_cast<char>(buffer[i]);
        result.length = length;
        return result;
    }
    size_t needed = std::wcstombs(nullptr, buffer, 0);
    if (needed == static_cast<size_t>(-1)) return result;
    char* converted = new char[needed + 1];
    size_t written = std::wcstombs(converted, buffer, needed + 1);
    if (written != static_cast<size_t>(-1) && written <= needed) {
        converted[written] = '\0';
        delete[] result.buffer;
        result.buffer = NewNarrowArray(converted, written);
        result.length = ToLength(written);
    }
    delete[] converted;
    return result;
}

WideString operator+(const WideString& left, const WideString& right) {
    return WideString(JoinArrays(left.buffer, left.length, right.buffer, right.length), left.length + right.length);
}

WideString operator+(const WideString& left, const wchar_t* right) {
    size_t count = CountUnits(right);
    return WideString(JoinArrays(left.buffer, left.length, right, count), ToLength(left.length + count));
}

bool operator==(const WideString& left, const WideString& right) {
    if (left.buffer == right.buffer) return true;
    return left.length == right.length && std::wmemcmp(left.buffer, right.buffer, left.length) == 0;
}

bool operator!=(const WideString& left, const WideString& right) { return !(left == right); }

bool StartsWith(const WideString& text, const WideString& prefix) {
    return prefix.length <= text.length && std::wmemcmp(text.buffer, prefix.buffer, prefix.length) == 0;
}

NarrowString ToNarrowLossy(const WideString& text) {
    NarrowString whole = text.ToNarrow();
    if (whole.length > 0 || text.length == 0) return whole;
    // Convert unit by unit, so that one foreign character costs only itself.
    size_t room = static_cast<size_t>(text.length) * (MB_LEN_MAX) + 1;
    char* bytes = new char[room];
    size_t used = 0;
    std::mbstate_t state{};
    for (int32_t i = 0; i < text.length; ++i) {
        char piece[MB_LEN_MAX];
        size_t n = std::wcrtomb(piece, text.buffer[i], &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes[used++] = '?';
            // A surrogate pair is one character: one "?" for both units.
            wchar_t unit = text.buffer[i];
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.length && text.buffer[i + 1] >= 0xDC00 &&
                text.buffer[i + 1] <= 0xDFFF) {
                ++i;
            }
        } else {
            std::memcpy(bytes + used, piece, n);
            used += n;
        }
    }
    bytes[used] = '\0';
    NarrowString result(bytes);
    delete[] bytes;
    return result;
}

namespace {

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

WideString FromUnits(const std::wstring& units) {
    WideString result;
    wchar_t* array = NewWideArray(units.data(), units.size());  // before the old one goes: it may throw
    FreeWideArray(result.buffer);
    result.buffer = array;
    result.length = ToLength(units.size());
    return result;
}

// Decodes bytes one character at a time; escape decides whether a byte that
// does not decode (or a NUL) becomes its escape unit or ends the decoding.
bool DecodeUnits(const char* bytes, size_t length, bool escape, std::wstring* units) {
    std::mbstate_t state{};
    size_t at = 0;
    while (at < length) {
        unsigned char byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80 && byte != 0) {  // ASCII is itself in every encoding a locale uses
            units->push_back(static_cast<wchar_t>(byte));
            ++at;
            continue;
        }
        wchar_t unit = 0;
        size_t n = byte == 0 ? 0 : std::mbrtowc(&unit, bytes + at, length - at, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            if (!escape) return false;
            state = std::mbstate_t{};
            units->push_back(static_cast<wchar_t>(BYTE_ESCAPE_BASE + byte));
            ++at;
            continue;
        }
        units->push_back(unit);
        at += n;
    }
    return true;
}

}  // namespace

bool DecodeNarrow(const char* bytes, size_t length, WideString* out) {
    std::wstring units;
    units.reserve(length);
    if (!DecodeUnits(bytes, length, false, &units)) return false;
    *out = FromUnits(units);
    return true;
}

WideString DecodeNarrowEscaped(const char* bytes, size_t length) {
    std::wstring units;
    units.reserve(length);
    DecodeUnits(bytes, length, true, &units);
    return FromUnits(units);
}

// A surrogate pair (where wchar_t has 16 bits) is one character and writable.
bool HasUnwritableUnit(const WideString& text) {
    for (int32_t i = 0; i < text.length; ++i) {
        wchar_t unit = text.buffer[i];
        if (IsHighSurrogate(unit) && i + 1 < text.length && IsLowSurrogate(text.buffer[i + 1]) &&
            sizeof(wchar_t) == 2) {
            ++i;
            continue;
        }
        if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) return true;
    }
    return false;
}

namespace {

// True for a character that shows nothing of its own but moves or hides
// what follows it: the marks and embeddings of the bidirectional order
// (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069), the invisible
// spaces and operators (U+200B, U+2060-U+2064, U+FEFF), the deprecated
// format characters (U+206A-U+206F) and the annotation marks
// (U+FFF9-U+FFFB). A name holding one could show as another name, or turn a
// line around. The joiners (U+200C, U+200D) stay: scripts and emoji need them.
bool IsFormatCharacter(int64_t unit) {
    return unit == 0x061C || unit == 0x200B || unit == 0x200E || unit == 0x200F || (unit >= 0x202A && unit <= 0x202E) ||
           (unit >= 0x2060 && unit <= 0x2064) || (unit >= 0x2066 && unit <= 0x206F) || unit == 0xFEFF ||
           (unit >= 0xFFF9 && unit <= 0xFFFB);
}

}  // namespace

WideString ControlsAsQuestionMarks(const WideString& text) {
    WideString result(text);
    for (int32_t i = 0; i < result.length; ++i) {
        int64_t unit = result.buffer[i];  // below 0 only for a unit no system gives
        // The line and paragraph separators end a line in some viewers too.
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029 ||
            IsFormatCharacter(unit)) {
            result.buffer[i] = L'?';
        }
    }
    return result;
}
