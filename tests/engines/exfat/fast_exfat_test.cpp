// The exFAT quick scan over a card exfat-fuse filled and emptied: every deleted file in
// its folder with its name, size, times and bytes; live files left out; the free
// clusters the deep pass may carve.
#include "base/file_time.h"
#include "engines/exfat/fast_exfat_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct ScannedCard {
    test::TempDir dir;
    fs::path image;
    std::unique_ptr<IFileRecoveryParse> engine;
    CFastExfatRecovery* exfat = nullptr;
    std::map<std::string, ScanRecord> byPath;
    int scanResult = -1;

    explicit ScannedCard(const std::string& name = "card", const std::function<void(std::vector<uint8_t>&)>& damage = nullptr) {
        image = test::UnpackFixture("exfat/" + name + ".img.gz", dir.path());
        if (damage) {
            auto bytes = test::ReadFileBytes(image);
            damage(bytes);
            test::WriteFileBytes(image, bytes);
        }
        engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
        exfat = dynamic_cast<CFastExfatRecovery*>(engine.get());
        if (!exfat) return;
        engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        scanResult = engine->Scan(nullptr);
        for (uint32_t id = 1; exfat->Log() && id <= exfat->Log()->RecordCount(); ++id) {
            ScanRecord r;
            if (exfat->Log()->ReadRecord(id, r) != kOk) continue;
            std::string folder;
            engine->GetRecordPath(r, folder);
            byPath[folder + std::string(RecordName(r))] = r;
        }
    }
};

// Cards of 4 KiB and of 128 KiB clusters.
class ExfatCard : public ::testing::TestWithParam<const char*> {};

TEST_P(ExfatCard, EveryDeletedFileIsListedInItsFolderWithItsNameTimesAndBytes) {
    ScannedCard card(GetParam());
    ASSERT_NE(card.exfat, nullptr) << "the factory picks the exFAT engine";
    ASSERT_EQ(card.scanResult, kOk);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath(std::string("exfat/") + GetParam() + ".json")));
    int deleted = 0;
    for (const auto& entry : manifest["files"]) {
        const std::string path = entry["folder"].get<std::string>() + "/" + entry["name"].get<std::string>();
        if (entry["state"] == "live") {
            EXPECT_FALSE(card.byPath.count(path)) << path << ": live files are not listed";
            continue;
        }
        ++deleted;
        ASSERT_TRUE(card.byPath.count(path)) << path;
        const ScanRecord& r = card.byPath[path];
        EXPECT_EQ(r.engineKind, uint32_t{ExfatQuick});
        EXPECT_EQ(r.fileSize, entry["size"].get<uint64_t>()) << path;
        EXPECT_EQ(r.writeTime, FileTimeFromUnix(entry["mtime"].get<int64_t>())) << path;
        EXPECT_EQ(r.contentOk, 1u) << path;
        const fs::path target = card.dir / "out" / std::to_string(r.recordId);
        ASSERT_EQ(card.engine->Recover(r, target, 0), kOk) << path;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << path;
    }
    EXPECT_EQ(deleted, 36);
    for (const char* folder : {"DCIM", "DCIM/100CANON", "Docs", "Docs/Reports", "Docs/Reports/2016", "Keep", "Music"}) {
        ASSERT_TRUE(card.byPath.count(folder)) << folder;
        EXPECT_EQ(card.byPath[folder].isFolder, 1u) << folder;
    }
    EXPECT_EQ(card.byPath["DCIM/100CANON"].folderDeleted, 1u);
    EXPECT_EQ(card.byPath["DCIM"].folderDeleted, 0u);
    // A deleted folder comes back whole, its files inside.
    const fs::path folderTarget = card.dir / "folder";
    ASSERT_EQ(card.engine->Recover(card.byPath["DCIM/100CANON"], folderTarget, 0), kOk);
    EXPECT_EQ(std::distance(fs::directory_iterator(folderTarget), fs::directory_iterator()), 30);
}

INSTANTIATE_TEST_SUITE_P(Cards, ExfatCard, ::testing::Values("card", "card128"));

// exfat-fuse filled a card with notes of one cluster, deleted every other one, wrote
// photos and tables into the holes, then deleted the folder tree. It shrinks a folder as
// its files go, so the deleted folder's entry gives one cluster of many.
TEST(ExfatQuickScan, AFolderCutByItsDeletionAndFilesWrittenRoundEachOtherComeBack) {
    ScannedCard card("interleaved");
    ASSERT_NE(card.exfat, nullptr);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/interleaved.json")));
    int interleaved = 0, interleavedExact = 0;
    for (const auto& entry : manifest["deleted"]) {
        const std::string key = "DCIM/Trip/" + entry["name"].get<std::string>();
        ASSERT_TRUE(card.byPath.count(key)) << key;
        const ScanRecord& r = card.byPath[key];
        const fs::path target = card.dir / "out" / std::to_string(r.recordId);
        const bool same = card.engine->Recover(r, target, 0) == kOk &&
                          test::Sha256Hex(test::ReadFileBytes(target)) == entry["sha256"].get<std::string>();
        if (entry["note"] != "interleaved") {
            EXPECT_TRUE(same) << key;
            continue;
        }
        ++interleaved;
        interleavedExact += same;
        DataMap map;
        card.engine->MapData(r, map);
        if (!same) {
            EXPECT_TRUE(map.layoutGuessed) << key << ": what does not come back whole is a guess";
        }
    }
    RecordProperty("interleaved_exact", std::to_string(interleavedExact) + " of " + std::to_string(interleaved));
    // As many as come back today: fewer is a regression.
    EXPECT_EQ(interleaved, 50);
    EXPECT_GE(interleavedExact, 33) << interleavedExact << " of " << interleaved;
}

