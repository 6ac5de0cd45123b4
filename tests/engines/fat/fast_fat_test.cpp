#include "base/file_time.h"
#include "engines/fat/fast_fat_recovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "engines/engine_factory.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// The name a deleted entry comes back with: its long name, or, when the name needed no
// long entry, its short name in the case it was written with, the first letter lost to
// the deletion mark.
std::string ExpectedName(const std::string& name) {
    if (name[0] == '!') return name;
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    auto uniformCase = [](const std::string& s) {
        return std::none_of(s.begin(), s.end(), ::islower) || std::none_of(s.begin(), s.end(), ::isupper);
    };
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_'; });
    const bool shortOnly = plain && base.size() <= 8 && ext.size() <= 3 && name.find('.', dot + 1) == std::string::npos &&
                           uniformCase(base) && uniformCase(ext);
    return shortOnly ? "!" + name.substr(1) : name;
}

struct Scanned {
    test::TempDir dir;
    fs::path image;
    std::unique_ptr<IFileRecoveryParse> engine;
    std::map<std::string, ScanRecord> byPath;
};

std::unique_ptr<Scanned> ScanImage(const fs::path& image) {
    auto s = std::make_unique<Scanned>();
    s->image = image;
    s->engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (!s->engine) return s;
    s->engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    EXPECT_EQ(s->engine->Scan(nullptr), kOk);
    auto* fat = dynamic_cast<CFastFatRecovery*>(s->engine.get());
    for (uint32_t id = 1; fat && id <= fat->Log()->RecordCount(); ++id) {
        ScanRecord r;
        if (fat->Log()->ReadRecord(id, r) != kOk) continue;
        std::string folder;
        s->engine->GetRecordPath(r, folder);
        s->byPath[folder + std::string(RecordName(r))] = r;
    }
    return s;
}

class FatFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(FatFixture, EveryRecordedFileHasItsNameFolderStampsAndBytes) {
    test::TempDir dir;
    const std::string name = GetParam();
    const fs::path image = test::UnpackFixture("fat/" + name + ".img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/" + name + ".json")));
    auto scanned = ScanImage(image);
    ASSERT_NE(scanned->engine, nullptr);
    ASSERT_NE(dynamic_cast<CFastFatRecovery*>(scanned->engine.get()), nullptr);
    bool aboveCluster65535 = false;
    for (const auto& entry : manifest["deleted"]) {
        const std::string folder = entry["folder"].get<std::string>();
        const std::string note = entry["note"].get<std::string>();
        const std::string fileName = entry["name"].get<std::string>();
        const bool deleted = entry["kind"].get<std::string>() == "deleted";
        const std::string key = (folder.empty() ? "" : folder + "/") + (deleted ? ExpectedName(fileName) : fileName);
        ASSERT_TRUE(scanned->byPath.count(key)) << key;
        const ScanRecord& r = scanned->byPath[key];
        EXPECT_EQ(r.engineKind, uint32_t{FatQuick});
        EXPECT_EQ(r.fileSize, entry["size"].get<uint64_t>()) << key;
        EXPECT_EQ(r.writeTime, FileTimeFromUnix(entry["mtime"].get<int64_t>())) << key;
        aboveCluster65535 |= r.fsId > 0xFFFF;
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        const int recovered = scanned->engine->Recover(r, target, 0);
        const auto bytes = test::ReadFileBytes(target);
        if (note == "overwritten") {
            EXPECT_EQ(r.contentOk, 0u) << "its clusters hold another file now";
        } else {
            // A fragmented file, written round a live file, comes back whole too: its
            // freed chain goes on past the live file's clusters.
            ASSERT_EQ(recovered, kOk) << key;
            EXPECT_EQ(r.contentOk, 1u) << key;
            EXPECT_EQ(test::Sha256Hex(bytes), entry["sha256"].get<std::string>()) << key;
        }
    }
    for (const char* folder : {"Docs", "Docs/Reports", "Docs/Reports/2016", "Pictures", "Trash", "Trash/Sub", "LiveDir", "Keep"}) {
        ASSERT_TRUE(scanned->byPath.count(folder)) << folder;
        EXPECT_EQ(scanned->byPath[folder].isFolder, 1u);
    }
    EXPECT_EQ(scanned->byPath["Trash"].folderDeleted, 1u);
    EXPECT_EQ(scanned->byPath["Docs"].folderDeleted, 0u);
    EXPECT_FALSE(scanned->byPath.count("Keep/f1.bin")) << "live files in live folders are not recorded";
    EXPECT_FALSE(scanned->byPath.count("Keep/overwriter.txt"));
    if (name == std::string("fat32")) {
        EXPECT_TRUE(aboveCluster65535) << "the high-word probe found them";
    }
    std::vector<ScanRecord> photos;
    scanned->engine->SearchByExtension("*.jpg", photos);
    for (const ScanRecord& r : photos) EXPECT_NE(std::string(RecordName(r)), "!ictim.jpg") << "overwritten photos are hidden";
}

