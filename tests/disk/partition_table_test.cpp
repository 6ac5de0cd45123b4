#include "disk/partition_table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/disk_copy.h"
#include "disk/disk_inventory.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::vector<PartitionEntry> TableOf(std::vector<uint8_t> bytes) {
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), 512);
    std::vector<PartitionEntry> entries;
    ReadPartitionTable(source, 512, source.totalSectors, entries);
    return entries;
}

void PutEntry(std::vector<uint8_t>& sector, size_t slot, uint8_t type, uint32_t start, uint32_t count,
              size_t base = 446) {
    uint8_t* e = sector.data() + base + 16 * slot;
    e[4] = type;
    std::memcpy(e + 8, &start, 4);
    std::memcpy(e + 12, &count, 4);
    sector[510] = 0x55, sector[511] = 0xAA;
}

TEST(PartitionTable, MbrAndGptImagesMadeBySfdisk) {
    test::TempDir dir;
    auto mbr = TableOf(test::ReadFileBytes(test::UnpackFixture("partitioned/mbr.img.gz", dir.path())));
    ASSERT_EQ(mbr.size(), 2u);
    EXPECT_EQ(mbr[0].startSector, 2048u);
    EXPECT_EQ(mbr[0].sectorCount, 81920u);
    EXPECT_EQ(mbr[0].mbrType, 0x0C);
    EXPECT_EQ(mbr[1].number, 2u);
    EXPECT_EQ(mbr[1].mbrType, 0x07);
    auto gpt = TableOf(test::ReadFileBytes(test::UnpackFixture("partitioned/gpt.img.gz", dir.path())));
    ASSERT_EQ(gpt.size(), 1u);
    EXPECT_TRUE(gpt[0].gpt);
    EXPECT_EQ(gpt[0].startSector, 2048u);
    EXPECT_EQ(gpt[0].sectorCount, 81920u);
    // A file system's own boot sector is no partition table.
    for (const char* boot : {"boot/fat16.img.gz", "boot/fat32.img.gz", "boot/ntfs.img.gz", "boot/fat12.img.gz"}) {
        auto bytes = test::ReadFileBytes(test::UnpackFixture(boot, dir.path()));
        EXPECT_FALSE(HoldsPartitionTable(ByteView(bytes))) << boot;
    }
}

TEST(PartitionTable, EntriesOutsideOverlappingOrLoopingAreLeftOutAndCutOnesKept) {
    std::vector<uint8_t> disk(4096 * 512, 0);
    PutEntry(disk, 0, 0x07, 100, 1000);
    PutEntry(disk, 1, 0x0C, 500, 1000);      // overlaps the first
    PutEntry(disk, 2, 0x83, 4000, 9999);     // runs past the disk's end: kept as far as it goes
    PutEntry(disk, 3, 0x05, 2000, 1000);     // extended, with a chain of logical ones
    std::vector<uint8_t> ebr(512, 0);
    PutEntry(ebr, 0, 0x06, 10, 100);
    PutEntry(ebr, 1, 0x05, 0, 100);          // names itself as the next: a loop
    std::memcpy(disk.data() + 2000 * 512, ebr.data(), 512);
    const auto entries = TableOf(disk);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].startSector, 100u);
    EXPECT_EQ(entries[1].startSector, 2010u);
    EXPECT_EQ(entries[1].number, 5u) << "logical partitions count from 5";
    EXPECT_FALSE(entries[1].cutShort);
    EXPECT_EQ(entries[2].startSector, 4000u);
    EXPECT_EQ(entries[2].sectorCount, 96u) << "what the disk holds of it";
    EXPECT_EQ(entries[2].claimedSectors, 9999u);
    EXPECT_TRUE(entries[2].cutShort);
    std::vector<uint8_t> gpt(64 * 512, 0);
    PutEntry(gpt, 0, 0xEE, 1, 63);
    std::memcpy(gpt.data() + 512, "EFI PART", 8);
    const uint64_t entriesLba = 2;
    const uint32_t count = 0xFFFFFFFF, size = 128;
    std::memcpy(gpt.data() + 512 + 72, &entriesLba, 8);
    std::memcpy(gpt.data() + 512 + 80, &count, 4);
    std::memcpy(gpt.data() + 512 + 84, &size, 4);
    EXPECT_TRUE(TableOf(gpt).empty()) << "a count beyond reason reads what is there and stops";
}

