// The exFAT boot region, FAT, up-case table and entry sets, read from a card that
// mkfs.exfat made and exfat-fuse filled and emptied again.
#include "engines/exfat/exfat_volume.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "base/file_time.h"
#include "disk/text_encoding.h"
#include "engines/exfat/exfat_data.h"
#include "engines/exfat/exfat_entries.h"
#include "engines/exfat/exfat_tree.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct Card {
    test::TempDir dir;
    std::vector<uint8_t> bytes;
    SectorSource source;
    ExfatGeometry volume;
    ExfatFat fat;
    UpcaseTable upcase;

    Card() { bytes = test::ReadFileBytes(test::UnpackFixture("exfat/card.img.gz", dir.path())); }
    bool Open(std::string& why) {
        source = SourceOverMedium(std::make_unique<MemoryMedium>(bytes), 512);
        if (!ReadExfatGeometry(source, 0, source.totalSectors, volume, why)) return false;
        fat.Attach(&volume, &source);
        return true;
    }
    std::vector<uint8_t> Folder(uint32_t cluster, uint64_t length, bool contiguous) {
        return ReadExfatStream(source, volume, fat, cluster, length, contiguous, 1 << 20);
    }
};

// Every entry set of a folder's bytes, by name (UTF-8).
std::map<std::string, ExfatEntrySet> SetsOf(ByteView folder) {
    std::map<std::string, ExfatEntrySet> sets;
    for (size_t at = 0; at + exfat::kEntryBytes <= folder.size();) {
        ExfatEntrySet set;
        if (ParseEntrySet(folder, at, set)) {
            sets[Utf16ToUtf8(set.name)] = set;
            at += set.entryCount * exfat::kEntryBytes;
        } else {
            at += exfat::kEntryBytes;
        }
    }
    return sets;
}

TEST(ExfatVolume, TheCardsGeometryFatAndUpcaseTableAreRead) {
    Card card;
    std::string why;
    ASSERT_TRUE(card.Open(why)) << why;
    EXPECT_EQ(card.volume.ClusterBytes(), 4096u);
    EXPECT_FALSE(card.volume.fromBackup);
    const auto root = card.Folder(card.volume.rootCluster, 64 * 1024, false);
    ASSERT_FALSE(root.empty());
    // The root holds the bitmap and the up-case table.
    ByteView entries(root);
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    for (size_t at = 0; at < entries.size(); at += exfat::kEntryBytes)
        if (entries.u8(at) == exfat::kUpcaseEntry) {
            upcaseCluster = entries.le32(at + 20);
            upcaseLength = entries.le64(at + 24);
        }
    ASSERT_NE(upcaseCluster, 0u);
    card.upcase.Assign(ByteView(card.Folder(upcaseCluster, upcaseLength, true)));
    EXPECT_EQ(card.upcase.Upper(u'a'), u'A');
    EXPECT_EQ(card.upcase.Upper(u'é'), u'É');
    EXPECT_EQ(card.upcase.Upper(u'1'), u'1');
    // Every set in the root checks, and its name hashes to what its stream entry keeps.
    const auto sets = SetsOf(entries);
    for (const char* name : {"DCIM", "Docs", "Music", "Keep"}) {
        ASSERT_TRUE(sets.count(name)) << name;
        const ExfatEntrySet& set = sets.at(name);
        EXPECT_TRUE(set.IsFolder()) << name;
        EXPECT_FALSE(set.deleted) << name;
        EXPECT_TRUE(set.checksumOk) << name;
        EXPECT_EQ(card.upcase.NameHash(set.name), set.nameHash) << name;
    }
}