INSTANTIATE_TEST_SUITE_P(Images, FatFixture, ::testing::Values("fat12", "fat16", "fat32"));

TEST(FatHoles, PhotosWrittenIntoHolesBetweenLiveFilesComeBackWhole) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/holes.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/holes.json")));
    auto scanned = ScanImage(image);
    int fragmented = 0;
    for (const auto& entry : manifest["deleted"]) {
        const std::string key = "DCIM/" + ExpectedName(entry["name"].get<std::string>());
        ASSERT_TRUE(scanned->byPath.count(key)) << key;
        const ScanRecord& r = scanned->byPath[key];
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        EXPECT_EQ(scanned->engine->Recover(r, target, 0), kOk) << key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << key;
        fragmented += entry["note"] == "fragmented";
    }
    EXPECT_GE(fragmented, 20) << "most photos were written in pieces";
}

// Notes of one cluster, every other one deleted, photos and tables written into the
// holes round the notes that stayed, then the whole folder tree deleted.
class InterleavedFat : public ::testing::TestWithParam<const char*> {};

TEST_P(InterleavedFat, FilesWrittenRoundEachOtherComeBackWhole) {
    test::TempDir dir;
    const std::string name = GetParam();
    const fs::path image = test::UnpackFixture("fat/" + name + ".img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/" + name + ".json")));
    auto scanned = ScanImage(image);
    int interleaved = 0, interleavedExact = 0;
    for (const auto& entry : manifest["deleted"]) {
        // The folder inside the deleted folder is walked, its clusters found where it grew
        // among the notes, and its files keep the whole path. DCIM at the root gets its
        // first letter back by the camera folder rules.
        const std::string key = "DCIM/Trip/" + ExpectedName(entry["name"].get<std::string>());
        ASSERT_TRUE(scanned->byPath.count(key)) << key;
        const ScanRecord& r = scanned->byPath[key];
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        const bool same = scanned->engine->Recover(r, target, 0) == kOk &&
                          test::Sha256Hex(test::ReadFileBytes(target)) == entry["sha256"].get<std::string>();
        if (entry["note"] == "interleaved") {
            ++interleaved;
            interleavedExact += same;
            // What does not come back whole is listed as a guess, never as sure.
            DataMap map;
            scanned->engine->MapData(r, map);
            if (!same) {
                EXPECT_TRUE(map.layoutGuessed) << key;
            }
        } else {
            EXPECT_TRUE(same) << key << ": a file of one run comes back whole";
        }
    }
    // Read as one run over the free clusters, none of them came back; read round the other
    // files' claims, most do. (A note deleted before a table was written over it keeps its
    // claim when the table's end left the note's own end in place: text in text, nothing
    // tells.)
    RecordProperty("interleaved_exact", std::to_string(interleavedExact) + " of " + std::to_string(interleaved));
    // As many as come back today: fewer is a regression.
    const std::map<std::string, std::pair<int, int>> known{
        {"interleaved12", {49, 37}}, {"interleaved16", {66, 53}}, {"interleaved32", {68, 51}}};
    EXPECT_EQ(interleaved, known.at(name).first) << "the photos and tables were written round the notes";
    EXPECT_GE(interleavedExact, known.at(name).second) << interleavedExact << " of " << interleaved;
}

