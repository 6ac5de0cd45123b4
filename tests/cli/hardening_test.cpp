// The command as a hostile user or an unlucky one meets it: links planted in the
// destination, destinations that fill up or refuse names, names that try to act on the
// terminal, and sources cut short.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "cli/terminal_text.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// name -> sha256 of every deleted file of a fixture's manifest.
std::map<std::string, std::string> ManifestHashes(const std::string& manifest) {
    std::ifstream in(test::FixturePath(manifest));
    const auto json = nlohmann::json::parse(in);
    std::map<std::string, std::string> hashes;
    for (const auto& file : json["deleted"]) hashes[file["name"]] = file["sha256"];
    return hashes;
}


TEST(RecoverSafety, LinksPlantedInTheDestinationAreNeverFollowed) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const fs::path out = dir / "out", elsewhere = dir / "elsewhere", victim = dir / "victim.txt";
    fs::create_directories(out / "document");
    fs::create_directories(elsewhere);
    test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});
    // Another user's links: a type folder pointing away, a file named like the next one
    // recovered pointing at a file that must not change.
    fs::create_directory_symlink(elsewhere, out / "photo");
    fs::create_symlink(victim, out / "document" / "report.pdf");

    const CliRun run = RunCli("recover --to " + out.string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing written through the planted folder link";
    EXPECT_EQ(test::ReadFileBytes(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_NE(run.output.find("symbolic link"), std::string::npos) << run.output;
    EXPECT_EQ(test::ReadFileBytes(out / "document" / "report(1).pdf"), test::CarveFixture("letter.pdf"))
        << "the planted file name is left alone and the file recovered beside it";
}

TEST(ImageSafety, AnImageOrMapThatIsALinkIsRefusedAndFailuresLeaveNothingBehind) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const fs::path victim = dir / "victim.txt";
    test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});
    fs::create_symlink(victim, dir / "copy.img");
    CliRun run = RunCli("image " + image.string() + " " + (dir / "copy.img").string());
    EXPECT_EQ(run.exitCode, kExitUsage) << run.output;
    EXPECT_NE(run.output.find("symbolic link"), std::string::npos) << run.output;

    // An image copied onto itself (named another way) would be overwritten as it is read.
    const std::vector<uint8_t> before = test::ReadFileBytes(image);
    run = RunCli("image " + image.string() + " " + (dir / "." / image.filename()).string());
    EXPECT_EQ(run.exitCode, kExitUsage) << run.output;
    EXPECT_NE(run.output.find("volume it is copied from"), std::string::npos) << run.output;
    EXPECT_TRUE(test::ReadFileBytes(image) == before);

    fs::create_symlink(victim, dir / "mapped.img.map");
    run = RunCli("image --skip-bad " + image.string() + " " + (dir / "mapped.img").string());
    EXPECT_EQ(run.exitCode, kExitUsage) << run.output;
    EXPECT_FALSE(fs::exists(dir / "mapped.img"));
    EXPECT_EQ(test::ReadFileBytes(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    // A folder as the image: the copy fails, and no stray map appears beside it.
    fs::create_directories(dir / "folder");
    run = RunCli("image --skip-bad " + image.string() + " " + (dir / "folder").string());
    EXPECT_NE(run.exitCode, kExitOk) << run.output;
    EXPECT_FALSE(fs::exists(dir / "folder.map"));

    // A map that cannot be written is reported, and the exit status says so.
    fs::create_directories(dir / "unmappable.img.map");
    run = RunCli("image --skip-bad " + image.string() + " " + (dir / "unmappable.img").string());
    EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
    EXPECT_NE(run.output.find("could not be written"), std::string::npos) << run.output;
    EXPECT_EQ(fs::file_size(dir / "unmappable.img"), fs::file_size(image)) << "the image itself is whole";
}

TEST(RecoverFailures, AFileTooLargeForTheDestinationIsKeptOnlyAsPartial) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    ASSERT_EQ(RunCli("scan " + image.string()).exitCode, kExitOk);
    // A limit of 16 KiB per file: numbers.bin (20,000 bytes) and fragmented.bin (48 KiB)
    // cannot be written whole.
    const std::string command = "bash -c 'ulimit -f 16; exec " + std::string(KESTRUNE_CLI_PATH) + " recover --to " +
                                (dir / "out").string() + " " + image.string() + "' 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(WEXITSTATUS(::pclose(pipe)), kExitSomeFailed) << output;
    EXPECT_NE(output.find("too large for the destination"), std::string::npos) << output;
    EXPECT_NE(output.find("2 of them kept in part"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(dir / "out" / "others" / "numbers.partial.bin"));
    EXPECT_FALSE(fs::exists(dir / "out" / "others" / "numbers.bin"));
    const auto hashes = ManifestHashes("ntfs/deleted.json");
    for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        // Every file under its own name is whole (f2.bin is a file the manifest leaves out).
        if (name.find(".partial") != std::string::npos || !hashes.count(name)) continue;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(entry.path())), hashes.at(name)) << name;
    }
}

