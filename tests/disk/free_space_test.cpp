// The free space of unmounted volumes from their own metadata, against what the tools of
// each file system say of the same fixtures: mtools' mdir ("bytes free") for FAT, dumpe2fs
// (free blocks) for ext4, and df on the card mounted through exfat-fuse for exFAT.
#include <gtest/gtest.h>

#include "disk/free_space.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

VolumeReader ReaderOf(const std::vector<uint8_t>& volume) {
    return [&volume](uint64_t offset, size_t length, std::vector<uint8_t>& out) {
        if (offset > volume.size() || length > volume.size() - offset) return false;
        out.assign(volume.begin() + static_cast<long>(offset), volume.begin() + static_cast<long>(offset + length));
        return true;
    };
}

TEST(FreeSpace, EachFileSystemSaysWhatItsOwnToolsSay) {
    test::TempDir dir;
    const struct {
        const char* fixture;
        const char* fileSystem;
        uint64_t free;
    } volumes[] = {
        {"fat/fat12.img.gz", "FAT", 1'444'864},      {"fat/fat16.img.gz", "FAT", 16'705'536},
        {"fat/fat32.img.gz", "FAT32", 15'526'400},   {"exfat/card.img.gz", "exFAT", 14'635'008},
        {"ext/ext4.img.gz", "ext4", 4703ull * 4096},
    };
    for (const auto& v : volumes) {
        const std::vector<uint8_t> volume = test::ReadFileBytes(test::UnpackFixture(v.fixture, dir.path()));
        EXPECT_EQ(MetadataFreeBytes(v.fileSystem, ReaderOf(volume)), v.free) << v.fixture;
    }
}

TEST(FreeSpace, WhatTheMetadataDoesNotSayIsUnknown) {
    test::TempDir dir;
    std::vector<uint8_t> fat32 = test::ReadFileBytes(test::UnpackFixture("fat/fat32.img.gz", dir.path()));
    // The FSInfo count left unknown by the driver, or beyond the volume's clusters.
    const size_t info = size_t{fat32[48]} * 512 + 488;
    for (const uint32_t count : {0xFFFFFFFFu, 0x7FFFFFFFu}) {
        std::copy_n(reinterpret_cast<const uint8_t*>(&count), 4, fat32.begin() + static_cast<long>(info));
        EXPECT_EQ(MetadataFreeBytes("FAT32", ReaderOf(fat32)), std::nullopt);
    }
    // NTFS keeps it only in its bitmap; a name not known, a cut volume and zeros say nothing.
    const std::vector<uint8_t> ntfs = test::ReadFileBytes(test::UnpackFixture("ntfs/deleted.img.gz", dir.path()));
    EXPECT_EQ(MetadataFreeBytes("NTFS", ReaderOf(ntfs)), std::nullopt);
    EXPECT_EQ(MetadataFreeBytes("btrfs", ReaderOf(ntfs)), std::nullopt);
    const std::vector<uint8_t> zeros(1 << 16);
    for (const char* name : {"FAT", "FAT32", "exFAT", "ext4"}) {
        EXPECT_EQ(MetadataFreeBytes(name, ReaderOf(zeros)), std::nullopt) << name;
        EXPECT_EQ(MetadataFreeBytes(name, ReaderOf({})), std::nullopt) << name;
    }
}

}  // namespace
}  // namespace kestrune
