// An ext4 volume made again with mkfs over a used one and never mounted since: its
// formatted scan lists the old volume's files from the inode tables mkfs left alone,
// in their folders, with their sizes, times and bytes; a volume that was never formatted
// over has no such files.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "base/file_time.h"
#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct FormattedScan {
    test::TempDir dir;
    std::unique_ptr<IFileRecoveryParse> engine;
    CProfessionalRecovery* pass = nullptr;
    std::map<std::string, ScanRecord> former;  // path -> record, of the former volume's files
    std::vector<ScanRecord> all;

    explicit FormattedScan(const std::string& name) {
        const fs::path image = test::UnpackFixture("ext/" + name + ".img.gz", dir.path());
        engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
        pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
        if (!pass || pass->Scan(nullptr) != kOk) return;
        pass->SearchByExtension(BuildSearchPattern({}) + "|*.other", all);
        for (const ScanRecord& r : all) {
            if (r.engineKind != ExtFormatted) continue;
            std::string folder;
            pass->GetRecordPath(r, folder);
            const std::string path = folder + std::string(RecordName(r));
            EXPECT_FALSE(former.count(path)) << "listed twice: " << path;
            former[path] = r;
        }
    }
};

TEST(FormerExtVolume, TheFilesOfTheVolumeFormattedOverComeBackInTheirFolders) {
    FormattedScan scan("reformatted");
    ASSERT_NE(scan.pass, nullptr);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ext/reformatted.json")));
    // The old root's block is the new root's: the top-level folders are known by their
    // inode numbers only, every folder below them by its name, and a file of the old root
    // by its number in "LostFolder".
    auto pathOnScan = [&](const nlohmann::json& file) -> std::string {
        const std::string folder = file["folder"], name = file["name"];
        if (folder.empty()) return "";
        const size_t slash = folder.find('/');
        const std::string rest = (slash == std::string::npos ? "" : folder.substr(slash)) + "/" + name;
        // "LostFolder", its inode number, then the rest of the path as the script wrote it.
        for (const auto& [path, r] : scan.former) {
            const size_t digits = path.find_first_not_of("0123456789", 10);
            const bool numbered = path.starts_with("LostFolder") && digits > 10 && digits != std::string::npos;
            if (numbered && path.substr(digits) == rest) return path;
        }
        return "";
    };
    size_t recovered = 0;
    for (const auto& file : manifest["files"]) {
        std::string path = pathOnScan(file);
        if (file["folder"] == "") {
            for (const auto& [p, r] : scan.former)
                if (p.starts_with("LostFolder/") && r.fileSize == file["size"].get<uint64_t>()) path = p;
        }
        ASSERT_FALSE(path.empty()) << file["folder"] << "/" << file["name"];
        const ScanRecord& r = scan.former[path];
        EXPECT_EQ(r.fileSize, file["size"].get<uint64_t>()) << path;
        EXPECT_EQ(r.contentOk, 1u) << path;
        EXPECT_EQ(r.writeTime / 10'000'000, FileTimeFromUnix(file["mtime"].get<int64_t>()) / 10'000'000) << path;
        const fs::path target = scan.dir / "out" / std::to_string(r.recordId);
        ASSERT_EQ(scan.pass->Recover(r, target, 0), kOk) << path;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), file["sha256"].get<std::string>()) << path;
        ++recovered;
    }
    EXPECT_EQ(recovered, manifest["files"].size());
    EXPECT_EQ(scan.former.size(), manifest["files"].size()) << "nothing else";
    // A photo carved at the start of a named one is the same file: listed once.
    for (const ScanRecord& r : scan.all) EXPECT_NE(r.engineKind, uint32_t{Signature}) << RecordName(r);
}

// A recording written into the one-block holes of a full card: its extent tree has index
// blocks below the inode and leaves below those, and every one of its pieces is read in
// order, the file's bytes exact.
TEST(FormerExtVolume, AFileOfAThousandPiecesTwoIndexLevelsDeepComesBackWhole) {
    FormattedScan scan("deep_extents");
    ASSERT_NE(scan.pass, nullptr);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ext/deep_extents.json")));
    ASSERT_GE(manifest["treeDepth"].get<int>(), 2) << "the fixture no longer has index blocks below the inode";
    ASSERT_GT(manifest["extents"].get<int>(), 1000);
    size_t checked = 0;
    for (const auto& file : manifest["files"]) {
        const std::string suffix = "/100MEDIA/" + file["name"].get<std::string>();
        const ScanRecord* found = nullptr;
        for (const auto& [path, r] : scan.former)
            if (path.ends_with(suffix)) found = &r;
        ASSERT_NE(found, nullptr) << suffix;
        EXPECT_EQ(found->fileSize, file["size"].get<uint64_t>()) << suffix;
        const fs::path target = scan.dir / "out" / file["name"].get<std::string>();
        ASSERT_EQ(scan.pass->Recover(*found, target, 0), kOk) << suffix;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), file["sha256"].get<std::string>()) << suffix;
        DataMap map;
        ASSERT_EQ(scan.pass->MapData(*found, map), kOk) << suffix;
        if (found->fileSize > 1'000'000) {
            EXPECT_GT(map.runs.size(), 1000u) << "each piece is a run of its own";
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2u);
}

// Inodes of files deleted on the volume itself, and of live ones, are no former files.
TEST(FormerExtVolume, AVolumeNeverFormattedOverHasNoFormerFiles) {
    for (const char* name : {"ext4", "ext3", "ext2debugfs"}) {
        FormattedScan scan(name);
        ASSERT_NE(scan.pass, nullptr) << name;
        EXPECT_TRUE(scan.former.empty()) << name << ": " << (scan.former.empty() ? "" : scan.former.begin()->first);
    }
}

}  // namespace
}  // namespace kestrune
