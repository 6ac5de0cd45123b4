// The device layer on a real block device: a read-only loop device over a fixture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <cstdio>

#include "base/result_codes.h"
#include "cli/probe_command.h"
#include "disk/block_devices.h"
#include "disk/disk_inventory.h"
#include "disk/sector_source.h"
#include "engines/engine_factory.h"
#include "engines/ext/fast_ext_recovery.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

TEST(LoopDevice, OpensAsDiskNAndReadsTheSameBytesAsTheFile) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/ext4.img.gz", dir.path());
    test::LoopDevice loop(image);
    if (loop.device().empty()) GTEST_SKIP() << "needs root and loop device support";

    DiskArea area;
    ASSERT_EQ(LocateBlockDevice(loop.device(), area), kOk);
    EXPECT_FALSE(area.isPartition);
    SectorSource source;
    ASSERT_EQ(OpenDiskSource(source, area.disk), kOk);
    const auto expected = test::ReadFileBytes(image);
    ASSERT_EQ(source.totalSectors * 512, expected.size());
    std::vector<uint8_t> bytes(expected.size());
    uint32_t read = 0;
    ASSERT_EQ(ReadSectors(static_cast<uint32_t>(source.totalSectors), source, bytes.data(), 0, 512, read), kOk);
    EXPECT_EQ(bytes, expected);

    auto engine = EngineFactory::CreateEngineForDisk(area.disk, 0, area.sectorCount, '*', 0);
    ASSERT_NE(engine, nullptr);
    auto* ext = dynamic_cast<CFastExtRecovery*>(engine.get());
    ASSERT_NE(ext, nullptr);
    EXPECT_TRUE(ext->HoldsDisk());
}

TEST(LoopDevice, AUserWhoMayNotReadADiskIsToldHowToGetTheRight) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/fat16.img.gz", dir.path());
    test::LoopDevice loop(image);
    if (loop.device().empty()) GTEST_SKIP() << "needs root and loop device support";
    ASSERT_EQ(::chmod(loop.device().c_str(), 0660), 0);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // The probe as the user "nobody" would run it.
        ::close(pipeEnds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        std::ostringstream out, err;
        const int code = cli::RunProbe(loop.device(), "", out, err);
        const std::string text = err.str();
        if (::write(pipeEnds[1], text.data(), text.size()) < 0) ::_exit(3);
        ::_exit(code == 0 ? 4 : 0);
    }
    ::close(pipeEnds[1]);
    std::string message;
    char chunk[512];
    for (ssize_t n; (n = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;) message.append(chunk, static_cast<size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << message;
    EXPECT_NE(message.find("Access is denied"), std::string::npos) << message;
    EXPECT_NE(message.find("run kestrune as root"), std::string::npos) << message;
}

TEST(LoopDevice, TheDiskListNeedsNoRightToReadTheDisks) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/fat16.img.gz", dir.path());
    test::LoopDevice loop(image);
    if (loop.device().empty()) GTEST_SKIP() << "needs root and loop device support";
    ASSERT_EQ(::chmod(loop.device().c_str(), 0600), 0);
    const uint64_t bytes = test::ReadFileBytes(image).size();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        DiskInventory inventory;
        inventory.Refresh();
        for (const auto& [number, volumes] : inventory.Disks())
            for (const VolumeRecord& v : volumes)
                // Its length, rounded down to whole cylinders as the list counts disks.
                if (v.devicePath == loop.device() && v.totalBytes <= bytes && v.totalBytes + 255 * 63 * 512 > bytes)
                    ::_exit(0);
        ::_exit(3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the loop device is listed with its size for a user who may not open it";
}

TEST(LoopDevice, ADescriptorOpenedOnAUsersBehalfIsReadThrough) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/fat16.img.gz", dir.path());
    test::LoopDevice loop(image);
    if (loop.device().empty()) GTEST_SKIP() << "needs root and loop device support";
    ASSERT_EQ(::chmod(loop.device().c_str(), 0600), 0);
    const auto expected = test::ReadFileBytes(image);
    // What a service with the right (UDisks2) hands over: a descriptor opened read-only.
    const int handed = ::open(loop.device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(handed, 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        DiskArea area;
        SectorSource source;
        if (LocateBlockDevice(loop.device(), area) != kOk) ::_exit(3);
        if (OpenDiskSource(source, area.disk) != kErrAccessDenied) ::_exit(4);  // by its path: refused
        if (!AdoptDescriptor(loop.device(), handed)) ::_exit(5);
        ::close(handed);
        if (OpenDiskSource(source, area.disk) != kOk || source.totalSectors * 512 != expected.size()) ::_exit(6);
        std::vector<uint8_t> bytes(expected.size());
        uint32_t read = 0;
        if (ReadSectors(static_cast<uint32_t>(source.totalSectors), source, bytes.data(), 0, 512, read) != kOk ||
            bytes != expected)
            ::_exit(7);
        ::_exit(0);
    }
    ::close(handed);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2 privileges, 3 locate, 4 opened without the right, 5 adopt, 6 open, 7 read";
}

}  // namespace
}  // namespace kestrune
