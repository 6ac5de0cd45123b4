// Files of an exFAT card formatted again, from the folders its old volume left in what
// is now free space: the old geometry worked out, every file in its folder with its
// bytes where the new volume did not write over them.
#include "engines/exfat/pro_exfat_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/engine_factory.h"
#include "engines/exfat/exfat_volume.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// The card formatted again as exFAT with other clusters, and as FAT16.
class ReformattedCard : public ::testing::TestWithParam<const char*> {};

TEST_P(ReformattedCard, FilesOfTheFormerVolumeComeBackInTheirFolders) {
    const std::string variant = GetParam();
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("exfat/" + variant + ".img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/reformatted.json")));
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    EXPECT_TRUE(pass->UsedFreeSpaceOnly());
    const auto& heap = pass->ExfatEngine().ChosenHeap();
    ASSERT_TRUE(heap) << "the former volume's geometry was worked out";
    EXPECT_EQ(heap->sectorsPerCluster, 8u) << "its 4 KiB clusters, not the new volume's";

    std::vector<ScanRecord> found;
    pass->SearchByExtension(BuildSearchPattern({"jpg", "png", "txt", "bin"}), found);
    std::map<std::string, ScanRecord> byPath;
    for (const ScanRecord& r : found) {
        if (r.engineKind != ExfatFormatted) continue;
        std::string folder;
        pass->GetRecordPath(r, folder);
        const std::string path = folder + std::string(RecordName(r));
        EXPECT_FALSE(byPath.count(path)) << "listed twice: " << path;
        byPath[path] = r;
    }
    // The new exFAT volume wrote its own root over the old one: the top-level folders
    // lost their entries and show as lost folders, with every folder below them named.
    const bool rootOverwritten = variant == "reformatted";
    const auto find = [&](const std::string& folder, const std::string& name) {
        if (const auto exact = byPath.find(folder + "/" + name); exact != byPath.end() || !rootOverwritten) return exact;
        const size_t slash = folder.find('/');
        const std::string below = (slash == std::string::npos ? "" : folder.substr(slash)) + "/" + name;
        return std::find_if(byPath.begin(), byPath.end(), [&](const auto& f) {
            const size_t digits = f.first.find_first_not_of("0123456789", 10);
            return f.first.starts_with("LostFolder") && digits > 10 && f.first.substr(digits) == below;
        });
    };
    size_t intact = 0;
    for (const auto& entry : manifest["files"]) {
        const std::string folder = entry["folder"].get<std::string>(), name = entry["name"].get<std::string>();
        const auto found = find(folder, name);
        // Bytes written over by the new volume: its folder was too, as often as not.
        if (!entry["intact"][variant].get<bool>()) {
            EXPECT_TRUE(found == byPath.end() || found->second.fileSize == entry["size"].get<uint64_t>()) << name;
            continue;
        }
        ASSERT_NE(found, byPath.end()) << folder << "/" << name;
        const ScanRecord& r = found->second;
        EXPECT_EQ(r.fileSize, entry["size"].get<uint64_t>()) << found->first;
        EXPECT_EQ(r.contentOk, 1u) << found->first;
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        ASSERT_EQ(pass->Recover(r, target, 0), kOk) << found->first;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << found->first;
        ++intact;
    }
    EXPECT_GE(intact, 67u);
    // A photo carved at the start of a named one is the same file: listed once.
    for (const ScanRecord& r : found) {
        EXPECT_FALSE(r.engineKind == Signature && ExtensionOf(RecordName(r)) == "jpg") << RecordName(r);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReformattedCard, ::testing::Values("reformatted", "reformatted_fat"));

