// An exFAT volume on a disk whose partition table was wiped: the volume is whole, its
// FAT too, but only a formatted pass of the whole disk finds it. Files that grew into
// the holes deleted photos left lie in pieces along the FAT.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct WipedDisk {
    test::TempDir dir;
    fs::path image = test::UnpackFixture("exfat/wiped_table.img.gz", dir.path());
    nlohmann::json manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/wiped_table.json")));
    std::unique_ptr<IFileRecoveryParse> engine;
    std::map<std::string, ScanRecord> byPath;
    const std::string volumeFolder =
        "CARD (exFAT at sector " + std::to_string(manifest["partitionStart"].get<uint64_t>()) + ")/";

    CProfessionalRecovery& Scan() {
        engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
        auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
        EXPECT_NE(pass, nullptr);
        EXPECT_EQ(pass->Scan(nullptr), kOk);
        std::vector<ScanRecord> found;
        pass->SearchByExtension(BuildSearchPattern({"jpg", "mp4", "mp3", "txt"}), found);
        for (const ScanRecord& r : found) {
            if (r.engineKind != ExfatFormatted && r.engineKind != ExfatQuick) continue;
            std::string folder;
            pass->GetRecordPath(r, folder);
            // The volume is found and read as if its partition were there, under a folder
            // of its own.
            if (r.engineKind == ExfatQuick) {
                EXPECT_TRUE(folder.starts_with(volumeFolder)) << folder;
                folder.erase(0, folder.find('/') + 1);
            }
            byPath[folder + std::string(RecordName(r))] = r;
        }
        return *pass;
    }
    std::string Recovered(CProfessionalRecovery& pass, const ScanRecord& r) {
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        EXPECT_EQ(pass.Recover(r, target, 0), kOk) << RecordName(r);
        return test::Sha256Hex(test::ReadFileBytes(target));
    }
};

TEST(ExfatWipedTable, FilesInPiecesFollowTheFatAndEveryFolderIsFound) {
    WipedDisk disk;
    CProfessionalRecovery& pass = disk.Scan();
    size_t inPieces = 0, exact = 0;
    for (const auto& entry : disk.manifest["files"]) {
        const std::string path = entry["folder"].get<std::string>() + "/" + entry["name"].get<std::string>();
        const auto found = disk.byPath.find(path);
        const bool whole = entry["state"] == "live" || entry["onePiece"].get<bool>();
        if (!whole) {
            // A deleted photo a later file was written over.
            EXPECT_TRUE(found == disk.byPath.end() || found->second.contentOk == 0) << path;
            continue;
        }
        ASSERT_NE(found, disk.byPath.end()) << path;
        const ScanRecord& r = found->second;
        EXPECT_EQ(r.fileSize, entry["size"].get<uint64_t>()) << path;
        EXPECT_EQ(r.partitionStart, disk.manifest["partitionStart"].get<uint64_t>()) << path;
        EXPECT_EQ(disk.Recovered(pass, r), entry["sha256"].get<std::string>()) << path;
        ++exact;
        if (!entry["onePiece"].get<bool>()) ++inPieces;
    }
    EXPECT_EQ(exact, 25u);
    EXPECT_EQ(inPieces, 8u) << "the fixture no longer holds files in pieces";
}

TEST(ExfatWipedTable, AChainThatDoesNotEndWhereTheFileDoesIsNotFollowed) {
    WipedDisk disk;
    std::vector<uint8_t> bytes = test::ReadFileBytes(disk.image);
    const uint64_t volume = disk.manifest["partitionStart"].get<uint64_t>() * 512;
    const uint64_t fat = volume + uint64_t{ByteView(bytes).le32(volume + 80)} * 512;
    disk.Scan();
    const uint32_t first = disk.byPath.at("Documents/Annual report.txt").fsId;
    // The FAT entry of the report's first cluster made to point at itself.
    for (int i = 0; i < 4; ++i) bytes[fat + first * 4 + i] = static_cast<uint8_t>(first >> (8 * i));
    disk.engine.reset();
    disk.byPath.clear();
    test::WriteFileBytes(disk.image, bytes);
    CProfessionalRecovery& pass = disk.Scan();
    const ScanRecord report = disk.byPath.at("Documents/Annual report.txt");
    // The file is in use on the volume: its chain is the only word on where its data
    // lies, and a chain that loops gives none: the copy fails rather than pass for whole.
    EXPECT_NE(pass.Recover(report, disk.dir / "looped", 0), kOk);
    for (const auto& entry : disk.manifest["files"]) {
        if (entry["name"] != "clip two.mp4") continue;
        EXPECT_EQ(disk.Recovered(pass, disk.byPath.at("Video/clip two.mp4")), entry["sha256"].get<std::string>());
    }
}

}  // namespace
}  // namespace kestrune
