#include "disk/disk_copy.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct CopyCalls {
    std::vector<int> percents;
    std::vector<int> secondsRemaining;
    std::vector<uint64_t> sectorsDone;
    uint64_t total = 0;
    size_t stopAtCall = SIZE_MAX;
    int stopValue = 0;
};

int RecordProgress(void* user, int percent, uint64_t done, uint64_t total, int seconds) {
    auto* calls = static_cast<CopyCalls*>(user);
    calls->percents.push_back(percent);
    calls->sectorsDone.push_back(done);
    calls->secondsRemaining.push_back(seconds);
    calls->total = total;
    return calls->percents.size() == calls->stopAtCall ? calls->stopValue : 0;
}

class DiskCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        source_ = test::PatternBytes(2 * 1024 * 1024 + 512 * 7);  // not a whole number of pieces
        test::WriteFileBytes(dir_ / "disk.img", source_);
        disk_ = RegisterVirtualDisk(dir_ / "disk.img");
        ASSERT_GE(disk_, kFirstVirtualDisk);
    }
    void TearDown() override { UnregisterVirtualDisk(disk_); }

    std::vector<uint8_t> Slice(uint64_t startSector, uint64_t count) const {
        return {source_.begin() + static_cast<long>(startSector * 512),
                source_.begin() + static_cast<long>((startSector + count) * 512)};
    }

    test::TempDir dir_;
    std::vector<uint8_t> source_;
    int disk_ = -1;
};

TEST_F(DiskCopyTest, CopiesExactlyThePartitionsBytes) {
    DiskCopyJob job;
    CopyCalls calls;
    ASSERT_EQ(job.Run(disk_, 100, 300, dir_ / "part.img", RecordProgress, &calls), kOk);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "part.img"), Slice(100, 300));
    EXPECT_EQ(calls.total, 300u);
    EXPECT_EQ(calls.percents.back(), 100);
    EXPECT_EQ(calls.sectorsDone.back(), 300u);
}

TEST_F(DiskCopyTest, CountZeroCopiesTheRestOfTheDisk) {
    DiskCopyJob job;
    ASSERT_EQ(job.Run(disk_, 0, 0, dir_ / "whole.img", nullptr, nullptr), kOk);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "whole.img"), source_);
    const uint64_t sectors = source_.size() / 512;
    ASSERT_EQ(job.Run(disk_, 10, 0, dir_ / "tail.img", nullptr, nullptr), kOk);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "tail.img"), Slice(10, sectors - 10));
}

TEST_F(DiskCopyTest, CallbackStopsAfterTheCurrentPieceAndClosesEverything) {
    const size_t descriptorsBefore = test::OpenDescriptorCount();
    DiskCopyJob job;
    CopyCalls calls;
    calls.stopAtCall = 2;
    calls.stopValue = CancelCode;
    EXPECT_EQ(job.Run(disk_, 0, 0, dir_ / "cut.img", RecordProgress, &calls), CancelCode);
    EXPECT_EQ(calls.percents.size(), 2u);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "cut.partial.img"), Slice(0, 256)) << "two pieces of 64 KiB";
    EXPECT_EQ(job.keptAs, dir_ / "cut.partial.img");
    EXPECT_FALSE(fs::exists(dir_ / "cut.img")) << "a cut image never passes for a copy";
    EXPECT_EQ(test::OpenDescriptorCount(), descriptorsBefore);

    EXPECT_EQ(job.Run(disk_, 0, 100000, dir_ / "past.img", nullptr, nullptr), kErrInvalidParameter);
    EXPECT_FALSE(fs::exists(dir_ / "past.img"));
    EXPECT_EQ(job.Run(kLastDiskNumber, 0, 0, dir_ / "x.img", nullptr, nullptr), kErrFileNotFound);
    EXPECT_EQ(test::OpenDescriptorCount(), descriptorsBefore);
}

TEST_F(DiskCopyTest, TimeLeftIsUnknownForTheFirstFiveSeconds) {
    DiskCopyJob job;
    uint64_t now = 0;
    job.clockMs = [&now] {
        const uint64_t t = now;
        now += 1000;  // every piece takes one second
        return t;
    };
    CopyCalls calls;
    ASSERT_EQ(job.Run(disk_, 0, 2048, dir_ / "timed.img", RecordProgress, &calls), kOk);
    ASSERT_EQ(calls.secondsRemaining.size(), 16u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(calls.secondsRemaining[i], -1) << "piece " << i;
    // At 5 s, five 64 KiB pieces are done: 64 KiB/s with eleven pieces left.
    EXPECT_EQ(calls.secondsRemaining[4], 11);
    EXPECT_EQ(calls.secondsRemaining[5], 11) << "the estimate is kept between updates";
    EXPECT_EQ(calls.secondsRemaining[9], 6);
}

TEST_F(DiskCopyTest, ALongerOldFileIsCutToTheCopiedBytes) {
    test::WriteFileBytes(dir_ / "old.img", std::vector<uint8_t>(3 * 1024 * 1024, 0xEE));
    DiskCopyJob job;
    ASSERT_EQ(job.Run(disk_, 0, 300, dir_ / "old.img", nullptr, nullptr), kOk);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "old.img"), Slice(0, 300));

    test::WriteFileBytes(dir_ / "old.img", std::vector<uint8_t>(3 * 1024 * 1024, 0xEE));
    CopyCalls calls;
    calls.stopAtCall = 1;
    calls.stopValue = CancelCode;
    ASSERT_EQ(job.Run(disk_, 0, 0, dir_ / "old.img", RecordProgress, &calls), CancelCode);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "old.partial.img"), Slice(0, 128));
}

TEST_F(DiskCopyTest, NeverWritesOverItsSourceOrIntoAFolder) {
    DiskCopyJob job;
    EXPECT_EQ(job.Run(disk_, 0, 0, dir_ / "disk.img", nullptr, nullptr), kErrAccessDenied);
    EXPECT_EQ(test::ReadFileBytes(dir_ / "disk.img"), source_);
    EXPECT_EQ(job.Run(disk_, 0, 0, dir_.path(), nullptr, nullptr), kErrDirectory);
    EXPECT_EQ(job.Run(disk_, 0, 0, "/dev/null", nullptr, nullptr), kErrAccessDenied);
}

}  // namespace
}  // namespace kestrune