// One directory run holding a folder's entry set: a File entry, a stream and a name.
std::vector<uint8_t> EntrySet(uint8_t fileType, const std::u16string& name, uint16_t attributes, uint32_t cluster,
                              uint64_t length) {
    const size_t nameEntries = (name.size() + 14) / 15;
    std::vector<uint8_t> set((2 + nameEntries) * exfat::kEntryBytes, 0);
    set[0] = fileType;
    set[1] = static_cast<uint8_t>(1 + nameEntries);
    set[4] = static_cast<uint8_t>(attributes);
    const uint8_t inUse = fileType & exfat::kInUse;
    set[32] = (exfat::kStreamEntry & ~exfat::kInUse) | inUse;
    set[33] = exfat::kAllocationPossible | exfat::kNoFatChain;
    set[35] = static_cast<uint8_t>(name.size());
    for (int i = 0; i < 4; ++i) set[32 + 20 + i] = static_cast<uint8_t>(cluster >> (8 * i));
    for (int i = 0; i < 8; ++i) set[32 + 8 + i] = set[32 + 24 + i] = static_cast<uint8_t>(length >> (8 * i));
    for (size_t e = 0; e < nameEntries; ++e) {
        set[(2 + e) * 32] = (exfat::kNameEntry & ~exfat::kInUse) | inUse;
        for (size_t c = 0; c < 15 && e * 15 + c < name.size(); ++c) {
            set[(2 + e) * 32 + 2 + 2 * c] = static_cast<uint8_t>(name[e * 15 + c]);
            set[(2 + e) * 32 + 3 + 2 * c] = static_cast<uint8_t>(name[e * 15 + c] >> 8);
        }
    }
    const uint16_t sum = EntrySetChecksum(ByteView(set));
    set[2] = static_cast<uint8_t>(sum);
    set[3] = static_cast<uint8_t>(sum >> 8);
    return set;
}

TEST(ExfatLeftovers, DirectorySectorsAreToldFromOtherData) {
    std::vector<uint8_t> sector(512, 0);
    const auto live = EntrySet(exfat::kFileEntry, u"IMG_0001.JPG", 0x20, 10, 5000);
    std::copy(live.begin(), live.end(), sector.begin());
    EXPECT_TRUE(IsExfatDirectorySector(ByteView(sector)));
    const auto deleted = EntrySet(exfat::kFileEntry & ~exfat::kInUse, u"IMG_0002.JPG", 0x20, 12, 5000);
    std::copy(deleted.begin(), deleted.end(), sector.begin() + 96);
    EXPECT_TRUE(IsExfatDirectorySector(ByteView(sector))) << "deleted sets too";

    std::vector<uint8_t> damaged = sector;
    damaged[40] ^= 1;  // the first set's checksum fails; the deleted one still holds
    EXPECT_TRUE(IsExfatDirectorySector(ByteView(damaged)));
    damaged[96 + 40] ^= 1;
    EXPECT_FALSE(IsExfatDirectorySector(ByteView(damaged))) << "no whole set whose checksum holds";
    std::vector<uint8_t> afterEnd = sector;
    afterEnd[480] = exfat::kFileEntry;
    EXPECT_FALSE(IsExfatDirectorySector(ByteView(afterEnd))) << "an entry after the end mark";

    // The name entries of a long name, going on from the sector before.
    std::vector<uint8_t> names(512, 0);
    for (size_t at = 0; at < 128; at += 32) names[at] = exfat::kNameEntry;
    EXPECT_FALSE(IsExfatDirectorySector(ByteView(names)));
    EXPECT_TRUE(ContinuesExfatDirectory(ByteView(names)));
    EXPECT_FALSE(ContinuesExfatDirectory(ByteView(std::vector<uint8_t>(512, 0))));
}

