#include "engines/carve/structure_tests.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_support.h"

namespace kestrune::carve {
namespace {

using Entry = std::array<uint8_t, 32>;

constexpr uint16_t FatDate(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr uint16_t kGoodDate = FatDate(2016, 12, 5);
constexpr uint16_t kGoodTime = (14 << 11) | (7 << 5) | 4;

Entry ShortEntry(const char* name11, uint8_t attributes, uint32_t size = 100, uint16_t low = 3) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = attributes;
    auto put16 = [&e](size_t at, uint16_t v) { e[at] = v & 0xFF; e[at + 1] = v >> 8; };
    put16(14, kGoodTime);
    put16(16, kGoodDate);
    put16(18, kGoodDate);
    put16(22, kGoodTime);
    put16(24, kGoodDate);
    put16(26, low);
    std::memcpy(e.data() + 28, &size, 4);
    return e;
}

Entry LongNameEntry(uint8_t sequence, uint8_t checksum) {
    Entry e{};
    e[0] = sequence;
    e[11] = 0x0F;
    e[13] = checksum;
    const char16_t part[] = u"abcdefghijklm";
    std::memcpy(e.data() + 1, part, 10);
    std::memcpy(e.data() + 14, part + 5, 12);
    std::memcpy(e.data() + 28, part + 11, 4);
    return e;
}

bool Plausible(const Entry& e, const Entry& next = Entry{}) {
    return IsPlausibleFatEntry(ByteView(e.data(), 32), ByteView(next.data(), 32));
}

std::vector<uint8_t> Sector(std::initializer_list<Entry> entries) {
    std::vector<uint8_t> sector(512, 0);
    size_t at = 0;
    for (const Entry& e : entries) {
        std::memcpy(sector.data() + at, e.data(), 32);
        at += 32;
    }
    return sector;
}

TEST(FatEntries, EachRejectionRule) {
    EXPECT_TRUE(Plausible(ShortEntry("README  TXT", 0x20)));
    EXPECT_TRUE(Plausible(ShortEntry(".          ", 0x10, 0, 5), ShortEntry("..         ", 0x10, 0, 0)));
    EXPECT_FALSE(Plausible(ShortEntry("EMPTY   TXT", 0x20, 0, 7))) << "an empty file owns no cluster";
    EXPECT_FALSE(Plausible(ShortEntry("LABEL      ", 0x08, 0, 9))) << "a label owns no cluster";
    EXPECT_FALSE(Plausible(ShortEntry("ODD     TXT", 0x28)));
    EXPECT_TRUE(Plausible(ShortEntry("LABEL      ", 0x08, 0, 0)));
    EXPECT_FALSE(Plausible(ShortEntry("DIR        ", 0x11, 0)));
    EXPECT_FALSE(Plausible(ShortEntry("HIGH    TXT", 0x60)));
    EXPECT_FALSE(Plausible(LongNameEntry(0x40 | 21, 0))) << "no name needs 21 entries";
    EXPECT_TRUE(Plausible(LongNameEntry(0x40 | 20, 0))) << "255 characters need 20";
    EXPECT_TRUE(Plausible(LongNameEntry(0x40 | 18, 0)));
    Entry old = ShortEntry("OLD     TXT", 0x20);
    old[24] = FatDate(1985, 1, 1) & 0xFF;
    old[25] = FatDate(1985, 1, 1) >> 8;
    EXPECT_FALSE(Plausible(old)) << "written before 1990";
    old[0] = 0xE5;
    EXPECT_TRUE(Plausible(old)) << "deleted entries are not dated";
    EXPECT_FALSE(Plausible(ShortEntry("lower   txt", 0x20)));
    EXPECT_FALSE(Plausible(ShortEntry("A*B     TXT", 0x20)));
    EXPECT_TRUE(Plausible(ShortEntry("\xC4\xE3\xBA\xC3    TXT", 0x20))) << "double-byte names";
    EXPECT_FALSE(Plausible(ShortEntry("FOLDER     ", 0x10, 4096)));
    Entry lowCluster = LongNameEntry(0x41, 0);
    lowCluster[26] = 1;
    EXPECT_FALSE(Plausible(lowCluster));
    EXPECT_FALSE(Plausible(ShortEntry("PLAIN   TXT", 0x00))) << "neither folder nor archive";
}

TEST(FatDirectorySector, LongNamesMustMatchTheirShortEntry) {
    const Entry shortEntry = ShortEntry("ABCDEF~1TXT", 0x20);
    const uint8_t checksum = ShortNameChecksum(ByteView(shortEntry.data(), 32));
    auto good = Sector({LongNameEntry(0x42, checksum), LongNameEntry(0x01, checksum), shortEntry});
    EXPECT_TRUE(IsFatDirectorySector(ByteView(good)));
    auto wrong = Sector({LongNameEntry(0x41, static_cast<uint8_t>(checksum + 1)), shortEntry});
    EXPECT_FALSE(IsFatDirectorySector(ByteView(wrong)));
    Entry deleted = shortEntry;
    deleted[0] = 0xE5;
    auto orphan = Sector({LongNameEntry(0x41, static_cast<uint8_t>(checksum + 1)), deleted});
    EXPECT_TRUE(IsFatDirectorySector(ByteView(orphan))) << "a deleted short entry keeps its long name";
}

TEST(FatDirectorySector, TheEndAndPatternsAreChecked) {
    const auto dotPair = Sector({ShortEntry(".          ", 0x10, 0, 5), ShortEntry("..         ", 0x10, 0, 0),
                                 ShortEntry("FILE    TXT", 0x20)});
    EXPECT_TRUE(IsFatDirectorySector(ByteView(dotPair)));
    auto trailing = dotPair;
    trailing[400] = 1;
    EXPECT_FALSE(IsFatDirectorySector(ByteView(trailing))) << "bytes after the last entry";
    EXPECT_FALSE(IsFatDirectorySector(ByteView(std::vector<uint8_t>(512, 0)))) << "an empty first entry";
    Entry pattern = ShortEntry("ABABABABABA", 0x20);
    std::memcpy(pattern.data() + 17, pattern.data() + 1, 14);
    EXPECT_FALSE(IsFatDirectorySector(ByteView(Sector({pattern}))));
    Entry noStamp = ShortEntry("NOSTAMP TXT", 0x20);
    noStamp[16] = noStamp[17] = 0;
    EXPECT_FALSE(IsFatDirectorySector(ByteView(Sector({noStamp}))));
    EXPECT_TRUE(IsFatDirectorySector(ByteView(std::vector<uint8_t>(31, 0xFF)))) << "shorter than an entry";
}

TEST(FileSystemStructure, MetadataSectorsAreRecognised) {
    std::vector<uint8_t> sector(512, 0x41);
    std::memcpy(sector.data(), "FILE0", 5);
    EXPECT_TRUE(IsFileSystemStructure(ByteView(sector)));
    std::memcpy(sector.data(), "INDX", 4);
    EXPECT_TRUE(IsFileSystemStructure(ByteView(sector)));
    std::memcpy(sector.data(), "RSTR", 4);
    EXPECT_FALSE(IsFileSystemStructure(ByteView(sector)));
    std::memcpy(sector.data() + 100, "N\0T\0F\0S\0", 8);
    EXPECT_TRUE(IsFileSystemStructure(ByteView(sector)));
    std::memcpy(sector.data(), "$\0S\0T\0A\0", 8);
    EXPECT_TRUE(IsFileSystemStructure(ByteView(sector)));

    test::TempDir dir;
    auto ntfs = test::ReadFileBytes(test::UnpackFixture("boot/ntfs.img.gz", dir.path()));
    ntfs.resize(512);
    EXPECT_TRUE(IsFileSystemStructure(ByteView(ntfs)));
    EXPECT_FALSE(IsFileSystemStructure(ByteView(test::PatternBytes(512))));
    EXPECT_FALSE(IsFileSystemStructure(ByteView(std::vector<uint8_t>(512, 0))));
    EXPECT_FALSE(IsFileSystemStructure(ByteView(sector.data(), 31)));
}

}  // namespace
}  // namespace kestrune::carve
