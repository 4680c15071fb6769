#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text/packed_text.h"

namespace {

// Texts at the edges of each packed length, lone surrogates, a text longer
// than a block, and, where wchar_t has 32 bits, units beyond any character.
std::vector<std::wstring> edgeTexts() {
    std::vector<std::wstring> texts = {
        L"",
        L"a/b.txt",
        L"caf\x00e9/na\x00efve",
        L"\x6587\x4ef6/\x8d44\x6599.txt",
        L"\xd83d\xde00 and a lone \xd800 and \xdfff",
        std::wstring{L'\x7f', L'\x80', L'\x7ff', L'\x800', L'\xffff'},
        std::wstring(PACKED_BLOCK_BYTES, L'\x00e9'),
    };
    if (sizeof(wchar_t) == 4) {
        std::wstring wide;
        for (uint32_t value :
             {0x10000u, 0x1fffffu, 0x200000u, 0x3ffffffu, 0x4000000u, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
            wide.push_back(static_cast<wchar_t>(value));
        }
        texts.push_back(wide);
    }
    return texts;
}

TEST(PackedText, TextsComeBackUnitForUnitAcrossBlocks) {
    std::vector<std::wstring> texts = edgeTexts();
    // Enough short texts after them to fill several blocks.
    for (int i = 0; i < 60000; ++i) texts.push_back(L"d" + std::to_wstring(i % 977) + L"/\x00fc" + std::to_wstring(i));
    texts.push_back(edgeTexts().back());
    PackedTexts packed;
    std::vector<PackedAt> places;
    places.reserve(texts.size());
    for (const std::wstring& text : texts) places.push_back(AppendPacked(&packed, text.data(), text.size()));
    EXPECT_EQ(packed.count, texts.size());
    EXPECT_GT(packed.blocks.size(), 3u);

    PackedAt at = 0;
    std::wstring text = L"left over";
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(at, places[i]) << i;
        ASSERT_TRUE(NextPacked(packed, &at, &text)) << i;
        ASSERT_EQ(text, texts[i]) << i;
    }
    EXPECT_FALSE(NextPacked(packed, &at, &text));
    EXPECT_EQ(text, texts.back());
    PackedAt none = 0;
    EXPECT_FALSE(NextPacked(PackedTexts(), &none, &text));
}

// Folders are ordered by their packed paths and their levels found by the
// separator's byte: both hold only if packing keeps the units' order and
// no unit but an ASCII one packs into an ASCII byte.
TEST(PackedText, PackedTextsCompareAsTheirUnits) {
    std::vector<std::wstring> texts = edgeTexts();
    texts.insert(texts.end(), {L"a", L"a/b", L"a-b", L"a/b/c", L"ab", L"\x00e9", L"z", L"a\x00e9", L"a\xffff"});
    // Units that differ in each of their packed bytes, of each packed length.
    std::vector<uint32_t> edges = {0x41,  0x7f,  0x80,  0xbf,  0xc0,   0x7c0, 0x7ff,
                                   0x800, 0x801, 0x840, 0xfff, 0x1000, 0xd800};
    if (sizeof(wchar_t) == 4) {
        for (uint32_t first : {0x10000u, 0x200000u, 0x4000000u}) {
            for (uint32_t step : {1u, 0x40u, 0x1000u, 0x40000u, 0x1000000u}) edges.push_back(first + step);
        }
    }
    for (uint32_t unit : edges) texts.push_back(L"x" + std::wstring(1, static_cast<wchar_t>(unit)));
    for (const std::wstring& left : texts) {
        std::string leftBytes;
        PackUnits(left.data(), left.size(), &leftBytes);
        size_t asciiUnits = 0;
        size_t asciiBytes = 0;
        for (wchar_t unit : left) asciiUnits += static_cast<uint32_t>(unit) < 0x80 ? 1 : 0;
        for (char byte : leftBytes) asciiBytes += static_cast<unsigned char>(byte) < 0x80 ? 1 : 0;
        EXPECT_EQ(asciiBytes, asciiUnits);
        for (const std::wstring& right : texts) {
            // Units taken unsigned, as the packing does.
            if (sizeof(wchar_t) == 4 && (left.find(static_cast<wchar_t>(0x80000000u)) != std::wstring::npos ||
                                         right.find(static_cast<wchar_t>(0x80000000u)) != std::wstring::npos)) {
                continue;
            }
            std::string rightBytes;
            PackUnits(right.data(), right.size(), &rightBytes);
            int units = left.compare(right);
            int bytes = leftBytes.compare(rightBytes);
            EXPECT_EQ(units < 0, bytes < 0);
            EXPECT_EQ(units == 0, bytes == 0);
        }
    }
}

}  // namespace
