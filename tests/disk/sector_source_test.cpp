#include "disk/sector_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

using test::FaultyMedium;
using test::PatternBytes;

SectorSource SourceOf(std::vector<uint8_t> bytes, size_t maxPiece = SIZE_MAX) {
    return SourceOverMedium(std::make_unique<FaultyMedium>(std::move(bytes), maxPiece), 512);
}

TEST(ReadSectors, ReadsUpToTheEndAndRefusesOneSectorPast) {
    const auto bytes = PatternBytes(8 * 512);
    SectorSource source = SourceOf(bytes);
    std::vector<uint8_t> buffer(3 * 512);
    uint32_t read = 99;
    ASSERT_EQ(ReadSectors(3, source, buffer.data(), 5, 512, read), kOk);
    EXPECT_EQ(read, 3u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 5 * 512));

    read = 99;
    EXPECT_EQ(ReadSectors(3, source, buffer.data(), 6, 512, read), kErrInvalidParameter);
    EXPECT_EQ(read, 99u) << "a refused read leaves the count alone";
    EXPECT_EQ(ReadSectors(1, source, buffer.data(), UINT64_MAX, 512, read), kErrInvalidParameter);
    EXPECT_EQ(read, 99u);
}

TEST(ReadSectors, ZeroSectorsReadNothingAndSucceed) {
    SectorSource source = SourceOf(PatternBytes(4 * 512));
    uint32_t read = 7;
    EXPECT_EQ(ReadSectors(0, source, nullptr, 2, 512, read), kOk);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(ReadSectors(0, source, nullptr, 4, 512, read), kOk) << "at the very end";
    EXPECT_EQ(ReadSectors(0, source, nullptr, 5, 512, read), kErrInvalidParameter);
}

TEST(ReadSectors, ShortReadsContinueAndLargeReadsGoInPieces) {
    const auto bytes = PatternBytes(300 * 512);
    auto medium = std::make_unique<FaultyMedium>(bytes, 1000);
    FaultyMedium* raw = medium.get();
    SectorSource source = SourceOverMedium(std::move(medium), 512);
    std::vector<uint8_t> buffer(bytes.size());
    uint32_t read = 0;
    ASSERT_EQ(ReadSectors(300, source, buffer.data(), 0, 512, read), kOk);
    EXPECT_EQ(read, 300u);
    EXPECT_EQ(buffer, bytes);
    EXPECT_GE(raw->reads, bytes.size() / 1000);
}

TEST(ReadSectors, AFailingPieceGivesReadFaultWithTheSectorsThatArrived) {
    auto medium = std::make_unique<FaultyMedium>(PatternBytes(400 * 512));
    medium->FailSector(200);
    SectorSource source = SourceOverMedium(std::move(medium), 512);
    std::vector<uint8_t> buffer(400 * 512);
    uint32_t read = 0;
    EXPECT_EQ(ReadSectors(400, source, buffer.data(), 0, 512, read), kErrReadFault);
    EXPECT_EQ(read, 128u) << "the first 64 KiB piece arrived, the second failed";
}

TEST(ReadSectors, LargerSectorsScaleOffsetsAndCounts) {
    const auto bytes = PatternBytes(8 * 4096);
    SectorSource source = SourceOverMedium(std::make_unique<FaultyMedium>(bytes), 4096);
    EXPECT_EQ(source.totalSectors, 8u);
    std::vector<uint8_t> buffer(2 * 4096);
    uint32_t read = 0;
    ASSERT_EQ(ReadSectors(2, source, buffer.data(), 6, 4096, read), kOk);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 6 * 4096));
}

TEST(OpenImageSource, SizesInWholeSectorsAndCannotReadThePartialOne) {
    test::TempDir dir;
    const auto bytes = PatternBytes(5 * 512 + 100);
    test::WriteFileBytes(dir / "odd.img", bytes);
    SectorSource source;
    ASSERT_EQ(OpenImageSource(dir / "odd.img", source), kOk);
    EXPECT_EQ(source.totalSectors, 5u);
    std::vector<uint8_t> buffer(512);
    uint32_t read = 0;
    EXPECT_EQ(ReadSectors(1, source, buffer.data(), 4, 512, read), kOk);
    EXPECT_EQ(ReadSectors(1, source, buffer.data(), 5, 512, read), kErrInvalidParameter);
}

TEST(OpenImageSource, RefusesWhatIsNoImageWithClearCodes) {
    test::TempDir dir;
    SectorSource source;
    EXPECT_EQ(OpenImageSource(dir / "missing.img", source), kErrFileNotFound);
    EXPECT_EQ(OpenImageSource(dir.path(), source), kErrDirectory);
    EXPECT_EQ(OpenImageSource("/dev/null", source), kErrNotSupported);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(OpenImageSource(dir / "pipe", source), kErrNotSupported) << "and does not hang";
    EXPECT_FALSE(source.IsOpen());

    test::WriteFileBytes(dir / "empty.img", {});
    ASSERT_EQ(OpenImageSource(dir / "empty.img", source), kOk);
    EXPECT_EQ(source.totalSectors, 0u);
    uint8_t sector[512];
    uint32_t read = 0;
    EXPECT_EQ(ReadSectors(1, source, sector, 0, 512, read), kErrInvalidParameter);
}

TEST(ReadFully, ReadsFromTheCurrentPositionAndReportsTheEnd) {
    test::TempDir dir;
    const auto bytes = PatternBytes(200000);
    test::WriteFileBytes(dir / "f", bytes);
    const int fd = ::open((dir / "f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 1000, SEEK_SET), 1000);
    std::vector<uint8_t> buffer(bytes.size());
    size_t got = 0;
    ASSERT_EQ(ReadFully(150000, fd, buffer.data(), got), kOk);
    EXPECT_EQ(got, 150000u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 150000, bytes.begin() + 1000));
    EXPECT_EQ(ReadFully(100000, fd, buffer.data(), got), kErrReadFault);
    EXPECT_EQ(got, 49000u);
    EXPECT_EQ(ReadFully(0, fd, buffer.data(), got), kOk);
    EXPECT_EQ(got, 0u);
    ::close(fd);
}

TEST(FileSizeOf, AnswersTheSizeOrTheError) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "f", PatternBytes(1234));
    uint64_t size = 0;
    EXPECT_EQ(FileSizeOf(dir / "f", size), kOk);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(FileSizeOf(dir / "none", size), kErrFileNotFound);
}

}  // namespace
}  // namespace kestrune
