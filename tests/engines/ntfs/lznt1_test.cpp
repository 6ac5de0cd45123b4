#include "engines/ntfs/lznt1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

// A compressed chunk (header 0xB000 | size - 1) holding "abc" and a reference three back
// for nine bytes: "abcabcabcabc".
const std::vector<uint8_t> kAbcChunk = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20};

std::string Text(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
    return std::string(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + length));
}

TEST(Lznt1, ChunksFillTheirFourKibAndTheRestOfTheUnitIsZeros) {
    std::vector<uint8_t> input = kAbcChunk;
    // A stored chunk (no compressed flag) of 4 KiB follows, then the closing zero header.
    input.push_back(0xFF), input.push_back(0x3F);
    for (int i = 0; i < 4096; ++i) input.push_back(static_cast<uint8_t>(i * 7));
    input.push_back(0), input.push_back(0);
    std::vector<uint8_t> unit(16384, 0xEE);
    ASSERT_TRUE(DecompressLznt1Unit(ByteView(input), unit));
    EXPECT_EQ(Text(unit, 0, 12), "abcabcabcabc");
    EXPECT_EQ(unit[12], 0) << "a chunk that gives back less than 4 KiB ends in zeros";
    EXPECT_EQ(unit[4096], 0);
    EXPECT_EQ(unit[4096 + 4095], static_cast<uint8_t>(4095 * 7));
    EXPECT_EQ(unit[8192], 0) << "after the last chunk";
    EXPECT_EQ(unit[16383], 0);
}

TEST(Lznt1, LongerReferencesFurtherIntoTheChunk) {
    // 20 literals, then a reference whose distance takes 5 bits (position 20 > 16):
    // distance 20, length 5 copies "ABCDE".
    std::vector<uint8_t> chunk;
    std::string literals = "ABCDEFGHIJKLMNOPQRST";
    chunk.push_back(0x00);
    chunk.insert(chunk.end(), literals.begin(), literals.begin() + 8);
    chunk.push_back(0x00);
    chunk.insert(chunk.end(), literals.begin() + 8, literals.begin() + 16);
    chunk.push_back(0x10);  // four literals, then a reference
    chunk.insert(chunk.end(), literals.begin() + 16, literals.end());
    const uint16_t token = static_cast<uint16_t>(((20 - 1) << 11) | (5 - 3));
    chunk.push_back(static_cast<uint8_t>(token)), chunk.push_back(static_cast<uint8_t>(token >> 8));
    std::vector<uint8_t> input = {static_cast<uint8_t>(chunk.size() - 1), static_cast<uint8_t>(0xB0)};
    input.insert(input.end(), chunk.begin(), chunk.end());
    std::vector<uint8_t> unit(4096);
    ASSERT_TRUE(DecompressLznt1Unit(ByteView(input), unit));
    EXPECT_EQ(Text(unit, 0, 25), literals + "ABCDE");
}

TEST(Lznt1, LyingChunksAreDamageNeverAReadOutsideTheBuffers) {
    std::vector<uint8_t> unit(8192);
    // The header names more bytes than the unit holds.
    std::vector<uint8_t> past = kAbcChunk;
    past[0] = 0x40;
    EXPECT_FALSE(DecompressLznt1Unit(ByteView(past), unit));
    // A reference before the start of the output: the first token.
    const std::vector<uint8_t> before = {0x02, 0xB0, 0x01, 0x00, 0x10};
    EXPECT_FALSE(DecompressLznt1Unit(ByteView(before), unit));
    // A reference that would run past the chunk's 4 KiB: "a", then 4,098 more.
    const std::vector<uint8_t> grow = {0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F};
    EXPECT_FALSE(DecompressLznt1Unit(ByteView(grow), unit));
    // A stored chunk in a unit too small for it.
    std::vector<uint8_t> stored = {0xFF, 0x3F};
    stored.resize(2 + 4096, 'x');
    std::vector<uint8_t> small(1024);
    EXPECT_FALSE(DecompressLznt1Unit(ByteView(stored), small));
    // A reference token cut off at the end of its chunk.
    const std::vector<uint8_t> cut = {0x02, 0xB0, 0x02, 'a', 0x01};
    EXPECT_FALSE(DecompressLznt1Unit(ByteView(cut), unit));
    // Nothing at all is an empty unit.
    EXPECT_TRUE(DecompressLznt1Unit(ByteView(), unit));
    EXPECT_EQ(unit[0], 0);
}

}  // namespace
}  // namespace kestrune
