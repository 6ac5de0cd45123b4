// The device layer on a real block device: a read-only loop device over a fixture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "disk/block_devices.h"
#include "disk/result_codes.h"
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

}  // namespace
}  // namespace kestrune
