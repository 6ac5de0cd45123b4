#include "engines/boot_classifier.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrune {
namespace {

std::vector<uint8_t> BootArea(const std::string& fixture) {
    test::TempDir dir;
    auto bytes = test::ReadFileBytes(test::UnpackFixture(fixture, dir.path()));
    bytes.resize(kBootAreaBytes);
    return bytes;
}

TEST(ClassifyBootArea, AreasMadeByRealToolsAreRecognised) {
    const std::pair<const char*, FsKind> cases[] = {
        {"boot/ntfs.img.gz", FsKind::Ntfs},  {"boot/ntfs4k.img.gz", FsKind::Ntfs},
        {"boot/fat12.img.gz", FsKind::Fat},  {"boot/fat16.img.gz", FsKind::Fat},
        {"boot/fat32.img.gz", FsKind::Fat},  {"boot/ext4.img.gz", FsKind::Ext},
        {"boot/ext4k.img.gz", FsKind::Ext}};
    for (const auto& [fixture, kind] : cases)
        EXPECT_EQ(ClassifyBootArea(ByteView(BootArea(fixture))), kind) << fixture;
    EXPECT_EQ(FatBitsOf(ByteView(BootArea("boot/fat12.img.gz"))), 12);
    EXPECT_EQ(FatBitsOf(ByteView(BootArea("boot/fat16.img.gz"))), 16);
    EXPECT_EQ(FatBitsOf(ByteView(BootArea("boot/fat32.img.gz"))), 32);
}

TEST(ClassifyBootArea, NtfsClusterSizeMustBeAPowerOfTwo) {
    auto area = BootArea("boot/ntfs.img.gz");
    area[13] = 128;
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Ntfs);
    area[13] = 3;
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
    area[13] = 0;
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
}

TEST(ClassifyBootArea, NtfsNeedsItsZeroFieldsButNotTheMediaByte) {
    auto area = BootArea("boot/ntfs.img.gz");
    area[21] = 0x12;  // the media descriptor is not examined
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Ntfs);
    for (size_t offset : {16, 17, 18, 19, 20, 22, 23, 32, 35}) {
        auto changed = area;
        changed[offset] = 1;
        EXPECT_EQ(ClassifyBootArea(ByteView(changed)), FsKind::Other) << "offset " << offset;
    }
    auto noSignature = area;
    noSignature[511] = 0;
    EXPECT_EQ(ClassifyBootArea(ByteView(noSignature)), FsKind::Other);
    auto noSectors = area;
    std::fill(noSectors.begin() + 40, noSectors.begin() + 48, 0);
    EXPECT_EQ(ClassifyBootArea(ByteView(noSectors)), FsKind::Other);
}

TEST(ClassifyBootArea, EncryptedFatVolumesAreNeverFat) {
    auto area = BootArea("boot/fat32.img.gz");
    std::memcpy(area.data() + 3, "-FVE-FS-", 8);
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);

    area = BootArea("boot/fat32.img.gz");
    std::fill(area.begin() + 480, area.begin() + 488, 0x78);
    std::fill(area.begin() + 488, area.begin() + 507, 0xFF);
    area[507] = 0x00;
    area[508] = 0x1F;
    area[509] = 0x2C;
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
    area[509] = 0x2D;
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Fat);
}

TEST(ClassifyBootArea, FatGeometryThatCannotBeIsRefused) {
    auto area = BootArea("boot/fat16.img.gz");
    auto zeroCluster = area;
    zeroCluster[13] = 0;
    EXPECT_EQ(ClassifyBootArea(ByteView(zeroCluster)), FsKind::Other);
    auto oddSector = area;
    oddSector[11] = 0x00;
    oddSector[12] = 0x03;  // 768 bytes per sector
    EXPECT_EQ(ClassifyBootArea(ByteView(oddSector)), FsKind::Other);
    auto noFats = area;
    noFats[16] = 0;
    EXPECT_EQ(ClassifyBootArea(ByteView(noFats)), FsKind::Other);

    // FAT32 beyond 268,435,440 clusters does not exist.
    auto fat32 = BootArea("boot/fat32.img.gz");
    const uint32_t huge = 0xF0000000;
    std::memcpy(fat32.data() + 32, &huge, 4);
    EXPECT_EQ(ClassifyBootArea(ByteView(fat32)), FsKind::Other);
}

TEST(ClassifyBootArea, ExtNeedsConsistentGroupCountsAndFirstDataBlock) {
    auto area = BootArea("boot/ext4.img.gz");
    area[1024 + 20] = 0;  // 1 KiB blocks must start at block 1
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
    area = BootArea("boot/ext4k.img.gz");
    area[1024 + 20] = 1;  // 4 KiB blocks must start at block 0
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
    area = BootArea("boot/ext4.img.gz");
    area[1024 + 84] = 2;  // first usable inode must be above 2
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
    area = BootArea("boot/ext4.img.gz");
    area[1024 + 40] += 1;  // group counts by blocks and by inodes disagree
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Ext) << "one group either way";
    const uint32_t fewInodesPerGroup = 8;
    std::memcpy(area.data() + 1024 + 40, &fewInodesPerGroup, 4);
    EXPECT_EQ(ClassifyBootArea(ByteView(area)), FsKind::Other);
}

TEST(ClassifyBootArea, ShortAndEmptyAreasAreOther) {
    EXPECT_EQ(ClassifyBootArea(ByteView()), FsKind::Other);
    const auto ntfs = BootArea("boot/ntfs.img.gz");
    EXPECT_EQ(ClassifyBootArea(ByteView(ntfs).sub(0, 511)), FsKind::Other);
    EXPECT_EQ(ClassifyBootArea(ByteView(std::vector<uint8_t>(kBootAreaBytes, 0))), FsKind::Other);
    EXPECT_EQ(ClassifyBootArea(ByteView(std::vector<uint8_t>(kBootAreaBytes, 0xFF))), FsKind::Other);
}

TEST(DescribeBootArea, TellsTheGeometryOfEachKind) {
    auto rows = DescribeBootArea(ByteView(BootArea("boot/fat12.img.gz")));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], (std::pair<std::string, std::string>{"FAT type", "FAT12"}));
    rows = DescribeBootArea(ByteView(BootArea("boot/ntfs4k.img.gz")));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].second, "4096");
    EXPECT_TRUE(DescribeBootArea(ByteView()).empty());
}

}  // namespace
}  // namespace kestrune
