// Deleted camera folders whose clusters lie among their photos come back whole, in the
// quick scan and, listed once, in the formatted scan.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/engine_factory.h"
#include "engines/fat/fast_fat_recovery.h"
#include "engines/fat/folder_continuation.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct Card {
    const char* fixture;
    std::map<std::string, std::string> listedFolders;  // folder on the card -> as listed
};

const Card kCards[] = {
    {"camera", {{"DCIM/100CANON", "DCIM/100CANON"}}},
    {"phone",
     {{"DCIM/Camera", "DCIM/Camera"},
      {"Pictures/Screenshots", "Pictures/Screenshots"},
      {"DCIM/100MEDIA", "DCIM/100MEDIA"},
      {"DCIM/101MEDIA", "DCIM/101MEDIA"}}},
    {"camera16", {{"DCIM/100MEDIA", "DCIM/100MEDIA"}}},
};

void PrintTo(const Card& card, std::ostream* out) { *out << card.fixture; }

// An 8.3 name comes back in the case it was written with; the first letter the deletion
// mark took is guessed back from the camera's naming (IMG_ photos, DCF folders).
std::string ListedName(const std::string& name) { return name; }

// "folder/name" of every listed file, with its record.
using Listing = std::multimap<std::string, ScanRecord>;

void ExpectEveryPhotoOnce(const Card& card, IFileRecoveryParse& engine, const Listing& listing, const fs::path& out) {
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath(std::string("fat/") + card.fixture + ".json")));
    size_t intact = 0;
    for (const auto& photo : manifest["photos"]) {
        const std::string key = card.listedFolders.at(photo["folder"].get<std::string>()) + "/" +
                                ListedName(photo["name"].get<std::string>());
        ASSERT_EQ(listing.count(key), 1u) << card.fixture << ": " << key;
        const ScanRecord& r = listing.find(key)->second;
        EXPECT_EQ(r.fileSize, photo["size"].get<uint64_t>()) << key;
        const fs::path target = out / std::to_string(r.engineKind * 100000 + r.recordId);
        ASSERT_EQ(engine.Recover(r, target, 0), kOk) << key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), photo["sha256"].get<std::string>()) << key;
        ++intact;
    }
    EXPECT_EQ(listing.size(), intact) << card.fixture << ": nothing is listed that the card did not hold";
}

class CameraCard : public ::testing::TestWithParam<Card> {};

TEST_P(CameraCard, TheQuickScanListsEveryPhotoUnderItsFolderWithItsBytes) {
    const Card& card = GetParam();
    test::TempDir dir;
    const fs::path image = test::UnpackFixture(std::string("fat/") + card.fixture + ".img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (engine) engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    auto* fat = dynamic_cast<CFastFatRecovery*>(engine.get());
    ASSERT_NE(fat, nullptr);
    ASSERT_EQ(fat->Scan(nullptr), kOk);
    Listing listing;
    for (uint32_t id = 1; id <= fat->Log()->RecordCount(); ++id) {
        ScanRecord r;
        ASSERT_EQ(fat->Log()->ReadRecord(id, r), kOk);
        if (r.isFolder) continue;
        std::string folder;
        fat->GetRecordPath(r, folder);
        listing.emplace(folder + std::string(RecordName(r)), r);
    }
    ExpectEveryPhotoOnce(card, *fat, listing, dir / "out");
}

TEST_P(CameraCard, TheFormattedScanListsEachPhotoOnceNotAgainUnderALostFolder) {
    const Card& card = GetParam();
    test::TempDir dir;
    const fs::path image = test::UnpackFixture(std::string("fat/") + card.fixture + ".img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    ASSERT_TRUE(pass->UsedFreeSpaceOnly()) << "the folders' clusters are among the free ones the pass reads";
    std::vector<ScanRecord> found;
    pass->SearchByExtension("*.jpg", found);
    Listing listing;
    for (const ScanRecord& r : found) {
        std::string folder;
        pass->GetRecordPath(r, folder);
        listing.emplace(folder + std::string(RecordName(r)), r);
    }
    ExpectEveryPhotoOnce(card, *pass, listing, dir / "out");
}

// Stops a pass at its fifth report of sectors read.
Reporter CancelAfterFive(int& calls, CancelToken& cancel) {
    return {[&calls, &cancel](const RunProgress& progress) {
                if (progress.done > 0 && ++calls == 5) cancel.Cancel();
            },
            &cancel};
}

TEST(CameraCardResumed, AResumedFormattedPassStillListsEachPhotoOnce) {
    // The quick log is only reopened on resume: the folders are walked again, without
    // writing, to learn which clusters they hold.
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/camera.img.gz", dir.path());
    int calls = 0;
    {
        auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
        CancelToken cancel;
    engine->SetReporter(CancelAfterFive(calls, cancel));
        ASSERT_EQ(engine->Scan(nullptr), CancelCode);
    }
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_TRUE(pass->HasStoredPass());
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    std::vector<ScanRecord> found;
    pass->SearchByExtension("*.jpg", found);
    Listing listing;
    for (const ScanRecord& r : found) {
        std::string folder;
        pass->GetRecordPath(r, folder);
        listing.emplace(folder + std::string(RecordName(r)), r);
    }
    ExpectEveryPhotoOnce(kCards[0], *pass, listing, dir / "out");
}

INSTANTIATE_TEST_SUITE_P(Cards, CameraCard, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.fixture); });