TEST(ExfatLeftovers, FoldersPlacedOnRunsOfDirectoryDataGiveTheGeometry) {
    // Folders at clusters 10 and 20 whose data lies at sectors 4000 and 4080: 8 sectors a
    // cluster, cluster 2 at sector 3936.
    std::vector<ExfatRun> runs(3);
    runs[0].firstSector = 900;
    for (const auto& [name, cluster] : {std::pair{u"DCIM", 10u}, std::pair{u"Docs", 20u}}) {
        const auto set = EntrySet(exfat::kFileEntry, name, exfat::kDirectoryAttribute, cluster, 4096);
        runs[0].bytes.insert(runs[0].bytes.end(), set.begin(), set.end());
    }
    runs[0].bytes.resize(512);
    runs[1] = {4000, std::vector<uint8_t>(512)};
    runs[2] = {4080, std::vector<uint8_t>(512)};
    const auto sets = EntrySetsOf(runs, 512);
    ASSERT_EQ(sets.size(), 2u);
    const auto heaps = HeapsFromFolders(sets, runs, 512, 0, 2, 8);
    ASSERT_EQ(heaps.size(), 1u) << "only the true geometry places both folders";
    EXPECT_EQ(heaps[0], (ExfatHeap{3936, 8}));
    EXPECT_TRUE(HeapsFromFolders(sets, runs, 512, 3937, 2, 8).empty()) << "not before the area";
    EXPECT_EQ(heaps[0].ClusterOf(4007), 10u);
    EXPECT_EQ(heaps[0].ClusterOf(4087), 20u);
    EXPECT_FALSE(heaps[0].ClusterOf(3935));
}

TEST(ExfatLeftovers, ASetWhoseChecksumFailsIsNoFileAndTheNextOneStillIs) {
    std::vector<ExfatRun> runs(1);
    runs[0].firstSector = 900;
    for (const auto& [name, cluster] : {std::pair{u"IMG_0001.JPG", 10u}, std::pair{u"IMG_0002.JPG", 20u}}) {
        const auto set = EntrySet(exfat::kFileEntry & ~exfat::kInUse, name, 0x20, cluster, 5000);
        runs[0].bytes.insert(runs[0].bytes.end(), set.begin(), set.end());
    }
    runs[0].bytes.resize(512);
    ASSERT_EQ(EntrySetsOf(runs, 512).size(), 2u);
    runs[0].bytes[32 + 24] ^= 0x40;  // the first file's size, its checksum left as it was
    const auto sets = EntrySetsOf(runs, 512);
    ASSERT_EQ(sets.size(), 1u) << "a set that fails its checksum is damaged, not a file";
    EXPECT_EQ(sets[0].set.firstCluster, 20u);
    EXPECT_EQ(sets[0].set.dataLength, 5000u);
}

TEST(ExfatEntries, AFileOverFourGibibytesKeepsItsSizeAndEveryCluster) {
    // The deleted entry of a 5 GiB video on a card of 4 KiB clusters: 64-bit sizes and
    // more clusters than 32-bit byte counts can reach.
    const uint64_t length = (5ull << 30) + 1000;
    const auto bytes = EntrySet(exfat::kFileEntry & ~exfat::kInUse, u"MVI_0001.MP4", 0x20, 100, length);
    ExfatEntrySet set;
    ASSERT_TRUE(ParseEntrySet(ByteView(bytes), 0, set));
    EXPECT_TRUE(set.checksumOk && set.deleted);
    EXPECT_EQ(set.dataLength, length);
    EXPECT_EQ(set.validDataLength, length);

    ExfatGeometry volume;
    volume.sectorsPerCluster = 8;
    volume.heapOffset = 2048;
    volume.clusterCount = 2'000'000;
    ExfatFat noFat;
    const auto clusters = ExfatStreamClusters(volume, noFat, AllocationBitmap{}, set.firstCluster, set.dataLength,
                                              set.Contiguous(), set.deleted);
    ASSERT_EQ(clusters.size(), length / 4096 + 1);
    EXPECT_EQ(clusters.back(), 100u + length / 4096);
    EXPECT_EQ(volume.ClusterSector(clusters.back()) * 512, 2048 * 512 + (98 + length / 4096) * 4096);
}

}  // namespace
}  // namespace kestrune
