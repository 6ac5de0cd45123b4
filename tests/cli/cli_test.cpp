#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "cli/exit_codes.h"
#include "cli/cli_run.h"
#include "cli/probe_command.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

TEST(Probe, ClassifiesImagesMadeByRealTools) {
    test::TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"boot/ntfs.img.gz", "NTFS"}, {"boot/fat12.img.gz", "FAT"}, {"boot/fat16.img.gz", "FAT"},
        {"boot/fat32.img.gz", "FAT"}, {"boot/ext4.img.gz", "ext4"}};
    for (const auto& [fixture, kind] : cases) {
        std::ostringstream out, err;
        const auto image = test::UnpackFixture(fixture, dir.path());
        ASSERT_EQ(RunProbe(image.string(), "", out, err), kExitOk) << err.str();
        EXPECT_NE(out.str().find(std::string("file system:            ") + kind + "\n"), std::string::npos)
            << out.str();
    }
    std::ostringstream out, err;
    ASSERT_EQ(RunProbe(test::UnpackFixture("boot/fat12.img.gz", dir.path()).string(), "", out, err), kExitOk);
    EXPECT_NE(out.str().find("FAT12"), std::string::npos);
    EXPECT_NE(out.str().find("root entries:           224"), std::string::npos);
}

TEST(Probe, BadSourcesGiveAClearErrorAndExitCodeThree) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "empty.img", {});
    auto truncated = test::ReadFileBytes(test::UnpackFixture("boot/fat16.img.gz", dir.path()));
    truncated.resize(1000);
    test::WriteFileBytes(dir / "truncated.img", truncated);
    for (const std::string& source : {(dir / "missing.img").string(), dir.path().string(),
                                      (dir / "empty.img").string(), std::string("disk:126")}) {
        const CliRun run = RunCli("probe '" + source + "'");
        EXPECT_EQ(run.exitCode, kExitSourceError) << source << ": " << run.output;
        EXPECT_NE(run.output.find("kestrune: "), std::string::npos) << run.output;
    }
    EXPECT_NE(RunCli("probe " + (dir / "missing.img").string()).output.find("cannot find the file"),
              std::string::npos);
    // A copy cut short still shows what its boot sector says, so it can be carved.
    const CliRun truncatedRun = RunCli("probe " + (dir / "truncated.img").string());
    EXPECT_EQ(truncatedRun.exitCode, kExitOk) << truncatedRun.output;
    EXPECT_NE(truncatedRun.output.find("FAT16"), std::string::npos) << truncatedRun.output;
}

TEST(Probe, UsageErrorsExitWithTwo) {
    EXPECT_EQ(RunCli("").exitCode, kExitUsage);
    EXPECT_EQ(RunCli("probe").exitCode, kExitUsage);
    EXPECT_EQ(RunCli("frobnicate x").exitCode, kExitUsage);
    EXPECT_EQ(RunCli("probe disk:abc").exitCode, kExitUsage);
    EXPECT_EQ(RunCli("probe disk:1:2").exitCode, kExitUsage);
    const CliRun version = RunCli("--version");
    EXPECT_EQ(version.exitCode, kExitOk);
    EXPECT_EQ(version.output.rfind("kestrune ", 0), 0u);
    const CliRun help = RunCli("--help");
    EXPECT_EQ(help.exitCode, kExitOk);
    EXPECT_NE(help.output.find("probe"), std::string::npos);
}

TEST(Probe, LeavesTheSourceUntouched) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/ntfs.img.gz", dir.path());
    const auto before = test::ReadFileBytes(image);
    struct stat statBefore {};
    ASSERT_EQ(::stat(image.c_str(), &statBefore), 0);
    const CliRun run = RunCli("probe " + image.string());
    ASSERT_EQ(run.exitCode, kExitOk) << run.output;
    struct stat statAfter {};
    ASSERT_EQ(::stat(image.c_str(), &statAfter), 0);
    EXPECT_EQ(test::ReadFileBytes(image), before);
    EXPECT_EQ(statAfter.st_mtim.tv_sec, statBefore.st_mtim.tv_sec);
    EXPECT_EQ(statAfter.st_mtim.tv_nsec, statBefore.st_mtim.tv_nsec);
}

std::vector<uint8_t> SectorAligned(std::vector<uint8_t> bytes) {
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
    return bytes;
}

