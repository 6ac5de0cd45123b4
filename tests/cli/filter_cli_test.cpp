// Narrowing the findings before anything is written, the same for list and recover: the
// filters' values as people type them, and refused ones; files written into the folders
// they were found in; a dry run that says what would be written and writes nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/display_text.h"
#include "base/file_time.h"
#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "scanlog/file_types.h"
#include "session/finding_filter.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

TEST(FindingFilter, SizesAndDatesAsPeopleTypeThemAndNothingElse) {
    const std::pair<const char*, uint64_t> sizes[] = {
        {"1500", 1500}, {"64k", 65536}, {"10M", 10485760}, {"1.5G", 1610612736}, {"1,5 MB", 1572864},
        {"2 TiB", uint64_t{2} << 40}, {"500 B", 500}, {".5k", 512}};
    for (const auto& [text, expected] : sizes) {
        uint64_t bytes = 0;
        EXPECT_TRUE(ParseSizeText(text, bytes)) << text;
        EXPECT_EQ(bytes, expected) << text;
    }
    for (const char* bad : {"-5", "", "abc", "1.2.3", "5X", "k", "99999999999999999999", "20000000000T"}) {
        uint64_t bytes = 0;
        EXPECT_FALSE(ParseSizeText(bad, bytes)) << bad;
    }

    uint64_t at = 0;
    ASSERT_TRUE(ParseDateText("2024-03-31T14:05:00", false, at));
    EXPECT_EQ(UnixSecondsFromFileTime(at), 1711893900);
    ASSERT_TRUE(ParseDateText("2024-02-29", false, at));
    EXPECT_EQ(UnixSecondsFromFileTime(at), 1709164800);
    ASSERT_TRUE(ParseDateText("2024-02-29", true, at)) << "a day as an upper bound is the whole day";
    EXPECT_EQ(UnixSecondsFromFileTime(at), 1709164800 + 86400);
    for (const char* bad : {"2024-13-40", "2023-02-29", "2024-3-31", "31/03/2024", "2024-03-31T25:00:00",
                            "2024-03-31 14:05", "yesterday", "1600-01-01"}) {
        EXPECT_FALSE(ParseDateText(bad, false, at)) << bad;
    }
}

TEST(FindingFilter, EachBoundAloneAndTogether) {
    ScanRecord photo{};
    SetRecordName(photo, "IMG_0042.JPG");
    photo.engineKind = FatQuick;
    photo.fileSize = 2'000'000;
    ASSERT_TRUE(ParseDateText("2021-07-14T10:00:00", false, photo.writeTime));
    ScanRecord carved = photo;
    carved.engineKind = Signature;
    carved.writeTime = 0;

    FindingFilter filter;
    EXPECT_TRUE(filter.Empty() && filter.Matches(photo) && filter.Matches(carved));
    filter.namePattern = "img_*.jp*g";
    EXPECT_TRUE(filter.Matches(photo)) << "any case";
    filter.namePattern = "IMG_1*";
    EXPECT_FALSE(filter.Matches(photo));
    filter = {};
    filter.minSize = 2'000'001;
    EXPECT_FALSE(filter.Matches(photo));
    filter.minSize = 2'000'000;
    filter.maxSize = 2'000'000;
    EXPECT_TRUE(filter.Matches(photo)) << "both bounds are inclusive";
    filter = {};
    ASSERT_TRUE(ParseDateText("2021-07-14", true, filter.modifiedUntil.emplace()));
    EXPECT_TRUE(filter.Matches(photo));
    EXPECT_FALSE(filter.Matches(carved)) << "a file of unknown time is not within any dates";
    ASSERT_TRUE(ParseDateText("2021-07-15", false, filter.modifiedFrom.emplace()));
    EXPECT_FALSE(filter.Matches(photo));
    filter = {};
    filter.deletedOnly = true;
    EXPECT_TRUE(filter.Matches(photo));
    EXPECT_FALSE(filter.Matches(carved));
    carved.engineKind = NtfsFormatted;
    EXPECT_FALSE(filter.Matches(carved));
}

