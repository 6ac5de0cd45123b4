// The device layer on a real block device: a read-only loop device over a fixture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "disk/block_devices.h"
#include "disk/result_codes.h"
#include "disk/sector_source.h"
#include "engines/engine_factory.h"
#include "engines/fast_ext_recovery.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

// Attaches an image read-only to a free loop device and detaches it in every case.
class LoopDevice {
public:
    explicit LoopDevice(const std::filesystem::path& image) {
        if (::geteuid() != 0) return;
        const std::string command = "losetup -r -f --show '" + image.string() + "' 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return;
        char line[256] = {};
        if (std::fgets(line, sizeof line, pipe)) device_ = line;
        ::pclose(pipe);
        while (!device_.empty() && device_.back() == '\n') device_.pop_back();
    }
    ~LoopDevice() {
        if (!device_.empty()) std::system(("losetup -d " + device_ + " 2>/dev/null").c_str());
    }
    const std::string& device() const { return device_; }

private:
    std::string device_;
};

TEST(LoopDevice, OpensAsDiskNAndReadsTheSameBytesAsTheFile) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/ext4.img.gz", dir.path());
    LoopDevice loop(image);
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

}  // namespace
}  // namespace kestrune
