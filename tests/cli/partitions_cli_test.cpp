// Partitioned disks as people bring them: every partition of a chain of extended tables
// and of a GPT is listed with what it holds and scanned, partitions holding nothing the
// quick scan reads are passed over without failing the disk, a disk of 4096-byte sectors
// is read in them, an area that holds two file systems names both and reads the one
// asked for, and a disk whose table was wiped has its volumes found and its table
// restored by the script `partitions` writes.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// Each deleted file the layout script wrote, where recover --keep-folders puts it, and the
// fixture whose bytes it holds.
struct Deleted {
    const char* path;
    const char* source;
};

void ExpectRecovered(const fs::path& into, const std::vector<Deleted>& files) {
    for (const Deleted& file : files) {
        const fs::path target = into / file.path;
        ASSERT_TRUE(fs::exists(target)) << file.path;
        EXPECT_EQ(test::ReadFileBytes(target), test::CarveFixture(file.source)) << file.path;
    }
}

TEST(PartitionedDisks, EveryPartitionIsListedAndEachFileSystemGivesItsDeletedFiles) {
    test::TempDir dir;
    ScopedDataHome home(dir / "home");
    const fs::path gpt = test::UnpackFixture("partitioned/gpt_mixed.img.gz", dir.path());
    const CliRun disks = RunCli("disks " + gpt.string());
    for (const char* row : {"NTFS    \"GPTNTFS\"", "FAT32   \"GPTFAT32\"", "exFAT   \"GPTEXFAT\"", "ext4    \"GPTEXT4\"",
                            "swap    \"GPTSWAP\"", "unknown  (spare)"})
        EXPECT_NE(disks.output.find(row), std::string::npos) << row << "\n" << disks.output;

    // Swap and the empty partition are passed over; the disk's recovery succeeds.
    const CliRun recover = RunCli("recover --keep-folders --to " + (dir / "gpt").string() + " " + gpt.string());
    EXPECT_EQ(recover.exitCode, kExitOk) << recover.output;
    EXPECT_NE(recover.output.find("partition 5"), std::string::npos);
    EXPECT_NE(recover.output.find("skipped"), std::string::npos) << recover.output;
    // Each partition's folders under a folder of its own: no two volumes' trees merge.
    ExpectRecovered(dir / "gpt", {{"partition 1/Reports/Budget.xlsx", "sheet.xlsx"},
                                  {"partition 1/Reports/Letter to the bank.pdf", "letter.pdf"},
                                  {"partition 2/DCIM/100CANON/IMG_0001.JPG", "photo.jpg"},
                                  {"partition 2/Holiday snapshot.png", "image.png"},
                                  {"partition 3/Music/Evening tone.wav", "tone.wav"},
                                  {"partition 4/notes/contract.pdf", "letter.pdf"},
                                  {"partition 4/notes/scan.bmp", "image.bmp"}});
    EXPECT_FALSE(fs::exists(dir / "gpt" / "partition 5")) << "swap gave nothing: no folder is left for it";

    // Logical partitions past the first of the chain: the NTFS one in the second record.
    const fs::path chain = test::UnpackFixture("partitioned/dos_chain.img.gz", dir.path());
    const CliRun chainDisks = RunCli("disks " + chain.string());
    for (const char* row : {"ext2    \"LOGICAL5\"", "NTFS    \"LOGICAL6\"", "FAT     \"LOGICAL8\""})
        EXPECT_NE(chainDisks.output.find(row), std::string::npos) << row << "\n" << chainDisks.output;
    const CliRun chainRecover = RunCli("recover --partition 6 --to " + (dir / "chain").string() + " " + chain.string());
    EXPECT_EQ(chainRecover.exitCode, kExitOk) << chainRecover.output;
    ExpectRecovered(dir / "chain", {{"audio/tone.wav", "tone.wav"}});

    // 4096-byte sectors: both volumes read in them.
    const fs::path large = test::UnpackFixture("partitioned/sector4k.img.gz", dir.path());
    const CliRun largeRecover = RunCli("recover --to " + (dir / "large").string() + " " + large.string());
    EXPECT_EQ(largeRecover.exitCode, kExitOk) << largeRecover.output;
    ExpectRecovered(dir / "large", {{"document/Letter to the school.pdf", "letter.pdf"},
                                    {"document/Minutes.docx", "letter.docx"}});
}