TEST(DeepMode, ScanListsAndRecoverCopiesCarvedFiles) {
    test::TempDir dir;
    std::vector<uint8_t> image(512 * 4, 0);
    const auto jpeg = test::CarveFixture("photo.jpg");
    const auto docx = test::CarveFixture("letter.docx");
    const uint64_t jpegSector = image.size() / 512;
    auto aligned = SectorAligned(jpeg);
    image.insert(image.end(), aligned.begin(), aligned.end());
    const uint64_t docxSector = image.size() / 512;
    aligned = SectorAligned(docx);
    image.insert(image.end(), aligned.begin(), aligned.end());
    image.resize(64 * 1024, 0);  // an engine needs at least the 16 KiB it classifies
    test::WriteFileBytes(dir / "area.img", image);

    const CliRun scan = RunCli("scan --mode deep --json " + (dir / "area.img").string() + " 2>/dev/null");
    ASSERT_EQ(scan.exitCode, kExitOk) << scan.output;
    const std::string jpegLine = "\"name\":\"" + std::to_string(jpegSector) + ".jpg\"";
    EXPECT_NE(scan.output.find(jpegLine), std::string::npos) << scan.output;
    EXPECT_NE(scan.output.find("\"engine\":\"Signature\""), std::string::npos);
    EXPECT_NE(scan.output.find("\"created\":null"), std::string::npos);

    const CliRun recover = RunCli("recover --mode deep --types photo,document --to " + (dir / "out").string() +
                                  " " + (dir / "area.img").string());
    ASSERT_EQ(recover.exitCode, kExitOk) << recover.output;
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "photo" / (std::to_string(jpegSector) + ".jpg")), jpeg);
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "document" / (std::to_string(docxSector) + ".docx")), docx);
    EXPECT_NE(recover.output.find("recovered 2 of 2 files"), std::string::npos) << recover.output;

    const CliRun onlyDocs = RunCli("recover --mode deep --ext DOCX --to " + (dir / "docs").string() + " " +
                                   (dir / "area.img").string());
    EXPECT_EQ(onlyDocs.exitCode, kExitOk);
    EXPECT_FALSE(std::filesystem::exists(dir / "docs" / "photo"));
    EXPECT_EQ(RunCli("recover --types music --to " + (dir / "x").string() + " " + (dir / "area.img").string()).exitCode,
              kExitUsage);
}

TEST(QuickMode, UnknownFileSystemsAreAClearErrorAndExtFindsNothing) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "zeros.img", std::vector<uint8_t>(1 << 20, 0));
    const CliRun unknown = RunCli("scan " + (dir / "zeros.img").string());
    EXPECT_EQ(unknown.exitCode, kExitSourceError);
    EXPECT_NE(unknown.output.find("--mode deep"), std::string::npos) << unknown.output;
    const CliRun ext = RunCli("scan " + test::UnpackFixture("boot/ext4.img.gz", dir.path()).string());
    EXPECT_EQ(ext.exitCode, kExitOk) << ext.output;
    EXPECT_NE(ext.output.find("0 files found"), std::string::npos);
}

TEST(QuickMode, NtfsScanListAndRecoverEndToEnd) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const CliRun scan = RunCli("scan " + image.string());
    ASSERT_EQ(scan.exitCode, kExitOk) << scan.output;
    EXPECT_NE(scan.output.find("16 files found"), std::string::npos) << scan.output;
    const CliRun list = RunCli("list --types photo");
    ASSERT_EQ(list.exitCode, kExitOk) << list.output;
    EXPECT_NE(list.output.find("Pictures/holiday.jpg"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("Trash/Sub/photo.jpg"), std::string::npos);
    const CliRun json = RunCli("list --json --ext txt 2>/dev/null");
    EXPECT_NE(json.output.find("\"folder\":\"Trash/Sub\""), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"engine\":\"NtfsQuick\""), std::string::npos);

    const CliRun recover = RunCli("recover --types document --to " + (dir / "out").string() + " " + image.string());
    ASSERT_EQ(recover.exitCode, kExitOk) << recover.output;
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "document" / "report.pdf"), test::CarveFixture("letter.pdf"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "photo"));
    EXPECT_EQ(RunCli("list " + (dir / "nowhere").string()).exitCode, kExitUsage);
}