INSTANTIATE_TEST_SUITE_P(Images, InterleavedFat, ::testing::Values("interleaved12", "interleaved16", "interleaved32"));

TEST(FatSharedCluster, TheFolderMadeLaterOwnsTheClusterTwoDeletedFoldersName) {
    // Zeta/Old was deleted, Alpha/New made in its cluster and deleted too. Alpha is walked
    // first, so Old's entry is met last: it must not take New's files.
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/shared_cluster.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/shared_cluster.json")));
    auto scanned = ScanImage(image);
    for (const auto& entry : manifest["deleted"]) {
        const std::string key = "Alpha/New/" + ExpectedName(entry["name"].get<std::string>());
        ASSERT_TRUE(scanned->byPath.count(key)) << key;
        const fs::path target = dir / "out" / std::to_string(scanned->byPath[key].recordId);
        ASSERT_EQ(scanned->engine->Recover(scanned->byPath[key], target, 0), kOk);
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << key;
    }
    for (const auto& [path, record] : scanned->byPath) EXPECT_NE(path.rfind("Zeta", 0), 0u) << path;
}

TEST(FatGeometry, RootAreasAndEntryWidths) {
    test::TempDir dir;
    for (const auto& [fixture, bits, rootSectors] :
         {std::tuple{"boot/fat12.img.gz", 12, 14u}, {"boot/fat16.img.gz", 16, 32u}, {"boot/fat32.img.gz", 32, 0u}}) {
        const auto boot = test::ReadFileBytes(test::UnpackFixture(fixture, dir.path()));
        FatVolumeInfo volume;
        ASSERT_TRUE(volume.FromBootSector(ByteView(boot), 0, boot.size() / 512)) << fixture;
        EXPECT_EQ(volume.fatBits, bits) << fixture;
        EXPECT_EQ(volume.rootSectors, rootSectors) << "224 entries take 14 sectors, 512 take 32";
    }
    std::vector<uint8_t> absurd(512, 0);
    absurd[11] = 0x00, absurd[12] = 0x02;  // 512 bytes per sector, no cluster size
    FatVolumeInfo volume;
    EXPECT_FALSE(volume.FromBootSector(ByteView(absurd), 0, 100));
}

// Edits a copy of the FAT16 fixture and scans it.
class EditedFat16 : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = test::UnpackFixture("fat/fat16.img.gz", dir_.path());
        bytes_ = test::ReadFileBytes(image_);
        volume_.FromBootSector(ByteView(bytes_), 0, bytes_.size() / 512);
        original_ = ScanImage(image_);
    }
    void Write() { test::WriteFileBytes(image_, bytes_); }
    uint8_t* Cluster(uint32_t n) { return bytes_.data() + volume_.ClusterSector(n) * 512; }

    test::TempDir dir_;
    fs::path image_;
    std::vector<uint8_t> bytes_;
    FatVolumeInfo volume_;
    std::unique_ptr<Scanned> original_;
};

TEST_F(EditedFat16, AFolderWhoseClustersWereReusedIsNotWalked) {
    const uint32_t sub = original_->byPath.at("Trash/Sub").fsId;
    std::memset(Cluster(sub), 0x41, volume_.ClusterBytes());
    Write();
    auto scanned = ScanImage(image_);
    EXPECT_TRUE(scanned->byPath.count("Trash/!op.txt"));
    for (const auto& [key, r] : scanned->byPath) EXPECT_EQ(key.find("Trash/Sub/"), std::string::npos) << key;
}

