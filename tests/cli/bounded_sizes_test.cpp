// Sizes a damaged or crafted medium claims: deleted exFAT entries that say they hold 2^62
// bytes. The dry run's total must be right, and the real run must write no more than the
// volume could hold, calling none of those files a success.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "disk/byte_view.h"
#include "engines/exfat/exfat_entries.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kClaimed = 1ULL << 62;

// Every deleted exFAT file entry set of the image (file entry 0x05, then its stream entry
// 0x40) now claims kClaimed bytes, its checksum made right again. Returns how many.
int ClaimHugeSizes(std::vector<uint8_t>& image) {
    int changed = 0;
    for (size_t at = 0; at + 64 <= image.size(); at += 32) {
        if (image[at] != 0x05 || image[at + 32] != 0x40) continue;
        const size_t secondaries = image[at + 1];
        if (secondaries < 2 || at + (secondaries + 1) * 32 > image.size()) continue;
        std::memcpy(&image[at + 32 + 8], &kClaimed, 8);
        std::memcpy(&image[at + 32 + 24], &kClaimed, 8);
        const uint16_t sum = EntrySetChecksum(ByteView(std::span<const uint8_t>(&image[at], (secondaries + 1) * 32)));
        std::memcpy(&image[at + 2], &sum, 2);
        ++changed;
    }
    return changed;
}

uint64_t BytesBelow(const fs::path& folder) {
    uint64_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file()) bytes += it->file_size();
    return bytes;
}

TEST(BoundedSizes, HugeClaimedSizesAreClippedToTheVolumeAndNeverPassForWhole) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("exfat/card.img.gz", dir.path());
    std::vector<uint8_t> bytes = test::ReadFileBytes(image);
    const int claimed = ClaimHugeSizes(bytes);
    ASSERT_GE(claimed, 20);
    test::WriteFileBytes(image, bytes);
    const uint64_t volume = bytes.size();

    const CliRun dry = RunCli("recover --dry-run --to " + (dir / "out").string() + " " + image.string());
    const size_t total = dry.output.find("would recover ");
    ASSERT_NE(total, std::string::npos) << dry.output;
    const std::string summary = dry.output.substr(total);
    // Each clipped file holds at most the volume; the total is what they would write.
    const size_t open = summary.find(", ") + 2;
    const uint64_t wouldWrite = std::stoull(summary.substr(open, summary.find(' ', open) - open));
    EXPECT_GT(wouldWrite, volume) << summary;
    EXPECT_LE(wouldWrite, static_cast<uint64_t>(claimed) * volume + volume) << summary;

    const CliRun run = RunCli("recover --to " + (dir / "out").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitSomeFailed) << "clipped files are not recovered whole";
    EXPECT_LE(BytesBelow(dir / "out"), static_cast<uint64_t>(claimed + 40) * volume);
    EXPECT_NE(run.output.find("claims"), std::string::npos) << run.output;
    size_t whole = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir / "out", ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file() && it->file_size() > volume) ++whole;
    EXPECT_EQ(whole, 0u) << "no file larger than the volume it came from";
}

}  // namespace
}  // namespace kestrune::cli
