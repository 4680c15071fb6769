// The program's own text types: WideString holds every path, field text and
// message; NarrowString is its multibyte form in the locale's encoding.
#ifndef KORVANE_TEXT_WIDE_STRING_H
#define KORVANE_TEXT_WIDE_STRING_H

#include <cstddef>
#include <cstdint>

#include "base/byte_escape.h"

// A counted byte text with an owned, exact-size, NUL-terminated array.
struct NarrowString {
    int32_t length;  // bytes before the terminator
    char* buffer;    // length + 1 bytes, never null

    NarrowString();                                      // empty text
    explicit NarrowString(const char* text);             // copy up to the first NUL
    NarrowString(const NarrowString& other);             // deep copy
    NarrowString& operator=(const NarrowString& other);  // deep copy, self-assignment safe
    ~NarrowString();                                     // frees buffer
};

// A counted wide text with an owned, exact-size, NUL-terminated array.
// Positions given to the substring operations are 1-based.
struct WideString {
    int32_t length;   // code units before the terminator
    wchar_t* buffer;  // length + 1 code units, never null (empty texts share one)

    WideString();                             // empty text
    WideString(const wchar_t* text);          // copy up to the first NUL (null gives empty)
    WideString(const WideString& other);      // deep copy
    WideString(WideString&& other) noexcept;  // takes other's array; other is left empty
    explicit WideString(const char* narrow);  // from the locale's encoding; empty when invalid
    explicit WideString(int32_t value);       // decimal text; empty when over 9 characters
    ~WideString();                            // frees buffer

    WideString& operator=(const WideString& other);      // no effect on self-assignment
    WideString& operator=(WideString&& other) noexcept;  // takes other's array; other is left empty
    WideString& operator=(const wchar_t* text);          // no effect when given our own buffer

    WideString& operator+=(const WideString& other);  // appends a copy of other
    WideString& operator+=(const wchar_t* text);      // appends text up to its NUL
    WideString& AppendSeparator();                    // appends the platform's path separator

    int32_t FindLastSeparator() const;              // the same for the platform's separator
    bool EndsWith(const WideString& suffix) const;  // true for an empty suffix

    WideString Left(int32_t count) const;  // Mid(1, count)
    WideString Tail(int32_t start) const;  // from position start to the end
    WideString ToLower() const;            // lower-cased copy, by the current locale
    NarrowString ToNarrow() const;         // locale's encoding; empty when any unit fails

    // first (count units), middle (up to its NUL) and last (count units), in one array.
    static WideString Join(const wchar_t* first, int32_t firstLength, const wchar_t* middle, const wchar_t* last,
                           int32_t lastLength);

    // Mid(source, start, count): count units from the 1-based start, cut at the end.
    static WideString Mid(const WideString& source, int32_t start, int32_t count);

private:
    // Takes over array (count + 1 units from new[], NUL-terminated): a text
    // built in place costs one allocation, not two.
    WideString(wchar_t* array, int32_t count);

    friend WideString operator+(const WideString& left, const WideString& right);
    friend WideString operator+(const WideString& left, const wchar_t* right);
};

WideString operator+(const WideString& left, const WideString& right);  // concatenation
WideString operator+(const WideString& left, const wchar_t* right);     // concatenation
bool operator==(const WideString& left, const WideString& right);       // ordinal equality
bool operator!=(const WideString& left, const WideString& right);       // negation of ==

// True when the first units of text equal prefix, unit by unit, case-sensitive.
bool StartsWith(const WideString& text, const WideString& prefix);

// ToNarrow, but each character the encoding cannot hold becomes "?" (for the log).
NarrowString ToNarrowLossy(const WideString& text);

// Decodes length bytes in the locale's encoding into out; false, out untouched,
// when a byte does not decode or is a NUL (the text would be cut short).
bool DecodeNarrow(const char* bytes, size_t length, WideString* out);

// Decodes like DecodeNarrow, but each byte that does not decode, and each NUL,
// becomes the unit BYTE_ESCAPE_BASE + byte, so no byte is lost or cuts the text.
WideString DecodeNarrowEscaped(const char* bytes, size_t length);

// True when text holds a unit no encoding can write: a byte escape or a lone surrogate.
bool HasUnwritableUnit(const WideString& text);

// A copy with each control character (U+0000-U+001F, U+007F, U+0080-U+009F),
// line or paragraph separator (U+2028, U+2029) and invisible format
// character (the bidirectional marks, embeddings and isolates, the
// zero-width ones) as "?": what is shown is what the text holds.
WideString ControlsAsQuestionMarks(const WideString& text);

#endif
