#include "disk/block_devices.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <fstream>

#include "base/result_codes.h"
#include "disk/sector_source.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

// A small sysfs and /dev: two SCSI disks (one with 4,096-byte sectors), a USB stick, a
// ram disk, a zram device and two loop devices, one of them without a backing file.
class FixtureTree : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path sys = dir_ / "sys";
        const fs::path dev = dir_ / "dev";
        fs::create_directories(dev);
        auto disk = [&](const std::string& name, uint64_t size512, int blockSize) {
            WriteText(sys / "block" / name / "size", std::to_string(size512));
            WriteText(sys / "block" / name / "queue" / "logical_block_size", std::to_string(blockSize));
            WriteText(sys / "block" / name / "removable", "0");
            test::WriteFileBytes(dev / name, test::PatternBytes(64 * 1024));
        };
        auto partition = [&](const std::string& diskName, const std::string& name, uint64_t start512,
                             uint64_t size512) {
            const fs::path p = sys / "block" / diskName / name;
            WriteText(p / "partition", "1");
            WriteText(p / "start", std::to_string(start512));
            WriteText(p / "size", std::to_string(size512));
            test::WriteFileBytes(dev / name, {});
        };
        disk("sda", 2097152, 512);
        partition("sda", "sda1", 2048, 1000000);
        partition("sda", "sda2", 1002048, 500000);
        disk("sdb", 65536, 4096);
        partition("sdb", "sdb2", 2048, 8192);
        // The stick's sysfs entry is a link into a USB bus path, as on a real machine.
        const fs::path usbDevice = sys / "devices" / "pci0000:00" / "usb1" / "1-1" / "host6" / "sdc";
        WriteText(usbDevice / "size", "30000");
        WriteText(usbDevice / "removable", "0");
        fs::create_symlink(usbDevice, sys / "block" / "sdc");
        test::WriteFileBytes(dev / "sdc", {});
        disk("ram0", 8192, 512);
        disk("zram0", 8192, 512);
        disk("loop0", 0, 512);
        disk("loop1", 4096, 512);
        WriteText(sys / "block" / "loop1" / "loop" / "backing_file", "/tmp/whatever.img");
        SetDeviceRoots({sys, dev});
    }
    void TearDown() override { SetDeviceRoots({}); }

    test::TempDir dir_;
};

TEST_F(FixtureTree, NumbersWholeDisksInNameOrderLeavingOutRamAndIdleLoops) {
    EXPECT_EQ(WholeDiskNames(), (std::vector<std::string>{"loop1", "sda", "sdb", "sdc"}));
    DiskLocation location;
    ASSERT_EQ(ResolveDisk(2, location), kOk);
    EXPECT_EQ(location.name, "sdb");
    EXPECT_EQ(location.path, dir_ / "dev" / "sdb");
    EXPECT_TRUE(location.isBlockDevice);
    EXPECT_EQ(ResolveDisk(4, location), kErrFileNotFound);
    EXPECT_EQ(ResolveDisk(-1, location), kErrFileNotFound);
}

TEST_F(FixtureTree, LocatesPartitionsInTheDisksOwnSectors) {
    DiskArea area;
    ASSERT_EQ(LocateBlockDevice(dir_ / "dev" / "sda2", area), kOk);
    EXPECT_EQ(area.disk, 1);
    EXPECT_TRUE(area.isPartition);
    EXPECT_EQ(area.startSector, 1002048u);
    EXPECT_EQ(area.sectorCount, 500000u);

    // sysfs counts in 512-byte units; a 4,096-byte-sector disk has eight per sector.
    ASSERT_EQ(LocateBlockDevice(dir_ / "dev" / "sdb2", area), kOk);
    EXPECT_EQ(area.disk, 2);
    EXPECT_EQ(area.bytesPerSector, 4096u);
    EXPECT_EQ(area.startSector, 256u);
    EXPECT_EQ(area.sectorCount, 1024u);

    ASSERT_EQ(LocateBlockDevice(dir_ / "dev" / "sdb", area), kOk);
    EXPECT_FALSE(area.isPartition);
    EXPECT_EQ(area.sectorCount, 8192u);

    fs::create_symlink(dir_ / "dev" / "sda1", dir_ / "by-label");
    ASSERT_EQ(LocateBlockDevice(dir_ / "by-label", area), kOk) << "links are followed";
    EXPECT_EQ(area.deviceName, "sda1");

    EXPECT_EQ(LocateBlockDevice(dir_ / "dev" / "nothing", area), kErrFileNotFound);
    test::WriteFileBytes(dir_ / "dev" / "ram0p1", {});
    EXPECT_EQ(LocateBlockDevice(dir_ / "dev" / "ram0p1", area), kErrFileNotFound);

    EXPECT_EQ(PartitionDeviceAt(1, 1002048), dir_ / "dev" / "sda2");
    EXPECT_EQ(PartitionDeviceAt(2, 256), dir_ / "dev" / "sdb2");
    EXPECT_EQ(PartitionDeviceAt(1, 5), fs::path());
}