TEST(ExfatQuickScan, TheFolderMadeLaterOwnsTheClusterTwoDeletedFoldersName) {
    // Zeta/Old was deleted, Alpha/New made in its cluster and deleted too; Old's entry is
    // met after New's.
    ScannedCard card("shared_cluster");
    ASSERT_NE(card.exfat, nullptr);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/shared_cluster.json")));
    for (const auto& entry : manifest["deleted"]) {
        const std::string key = "Alpha/New/" + entry["name"].get<std::string>();
        ASSERT_TRUE(card.byPath.count(key)) << key;
        const fs::path target = card.dir / "out" / entry["name"].get<std::string>();
        ASSERT_EQ(card.engine->Recover(card.byPath[key], target, 0), kOk);
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << key;
    }
    for (const auto& [path, record] : card.byPath) EXPECT_NE(path.rfind("Zeta", 0), 0u) << path;
}

TEST(ExfatQuickScan, TheDeepPassSeesOnlyFreeClustersAndProbeNamesTheVolume) {
    ScannedCard card;
    ASSERT_NE(card.exfat, nullptr);
    ASSERT_EQ(card.engine->BuildAllocationMap(), kOk);
    const ExfatGeometry& volume = card.exfat->Volume();
    // The live files' clusters never lie in a free extent.
    uint64_t position = 0, length = 0, freeSectors = 0;
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    while (card.engine->NextFreeExtent(position, length), length > 0) {
        extents.emplace_back(position, position + length);
        freeSectors += length;
        position += length;
    }
    ASSERT_FALSE(extents.empty());
    EXPECT_GE(extents.front().first, uint64_t{volume.heapOffset}) << "boot regions and FATs are not free space";
    EXPECT_LT(freeSectors, uint64_t{volume.clusterCount} * volume.sectorsPerCluster);
    EXPECT_GT(freeSectors, uint64_t{volume.clusterCount} * volume.sectorsPerCluster / 2);
    const auto bytes = test::ReadFileBytes(card.image);
    EXPECT_EQ(ClassifyBootArea(ByteView(bytes).sub(0, kBootAreaBytes)), FsKind::Exfat);
    EXPECT_STREQ(FsKindName(FsKind::Exfat), "exFAT");
}

TEST(ExfatQuickScan, DamagedBootRegionsAndEntrySetsLoseNothingElse) {
    // The main boot region's checksum fails: the backup serves.
    ScannedCard backup("card", [](std::vector<uint8_t>& bytes) { bytes[100] ^= 1; });
    ASSERT_NE(backup.exfat, nullptr);
    EXPECT_TRUE(backup.exfat->Volume().fromBackup);
    EXPECT_TRUE(backup.byPath.count("Keep/fragmented.bin"));
    // Both regions damaged: the scan fails cleanly, it finds nothing and does not crash.
    ScannedCard broken("card", [](std::vector<uint8_t>& bytes) {
        bytes[100] ^= 1;
        bytes[12 * 512 + 100] ^= 1;
    });
    EXPECT_NE(broken.scanResult, kOk);
    EXPECT_TRUE(broken.byPath.empty());
    // A set whose name was damaged fails its checksum: that file is left out, the rest
    // of its folder is still read.
    ScannedCard damagedSet("card", [](std::vector<uint8_t>& bytes) {
        const std::u16string name = u"fragmented";
        const auto* pattern = reinterpret_cast<const uint8_t*>(name.data());
        auto at = std::search(bytes.begin(), bytes.end(), pattern, pattern + name.size() * 2);
        ASSERT_NE(at, bytes.end());
        *at ^= 0x20;
    });
    EXPECT_EQ(damagedSet.scanResult, kOk);
    EXPECT_FALSE(damagedSet.byPath.count("Keep/fragmented.bin"));
    EXPECT_FALSE(damagedSet.byPath.count("Keep/Fragmented.bin"));
    EXPECT_TRUE(damagedSet.byPath.count("Music/track.bin"));
    // Keep held no other deleted file, so it is not listed either.
    EXPECT_FALSE(damagedSet.byPath.count("Keep"));
    EXPECT_EQ(damagedSet.byPath.size(), backup.byPath.size() - 2);
}

// A card used over three days: deleted photos whose clusters later photos took, live or
// deleted in turn. Whatever comes back as good must be the photo's own bytes.
TEST(ExfatQuickScan, APhotoWhoseClustersALaterPhotoTookIsNotCalledGood) {
    ScannedCard card("reused");
    ASSERT_NE(card.exfat, nullptr);
    ASSERT_EQ(card.scanResult, kOk);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/reused.json")));
    int good = 0, writtenOver = 0;
    for (const auto& photo : manifest["photos"]) {
        if (photo["state"] != "deleted") continue;
        const std::string key = photo["folder"].get<std::string>() + "/" + photo["name"].get<std::string>();
        const auto found = card.byPath.find(key);
        if (found == card.byPath.end()) continue;  // its entry was written over too
        const fs::path target = card.dir / "out" / std::to_string(found->second.recordId);
        ASSERT_EQ(card.engine->Recover(found->second, target, 0), kOk) << key;
        const bool own = test::Sha256Hex(test::ReadFileBytes(target)) == photo["sha256"].get<std::string>();
        if (found->second.contentOk) {
            EXPECT_TRUE(own) << key << " is called good but holds another photo's bytes";
            ++good;
        } else {
            EXPECT_FALSE(own) << key << " is whole but called written over";
            ++writtenOver;
        }
    }
    EXPECT_EQ(good, 5) << "the day-two photos deleted on day three";
    EXPECT_EQ(writtenOver, 10) << "day-one photos under a newer deleted or a live photo";
}

}  // namespace
}  // namespace kestrune