TEST(FindingFilter, BothFrontEndsReadANameTheSameWay) {
    EXPECT_TRUE(NameMatches("vacation", "Summer Vacation 2024.jpg")) << "plain text stands anywhere";
    EXPECT_FALSE(NameMatches("vacation", "vacatio.jpg"));
    EXPECT_TRUE(NameMatches("ÉTÉ", "photos été 2024.jpg")) << "letters of every alphabet in any case";
    EXPECT_TRUE(NameMatches("привет", "ПРИВЕТ мир.txt"));
    EXPECT_TRUE(NameMatches("IMG_*.JPG", "img_0042.jpg")) << "a pattern spans the whole name";
    EXPECT_FALSE(NameMatches("IMG_*", "old IMG_0042.jpg"));
    EXPECT_TRUE(NameMatches("*été*", "Été.png"));
    EXPECT_TRUE(NameMatches("", "anything"));
}

// The ext4 fixture's deleted files, as its script wrote them.
struct DeletedFiles {
    test::TempDir dir;
    fs::path image;
    std::vector<nlohmann::json> files;
    DeletedFiles() {
        image = test::UnpackFixture("ext/ext4.img.gz", dir.path());
        const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ext/ext4.json")));
        for (const auto& file : manifest["files"])
            if (file["state"] == "deleted") files.push_back(file);
    }
    // The names list --json prints, one per found file.
    static std::vector<std::string> Listed(const std::string& arguments) {
        const CliRun run = RunCli("list --json " + arguments);
        std::vector<std::string> names;
        std::istringstream lines(run.output);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with('{')) names.push_back(nlohmann::json::parse(line)["name"]);
        return names;
    }
};

TEST(FilteredRecovery, ListAndRecoverTakeTheSameFiltersAndRefuseBadOnes) {
    DeletedFiles fixture;
    ASSERT_EQ(RunCli("scan " + fixture.image.string()).exitCode, kExitOk);
    size_t between = 0;
    for (const auto& file : fixture.files) {
        const uint64_t size = file["size"].get<uint64_t>();
        between += size >= 10240 && size <= 20480;
    }
    ASSERT_GT(between, 2u);
    EXPECT_EQ(DeletedFiles::Listed("--min-size 10k --max-size 20k").size(), between);
    EXPECT_EQ(DeletedFiles::Listed("--name 'img_00*'").size(), 24u);
    EXPECT_EQ(DeletedFiles::Listed("--name 'img_00*' --min-size 10k --max-size 20k").size(), between);
    // Every file was last written on 2016-12-05 at 14:07:08 UTC.
    EXPECT_EQ(DeletedFiles::Listed("--since 2016-12-05 --until 2016-12-05").size(), fixture.files.size());
    EXPECT_EQ(DeletedFiles::Listed("--since 2016-12-05T14:07:09").size(), 0u);
    EXPECT_EQ(DeletedFiles::Listed("--until 2016-12-04").size(), 0u);
    EXPECT_EQ(DeletedFiles::Listed("--deleted-only").size(), fixture.files.size());

    const fs::path out = fixture.dir / "out";
    for (const char* bad : {"--since 2024-13-40", "--min-size -5", "--max-size lots", "--min-size 2M --max-size 1M"}) {
        const CliRun run = RunCli(std::string("recover ") + bad + " --to " + out.string() + " " + fixture.image.string());
        EXPECT_EQ(run.exitCode, kExitUsage) << bad << ": " << run.output;
        EXPECT_NE(run.output.find("kestrune: --"), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(out)) << "nothing is written for " << bad;
        EXPECT_EQ(RunCli(std::string("list ") + bad).exitCode, kExitUsage) << bad;
    }
}

