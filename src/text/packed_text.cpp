// Packed wide texts: the packing of units into bytes, and texts held packed in blocks.
#include "text/packed_text.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

// The first byte of a value written with more bytes after it, by their count.
const unsigned char LEAD_BYTES[7] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

// How many bytes follow the first when value is packed.
int FollowingBytes(uint32_t value) {
    if (value < 0x80) return 0;
    if (value < 0x800) return 1;
    if (value < 0x10000) return 2;
    if (value < 0x200000) return 3;
    if (value < 0x4000000) return 4;
    return value < 0x80000000u ? 5 : 6;
}

// A unit as an unsigned value: a signed wchar_t's negative units come last.
uint32_t UnitValue(wchar_t unit) { return static_cast<uint32_t>(unit); }

void PackValue(uint32_t value, std::string* out) {
    int more = FollowingBytes(value);
    // Six following bytes carry 36 bits: the first byte carries none.
    uint32_t head = more == 6 ? 0 : value >> (6 * more);
    out->push_back(static_cast<char>(LEAD_BYTES[more] | head));
    for (int shift = 6 * (more - 1); shift >= 0; shift -= 6) {
        out->push_back(static_cast<char>(0x80 | ((value >> shift) & 0x3F)));
    }
}

// Reads the value packed at bytes[*at] and moves *at past it.
uint32_t UnpackValue(const char* bytes, size_t* at) {
    auto lead = static_cast<unsigned char>(bytes[(*at)++]);
    if (lead < 0x80) return lead;
    int more = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : lead < 0xFE ? 5 : 6;
    uint32_t value = lead & (0x3Fu >> more);
    for (int i = 0; i < more; ++i) value = (value << 6) | (static_cast<unsigned char>(bytes[(*at)++]) & 0x3F);
    return value;
}

// How many bytes PackUnits writes for units[0..count).
size_t PackedLength(const wchar_t* units, size_t count) {
    size_t length = count;
    for (size_t i = 0; i < count; ++i) length += static_cast<size_t>(FollowingBytes(UnitValue(units[i])));
    return length;
}

}  // namespace

void PackUnits(const wchar_t* units, size_t count, std::string* out) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t value = UnitValue(units[i]);
        if (value < 0x80) {
            out->push_back(static_cast<char>(value));
        } else {
            PackValue(value, out);
        }
    }
}

void UnpackUnits(const char* bytes, size_t length, std::wstring* units) {
    size_t at = 0;
    while (at < length) units->push_back(static_cast<wchar_t>(UnpackValue(bytes, &at)));
}

// A text is its packed length, packed as a value is, then its packed units.
// A block is begun when the last one has no room left for a text; a text
// longer than a block has one of its own.
PackedAt AppendPacked(PackedTexts* texts, const wchar_t* units, size_t length) {
    size_t packed = PackedLength(units, length);
    if (packed > UINT32_MAX) throw std::bad_alloc();
    std::string header;
    PackValue(static_cast<uint32_t>(packed), &header);
    size_t needed = header.size() + packed;
    std::vector<std::string>& blocks = texts->blocks;
    if (blocks.empty() || blocks.back().size() + needed > PACKED_BLOCK_BYTES) {
        blocks.emplace_back();
        blocks.back().reserve(std::max(needed, PACKED_BLOCK_BYTES));
    }
    std::string& block = blocks.back();
    PackedAt at = (blocks.size() - 1) * static_cast<PackedAt>(PACKED_BLOCK_BYTES) + block.size();
    block += header;
    PackUnits(units, length, &block);
    ++texts->count;
    return at;
}

namespace {

// The block and offset of at; false past the last text.
bool Locate(const PackedTexts& texts, PackedAt at, size_t* block, size_t* offset) {
    *block = static_cast<size_t>(at / PACKED_BLOCK_BYTES);
    *offset = static_cast<size_t>(at % PACKED_BLOCK_BYTES);
    return *block < texts.blocks.size() && *offset < texts.blocks[*block].size();
}

}  // namespace

bool NextPacked(const PackedTexts& texts, PackedAt* at, std::wstring* text) {
    size_t block = 0;
    size_t offset = 0;
    if (!Locate(texts, *at, &block, &offset)) return false;
    const std::string& bytes = texts.blocks[block];
    size_t packed = UnpackValue(bytes.data(), &offset);
    text->clear();
    UnpackUnits(bytes.data() + offset, packed, text);
    // The last text of a block, one longer than a block too, is followed by the next block's first.
    size_t end = offset + packed;
    *at = (end < bytes.size() ? block : block + 1) * static_cast<PackedAt>(PACKED_BLOCK_BYTES) +
          (end < bytes.size() ? end : 0);
    return true;
}