TEST(RecoverSafety, TheDestinationMayNotBeOnTheScannedVolume) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and a mount";
    test::TempDir dir;
    const auto image = test::UnpackFixture("boot/ext4.img.gz", dir.path());
    const test::LoopDevice loop(image, false);
    const std::string& device = loop.device();
    if (device.empty()) GTEST_SKIP() << "no loop device";
    const std::string mountPoint = (dir / "mnt").string();
    std::filesystem::create_directories(mountPoint);
    if (std::system(("mount -t ext4 " + device + " " + mountPoint + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "cannot mount ext4 here";
    }
    const CliRun refused = RunCli("recover --mode deep --to " + mountPoint + "/out " + device);
    std::system(("umount " + mountPoint).c_str());
    EXPECT_EQ(refused.exitCode, kExitUsage) << refused.output;
    EXPECT_NE(refused.output.find("on the volume being recovered from"), std::string::npos) << refused.output;
}

TEST(FormattedMode, StoredPassesAreListedAndContinuedOrRestarted) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("formatted/ntfs.img.gz", dir.path());
    const CliRun first = RunCli("scan --mode formatted " + image.string() + " </dev/null");
    ASSERT_EQ(first.exitCode, kExitOk) << first.output;
    const CliRun scans = RunCli("scans");
    EXPECT_NE(scans.output.find(image.string()), std::string::npos) << scans.output;
    EXPECT_NE(scans.output.find("finished"), std::string::npos);
    // Without a terminal the stored pass is continued; --restart starts afresh.
    const CliRun again = RunCli("scan --mode deep " + image.string() + " </dev/null");
    EXPECT_EQ(again.exitCode, kExitOk) << again.output;
    const CliRun restart = RunCli("scan --mode deep --restart " + image.string());
    EXPECT_EQ(restart.exitCode, kExitOk) << restart.output;
    EXPECT_NE(restart.output.find("7 files found"), std::string::npos) << restart.output;
    const CliRun list = RunCli("list --types document");
    EXPECT_NE(list.output.find("Docs/report.pdf"), std::string::npos) << list.output;
}

TEST(PartitionedImages, PartitionsAreListedScannedAndCopied) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    const CliRun disks = RunCli("disks " + image.string());
    EXPECT_NE(disks.output.find("FAT32   \"PARTFAT\""), std::string::npos) << disks.output;
    EXPECT_NE(disks.output.find("NTFS    \"PARTNTFS\""), std::string::npos);
    EXPECT_NE(disks.output.find("gap"), std::string::npos);
    const CliRun json = RunCli("disks --json " + image.string());
    EXPECT_NE(json.output.find("\"partitionType\": 11"), std::string::npos) << json.output;

    const CliRun scan = RunCli("scan " + image.string());
    ASSERT_EQ(scan.exitCode, kExitOk) << scan.output;
    EXPECT_NE(scan.output.find("partition 1"), std::string::npos);
    EXPECT_NE(scan.output.find("2 files found"), std::string::npos) << "the FAT32 partition's two deleted files";
    EXPECT_NE(scan.output.find("1 files found"), std::string::npos) << "the NTFS partition's one";
    const CliRun recover = RunCli("recover --partition 1 --types photo --to " + (dir / "out").string() + " " +
                                  image.string());
    ASSERT_EQ(recover.exitCode, kExitOk) << recover.output;
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "photo" / "_each.jpg"), test::CarveFixture("photo.jpg"));
    EXPECT_EQ(RunCli("scan --partition 9 " + image.string()).exitCode, kExitUsage);

    // The NTFS partition copied out is an NTFS volume of its own.
    const CliRun copy = RunCli("image --partition 2 " + image.string() + " " + (dir / "ntfs.img").string());
    ASSERT_EQ(copy.exitCode, kExitOk) << copy.output;
    const auto whole = test::ReadFileBytes(image);
    const auto part = test::ReadFileBytes(dir / "ntfs.img");
    ASSERT_EQ(part.size(), 32768u * 512);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 83968L * 512));
    EXPECT_NE(RunCli("probe " + (dir / "ntfs.img").string()).output.find("NTFS"), std::string::npos);
    const CliRun onto = RunCli("image " + (dir / "ntfs.img").string() + " " + (dir / "ntfs.img").string());
    EXPECT_NE(onto.exitCode, kExitOk) << "an image is never written over its own source";
    EXPECT_EQ(test::ReadFileBytes(dir / "ntfs.img"), part);
    const CliRun bad = RunCli("image --skip-bad " + (dir / "ntfs.img").string() + " " + (dir / "again.img").string());
    ASSERT_EQ(bad.exitCode, kExitOk) << bad.output;
    EXPECT_NE(bad.output.find("0 unreadable ranges"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir / "again.img.map"));
}

