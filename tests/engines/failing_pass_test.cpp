// A deep pass over a failing disk: the good data after a bad area is swept before any time
// goes into the area again, a dead stretch costs a few failed reads and not one per block,
// and a bad sector in a block loses only itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "base/result_codes.h"
#include "disk/bad_areas.h"
#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using test::CountingMedium;

TEST(FailingPass, GoodDataFirstAFewReadsOfADeadStretchAndABadSectorLosesOnlyItself) {
    test::TempDir dir;
    constexpr uint64_t kMiB = 1 << 20;
    std::vector<uint8_t> bytes(4 * kMiB, 0);
    const auto jpeg = test::CarveFixture("photo.jpg");
    ASSERT_LT(jpeg.size(), 60u * 1024);
    // A photo 8 KiB into a block whose sector 8 is bad; one just after a dead MiB, which the
    // pass skips over at first; one further on.
    constexpr uint64_t kNearBad = 128 * 1024 + 8192, kJustAfterDead = 2 * kMiB + 64 * 1024, kAfterDead = 3 * kMiB;
    for (uint64_t at : {kNearBad, kJustAfterDead, kAfterDead}) std::memcpy(bytes.data() + at, jpeg.data(), jpeg.size());
    test::WriteFileBytes(dir / "failing.img", bytes);
    test::FaultyMedium faulty(bytes);
    faulty.FailSector(128 * 2 + 8);
    for (uint64_t s = kMiB / 512; s < 2 * kMiB / 512; ++s) faulty.FailSector(s);
    auto counting = std::make_unique<CountingMedium>(faulty);
    CountingMedium* disk = counting.get();

    auto engine = EngineFactory::CreateEngineForImage(dir / "failing.img", 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    pass->UsePassSource(SourceOverMedium(std::make_unique<BadAreaMedium>(std::move(counting), 512), 512));
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    std::vector<ScanRecord> found;
    ASSERT_EQ(pass->SearchByExtension(BuildSearchPattern({"jpg"}), found), kOk);
    std::set<std::string> names;
    for (const ScanRecord& r : found) names.insert(std::string(RecordName(r)));
    EXPECT_TRUE(names.count(std::to_string(kNearBad / 512) + ".jpg")) << "the photo beside a bad sector";
    EXPECT_TRUE(names.count(std::to_string(kJustAfterDead / 512) + ".jpg")) << "the photo the pass came back for";
    EXPECT_TRUE(names.count(std::to_string(kAfterDead / 512) + ".jpg")) << "the photo after the dead stretch";
    // The photo after the dead MiB came after a few failed reads of it, not one per block.
    const size_t photoRead = disk->FirstReadIn(kAfterDead, kAfterDead + 512);
    ASSERT_LT(photoRead, disk->reads.size());
    size_t deadBefore = 0;
    for (size_t i = 0; i < photoRead; ++i) deadBefore += disk->reads[i].first < 2 * kMiB && kMiB < disk->reads[i].second;
    EXPECT_LE(deadBefore, 6u);
    EXPECT_LE(disk->ReadsIn(kMiB, 2 * kMiB), 24u) << "a dead MiB is 16 blocks; it is not read sector by sector";
    // The bad sector reached the disk twice at most: in its block's read, and alone.
    EXPECT_LE(disk->ReadsIn((128 * 2 + 8) * 512, (128 * 2 + 9) * 512), 2u);
}

}  // namespace
}  // namespace kestrune
