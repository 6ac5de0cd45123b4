// A failing source is asked once for each bad sector: the map of bad areas shared by all
// readers of it, and a recovered file read around them, whole-size with zeros there.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "base/result_codes.h"
#include "disk/bad_areas.h"
#include "engines/found_data.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using test::CountingMedium;

// How many reads reached sector (of 512 bytes).
size_t ReadsOf(const CountingMedium& disk, uint64_t sector) { return disk.ReadsIn(sector * 512, (sector + 1) * 512); }

TEST(BadAreas, AreasSplitJoinAndCount) {
    BadAreas areas;
    areas.Mark(1000, 2000, BadAreas::Kind::Failed);
    areas.Mark(2000, 2500, BadAreas::Kind::Failed);  // joins the one before
    areas.Mark(1500, 1600, BadAreas::Kind::Bad);     // splits it
    areas.Clear(1000, 1200);
    const auto all = areas.All();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].start, 1200u);
    EXPECT_EQ(all[0].end, 1500u);
    EXPECT_EQ(all[1].kind, BadAreas::Kind::Bad);
    EXPECT_EQ(all[2].end, 2500u);
    EXPECT_EQ(areas.BadBytesIn(0, 10000), 100u);
    EXPECT_EQ(areas.BadBytesIn(1550, 2100), 50u);
    BadAreas::Area area;
    EXPECT_FALSE(areas.FirstIn(0, 1200, area));
    ASSERT_TRUE(areas.FirstIn(1499, 1501, area));
    EXPECT_EQ(area.start, 1200u);
}

struct FailingSource {
    std::vector<uint8_t> bytes = test::PatternBytes(1u << 20);
    test::FaultyMedium faulty{bytes};
    CountingMedium* counter = nullptr;
    SectorSource source;
    explicit FailingSource(const std::vector<uint64_t>& badSectors, const std::string& identity = {}) {
        for (uint64_t s : badSectors) faulty.FailSector(s);
        auto counting = std::make_unique<CountingMedium>(faulty);
        counter = counting.get();
        source = SourceOverMedium(std::make_unique<BadAreaMedium>(std::move(counting), 512, identity), 512);
    }
};

TEST(BadAreas, AKnownBadSectorIsNeverAskedForAgainAndLargerReadsThereFailAtOnce) {
    FailingSource disk({300, 301});
    std::vector<uint8_t> buffer(65536);
    size_t got = 0;
    // A read across the bad sectors fails.
    EXPECT_EQ(ReadExactly(*disk.source.medium, 256 * 512, buffer.data(), buffer.size(), got), kErrReadFault);
    EXPECT_EQ(ReadsOf(*disk.counter, 300), 1u);
    // The same read again, and a larger one over the stretch, reach the disk only before it.
    EXPECT_EQ(ReadExactly(*disk.source.medium, 256 * 512, buffer.data(), buffer.size(), got), kErrReadFault);
    EXPECT_EQ(ReadExactly(*disk.source.medium, 290 * 512, buffer.data(), 8192, got), kErrReadFault);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ReadsOf(*disk.counter, 300), 1u);
    // One sector at a time tells the bad from the good; each bad one is asked once more, then never.
    for (int round = 0; round < 2; ++round) {
        for (uint64_t s = 256; s < 384; ++s) {
            const bool bad = s == 300 || s == 301;
            EXPECT_EQ(ReadExactly(*disk.source.medium, s * 512, buffer.data(), 512, got), bad ? kErrReadFault : kOk) << s;
            if (!bad) {
                EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, disk.bytes.begin() + s * 512));
            }
        }
    }
    EXPECT_EQ(ReadsOf(*disk.counter, 300), 2u);
    EXPECT_EQ(ReadsOf(*disk.counter, 301), 2u);
    // The good sectors of the failed stretch are forgotten as failed; the bad ones stay.
    auto* watched = dynamic_cast<BadAreaMedium*>(disk.source.medium.get());
    ASSERT_NE(watched, nullptr);
    EXPECT_EQ(watched->UnreadableBytes(0, disk.bytes.size()), 1024u);
    EXPECT_EQ(KnownUnreadableBytes(*disk.source.medium, 300 * 512, 512), 512u);
}