TEST_F(EditedFat16, LoopsAndDamageEndTheScan) {
    // The Docs folder's chain points at itself, and its cluster lists itself as a child.
    const uint32_t docs = original_->byPath.at("Docs").fsId;
    const uint64_t fat = volume_.reservedSectors * 512ULL;
    bytes_[fat + 2 * docs] = static_cast<uint8_t>(docs);
    bytes_[fat + 2 * docs + 1] = static_cast<uint8_t>(docs >> 8);
    uint8_t* entries = Cluster(docs);
    std::memcpy(entries + 32 * 10, entries + 32 * 2, 32);  // a copy of a child entry
    entries[32 * 10 + 26] = static_cast<uint8_t>(docs);
    entries[32 * 10 + 27] = static_cast<uint8_t>(docs >> 8);
    entries[32 * 10 + 11] = 0x10;
    Write();
    auto looped = ScanImage(image_);
    EXPECT_TRUE(looped->byPath.count("Docs/!eport.pdf"));

    std::mt19937 random(5);
    const auto pristine = test::ReadFileBytes(test::UnpackFixture("fat/fat16.img.gz", dir_.path()));
    int opened = 0;
    for (int round = 0; round < 30; ++round) {
        bytes_ = pristine;
        // Flips in the boot sector, the FATs, the root area and the first data clusters.
        bool bootTouched = false;
        for (int flips = 0; flips < 40; ++flips) {
            const size_t at = random() % (volume_.ClusterSector(40) * 512);
            bytes_[at] = static_cast<uint8_t>(random());
            bootTouched |= at < 512;
        }
        const bool cut = round % 5 == 0;
        if (cut) bytes_.resize(random() % bytes_.size());
        Write();
        auto damaged = ScanImage(image_);  // which expects every scan that opens to end well
        if (!bootTouched && !cut) {
            EXPECT_NE(damaged->engine, nullptr) << "round " << round << ": the boot sector is whole";
        }
        if (!damaged->engine) continue;
        ++opened;
        int n = 0;
        for (const auto& [key, r] : damaged->byPath) {
            const fs::path target = damaged->dir / std::to_string(n++);
            damaged->engine->Recover(r, target, 0);
            // Whatever damage says, a file is never written past the size its entry gives.
            std::error_code ec;
            if (!r.isFolder && fs::is_regular_file(target, ec)) {
                EXPECT_LE(fs::file_size(target), r.fileSize) << key;
            }
        }
    }
    EXPECT_GT(opened, 15);
}

TEST_F(EditedFat16, FreeExtentsFollowTheAllocationMap) {
    auto& engine = *original_->engine;
    ASSERT_EQ(engine.BuildAllocationMap(), kOk);
    uint64_t position = 0, length = 0, free = 0;
    while (engine.NextFreeExtent(position, length) == 1 && length != 0) {
        EXPECT_GE(position, volume_.firstDataSector);
        free += length;
        position += length;
    }
    EXPECT_GT(free, 0u);
    EXPECT_LT(free, volume_.totalSectors);
    position = volume_.sectorCount + 10;
    engine.NextFreeExtent(position, length);
    EXPECT_EQ(position, volume_.sectorCount);
    EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace kestrune

namespace kestrune {
namespace {

// A FAT the disk cannot deliver (bad sectors, or a boot sector that puts it past the end)
// is read once, not once per cluster: each vain read used to clear a 16 MiB window, so a
// scan of such a volume took minutes.
TEST(FatTableTest, UnreadableFatIsReadOnceNotPerCluster) {
    FatVolumeInfo volume;
    volume.bytesPerSector = 512;
    volume.reservedSectors = 1;
    volume.fatCount = 1;
    volume.fatSectors = 64;
    volume.fatBits = 16;
    auto medium = std::make_unique<test::FaultyMedium>(std::vector<uint8_t>(512 * 200, 0));
    for (uint64_t sector = 1; sector <= 64; ++sector) medium->FailSector(sector);
    test::FaultyMedium& faulty = *medium;
    SectorSource source = SourceOverMedium(std::move(medium), 512);
    FatTable table;
    table.Attach(&volume, &source);
    uint32_t value = 1;
    for (uint32_t cluster = 2; cluster < 10000; ++cluster) EXPECT_FALSE(table.Entry(cluster, value));
    EXPECT_EQ(value, 0u);
    EXPECT_LT(faulty.reads, 200u);
}

}  // namespace
}  // namespace kestrune