// The name, folder and size of every finding a scan printed as JSON, sorted.
std::multiset<std::string> Findings(const std::string& output) {
    std::multiset<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("name")) continue;
        found.insert(record["folder"].get<std::string>() + "/" + record["name"].get<std::string>() + " " +
                     std::to_string(record["size"].get<uint64_t>()));
    }
    return found;
}

// Starts kestrune with arguments and kills it outright after the given delay.
void RunAndKill(const std::vector<std::string>& arguments, std::chrono::milliseconds delay) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        std::vector<char*> argv{const_cast<char*>(KESTRUNE_CLI_PATH)};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(KESTRUNE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST(PartitionedImages, ALoopDeviceWithoutPartitionNodesIsReadThroughItsOwnTable) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
    test::TempDir dir;
    const auto image = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    const test::LoopDevice loop(image);  // attached without -P: the kernel shows no partitions
    if (loop.device().empty()) GTEST_SKIP() << "no loop device";
    if (std::filesystem::exists(loop.device() + "p1")) GTEST_SKIP() << "the kernel read the table itself";
    const CliRun disks = RunCli("disks");
    EXPECT_NE(disks.output.find("FAT32   \"PARTFAT\""), std::string::npos) << disks.output;
    EXPECT_NE(disks.output.find("NTFS    \"PARTNTFS\""), std::string::npos);
    const CliRun scan = RunCli("scan --partition 1 " + loop.device());
    EXPECT_EQ(scan.exitCode, kExitOk) << scan.output;
    EXPECT_NE(scan.output.find("2 files found"), std::string::npos) << scan.output;
    const CliRun copy = RunCli("image --partition 1 " + loop.device() + " " + (dir / "part1.img").string());
    ASSERT_EQ(copy.exitCode, kExitOk) << copy.output;
    const CliRun again = RunCli("scan " + (dir / "part1.img").string());
    EXPECT_NE(again.output.find("2 files found"), std::string::npos) << again.output;
    EXPECT_EQ(RunCli("scan --partition 9 " + loop.device()).exitCode, kExitUsage);
}

TEST(DeepMode, APassKilledAnywhereResumesToTheSameFindings) {
    test::TempDir dir;
    // Photos and documents every 256 KiB through 24 MiB, so the pass is long enough to
    // be killed in the middle and every stretch of it finds something.
    const auto jpeg = SectorAligned(test::CarveFixture("photo.jpg"));
    const auto docx = SectorAligned(test::CarveFixture("letter.docx"));
    std::vector<uint8_t> image(24u << 20, 0);
    for (size_t at = 64 * 1024, i = 0; at + 128 * 1024 < image.size(); at += 256 * 1024, ++i) {
        const auto& file = i % 2 ? docx : jpeg;
        if (file.size() <= 128 * 1024) std::copy(file.begin(), file.end(), image.begin() + static_cast<long>(at));
    }
    test::WriteFileBytes(dir / "whole.img", image);
    test::WriteFileBytes(dir / "killed.img", image);

    const CliRun whole = RunCli("scan --mode deep --json " + (dir / "whole.img").string() + " 2>/dev/null </dev/null");
    ASSERT_EQ(whole.exitCode, kExitOk) << whole.output;
    const auto expected = Findings(whole.output);
    ASSERT_GT(expected.size(), 40u);

    ::setenv("KESTRUNE_CHECKPOINT_SECONDS", "0", 1);
    std::mt19937 random(20261207);
    for (int kill = 0; kill < 4; ++kill) {
        const auto delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 150)(random));
        RunAndKill({"scan", "--mode", "deep", (dir / "killed.img").string()}, delay);
    }
    const CliRun resumed = RunCli("scan --mode deep --json " + (dir / "killed.img").string() + " 2>/dev/null </dev/null");
    ::unsetenv("KESTRUNE_CHECKPOINT_SECONDS");
    ASSERT_EQ(resumed.exitCode, kExitOk) << resumed.output;
    const auto found = Findings(resumed.output);
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(), std::back_inserter(missing));
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty()) << "lost " << testing::PrintToString(missing) << ", duplicated "
                                                  << testing::PrintToString(extra);
}