TEST(ExfatVolume, DeletedSetsKeepTheirNamesSizesTimesAndChecksums) {
    Card card;
    std::string why;
    ASSERT_TRUE(card.Open(why)) << why;
    const auto root = SetsOf(ByteView(card.Folder(card.volume.rootCluster, 64 * 1024, false)));
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/card.json")));
    int checked = 0;
    for (const char* folderName : {"Docs", "Keep", "Music"}) {
        const ExfatEntrySet& folder = root.at(folderName);
        const auto sets = SetsOf(ByteView(card.Folder(folder.firstCluster, folder.dataLength, folder.Contiguous())));
        for (const auto& entry : manifest["files"]) {
            if (entry["folder"] != folderName) continue;
            const std::string name = entry["name"];
            ASSERT_TRUE(sets.count(name)) << name;
            const ExfatEntrySet& set = sets.at(name);
            EXPECT_EQ(set.deleted, entry["state"] == "deleted") << name;
            EXPECT_TRUE(set.checksumOk) << name;
            EXPECT_EQ(set.dataLength, entry["size"].get<uint64_t>()) << name;
            EXPECT_EQ(set.validDataLength, set.dataLength) << name;
            EXPECT_EQ(set.writeTime, FileTimeFromUnix(entry["mtime"].get<int64_t>())) << name;
            // A file written in one run needs no chain; the one written round another does.
            EXPECT_EQ(set.Contiguous(), entry["note"] != "fragmented") << name;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 7);
}

TEST(ExfatVolume, ADamagedMainBootRegionFallsBackToTheBackupAndTwoFailCleanly) {
    Card card;
    card.bytes[100] ^= 0x01;  // the serial number: the main region's checksum fails
    std::string why;
    ASSERT_TRUE(card.Open(why)) << why;
    EXPECT_TRUE(card.volume.fromBackup);
    Card broken;
    broken.bytes[100] ^= 0x01;
    broken.bytes[12 * 512 + 100] ^= 0x01;
    EXPECT_FALSE(broken.Open(why));
    EXPECT_EQ(why, "boot region checksum does not match");
    // Geometry that does not fit the volume is refused even with a good checksum.
    std::vector<uint8_t> region(card.bytes.begin(), card.bytes.begin() + 12 * 512);
    region[92 + 3] = 0x7F;  // 2 billion clusters
    const uint32_t sum = BootRegionChecksum(ByteView(region), 512);
    for (size_t at = 11 * 512; at < 12 * 512; at += 4)
        for (size_t i = 0; i < 4; ++i) region[at + i] = static_cast<uint8_t>(sum >> (8 * i));
    ExfatGeometry geometry;
    EXPECT_FALSE(ExfatGeometryFromBootRegion(ByteView(region), card.bytes.size() / 512, geometry, why));
}

TEST(ExfatTree, EveryFileLiveOrDeletedIsFoundInItsFolderWithItsBytes) {
    Card card;
    std::string why;
    ASSERT_TRUE(card.Open(why)) << why;
    ExfatTree tree(card.source, card.volume, card.fat);
    ASSERT_TRUE(tree.LoadRoot(why)) << why;
    std::map<uint32_t, std::string> folderPath{{card.volume.rootCluster, ""}};
    std::map<std::string, ExfatFound> byPath;
    ASSERT_EQ(tree.Walk([&](const ExfatFound& found) {
                  const std::string parent = folderPath[found.folderCluster];
                  const std::string path = (parent.empty() ? "" : parent + "/") + Utf16ToUtf8(found.set.name);
                  if (found.set.IsFolder()) folderPath[found.set.firstCluster] = path;
                  byPath[path] = found;
                  return 0;
              }),
              0);
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("exfat/card.json")));
    for (const auto& entry : manifest["files"]) {
        const std::string path = entry["folder"].get<std::string>() + "/" + entry["name"].get<std::string>();
        ASSERT_TRUE(byPath.count(path)) << path;
        const ExfatFound& found = byPath[path];
        EXPECT_EQ(found.set.deleted, entry["state"] == "deleted") << path;
        EXPECT_TRUE(found.set.hashOk) << path;
        EXPECT_EQ(found.insideDeleted, path.starts_with("DCIM/") || path.starts_with("Docs/Reports/")) << path;
        // Deleted, the fragmented file's chain is gone: it is read round the live file
        // written between its pieces.
        ExfatDataReader data(card.source, card.volume,
                             ExfatStreamClusters(card.volume, card.fat, tree.Bitmap(), found.set.firstCluster,
                                                 found.set.dataLength, found.set.Contiguous(), found.set.deleted));
        std::vector<uint8_t> bytes, piece;
        while (data.ReadPiece(piece) == kOk && !piece.empty()) bytes.insert(bytes.end(), piece.begin(), piece.end());
        bytes.resize(std::min<size_t>(bytes.size(), found.set.dataLength));
        EXPECT_EQ(test::Sha256Hex(bytes), entry["sha256"].get<std::string>()) << path;
    }
    EXPECT_TRUE(byPath["DCIM/100CANON"].set.deleted);
    EXPECT_TRUE(card.volume.IsHeapCluster(byPath["Keep/a.bin"].set.firstCluster));
}

TEST(ExfatEntries, SetsThatAreCutOrMixedAreRefused) {
    // A deleted set whose name entry a newer live set took over is no longer one set.
    std::vector<uint8_t> folder(4 * 32, 0);
    folder[0] = 0x05, folder[1] = 2;
    folder[32] = 0x40, folder[32 + 3] = 3;
    folder[64] = 0xC1;  // live: belongs to something else now
    ExfatEntrySet set;
    EXPECT_FALSE(ParseEntrySet(ByteView(folder), 0, set));
    folder[64] = 0x41;
    EXPECT_TRUE(ParseEntrySet(ByteView(folder), 0, set));
    EXPECT_TRUE(set.deleted);
    EXPECT_FALSE(set.checksumOk);
    // A name longer than its entries hold, and a set running off the folder's end.
    folder[32 + 3] = 16;
    EXPECT_FALSE(ParseEntrySet(ByteView(folder), 0, set));
    EXPECT_FALSE(ParseEntrySet(ByteView(folder).sub(0, 64), 0, set));
    // Times: 2016-12-05 14:07:08.50 at UTC+01:00 is 13:07:08.50 UTC.
    const uint32_t stamp = (36u << 25) | (12u << 21) | (5u << 16) | (14u << 11) | (7u << 5) | 4u;
    EXPECT_EQ(ExfatTime(stamp, 50, 0x80 | 4), FileTimeFromUnix(1480943228) + 5'000'000);
    EXPECT_EQ(ExfatTime(stamp, 0, 0), FileTimeFromUnix(1480946828));
    EXPECT_EQ(ExfatTime(0, 0, 0), 0u);
}

}  // namespace
}  // namespace kestrune
