// The escapes that keep the bytes of a name that does not decode in the
// locale's encoding: each such byte becomes the unit BYTE_ESCAPE_BASE + byte
// (U+DC80 to U+DCFF for the bytes 0x80 to 0xFF), and turns back into that
// byte, so that every name survives the way to wide text and back.
#ifndef KORVANE_BASE_BYTE_ESCAPE_H
#define KORVANE_BASE_BYTE_ESCAPE_H

// First unit of the escapes that stand for undecodable bytes: U+DC00 + byte.
constexpr wchar_t BYTE_ESCAPE_BASE = 0xDC00;

#endif
