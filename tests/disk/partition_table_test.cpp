#include "disk/partition_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/disk_copy.h"
#include "disk/disk_inventory.h"
#include "scanlog/file_types.h"
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

struct Layout {
    uint32_t sectorSize = 512;
    nlohmann::json partitions;
};

Layout LayoutOf(const std::string& image) {
    const auto all = nlohmann::json::parse(std::ifstream(test::FixturePath("partitioned/layouts.json")));
    return {all[image]["sectorSize"].get<uint32_t>(), all[image]["partitions"]};
}

std::vector<PartitionEntry> TableOf(std::vector<uint8_t> bytes, uint32_t sectorSize) {
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), sectorSize);
    std::vector<PartitionEntry> entries;
    ReadPartitionTable(source, sectorSize, source.totalSectors, entries);
    return entries;
}

void ExpectLayout(const std::vector<PartitionEntry>& entries, const Layout& layout, const std::string& what) {
    ASSERT_EQ(entries.size(), layout.partitions.size()) << what;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].number, layout.partitions[i]["number"].get<uint32_t>()) << what << " " << i;
        EXPECT_EQ(entries[i].startSector, layout.partitions[i]["start"].get<uint64_t>()) << what << " " << i;
        EXPECT_EQ(entries[i].sectorCount, layout.partitions[i]["sectors"].get<uint64_t>()) << what << " " << i;
    }
}

TEST(PartitionTable, ExtendedChainsGptsOfEveryKindAndLargeSectorsAsToolsWriteThem) {
    test::TempDir dir;
    // Four logical partitions, one of whose records lists its link first.
    const auto chain = test::ReadFileBytes(test::UnpackFixture("partitioned/dos_chain.img.gz", dir.path()));
    ExpectLayout(TableOf(chain, 512), LayoutOf("dos_chain"), "dos_chain");
    // Every GPT entry, whatever it holds, with its name.
    auto mixed = test::ReadFileBytes(test::UnpackFixture("partitioned/gpt_mixed.img.gz", dir.path()));
    const auto entries = TableOf(mixed, 512);
    ExpectLayout(entries, LayoutOf("gpt_mixed"), "gpt_mixed");
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].name, "Windows data");
    EXPECT_EQ(entries[5].name, "spare");
    // The GPT at the start wiped: its backup at the disk's end still tells the table.
    std::fill(mixed.begin() + 512, mixed.begin() + 1024, 0);
    ExpectLayout(TableOf(mixed, 512), LayoutOf("gpt_mixed"), "gpt_mixed without its first header");
    // Both headers gone from a hybrid MBR: its own entries stand; the protective one does not.
    std::fill(mixed.end() - 512, mixed.end(), 0);
    PutEntry(mixed, 1, 0x07, 2048, 24576);
    const auto hybrid = TableOf(mixed, 512);
    ASSERT_EQ(hybrid.size(), 1u);
    EXPECT_EQ(hybrid[0].number, 2u);
    EXPECT_EQ(hybrid[0].mbrType, 0x07);
    // A disk of 4096-byte sectors: its image says so, and its table is read in them.
    const auto large = test::ReadFileBytes(test::UnpackFixture("partitioned/sector4k.img.gz", dir.path()));
    EXPECT_EQ(SectorSizeOfImage(ByteView(large)), 4096u);
    EXPECT_EQ(SectorSizeOfImage(ByteView(chain)), 512u);
    EXPECT_EQ(SectorSizeOfImage(ByteView(mixed).sub(0, 600)), 512u);
    ExpectLayout(TableOf(large, 4096), LayoutOf("sector4k"), "sector4k");
}

// Our names for file systems as blkid's TYPE gives them ("FAT32" and "FAT" are "vfat").
std::string AsBlkidNames(const std::string& name) {
    const std::string lower = AsciiLower(name);
    return lower == "fat32" || lower == "fat" ? "vfat" : lower;
}

TEST(DiskInventory, EveryPartitionIsARowWithWhatItHoldsAndSizesAreExact) {
    test::TempDir dir;
    for (const char* name : {"dos_chain", "gpt_mixed", "sector4k"}) {
        const fs::path image = test::UnpackFixture(std::string("partitioned/") + name + ".img.gz", dir.path());
        const Layout layout = LayoutOf(name);
        const int disk = RegisterVirtualDisk(image);
        EXPECT_EQ(SectorBytesOf(disk), layout.sectorSize) << name;
        DiskInventory inventory;
        ASSERT_EQ(inventory.Refresh(), 1);
        std::vector<VolumeRecord> partitions;
        for (const VolumeRecord& v : inventory.Disks().at(disk))
            if (v.partitionType != 0) partitions.push_back(v);
        ASSERT_EQ(partitions.size(), layout.partitions.size()) << name;
        for (size_t i = 0; i < partitions.size(); ++i) {
            const nlohmann::json& expected = layout.partitions[i];
            EXPECT_EQ(partitions[i].startSector, expected["start"].get<uint64_t>()) << name << " " << i;
            EXPECT_EQ(partitions[i].sectorCount, expected["sectors"].get<uint64_t>()) << name << " " << i;
            EXPECT_EQ(AsBlkidNames(partitions[i].fileSystemName), expected["fileSystem"].get<std::string>())
                << name << " " << i;
            EXPECT_EQ(partitions[i].volumeLabel, expected["label"].get<std::string>()) << name << " " << i;
        }
        UnregisterVirtualDisk(disk);
    }

    // A disk with no table is one row, to its last sector (not to a whole cylinder).
    test::WriteFileBytes(dir / "blank.img", std::vector<uint8_t>((1 << 20) * 9 + 512 * 7, 0));
    const int blank = RegisterVirtualDisk(dir / "blank.img");
    DiskInventory inventory;
    ASSERT_EQ(inventory.Refresh(), 1);
    ASSERT_EQ(inventory.Disks().at(blank).size(), 1u);
    EXPECT_EQ(inventory.Disks().at(blank)[0].sectorCount, 9u * 2048 + 7);
    UnregisterVirtualDisk(blank);

    // Two file systems in one partition (an ext2 superblock written into an NTFS volume's
    // boot area): both are named.
    auto chain = test::ReadFileBytes(test::UnpackFixture("partitioned/dos_chain.img.gz", dir.path()));
    std::copy_n(chain.begin() + 20480 * 512 + 1024, 1024, chain.begin() + 30720 * 512 + 1024);
    test::WriteFileBytes(dir / "two.img", chain);
    const int two = RegisterVirtualDisk(dir / "two.img");
    ASSERT_EQ(inventory.Refresh(), 1);
    const auto& rows = inventory.Disks().at(two);
    const auto both = std::find_if(rows.begin(), rows.end(), [](const VolumeRecord& v) { return v.startSector == 30720; });
    ASSERT_NE(both, rows.end());
    std::vector<std::string> names{both->fileSystemName};
    names.insert(names.end(), both->otherFileSystems.begin(), both->otherFileSystems.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"NTFS", "ext2"}));
    UnregisterVirtualDisk(two);
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
