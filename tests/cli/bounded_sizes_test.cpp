// Sizes a damaged or crafted medium claims (deleted exFAT entries that say they hold 2^62
// bytes), and sources cut short: a dry run's total is right, nothing larger than the
// volume is written, and no file that is not whole is called a success.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "disk/byte_view.h"
#include "engines/exfat/exfat_entries.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
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

// name -> sha256 of the files a fixture's manifest lists under key.
std::map<std::string, std::string> ManifestHashes(const std::string& manifest, const std::string& key) {
    std::ifstream in(test::FixturePath(manifest));
    const auto json = nlohmann::json::parse(in);
    std::map<std::string, std::string> hashes;
    for (const auto& file : json[key]) hashes[file["name"]] = file["sha256"];
    return hashes;
}

TEST(CutSources, APartitionTheImageEndsInsideIsScannedForWhatItHolds) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    std::vector<uint8_t> bytes = test::ReadFileBytes(image);
    bytes.resize(bytes.size() / 10 / 512 * 512);
    test::WriteFileBytes(image, bytes);

    const CliRun run = RunCli("recover --to " + (dir / "out").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitOk) << run.output;
    EXPECT_NE(run.output.find("the source ends after"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("is cut short"), std::string::npos) << run.output;
    // The FAT partition's deleted files lie wholly inside what is kept.
    for (const auto& [name, hash] : ManifestHashes("partitioned/manifest.json", "fat")) {
        // The manifest holds the names as listed; a lost first letter is written as "_".
        const fs::path file = dir / "out" / TypeFolderName(name) / (name[0] == '!' ? "_" + name.substr(1) : name);
        ASSERT_TRUE(fs::exists(file)) << name << "\n" << run.output;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(file)), hash) << name;
    }
}

// Recovers a FAT16 image cut to keep bytes; every file called a success must be one of
// the manifest's, byte for byte. Returns the run.
CliRun RecoverCutFat16(const test::TempDir& dir, size_t keep, const std::string& out) {
    const fs::path image = test::UnpackFixture("fat/fat16.img.gz", dir.path());
    std::vector<uint8_t> bytes = test::ReadFileBytes(image);
    bytes.resize(keep);
    test::WriteFileBytes(image, bytes);
    const CliRun run = RunCli("recover --to " + (dir / out).string() + " " + image.string());
    std::set<std::string> known;
    for (const auto& [name, hash] : ManifestHashes("fat/fat16.json", "deleted")) known.insert(hash);
    for (const auto& entry : fs::recursive_directory_iterator(dir / out)) {
        if (!entry.is_regular_file() || entry.path().string().find(".partial") != std::string::npos) continue;
        EXPECT_TRUE(known.count(test::Sha256Hex(test::ReadFileBytes(entry.path()))))
            << entry.path() << " is called a success but is not the file";
    }
    return run;
}

TEST(CutSources, WhatIsCalledASuccessIsTheFileAndWhatReachesPastTheEndSaysSo) {
    test::TempDir dir;
    // A quarter of the volume: every deleted file lies inside it. The volume's FAT stays
    // 16 bits wide although what is left would be a FAT12 volume's size.
    const CliRun quarter = RecoverCutFat16(dir, (16u << 20) / 4, "quarter");
    EXPECT_EQ(quarter.exitCode, kExitOk) << quarter.output;
    EXPECT_NE(quarter.output.find("recovered 13 of 13"), std::string::npos) << quarter.output;

    // Cut inside fragmented.bin, whose second piece begins at byte 110592.
    const CliRun inside = RecoverCutFat16(dir, 110592, "inside");
    EXPECT_EQ(inside.exitCode, kExitSomeFailed) << inside.output;
    const size_t line = inside.output.find("fragmented.bin: ");
    ASSERT_NE(line, std::string::npos) << inside.output;
    const std::string said = inside.output.substr(line, inside.output.find('\n', line) - line);
    EXPECT_EQ(said.find("Success"), std::string::npos) << said;
    EXPECT_NE(said.find("cut short"), std::string::npos) << said;
}

}  // namespace
}  // namespace kestrune::cli