TEST(RecoverFailures, AFullOrReadOnlyDestinationLeavesNoFilePassingForWhole) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    {
        SmallMount full(dir / "full", "size=48k");
        if (!full.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
        const CliRun run = RunCli("recover --to " + (dir / "full").string() + " " + image.string());
        EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
        EXPECT_NE(run.output.find("not enough space"), std::string::npos) << run.output;
        const auto hashes = ManifestHashes("ntfs/deleted.json");
        for (const auto& entry : fs::recursive_directory_iterator(dir / "full")) {
            if (!entry.is_regular_file()) continue;
            const std::string name = entry.path().filename().string();
            EXPECT_GT(entry.file_size(), 0u) << "an empty failed file is removed: " << name;
            if (name.find(".partial") == std::string::npos && hashes.count(name)) {
                EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(entry.path())), hashes.at(name)) << name;
            }
        }
        // An image that does not fit is renamed so that it cannot pass for a copy.
        const CliRun imaged = RunCli("image " + image.string() + " " + (dir / "full" / "copy.img").string());
        EXPECT_NE(imaged.exitCode, kExitOk) << imaged.output;
        EXPECT_FALSE(fs::exists(dir / "full" / "copy.img")) << imaged.output;
    }
    SmallMount readOnly(dir / "ro", "ro,size=1m");
    const CliRun run = RunCli("recover --to " + (dir / "ro").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitUsage) << run.output;
    EXPECT_NE(run.output.find("write protected"), std::string::npos) << run.output;
}

TEST(RecoverNames, WindowsFileSystemsGetNamesTheyTakeAndTerminalsGetEscapedNames) {
    test::TempDir dir;
    const auto unpacked = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    auto bytes = test::ReadFileBytes(unpacked);
    // Names a Linux-made volume may hold: characters FAT and NTFS drivers refuse, and
    // terminal escapes that would retitle the window, forge a line and clear it.
    RenameInImage(bytes, u"holiday.jpg", u"a:b?c*d.jpg");
    RenameInImage(bytes, u"orphan.txt", u"\x1b]0;\n\r.txt");
    fs::remove(unpacked);
    const fs::path image = dir / "hostile.img";
    test::WriteFileBytes(image, bytes);

    const CliRun list = RunCli("scan " + image.string() + " && " + KESTRUNE_CLI_PATH + " list");
    ASSERT_EQ(list.exitCode, kExitOk) << list.output;
    EXPECT_EQ(list.output.find('\x1b'), std::string::npos) << "no escape reaches the terminal";
    EXPECT_NE(list.output.find("\\x1b]0;\\n\\r.txt"), std::string::npos) << list.output;
    const CliRun json = RunCli("list --json 2>/dev/null");
    EXPECT_NE(json.output.find("\\u001b]0;\\n\\r.txt"), std::string::npos) << "JSON keeps the name exactly";

    // A USB stick formatted on Windows, mounted through ntfs-3g (this kernel may lack vfat).
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount an NTFS destination";
    const auto stickImage = test::UnpackFixture("boot/ntfs.img.gz", dir.path());
    const test::LoopDevice loop(stickImage, false);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device";
    fs::create_directories(dir / "stick");
    if (!Mounted("ntfs-3g " + loop.device() + " '" + (dir / "stick").string() + "'"))
        GTEST_SKIP() << "cannot mount NTFS through ntfs-3g here";
    const CliRun run = RunCli("recover --types photo --to " + (dir / "stick" / "out").string() + " " + image.string());
    const bool recovered = fs::exists(dir / "stick" / "out" / "photo" / "a_b_c_d.jpg");
    std::system(("umount '" + (dir / "stick").string() + "'").c_str());
    EXPECT_EQ(run.exitCode, kExitOk) << run.output;
    EXPECT_TRUE(recovered) << run.output;
}

TEST(DamagedSources, AnImageCutShortIsScannedForWhatItHoldsInEveryMode) {
    test::TempDir dir;
    auto bytes = test::ReadFileBytes(test::UnpackFixture("ntfs/deleted.img.gz", dir.path()));
    bytes.resize(100000);  // the boot sector claims 16 MB; the MFT itself is cut
    test::WriteFileBytes(dir / "cut.img", bytes);
    const CliRun quick = RunCli("scan " + (dir / "cut.img").string());
    EXPECT_EQ(quick.exitCode, kExitOk) << quick.output;
    EXPECT_NE(quick.output.find("is cut short"), std::string::npos) << quick.output;
    EXPECT_NE(quick.output.find("8 files found"), std::string::npos) << "the MFT records the file holds";
    for (const char* mode : {"formatted", "deep"}) {
        const CliRun run = RunCli(std::string("scan --restart --mode ") + mode + " " + (dir / "cut.img").string());
        EXPECT_EQ(run.exitCode, kExitOk) << mode << ": " << run.output;
        EXPECT_NE(run.output.find("is cut short"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find(" 0 files found"), std::string::npos) << "what the file holds is carved";
    }

    // A fragment smaller than the 16 KiB the file system test reads is carved too.
    std::vector<uint8_t> fragment = test::CarveFixture("anim.gif");
    fragment.resize(10240, 0);
    test::WriteFileBytes(dir / "fragment.img", fragment);
    const CliRun run = RunCli("recover --mode deep --to " + (dir / "out").string() + " " +
                              (dir / "fragment.img").string() + " </dev/null");
    EXPECT_EQ(run.exitCode, kExitOk) << run.output;
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "photo" / "0.gif"), test::CarveFixture("anim.gif"));
}

TEST(TerminalText, ControlsBrokenBytesAndOverridesAreEscapedOtherAlphabetsKept) {
    EXPECT_EQ(TerminalText("日本語 Résumé.txt"), "日本語 Résumé.txt");
    EXPECT_EQ(TerminalText("a\x1b[2Jb\n\t\\"), "a\\x1b[2Jb\\n\\t\\\\");
    EXPECT_EQ(TerminalText("\xC2\x9B" "31m"), "\\u009b31m") << "the C1 form of the escape";
    EXPECT_EQ(TerminalText("evil\xE2\x80\xAEgpj.exe"), "evil\\u202egpj.exe") << "a right-to-left override";
    EXPECT_EQ(TerminalText("cut\xE6\x97"), "cut\\xe6\\x97") << "half a character";
    EXPECT_EQ(TerminalText("\xC0\xAF"), "\\xc0\\xaf") << "an overlong slash";
}

}  // namespace
}  // namespace kestrune::cli
