// The search for volumes a partition table no longer names: a boot sector written over
// is found by its backup, a card formatted whole from its first sector, and a volume an
// image cut short says how much of it is missing.
#include "engines/lost_volumes.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrune {
namespace {

std::vector<FoundVolume> Search(std::vector<uint8_t> bytes) {
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), 512);
    return FindVolumes(source, 512, source.totalSectors);
}

TEST(LostVolumes, BackupsStandInAndCardsWithoutATableAndCutImagesAreFound) {
    test::TempDir dir;
    auto wiped = test::ReadFileBytes(test::UnpackFixture("partitioned/gpt_wiped.img.gz", dir.path()));
    // The FAT32 volume's boot sector written over: its copy six sectors in tells it.
    std::fill(wiped.begin() + 26624 * 512, wiped.begin() + 26625 * 512, 0x5A);
    auto found = Search(wiped);
    ASSERT_GE(found.size(), 4u);
    EXPECT_EQ(found[1].startSector, 26624u);
    EXPECT_EQ(found[1].sectorCount, 69632u);
    EXPECT_EQ(found[1].fileSystem, "FAT32");
    EXPECT_TRUE(found[1].fromBackup);
    EXPECT_FALSE(found[1].sure);

    // The image stops inside the ext4 volume.
    wiped.resize(140000 * 512);
    found = Search(wiped);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[3].fileSystem, "ext4");
    EXPECT_EQ(found[3].startSector + found[3].sectorCount, 140000u);
    EXPECT_EQ(found[3].cutShort, 120832u + 49152u - 140000u);

    // A card formatted whole: its volume begins at the first sector.
    const auto chain = test::ReadFileBytes(test::UnpackFixture("partitioned/dos_chain.img.gz", dir.path()));
    const std::vector<uint8_t> card(chain.begin() + 59392 * 512, chain.begin() + (59392 + 8192) * 512);
    found = Search(card);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].startSector, 0u);
    EXPECT_EQ(found[0].fileSystem, "FAT");
    EXPECT_TRUE(found[0].sure) << "its two tables agree";
}

}  // namespace
}  // namespace kestrune