TEST(BadAreas, OpensOfOneDiskShareWhatTheyLearn) {
    FailingSource first({10}, "disk one");
    FailingSource second({10}, "disk one");
    FailingSource other({10}, "disk two");
    std::vector<uint8_t> buffer(512);
    size_t got = 0;
    EXPECT_NE(first.source.medium->ReadAt(10 * 512, buffer.data(), 512, got), kOk);
    EXPECT_NE(second.source.medium->ReadAt(10 * 512, buffer.data(), 512, got), kOk);
    EXPECT_EQ(ReadsOf(*second.counter, 10), 0u);
    EXPECT_NE(other.source.medium->ReadAt(10 * 512, buffer.data(), 512, got), kOk);
    EXPECT_EQ(ReadsOf(*other.counter, 10), 1u);
}

TEST(BadAreas, AnImageReadsAsUnreadableWhereItsMapSaysNothingWasRescued) {
    test::TempDir dir;
    const auto bytes = test::PatternBytes(64 * 1024);
    test::WriteFileBytes(dir / "disk.img", bytes);
    // As ddrescue leaves it: rescued, a bad sector, rescued, and the end never tried.
    std::ofstream(dir / "disk.img.map") << "# Mapfile. Created by GNU ddrescue version 1.27\n"
                                        << "0x00010000     +               1\n"
                                        << "0x00000000  0x00002000  +\n"
                                        << "0x00002000  0x00000200  -\n"
                                        << "0x00002200  0x0000DE00  +\n"
                                        << "0x00010000  0x00010000  ?\n";
    SectorSource source;
    ASSERT_EQ(OpenImageSource(dir / "disk.img", source), kOk);
    std::vector<uint8_t> buffer(4096);
    size_t got = 0;
    EXPECT_EQ(ReadExactly(*source.medium, 0x1000, buffer.data(), 4096, got), kOk);
    EXPECT_EQ(ReadExactly(*source.medium, 0x2000, buffer.data(), 512, got), kErrReadFault);
    EXPECT_EQ(ReadExactly(*source.medium, 0x2200, buffer.data(), 4096, got), kOk);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 0x2200));
    EXPECT_EQ(KnownUnreadableBytes(*source.medium, 0, bytes.size()), 512u);
    // A map of some other, shorter area says nothing of this image.
    std::ofstream(dir / "disk.img.map", std::ios::trunc) << "0x0     +\n0x0  0x200  -\n";
    ASSERT_EQ(OpenImageSource(dir / "disk.img", source), kOk);
    EXPECT_EQ(ReadExactly(*source.medium, 0, buffer.data(), 512, got), kOk);
}

TEST(BadAreas, AFileIsReadAroundItsBadSectorsWholeSizeWithZerosThere) {
    test::TempDir dir;
    // The file: 200 KiB from sector 1000; bad: one sector, then a 4 KiB block across a piece's edge.
    const uint64_t first = 1000, size = 200 * 1024 + 77;
    FailingSource disk({1050, 1124, 1125, 1126, 1127, 1128, 1129, 1130, 1131});
    ContiguousReader reader(disk.source, 512, first, size);
    ReadAround around;
    around.medium = disk.source.medium.get();
    around.sectorBytes = 512;
    around.map = [&](DataMap& map) { return ContiguousReader(disk.source, 512, first, size).Map(size, map); };
    std::vector<UnreadableRange> unreadable;
    around.unreadable = [&](uint64_t offset, uint64_t length) { unreadable.push_back({offset, length}); };
    EXPECT_EQ(WriteFoundFile(reader, size, dir / "file.bin", {}, &around), kErrReadFault);
    const std::vector<UnreadableRange> expected = {{50 * 512, 512}, {124 * 512, 4096}};
    EXPECT_EQ(unreadable, expected);
    const auto written = test::ReadFileBytes(dir / "file.bin");
    ASSERT_EQ(written.size(), size);
    for (uint64_t at = 0; at < size; ++at) {
        const bool lost = (at >= 50 * 512 && at < 51 * 512) || (at >= 124 * 512 && at < 132 * 512);
        const uint8_t want = lost ? 0 : disk.bytes[first * 512 + at];
        if (written[at] != want) {
            ADD_FAILURE() << "byte " << at;
            break;
        }
    }
    // Each bad sector reached the disk at most twice: in the read of many that failed, and alone.
    for (uint64_t s : {1050, 1124, 1127, 1131}) EXPECT_LE(ReadsOf(*disk.counter, s), 2u) << s;
    // Without a map (data kept compressed), the copy stops where the fault is, as before.
    ContiguousReader again(disk.source, 512, first, size);
    EXPECT_EQ(WriteFoundFile(again, size, dir / "cut.bin", {}, nullptr), kErrReadFault);
    EXPECT_LT(fs::file_size(dir / "cut.bin"), 50u * 512 + 1);
}

}  // namespace
}  // namespace kestrune