TEST(DiskInventory, ImagesListTheirVolumesGapsAndPositions) {
    test::TempDir dir;
    const auto mbr = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    test::WriteFileBytes(dir / "blank.img", std::vector<uint8_t>(8 << 20, 0));
    const int first = RegisterVirtualDisk(mbr);
    const int second = RegisterVirtualDisk(dir / "blank.img");
    DiskInventory inventory;
    ASSERT_EQ(inventory.Refresh(), 1);
    ASSERT_TRUE(inventory.Disks().count(first));
    const auto& volumes = inventory.Disks().at(first);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].fileSystemName, "FAT32");
    EXPECT_EQ(volumes[0].partitionType, 11) << "the type follows the file system";
    EXPECT_EQ(volumes[0].volumeLabel, "PARTFAT");
    EXPECT_EQ(volumes[0].startSector, 2048u) << "no gap before a partition one megabyte in";
    EXPECT_EQ(volumes[1].fileSystemName, "NTFS");
    EXPECT_EQ(volumes[1].partitionType, 7);
    EXPECT_EQ(volumes[2].partitionType, 0) << "the space after the partitions";
    EXPECT_EQ(volumes[2].startSector, 116736u);
    const auto& whole = inventory.Disks().at(second);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].startSector, 0u);
    EXPECT_EQ(whole[0].freeBytes, whole[0].totalBytes);
    // Positions number every entry of the list in order.
    std::vector<VolumeRecord> all;
    inventory.ListAll(all);
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].letter, i + 1);
    VolumeRecord record;
    size_t walked = 0;
    while (inventory.NextEntry(record)) ++walked;
    EXPECT_EQ(walked, all.size());

    UnregisterVirtualDisk(second);
    std::vector<VolumeRecord> removed;
    inventory.FindRemoved(all, removed);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].diskNumber, second);
    UnregisterVirtualDisk(first);
}

TEST(ImageCopy, UnreadableSectorsBecomeZerosAndAreListed) {
    test::TempDir dir;
    const auto bytes = test::PatternBytes(512 * 1024);
    auto medium = std::make_unique<test::FaultyMedium>(bytes);
    medium->FailSector(10);
    medium->FailSector(11);
    medium->FailSector(700);
    SectorSource source = SourceOverMedium(std::move(medium), 512);
    DiskCopyJob strict;
    EXPECT_EQ(strict.Copy(source, 512, 0, 0, dir / "strict.img", {}, nullptr, nullptr), kErrReadFault);
    EXPECT_FALSE(fs::exists(dir / "strict.img")) << "the copy stops at the first damage, and an empty image goes";
    EXPECT_TRUE(strict.keptAs.empty());
    DiskCopyJob job;
    job.skipBad = true;
    ASSERT_EQ(job.Copy(source, 512, 0, 0, dir / "rescued.img", {}, nullptr, nullptr), kOk);
    const auto image = test::ReadFileBytes(dir / "rescued.img");
    ASSERT_EQ(image.size(), bytes.size());
    for (uint64_t s = 0; s < bytes.size() / 512; ++s) {
        const bool bad = s == 10 || s == 11 || s == 700;
        const bool zeros = std::all_of(image.begin() + s * 512, image.begin() + (s + 1) * 512, [](uint8_t b) { return b == 0; });
        if (bad) {
            EXPECT_TRUE(zeros) << s;
        } else {
            EXPECT_TRUE(std::equal(image.begin() + s * 512, image.begin() + (s + 1) * 512, bytes.begin() + s * 512)) << s;
        }
    }
    EXPECT_EQ(job.badRanges, (std::vector<std::pair<uint64_t, uint64_t>>{{10, 2}, {700, 1}}));
}

}  // namespace
}  // namespace kestrune
