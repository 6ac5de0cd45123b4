// A volume whose metadata reads well, asked for its existing files too: `scan --all` lists
// them beside the deleted ones, `list` shows them only with --all, and `recover --all`
// writes them byte for byte, on each file system a quick scan reads.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// "folder/name" of each JSON line of a listing, with whether it is said to exist.
std::map<std::string, bool> Listed(const std::string& output) {
    std::map<std::string, bool> listed;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        const auto j = nlohmann::json::parse(line);
        listed[j["folder"].get<std::string>() + "/" + j["name"].get<std::string>()] = j["existing"].get<bool>();
    }
    return listed;
}

class ExistingFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(ExistingFiles, AreListedAndRecoveredOnlyWhenAskedFor) {
    test::TempDir dir;
    ScopedDataHome home(dir / "data");
    const fs::path image = test::UnpackFixture(std::string(GetParam()) + ".img.gz", dir.path());
    const nlohmann::json manifest =
        nlohmann::json::parse(std::ifstream(test::FixturePath(std::string(GetParam()) + ".json")));
    std::map<std::string, std::string> live;  // "folder/name" -> sha256
    for (const auto& file : manifest["files"])
        if (file["state"] == "live") {
            std::string folder = file["folder"].get<std::string>();
            while (!folder.empty() && folder.front() == '/') folder.erase(0, 1);
            live[folder + "/" + file["name"].get<std::string>()] = file["sha256"];
        }
    ASSERT_FALSE(live.empty());

    ASSERT_EQ(RunCli("scan --all " + image.string()).exitCode, kExitOk);
    const auto all = Listed(RunCli("list --all --json").output);
    const auto deletedOnly = Listed(RunCli("list --json").output);
    for (const auto& [path, sha] : live) {
        ASSERT_TRUE(all.count(path)) << path << " is not listed with --all";
        EXPECT_TRUE(all.at(path)) << path << " is not said to exist";
        EXPECT_FALSE(deletedOnly.count(path)) << path << " is listed without --all";
    }
    size_t deleted = 0;
    for (const auto& [path, exists] : all) deleted += !exists;
    EXPECT_EQ(deleted, deletedOnly.size()) << "the deleted files are the same either way";

    const fs::path out = dir / "out";
    const CliRun recovered = RunCli("recover --all --keep-folders --to " + out.string() + " " + image.string());
    EXPECT_EQ(recovered.exitCode, kExitOk) << recovered.output;
    for (const auto& [path, sha] : live) EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(out / path)), sha) << path;

    // A scan made without --all holds no existing file to show.
    ASSERT_EQ(RunCli("scan " + image.string()).exitCode, kExitOk);
    for (const auto& [path, exists] : Listed(RunCli("list --all --json").output)) EXPECT_FALSE(exists) << path;
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExistingFiles, ::testing::Values("ext/ext4", "exfat/card", "exfat/card128"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// The FAT and NTFS fixtures' manifests keep only their deleted files: their live ones, as
// The Sleuth Kit reads them (tsk_recover -a), by their first bytes' SHA-256.
TEST(ExistingFiles, FatAndNtfsGiveTheirLiveFilesAsTheSleuthKitReadsThem) {
    const std::map<std::string, std::map<std::string, std::string>> volumes = {
        {"fat/fat32",
         {{"Keep/overwriter.txt", "f40638b16447e9a9"}, {"Keep/f3.bin", "1f36e63a2a6bc9c1"},
          {"Keep/f1.bin", "85d08f6cad5ba7f3"}, {"Keep/filler.bin", "91431f5bee8f32e9"}}},
        {"ntfs/deleted",
         {{"Keep/live.bin", "0aa199e76faa3f65"}, {"Keep/f3.bin", "b6187a305d9e9111"},
          {"Keep/f1.bin", "e42e92120637c103"}, {"Pictures/diagram.png", "d3c6d48f3adddd9c"}}}};
    for (const auto& [fixture, live] : volumes) {
        test::TempDir dir;
        ScopedDataHome home(dir / "data");
        const fs::path image = test::UnpackFixture(fixture + ".img.gz", dir.path());
        const fs::path out = dir / "out";
        const CliRun recovered = RunCli("recover --all --keep-folders --to " + out.string() + " " + image.string());
        EXPECT_EQ(recovered.exitCode, kExitOk) << recovered.output;
        for (const auto& [path, sha] : live)
            EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(out / path)).substr(0, 16), sha) << fixture << ": " << path;
        const auto listed = Listed(RunCli("list --json").output);
        for (const auto& [path, sha] : live) EXPECT_FALSE(listed.count(path)) << path << " is listed without --all";
    }
}

}  // namespace
}  // namespace kestrune::cli