TEST(PartitionedDisks, AnAreaWithTwoFileSystemsNamesBothAndReadsTheOneAskedFor) {
    test::TempDir dir;
    ScopedDataHome home(dir / "home");
    // The NTFS logical partition of the chain, with the ext2 partition's superblock written
    // into its boot area (which NTFS leaves to boot code): both are valid to a prober.
    const auto chain = test::ReadFileBytes(test::UnpackFixture("partitioned/dos_chain.img.gz", dir.path()));
    std::vector<uint8_t> area(chain.begin() + 30720 * 512, chain.begin() + (30720 + 16384) * 512);
    std::copy_n(chain.begin() + 20480 * 512 + 1024, 1024, area.begin() + 1024);
    test::WriteFileBytes(dir / "two.img", area);
    const std::string image = (dir / "two.img").string();

    const CliRun probe = RunCli("probe " + image);
    EXPECT_NE(probe.output.find("NTFS (the area also holds an ext2 file system: --fs ext reads that one)"),
              std::string::npos)
        << probe.output;
    EXPECT_NE(RunCli("scan " + image).output.find("1 files found"), std::string::npos) << "NTFS unless told";
    const CliRun asExt = RunCli("scan --fs ext " + image);
    EXPECT_EQ(asExt.exitCode, kExitOk) << asExt.output;
    EXPECT_NE(asExt.output.find("0 files found"), std::string::npos) << asExt.output;
    // The choice is kept with the scan, which reopens with it.
    EXPECT_NE(RunCli("list").output.find("0 files"), std::string::npos);
    EXPECT_EQ(RunCli("scan --fs hfs " + image).exitCode, kExitUsage);
}

TEST(PartitionedDisks, AWipedTableIsFoundAgainAndAnSfdiskScriptRestoresIt) {
    test::TempDir dir;
    ScopedDataHome home(dir / "home");
    const fs::path wiped = test::UnpackFixture("partitioned/gpt_wiped.img.gz", dir.path());
    const auto before = test::ReadFileBytes(wiped);
    const auto layout = nlohmann::json::parse(std::ifstream(test::FixturePath("partitioned/layouts.json")));
    const CliRun json = RunCli("partitions --json " + wiped.string());
    ASSERT_EQ(json.exitCode, kExitOk) << json.output;
    const auto found = nlohmann::json::parse(json.output.substr(json.output.find('{')));
    EXPECT_EQ(found["table"], "none");
    // Every formatted partition at its exact start and size; the one never formatted is
    // not a volume.
    const auto& expected = layout["gpt_mixed"]["partitions"];
    ASSERT_EQ(found["volumes"].size(), expected.size() - 1) << json.output;
    for (size_t i = 0; i < found["volumes"].size(); ++i) {
        const auto& volume = found["volumes"][i];
        EXPECT_EQ(volume["start"], expected[i]["start"]) << i;
        EXPECT_EQ(volume["sectors"], expected[i]["sectors"]) << i;
        EXPECT_EQ(volume["label"], expected[i]["label"]) << i;
        EXPECT_EQ(volume["partition"], 0) << "lost from the table";
        EXPECT_EQ(volume["sure"], volume["fileSystem"] != "swap") << i;
    }

    // The script may not go over the image it was read from.
    EXPECT_EQ(RunCli("partitions --sfdisk " + wiped.string() + " " + wiped.string()).exitCode, kExitUsage);
    const fs::path script = dir / "restore.sfdisk";
    const CliRun written = RunCli("partitions --sfdisk " + script.string() + " " + wiped.string());
    ASSERT_EQ(written.exitCode, kExitOk) << written.output;
    EXPECT_EQ(test::ReadFileBytes(wiped), before) << "nothing is written to the source";
    // Applied by sfdisk to a copy, it gives the partitions back: disks lists them again.
    fs::copy_file(wiped, dir / "restored.img");
    ASSERT_EQ(std::system(("sfdisk -q " + (dir / "restored.img").string() + " < " + script.string() + " >/dev/null").c_str()), 0);
    const CliRun disks = RunCli("disks " + (dir / "restored.img").string());
    for (const char* row : {"NTFS    \"GPTNTFS\"", "FAT32   \"GPTFAT32\"", "exFAT   \"GPTEXFAT\"", "ext4    \"GPTEXT4\"",
                            "swap    \"GPTSWAP\""})
        EXPECT_NE(disks.output.find(row), std::string::npos) << row << "\n" << disks.output;
    // And the deleted files of the ext4 volume come back with their names from it.
    const CliRun recover =
        RunCli("recover --partition 4 --keep-folders --to " + (dir / "out").string() + " " + (dir / "restored.img").string());
    EXPECT_EQ(recover.exitCode, kExitOk) << recover.output;
    ExpectRecovered(dir / "out", {{"notes/contract.pdf", "letter.pdf"}, {"notes/scan.bmp", "image.bmp"}});
}

}  // namespace
}  // namespace kestrune::cli
