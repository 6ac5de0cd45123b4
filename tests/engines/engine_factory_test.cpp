#include "engines/engine_factory.h"

#include "engines/boot_classifier.h"

#include <gtest/gtest.h>

#include "disk/block_devices.h"
#include "engines/ext/fast_ext_recovery.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

TEST(EngineFactory, ExtImagesGetTheExtEngine) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/ext4k.img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    ASSERT_NE(engine, nullptr);
    auto* ext = dynamic_cast<CFastExtRecovery*>(engine.get());
    ASSERT_NE(ext, nullptr);
    EXPECT_TRUE(ext->HoldsDisk());
    EXPECT_EQ(engine->BuildAllocationMap(), kOk);
}

TEST(EngineFactory, UnreadableOrUnknownAreasGiveNoQuickEngine) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "zeros.img", std::vector<uint8_t>(1 << 20, 0));
    EXPECT_EQ(EngineFactory::CreateEngineForImage(dir / "zeros.img", 1001, 0), nullptr);
    test::WriteFileBytes(dir / "short.img", std::vector<uint8_t>(kBootAreaBytes - 1, 0));
    EXPECT_EQ(EngineFactory::CreateEngineForImage(dir / "short.img", 1001, 0), nullptr);
    EXPECT_EQ(EngineFactory::CreateEngineForImage(dir / "missing.img", 1001, 0), nullptr);
    std::vector<uint8_t> area;
    // A source shorter than the boot area is read for what it holds, so it can be carved.
    EXPECT_EQ(EngineFactory::ReadBootAreaOfImage(dir / "short.img", area), kOk);
    EXPECT_EQ(area.size(), kBootAreaBytes);
    EXPECT_NE(EngineFactory::CreateEngineForImage(dir / "short.img", 1001, 1), nullptr);
    test::WriteFileBytes(dir / "empty.img", {});
    EXPECT_EQ(EngineFactory::ReadBootAreaOfImage(dir / "empty.img", area), kErrReadFault);
    EXPECT_EQ(EngineFactory::ReadBootAreaOfImage(dir / "missing.img", area), kErrFileNotFound);
}

TEST(EngineFactory, DiskAreasAreClassifiedAtTheirOwnStart) {
    test::TempDir dir;
    // A "disk" with 1 MiB of nothing, then an ext4 volume.
    auto disk = std::vector<uint8_t>(1 << 20, 0);
    const auto volume = test::ReadFileBytes(test::UnpackFixture("boot/ext4.img.gz", dir.path()));
    disk.insert(disk.end(), volume.begin(), volume.end());
    test::WriteFileBytes(dir / "disk.img", disk);
    const int number = RegisterVirtualDisk(dir / "disk.img");
    ASSERT_GE(number, 0);

    auto engine = EngineFactory::CreateEngineForDisk(number, 2048, volume.size() / 512, '*', 0);
    ASSERT_NE(engine, nullptr);
    auto* ext = dynamic_cast<CFastExtRecovery*>(engine.get());
    ASSERT_NE(ext, nullptr);
    EXPECT_TRUE(ext->HoldsDisk());
    EXPECT_EQ(EngineFactory::CreateEngineForDisk(number, 0, 2048, '*', 0), nullptr);
    EXPECT_EQ(EngineFactory::CreateEngineForDisk(number, disk.size() / 512, 1, '*', 0), nullptr)
        << "an area past the end cannot be read";
    UnregisterVirtualDisk(number);
}

}  // namespace
}  // namespace kestrune
