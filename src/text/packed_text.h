// Wide texts held packed in bytes: many of them, one after another, at a
// byte or two for each unit of most names instead of a whole wchar_t.
#ifndef KORVANE_TEXT_PACKED_TEXT_H
#define KORVANE_TEXT_PACKED_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends units[0..count) to out, each unit as its value written the way
// UTF-8 writes a code point (up to 6 bytes for 31 bits, 7 for the rest), a
// lone surrogate as any other value. An ASCII unit stays its own byte, and
// no other unit's bytes hold one, so a separator is found bytewise. Packed
// texts compare bytewise as their units do, taken unsigned.
void PackUnits(const wchar_t* units, size_t count, std::string* out);

// Appends to units the units of the packed bytes[0..length).
void UnpackUnits(const char* bytes, size_t length, std::wstring* units);

// How many texts' bytes one block of PackedTexts holds: the room a block
// is made with, unless a text alone needs more.
constexpr size_t PACKED_BLOCK_BYTES = size_t{1} << 18;  // 256 KiB

// Where a text lies in PackedTexts: its block times PACKED_BLOCK_BYTES,
// plus its first byte's offset in that block.
typedef uint64_t PackedAt;

// Texts in the order they were added, each as its packed size and its
// packed units, in blocks that are filled and never moved: a text costs
// its packed bytes and one or two, and growing moves nothing.
struct PackedTexts {
    std::vector<std::string> blocks;  // the texts, a block full before the next is begun
    size_t count = 0;                 // how many texts are held
};

// Appends the text units[0..length) and gives where it lies.
PackedAt AppendPacked(PackedTexts* texts, const wchar_t* units, size_t length);

// Reads the text at *at (0 for the first) into text, its units replacing
// what it held, and moves *at to the next one; false, text untouched, when
// *at is past the last text.
bool NextPacked(const PackedTexts& texts, PackedAt* at, std::wstring* text);

#endif
