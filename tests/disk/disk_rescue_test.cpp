// Copying a failing disk as GNU ddrescue does: every good byte is safe before any time
// goes into the bad areas, no byte is read twice once rescued, the map is one ddrescuelog
// reads, and a copy stopped part-way (by us or made by ddrescue) goes on from its map.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>

#include "base/result_codes.h"
#include "disk/disk_copy.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// A failing medium that remembers every read it answered whole, and the phase of the copy
// it came in.
class RecordingMedium final : public Medium {
public:
    explicit RecordingMedium(test::FaultyMedium& inner) : inner_(inner) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        const int rc = inner_.ReadAt(offset, buffer, length, got);
        if (rc == kOk && got > 0) good.push_back({offset, offset + got});
        if (length < 4096) ++smallReads;
        return rc;
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    std::vector<std::pair<uint64_t, uint64_t>> good;
    size_t smallReads = 0;

private:
    test::FaultyMedium& inner_;
};

constexpr uint64_t kDiskBytes = 8u << 20;
// Bad sectors: one alone, a run of four, and a stretch of 300 (150 KiB) near the end.
const std::vector<std::pair<uint64_t, uint64_t>> kBad = {{100, 1}, {5000, 4}, {15000, 300}};

bool IsBad(uint64_t sector) {
    for (const auto& [first, count] : kBad)
        if (sector >= first && sector < first + count) return true;
    return false;
}

struct FailingDisk {
    std::vector<uint8_t> bytes = test::PatternBytes(kDiskBytes);
    test::FaultyMedium faulty{bytes};
    std::deque<SectorSource> sources;
    FailingDisk() {
        for (const auto& [first, count] : kBad)
            for (uint64_t s = first; s < first + count; ++s) faulty.FailSector(s);
    }
    // Copies through a recorder; stopAt: the report at which the copy is stopped (0: never).
    int Copy(const fs::path& image, bool resume, int stopAt, RecordingMedium*& recorder, DiskCopyJob& job) {
        auto medium = std::make_unique<RecordingMedium>(faulty);
        recorder = medium.get();
        // Kept, so that the recorder outlives the copy.
        sources.push_back(SourceOverMedium(std::move(medium), 512));
        SectorSource& source = sources.back();
        job.skipBad = true;
        job.resume = resume;
        struct Stop {
            int at, calls = 0;
        } stop{stopAt};
        return job.Copy(source, 512, 0, 0, image, {},
                        [](void* user, int, uint64_t, uint64_t, int) {
                            auto* s = static_cast<Stop*>(user);
                            return s->at && ++s->calls >= s->at ? CancelCode : 0;
                        },
                        &stop);
    }
    void ExpectImage(const fs::path& image) const {
        const auto copied = test::ReadFileBytes(image);
        ASSERT_EQ(copied.size(), bytes.size());
        for (uint64_t s = 0; s < kDiskBytes / 512; ++s) {
            const auto at = copied.begin() + static_cast<long>(s * 512);
            if (IsBad(s)) EXPECT_TRUE(std::all_of(at, at + 512, [](uint8_t b) { return b == 0; })) << s;
            else EXPECT_TRUE(std::equal(at, at + 512, bytes.begin() + static_cast<long>(s * 512))) << s;
        }
    }
};

// How many bytes the good reads covered more than once.
uint64_t ReadTwice(std::vector<std::pair<uint64_t, uint64_t>> reads) {
    std::sort(reads.begin(), reads.end());
    uint64_t twice = 0, reached = 0;
    for (const auto& [from, to] : reads) {
        if (from < reached) twice += std::min(to, reached) - from;
        reached = std::max(reached, to);
    }
    return twice;
}