struct SourceState {
    std::string sha256;
    struct stat st {};
};

SourceState StateOf(const std::filesystem::path& file) {
    SourceState state;
    state.sha256 = test::Sha256Hex(test::ReadFileBytes(file));
    ::stat(file.c_str(), &state.st);
    return state;
}

void ExpectUnchanged(const SourceState& before, const SourceState& after) {
    EXPECT_EQ(after.sha256, before.sha256);
    EXPECT_EQ(after.st.st_mtim.tv_sec, before.st.st_mtim.tv_sec);
    EXPECT_EQ(after.st.st_mtim.tv_nsec, before.st.st_mtim.tv_nsec);
    EXPECT_EQ(after.st.st_ctim.tv_sec, before.st.st_ctim.tv_sec);
    EXPECT_EQ(after.st.st_ctim.tv_nsec, before.st.st_ctim.tv_nsec);
}

TEST(ReadOnlySource, EveryModeLeavesTheSourceAsItWasAndWritesOnlyIntoTheDestination) {
    test::TempDir dir;
    const auto unpacked = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    auto bytes = test::ReadFileBytes(unpacked);
    // Names a hostile volume could hold: one climbing out of the destination, one with
    // half a UTF-16 surrogate pair.
    RenameInImage(bytes, u"holiday.jpg", u"../../x.jpg");
    RenameInImage(bytes, u"report.pdf", std::u16string(1, char16_t{0xD800}) + u"eport.pdf");
    std::filesystem::remove(unpacked);
    const auto image = dir / "source" / "volume.img";
    std::filesystem::create_directories(image.parent_path());
    test::WriteFileBytes(image, bytes);
    const SourceState before = StateOf(image);

    const std::string source = " " + image.string() + " </dev/null";
    EXPECT_EQ(RunCli("scan" + source).exitCode, kExitOk);
    const CliRun quick = RunCli("recover --to " + (dir / "out" / "quick").string() + source);
    EXPECT_EQ(quick.exitCode, kExitOk) << quick.output;
    EXPECT_EQ(RunCli("scan --mode formatted --restart" + source).exitCode, kExitOk);
    const CliRun deep = RunCli("recover --mode deep --resume --to " + (dir / "out" / "deep").string() + source);
    EXPECT_EQ(deep.exitCode, kExitOk) << deep.output;
    ExpectUnchanged(before, StateOf(image));

    bool hostileNameKept = false, surrogateKept = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        if (!entry.is_regular_file() || entry.path() == image) continue;
        const auto relative = std::filesystem::relative(entry.path(), dir / "out");
        EXPECT_NE(*relative.begin(), "..") << "written outside the destination: " << entry.path();
        const std::string name = entry.path().filename().string();
        hostileNameKept |= name.find("x.jpg") != std::string::npos;
        surrogateKept |= name.find("eport.pdf") != std::string::npos && name != "report.pdf";
    }
    EXPECT_TRUE(hostileNameKept) << "the file with the climbing name was recovered, inside the destination";
    EXPECT_TRUE(surrogateKept);

    // The same through a read-only loop device, when this machine lets us make one.
    CliRun fromDevice, deepFromDevice;
    {
        const test::LoopDevice loop(image);
        if (loop.device().empty()) GTEST_SKIP() << "the same through a loop device needs root";
        fromDevice = RunCli("recover --to " + (dir / "out" / "device").string() + " " + loop.device());
        deepFromDevice = RunCli("recover --mode deep --restart --to " + (dir / "out" / "device-deep").string() + " " +
                                loop.device());
    }
    EXPECT_EQ(fromDevice.exitCode, kExitOk) << fromDevice.output;
    EXPECT_EQ(deepFromDevice.exitCode, kExitOk) << deepFromDevice.output;
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "device" / "document"));
    ExpectUnchanged(before, StateOf(image));
}

}  // namespace
}  // namespace kestrune::cli