TEST_F(FixtureTree, RemovableByFlagOrByUsbBus) {
    EXPECT_FALSE(IsRemovableDisk(1));
    EXPECT_TRUE(IsRemovableDisk(3)) << "sdc hangs off a USB bus";
    WriteText(dir_ / "sys" / "block" / "sda" / "removable", "1");
    EXPECT_TRUE(IsRemovableDisk(1));
    EXPECT_FALSE(IsRemovableDisk(99));
}

TEST_F(FixtureTree, DisksOpenThroughTheirDeviceNodes) {
    SectorSource source;
    ASSERT_EQ(OpenDiskSource(source, 1), kOk);
    EXPECT_EQ(source.totalSectors, 128u);
    uint64_t length = 0;
    EXPECT_EQ(DiskLengthBytes(length, 1), kOk);
    EXPECT_EQ(length, 64u * 1024);
    EXPECT_EQ(OpenDiskSource(source, 7), kErrFileNotFound);
    EXPECT_FALSE(source.IsOpen());
}

TEST(VirtualDisks, ImageFilesTakeNumbersFromTheFirstVirtualOne) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "a.img", test::PatternBytes(4096));
    test::WriteFileBytes(dir / "b.img", test::PatternBytes(8192));
    const int a = RegisterVirtualDisk(dir / "a.img");
    const int b = RegisterVirtualDisk(dir / "b.img");
    EXPECT_GE(a, kFirstVirtualDisk);
    EXPECT_NE(a, b);
    EXPECT_EQ(RegisterVirtualDisk(dir / "." / "a.img"), a) << "the same file keeps its number";
    SectorSource source;
    ASSERT_EQ(OpenDiskSource(source, b), kOk);
    EXPECT_EQ(source.totalSectors, 16u);
    UnregisterVirtualDisk(a);
    UnregisterVirtualDisk(b);
    EXPECT_EQ(OpenDiskSource(source, a), kErrFileNotFound);
}

TEST(VolumeQueries, FreeBytesAndFileSystemNames) {
    test::TempDir dir;
    uint64_t free = 0;
    ASSERT_EQ(VolumeFreeBytes(dir.path(), free), kOk);
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
    EXPECT_NEAR(static_cast<double>(free), static_cast<double>(vfs.f_bavail) * vfs.f_frsize, 64.0 * 1024 * 1024);
    EXPECT_EQ(VolumeFreeBytes(dir / "missing", free), kErrFileNotFound);

    const std::pair<const char*, const char*> expected[] = {
        {"boot/ntfs.img.gz", "NTFS"}, {"boot/fat12.img.gz", "FAT"}, {"boot/fat16.img.gz", "FAT"},
        {"boot/fat32.img.gz", "FAT32"}, {"boot/ext4.img.gz", "ext4"}};
    for (const auto& [fixture, name] : expected) {
        std::string fileSystem;
        EXPECT_EQ(VolumeFileSystemName(fileSystem, test::UnpackFixture(fixture, dir.path())), kOk);
        EXPECT_EQ(fileSystem, name) << fixture;
    }
    std::string fileSystem;
    EXPECT_EQ(VolumeFileSystemName(fileSystem, dir.path()), kOk);
    EXPECT_FALSE(fileSystem.empty()) << "a folder answers for the file system it lives on";
}

}  // namespace
}  // namespace kestrune