// A folder cluster holding one deleted short entry, stamped 2024-01-01 12:minute.
std::vector<uint8_t> ClusterOfEntry(const char* shortName, uint16_t minute) {
    std::vector<uint8_t> cluster(512, 0);
    std::memcpy(cluster.data(), shortName, 11);
    cluster[0] = 0xE5;
    cluster[11] = 0x20;
    const uint16_t time = static_cast<uint16_t>(12 << 11 | minute << 5), date = static_cast<uint16_t>(44 << 9 | 1 << 5 | 1);
    for (size_t at : {14, 22}) cluster[at] = time & 0xFF, cluster[at + 1] = time >> 8;
    for (size_t at : {16, 18, 24}) cluster[at] = date & 0xFF, cluster[at + 1] = date >> 8;
    cluster[26] = 9;
    cluster[28] = 100;
    return cluster;
}

TEST(FolderContinuation, AClusterGoesToTheFolderItCarriesOnInTime) {
    FolderTrail morning, noon;
    const auto first = ClusterOfEntry("IMG_0001JPG", 10), second = ClusterOfEntry("DSC_0001JPG", 30);
    morning.Note(ByteView(first.data(), 32), "!MG_0001.JPG", 512);
    noon.Note(ByteView(second.data(), 32), "!sc_0001.jpg", 512);
    ContinuationCluster later;
    const auto next = ClusterOfEntry("IMG_0002JPG", 31);
    ASSERT_TRUE(later.Summarise(ByteView(next)));
    EXPECT_TRUE(CanContinue(morning, later));
    EXPECT_TRUE(CanContinue(noon, later));
    EXPECT_EQ(BestOwner({&morning, &noon}, later), 0u) << "its names begin like the morning folder's";
    noon.stems = morning.stems;
    EXPECT_EQ(BestOwner({&morning, &noon}, later), 1u) << "alike names: the nearer in time";
    ContinuationCluster earlier;
    const auto before = ClusterOfEntry("IMG_0000JPG", 0);
    ASSERT_TRUE(earlier.Summarise(ByteView(before)));
    EXPECT_FALSE(CanContinue(noon, earlier)) << "written before the folder's last entries";
    noon.nameOpen = true;
    noon.openChecksum = 0x5A;
    // The cluster begins with the end of another long name.
    std::vector<uint8_t> longNameFirst(512, 0);
    longNameFirst[0] = 0xE5;
    longNameFirst[11] = 0x0F;
    longNameFirst[13] = 0x11;
    std::memcpy(longNameFirst.data() + 32, next.data(), 32);
    ContinuationCluster otherName;
    ASSERT_TRUE(otherName.Summarise(ByteView(longNameFirst)));
    EXPECT_FALSE(CanContinue(noon, otherName)) << "a long name cut at the cluster's end goes on with its own checksum";
}

}  // namespace
}  // namespace kestrune