// Deleted files whose blocks new files took whole, in part and not at all (the kernel's
// own deletions, new files given their inodes): each listed with the share of its blocks
// free now, as debugfs tests them, and filtered on it.
TEST(FilteredRecovery, EachFileSaysHowMuchOfItNoLiveFileHolds) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ext/reused.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ext/reused.json")));
    ASSERT_EQ(RunCli("scan " + image.string()).exitCode, kExitOk);
    const CliRun run = RunCli("list --json");
    std::map<std::string, nlohmann::json> listed;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with('{')) {
            const auto record = nlohmann::json::parse(line);
            listed[record["folder"].get<std::string>() + "/" + record["name"].get<std::string>()] = record;
        }
    std::map<int, std::string> byShare;
    for (const auto& file : manifest["files"]) {
        const std::string path = file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
        ASSERT_TRUE(listed.count(path)) << path << "\n" << run.output;
        EXPECT_EQ(listed[path]["recoverable"], file["recoverable"]) << path;
        EXPECT_EQ(listed[path]["foundBy"], "deleted");
        byShare[file["recoverable"].get<int>()] = file["name"];
    }
    ASSERT_EQ(byShare.size(), 3u);
    EXPECT_EQ(DeletedFiles::Listed("--min-recoverable 100"), std::vector<std::string>{byShare.rbegin()->second});
    EXPECT_EQ(DeletedFiles::Listed("--min-recoverable 1").size(), 2u);
    EXPECT_EQ(RunCli("list --min-recoverable 101").exitCode, kExitUsage);
}

// Files whose names give another type than their content (a photo kept as ".hmm", a WMV
// as ".asf", ".mpg" and ".rm" that the carver calls "mpeg" and "rmvb"): a deep scan finds
// each through its folder and by its signature, and lists it once, under its name.
TEST(FilteredRecovery, ACarvedCopyOfANamedFileIsListedOnceWhateverItsExtension) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/renamed.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/renamed.json")));
    const fs::path out = dir / "out";
    const CliRun run = RunCli("recover --mode deep --to " + out.string() + " " + image.string());
    ASSERT_EQ(run.exitCode, kExitOk) << run.output;
    std::multiset<std::string> written, expected;
    for (const auto& entry : fs::recursive_directory_iterator(out))
        if (entry.is_regular_file()) written.insert(test::Sha256Hex(test::ReadFileBytes(entry.path())));
    for (const auto& file : manifest["files"]) expected.insert(file["sha256"].get<std::string>());
    EXPECT_EQ(written, expected) << run.output;
    EXPECT_EQ(DeletedFiles::Listed("").size(), manifest["files"].size());
}

TEST(FilteredRecovery, KeepFoldersRecreatesTheFoldersAndADryRunWritesNothing) {
    DeletedFiles fixture;
    uint64_t bytes = 0;
    for (const auto& file : fixture.files) bytes += file["size"].get<uint64_t>();
    const fs::path tried = fixture.dir / "tried";
    const CliRun dry = RunCli("recover --dry-run --keep-folders --to " + tried.string() + " " + fixture.image.string());
    ASSERT_EQ(dry.exitCode, kExitOk) << dry.output;
    EXPECT_FALSE(fs::exists(tried));
    EXPECT_NE(dry.output.find("would write " + (tried / "Docs/Letters/Résumé été.txt").string()), std::string::npos)
        << dry.output;
    EXPECT_NE(dry.output.find("would recover " + std::to_string(fixture.files.size()) + " files (" +
                              FormatSize(bytes) + ", " + std::to_string(bytes) + " bytes)"),
              std::string::npos)
        << dry.output;

    const fs::path out = fixture.dir / "out";
    const CliRun run = RunCli("recover --keep-folders --to " + out.string() + " " + fixture.image.string());
    ASSERT_EQ(run.exitCode, kExitOk) << run.output;
    for (const auto& file : fixture.files) {
        const fs::path path = out / file["folder"].get<std::string>() / file["name"].get<std::string>();
        ASSERT_TRUE(fs::exists(path)) << path;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(path)), file["sha256"].get<std::string>()) << path;
    }
    EXPECT_FALSE(fs::exists(out / "photo")) << "no type folders";
}

}  // namespace
}  // namespace kestrune::cli