TEST(DiskRescue, GoodDataFirstNoByteReadTwiceAndAMapDdrescuelogReads) {
    test::TempDir dir;
    FailingDisk disk;
    RecordingMedium* recorder = nullptr;
    DiskCopyJob job;
    ASSERT_EQ(disk.Copy(dir / "disk.img", false, 0, recorder, job), kOk);
    disk.ExpectImage(dir / "disk.img");
    EXPECT_EQ(ReadTwice(recorder->good), 0u);
    // Every good cluster came in the copy passes: the sector-sized reads after them only
    // ever met the clusters that held a bad sector.
    uint64_t bigReads = 0, lastBig = 0;
    for (size_t i = 0; i < recorder->good.size(); ++i)
        if (recorder->good[i].second - recorder->good[i].first >= 4096) {
            bigReads += recorder->good[i].second - recorder->good[i].first;
            lastBig = i;
        }
    EXPECT_GE(bigReads, kDiskBytes - 5 * 64 * 1024) << "all but the clusters with bad sectors came whole";
    for (size_t i = 0; i < lastBig; ++i)
        EXPECT_GE(recorder->good[i].second - recorder->good[i].first, 4096u) << "a sector read before the good data";
    // The map: exactly the bad sectors bad, everything else rescued.
    EXPECT_EQ(job.map.Bytes('-'), 305u * 512);
    EXPECT_EQ(job.map.Bytes('+'), kDiskBytes - 305u * 512);
    EXPECT_EQ(job.map.currentStatus, '+');
    EXPECT_EQ(job.badRanges, kBad);
    ASSERT_TRUE(fs::exists(dir / "disk.img.map"));
    if (std::system("command -v ddrescuelog > /dev/null") != 0) GTEST_SKIP() << "ddrescuelog is not installed";
    const std::string check = "ddrescuelog -t '" + (dir / "disk.img.map").string() + "' > '" + (dir / "t").string() + "'";
    ASSERT_EQ(std::system(check.c_str()), 0);
    std::ifstream in(dir / "t");
    const std::string told((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(told.find("in      3 area(s)"), std::string::npos) << told;  // the three bad areas
}

TEST(DiskRescue, AStoppedCopyGoesOnFromItsMapWithoutReadingAgain) {
    test::TempDir dir;
    FailingDisk disk;
    // Stopped in the copy passes, and again while the failed areas are trimmed.
    for (const int stopAt : {20, 140}) {
        const fs::path image = dir / ("stopped-" + std::to_string(stopAt) + ".img");
        RecordingMedium* first = nullptr;
        DiskCopyJob stopped;
        ASSERT_EQ(disk.Copy(image, false, stopAt, first, stopped), CancelCode);
        EXPECT_TRUE(fs::exists(image)) << "a stopped rescue keeps its name: its map says what is missing";
        auto reads = first->good;
        RecordingMedium* second = nullptr;
        DiskCopyJob resumed;
        ASSERT_EQ(disk.Copy(image, true, 0, second, resumed), kOk);
        reads.insert(reads.end(), second->good.begin(), second->good.end());
        EXPECT_EQ(ReadTwice(reads), 0u) << stopAt;
        disk.ExpectImage(image);
    }
}

TEST(DiskRescue, ACopyDdrescueBeganIsFinished) {
    if (std::system("command -v ddrescue > /dev/null") != 0) GTEST_SKIP() << "GNU ddrescue is not installed";
    test::TempDir dir;
    FailingDisk disk;
    test::WriteFileBytes(dir / "source.img", disk.bytes);
    // ddrescue copies the first 3 MiB and stops.
    const std::string begin = "ddrescue -q -s 3MiB '" + (dir / "source.img").string() + "' '" + (dir / "disk.img").string() +
                              "' '" + (dir / "disk.img.map").string() + "'";
    ASSERT_EQ(std::system(begin.c_str()), 0);
    RecordingMedium* recorder = nullptr;
    DiskCopyJob job;
    ASSERT_EQ(disk.Copy(dir / "disk.img", true, 0, recorder, job), kOk);
    for (const auto& [from, to] : recorder->good) EXPECT_GE(from, 3u << 20) << "read again what ddrescue had copied";
    // The sector ddrescue met as good is good; what it did not reach was read here.
    auto expected = disk.bytes;
    for (const auto& [first, count] : kBad)
        if (first * 512 >= (3u << 20)) std::fill_n(expected.begin() + static_cast<long>(first * 512), count * 512, 0);
    const auto copied = test::ReadFileBytes(dir / "disk.img");
    ASSERT_EQ(copied.size(), expected.size());
    EXPECT_TRUE(std::equal(copied.begin() + (3 << 20), copied.end(), expected.begin() + (3 << 20)));
}

}  // namespace
}  // namespace kestrune
