// Several targets scanned as one operation: one progress across them, one cancel for all.
#include "session/target_scans.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::vector<ScanSource> TwoVolumes(const test::TempDir& dir) {
    std::vector<ScanSource> targets;
    for (const char* fixture : {"ntfs/deleted.img.gz", "fat/fat16.img.gz"}) {
        ScanSource source;
        std::string error;
        EXPECT_EQ(ResolveScanSource(test::UnpackFixture(fixture, dir.path()).string(), 0, source, error), kOk) << error;
        targets.push_back(source);
    }
    return targets;
}

TEST(TargetScans, ProgressRunsOnceFromNothingToAHundredAcrossAllTargets) {
    test::TempDir dir;
    std::vector<RunProgress> reports;
    TargetScanSettings settings;
    settings.sink = [&](const RunProgress& progress) { reports.push_back(progress); };
    std::vector<size_t> begun;
    std::vector<uint64_t> found;
    const int rc = ScanEachTarget(
        TwoVolumes(dir), settings,
        [&](size_t i) {
            begun.push_back(i);
            return true;
        },
        [&](size_t, std::unique_ptr<ScanRun> run, int result) {
            EXPECT_EQ(result, kOk) << run->problem();
            found.push_back(static_cast<uint64_t>(run->filesFound()));
        });
    EXPECT_EQ(rc, kOk);
    EXPECT_EQ(begun, (std::vector<size_t>{0, 1}));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_GT(found[0], 0u);
    EXPECT_GT(found[1], 0u);
    ASSERT_FALSE(reports.empty());
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].percent, reports[i - 1].percent) << "report " << i;
        EXPECT_GE(reports[i].target, reports[i - 1].target) << "report " << i;
    }
    EXPECT_LE(reports.front().percent, 50) << "the first target covers the first half";
    EXPECT_EQ(reports.back().target, 1);
    EXPECT_EQ(reports.back().percent, 100);
}

TEST(TargetScans, ACancelDuringOneTargetLeavesTheOthersUnscanned) {
    test::TempDir dir;
    CancelToken cancel;
    TargetScanSettings settings;
    settings.sink = [&](const RunProgress&) { cancel.Cancel(); };
    settings.cancel = &cancel;
    int begun = 0, ended = 0;
    const int rc = ScanEachTarget(
        TwoVolumes(dir), settings,
        [&](size_t) {
            ++begun;
            return true;
        },
        [&](size_t, std::unique_ptr<ScanRun>, int result) {
            ++ended;
            EXPECT_EQ(result, CancelCode);
        });
    EXPECT_EQ(rc, CancelCode);
    EXPECT_EQ(begun, 1);
    EXPECT_EQ(ended, 1);
}

TEST(TargetScans, ATargetRefusedBeforeItsScanIsPassedOver) {
    test::TempDir dir;
    std::vector<size_t> scanned;
    const int rc = ScanEachTarget(
        TwoVolumes(dir), {}, [](size_t i) { return i == 1; },
        [&](size_t i, std::unique_ptr<ScanRun>, int) { scanned.push_back(i); });
    EXPECT_EQ(rc, kOk);
    EXPECT_EQ(scanned, std::vector<size_t>{1});
}

}  // namespace
}  // namespace kestrune
