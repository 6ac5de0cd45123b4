// The ext quick scan over volumes the kernel filled and emptied: every deleted file in
// its folder with its name, size, time and bytes, found through the journal (current
// kernels wipe a deleted entry's name and clear its inode's block map); live files left
// out; the free blocks the deep pass may carve; damage that leaves files unreadable
// shown as such, never recovered wrong.
#include "base/file_time.h"
#include "engines/ext/fast_ext_recovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using Damage = std::function<void(const fs::path& image)>;

struct ScannedVolume {
    test::TempDir dir;
    fs::path image;
    nlohmann::json manifest;
    std::unique_ptr<IFileRecoveryParse> engine;
    CFastExtRecovery* ext = nullptr;
    std::map<std::string, ScanRecord> byPath;
    int scanResult = -1;

    explicit ScannedVolume(const std::string& name, const Damage& damage = nullptr) {
        image = test::UnpackFixture("ext/" + name + ".img.gz", dir.path());
        manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ext/" + name + ".json")));
        if (damage) damage(image);
        engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
        ext = dynamic_cast<CFastExtRecovery*>(engine.get());
        if (!ext) return;
        engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        scanResult = engine->Scan(nullptr);
        for (uint32_t id = 1; ext->Log() && id <= ext->Log()->RecordCount(); ++id) {
            ScanRecord r;
            if (ext->Log()->ReadRecord(id, r) != kOk || r.isFolder) continue;
            std::string folder;
            engine->GetRecordPath(r, folder);
            byPath[folder + std::string(RecordName(r))] = r;
        }
    }
    std::string Recovered(const ScanRecord& r, int& rc) {
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        rc = engine->Recover(r, target, 0);
        return fs::exists(target) ? test::Sha256Hex(test::ReadFileBytes(target)) : "";
    }
};

// An image's ext volume read directly, with its journal, to damage it where a test wants.
struct OpenedVolume {
    SectorSource source;
    ExtGeometry geometry;
    std::unique_ptr<ExtVolume> volume;
    ExtJournal journal;

    explicit OpenedVolume(const fs::path& image) {
        std::string why;
        if (OpenImageSource(image, source) != kOk ||
            !ReadExtGeometry(source, 0, source.totalSectors * 512, geometry, why))
            return;
        volume = std::make_unique<ExtVolume>(source, geometry);
        if (volume->LoadGroups()) journal.Load(*volume);
    }
    bool Ready() const { return volume && journal.Loaded(); }
};

std::string PathOf(const nlohmann::json& file) {
    return file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
}

// ext4 with 4 KiB blocks, inline data and metadata checksums, and ext3 with 1 KiB blocks,
// emptied by the kernel; ext2 emptied with debugfs, which leaves block maps and names.
class DeletedFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(DeletedFiles, EveryDeletedFileIsListedInItsFolderWithItsNameTimeAndBytes) {
    ScannedVolume volume(GetParam());
    ASSERT_NE(volume.ext, nullptr) << "the factory picks the ext engine";
    ASSERT_EQ(volume.scanResult, kOk);
    size_t deleted = 0;
    for (const auto& file : volume.manifest["files"]) {
        const std::string path = PathOf(file);
        const auto found = volume.byPath.find(path);
        if (file["state"] == "live") {
            EXPECT_EQ(found, volume.byPath.end()) << "a live file is not listed: " << path;
            continue;
        }
        ++deleted;
        ASSERT_NE(found, volume.byPath.end()) << path;
        const ScanRecord& r = found->second;
        EXPECT_EQ(r.engineKind, uint32_t{ExtQuick});
        EXPECT_EQ(r.fileSize, file["size"].get<uint64_t>()) << path;
        EXPECT_EQ(r.contentOk, 1u) << path;
        EXPECT_EQ(r.writeTime / 10'000'000, FileTimeFromUnix(file["mtime"].get<int64_t>()) / 10'000'000) << path;
        int rc = -1;
        EXPECT_EQ(volume.Recovered(r, rc), file["sha256"].get<std::string>()) << path;
        EXPECT_EQ(rc, kOk) << path;
    }
    EXPECT_GE(deleted, 4u);
    // Nothing else, and nothing in LostFolder; but the ext3 journal still names Keep/b.bin,
    // deleted before fragmented.bin took its inode and most of its blocks: listed as what
    // it was (a recovery says how much later files wrote over), not as fragmented.bin.
    size_t others = 0;
    for (const auto& [path, record] : volume.byPath) {
        if (path != "Keep/b.bin") continue;
        ++others;
        EXPECT_EQ(record.fileSize, 40000u) << path;
    }
    EXPECT_EQ(volume.byPath.size(), deleted + others);
}

INSTANTIATE_TEST_SUITE_P(Volumes, DeletedFiles, ::testing::Values("ext4", "ext3", "ext2debugfs"));

class JournaledVolume : public ::testing::TestWithParam<const char*> {};

TEST_P(JournaledVolume, TheBlockBitmapsGiveTheFreeBlocksToCarve) {
    ScannedVolume volume(GetParam());
    ASSERT_NE(volume.ext, nullptr);
    ASSERT_EQ(volume.engine->BuildAllocationMap(), kOk);
    const uint64_t perBlock = volume.manifest["blockSize"].get<uint64_t>() / 512;
    std::vector<std::pair<uint64_t, uint64_t>> expected, found;
    for (const auto& range : volume.manifest["freeBlocks"]) {
        const uint64_t first = range[0].get<uint64_t>(), last = range[1].get<uint64_t>();
        if (!expected.empty() && expected.back().second == first) expected.back().second = last + 1;
        else expected.emplace_back(first, last + 1);
    }
    uint64_t position = 0, length = 0;
    while (volume.engine->NextFreeExtent(position, length) && length != 0) {
        found.emplace_back(position / perBlock, (position + length) / perBlock);
        position += length;
    }
    EXPECT_EQ(found, expected) << "the free blocks dumpe2fs lists, as runs";
}

INSTANTIATE_TEST_SUITE_P(Kernels, JournaledVolume, ::testing::Values("ext4", "ext3"));

TEST(ExtQuickScan, AFileWhoseBlockWasWrittenSinceIsListedAsOverwritten) {
    ScannedVolume before("ext4");
    const ScanRecord photo = before.byPath.at("Photos/2016/IMG_0005.JPG");
    const uint64_t block = photo.dataAreaSector / 8;
    ScannedVolume after("ext4", [&](const fs::path& image) {
        // Mark the photo's first block in use in group 0's block bitmap, as a new file
        // written there would.
        OpenedVolume opened(image);
        ASSERT_TRUE(opened.Ready());
        ASSERT_LT(block, opened.geometry.blocksPerGroup);
        auto bytes = test::ReadFileBytes(image);
        bytes[opened.volume->Groups()[0].blockBitmap * opened.geometry.blockSize + block / 8] |= uint8_t(1u << (block % 8));
        test::WriteFileBytes(image, bytes);
    });
    EXPECT_EQ(after.byPath.at("Photos/2016/IMG_0005.JPG").contentOk, 0u);
    EXPECT_EQ(after.byPath.at("Photos/2016/IMG_0006.JPG").contentOk, 1u);
}

TEST(ExtQuickScan, FilesWhoseInodesTheJournalNoLongerHoldsAreListedButNeverRecoveredWrong) {
    // The journal's copies of the inode table blocks are written over (as by a journal
    // that wrapped since), its copies of the folders kept: the names are found, where the
    // data lay is not.
    ScannedVolume before("ext4");
    ScannedVolume after("ext4", [&](const fs::path& image) {
        OpenedVolume opened(image);
        ASSERT_TRUE(opened.Ready());
        const uint32_t blockSize = opened.geometry.blockSize;
        auto bytes = test::ReadFileBytes(image);
        for (const auto& [path, r] : before.byPath) {
            const auto where = opened.volume->InodeLocation(r.fsId);
            ASSERT_TRUE(where);
            for (const ExtJournal::Copy& copy : opened.journal.CopiesOf(where->first)) {
                const uint64_t at = opened.journal.VolumeBlock(copy.journalBlock) * blockSize;
                std::fill(bytes.begin() + at, bytes.begin() + at + blockSize, 0xA5);
            }
        }
        test::WriteFileBytes(image, bytes);
    });
    ASSERT_EQ(after.scanResult, kOk);
    EXPECT_GE(after.byPath.size(), 20u) << "the names are still found";
    std::map<std::string, std::string> truth;
    for (const auto& file : after.manifest["files"]) truth[PathOf(file)] = file["sha256"].get<std::string>();
    size_t unreadable = 0;
    for (const auto& [path, r] : after.byPath) {
        int rc = kOk;
        const std::string written = after.Recovered(r, rc);
        if (r.contentOk == 1) {
            // A file kept inline in its inode still holds its bytes there.
            EXPECT_EQ(written, truth[path]) << path;
            continue;
        }
        ++unreadable;
        EXPECT_NE(rc, kOk) << path;
        EXPECT_TRUE(written.empty() || written == test::Sha256Hex({})) << "nothing wrong is written: " << path;
    }
    EXPECT_GE(unreadable, 20u);
}

// The kernel's own journal wrapped past the files' creation before they were deleted, and
// new files took some of their inodes (some of them deleted again since): every deleted
// file is still named, from newer copies of its folder; each one comes back byte for byte
// or is listed as unreadable, never with another file's bytes. The transaction each name
// was seen in tells which of an inode's files it named: today every one comes back.
TEST(ExtQuickScan, AfterTheJournalWrappedEachFileIsRecoveredRightOrListedUnreadable) {
    ScannedVolume volume("wrapped");
    ASSERT_NE(volume.ext, nullptr);
    ASSERT_EQ(volume.scanResult, kOk);
    size_t exact = 0, unreadable = 0;
    for (const auto& file : volume.manifest["files"]) {
        const std::string path = PathOf(file);
        const auto found = volume.byPath.find(path);
        ASSERT_NE(found, volume.byPath.end()) << path;
        int rc = kOk;
        const std::string written = volume.Recovered(found->second, rc);
        if (found->second.contentOk == 1) {
            EXPECT_EQ(written, file["sha256"].get<std::string>()) << path;
            ++exact;
            continue;
        }
        ++unreadable;
        EXPECT_EQ(found->second.fileSize, 0u) << path;
        EXPECT_NE(rc, kOk) << path;
        EXPECT_TRUE(written.empty()) << "nothing is written for " << path;
    }
    EXPECT_GE(exact, 32u);
    EXPECT_EQ(exact + unreadable, volume.manifest["files"].size());
    // The churn that wrapped the journal: "Churn/f<round>-<n>" held "<round> <n>\n", and
    // each inode held one such file after another, all made in the same second. Each
    // name the journal still shows live is tied to its own file, none to a later one.
    size_t churn = 0;
    for (const auto& [path, record] : volume.byPath) {
        if (!path.starts_with("Churn/f") || record.contentOk != 1) continue;
        ++churn;
        std::string expected = path.substr(7);
        expected[expected.find('-')] = ' ';
        int rc = kOk;
        const std::string text = expected + "\n";
        EXPECT_EQ(volume.Recovered(record, rc), test::Sha256Hex(std::vector<uint8_t>(text.begin(), text.end()))) << path;
        EXPECT_EQ(rc, kOk) << path;
    }
    EXPECT_GE(churn, 150u);
}

TEST(ExtQuickScan, ADamagedPrimarySuperblockFallsBackToTheBackup) {
    ScannedVolume volume("ext3", [](const fs::path& image) {
        auto bytes = test::ReadFileBytes(image);
        std::fill(bytes.begin() + 1024, bytes.begin() + 2048, 0);
        test::WriteFileBytes(image, bytes);
    });
    ASSERT_NE(volume.ext, nullptr) << "the backup superblock tells the volume";
    ASSERT_NE(volume.ext->Volume(), nullptr);
    EXPECT_TRUE(volume.ext->Volume()->fromBackup);
    EXPECT_EQ(volume.byPath.size(), 31u) << "30 deleted files and Keep/b.bin, as on the undamaged volume";
}

TEST(ExtQuickScan, Ext2DeletedByACurrentKernelLeavesItsPhotosToTheDeepPass) {
    // The kernel's ext4 driver wipes the names and clears the block maps of ext2 files,
    // and ext2 has no journal: nothing is left to name them, the carver finds them.
    ScannedVolume volume("ext2");
    ASSERT_NE(volume.ext, nullptr);
    EXPECT_TRUE(volume.byPath.empty());
    auto engine = EngineFactory::CreateEngineForImage(volume.image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    EXPECT_TRUE(pass->UsedFreeSpaceOnly());
    std::vector<ScanRecord> photos;
    pass->SearchByExtension("*.jpg", photos);
    std::set<std::string> wanted;
    for (const auto& file : volume.manifest["files"])
        if (file["name"].get<std::string>().ends_with(".JPG")) wanted.insert(file["sha256"].get<std::string>());
    size_t exact = 0;
    for (const ScanRecord& r : photos) {
        const fs::path target = volume.dir / "carved" / std::to_string(r.recordId);
        if (pass->Recover(r, target, 0) == kOk) exact += wanted.count(test::Sha256Hex(test::ReadFileBytes(target)));
    }
    EXPECT_GE(exact, 20u);
}

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

TEST(ExtJournal, DescriptorTagsOfEveryLayoutGiveTheirBlocks) {
    // Two tags, the first followed by the journal's UUID, the second the last; block
    // numbers 0x1234 and 0x5678 (with 0x1 above 32 bits where the journal is 64-bit).
    struct Layout {
        uint32_t features;
        size_t tagBytes;
        size_t flagsAt;
        bool flags32;
        bool wide;
    };
    for (const Layout& layout : {Layout{0x0, 8, 6, false, false}, Layout{0x2, 12, 6, false, true},
                                 Layout{0x8, 10, 6, false, false}, Layout{0xA, 14, 6, false, true},
                                 Layout{0x10, 16, 4, true, false}, Layout{0x12, 16, 4, true, true}}) {
        SCOPED_TRACE(layout.features);
        std::vector<uint8_t> block(1024, 0);
        size_t at = 12;
        for (uint32_t i = 0; i < 2; ++i) {
            PutBe32(block, at, i == 0 ? 0x1234 : 0x5678);
            const uint32_t flags = i == 0 ? 0x1 : 0x2 | 0x8;  // escaped; same UUID, last
            if (layout.flags32) PutBe32(block, at + layout.flagsAt, flags);
            else block[at + layout.flagsAt + 1] = static_cast<uint8_t>(flags);
            if (layout.wide) PutBe32(block, at + 8, 1);
            at += layout.tagBytes + (i == 0 ? 16 : 0);
        }
        PutBe32(block, at, 0x9999);  // after the last tag: not read
        const auto tags = ParseDescriptorTags(ByteView(block), layout.features);
        ASSERT_EQ(tags.size(), 2u);
        const uint64_t high = layout.wide ? uint64_t{1} << 32 : 0;
        EXPECT_EQ(tags[0].block, high | 0x1234);
        EXPECT_TRUE(tags[0].escaped);
        EXPECT_EQ(tags[1].block, high | 0x5678);
        EXPECT_FALSE(tags[1].escaped);
    }
}

TEST(ExtJournal, ADescriptorBlockWhoseChecksumFailsGivesNoCopies) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ext/ext4.img.gz", dir.path());
    auto copies = [&] {
        OpenedVolume opened(image);
        EXPECT_TRUE(opened.Ready());
        size_t count = 0;
        for (uint64_t block : opened.journal.Blocks()) count += opened.journal.CopiesOf(block).size();
        return std::pair{count, opened.journal.VolumeBlock(1) * opened.geometry.blockSize};
    };
    const auto [before, descriptor] = copies();
    ASSERT_GT(before, 10u);
    auto bytes = test::ReadFileBytes(image);
    ASSERT_EQ(bytes[descriptor], 0xC0) << "the journal's first transaction starts with a descriptor";
    bytes[descriptor + 40] ^= 0x01;  // inside its tags
    test::WriteFileBytes(image, bytes);
    EXPECT_LT(copies().first, before);
}

TEST(ExtVolume, AnInodeTableCutShortStillGivesTheInodesBeforeTheCut) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ext/ext4.img.gz", dir.path());
    std::vector<std::vector<uint8_t>> whole;
    uint64_t cut = 0;
    uint32_t perBlock = 0;
    {
        OpenedVolume opened(image);
        ASSERT_TRUE(opened.Ready());
        perBlock = opened.geometry.blockSize / opened.geometry.inodeSize;
        for (uint32_t n = 1; n <= 12 * perBlock; ++n) whole.push_back(opened.volume->ReadInodeBytes(n));
        // Five table blocks are left: the table is read many blocks at a time, and that
        // first read now runs past the end of the image.
        cut = (opened.volume->Groups()[0].inodeTable + 5) * opened.geometry.blockSize;
    }
    fs::resize_file(image, cut);
    OpenedVolume opened(image);
    ASSERT_NE(opened.volume, nullptr);
    for (uint32_t n = 1; n <= 12 * perBlock; ++n) {
        if (n <= 5 * perBlock) EXPECT_EQ(opened.volume->ReadInodeBytes(n), whole[n - 1]) << "inode " << n;
        else EXPECT_TRUE(opened.volume->ReadInodeBytes(n).empty()) << "inode " << n;
    }
    EXPECT_EQ(opened.volume->ReadInodeBytes(2), whole[1]) << "asked again";
}

TEST(ExtDirectory, DeletedEntriesAreFoundInTailsAndTheIndexIsNot) {
    std::vector<uint8_t> block(1024, 0);
    auto put = [&](size_t at, uint32_t inode, uint16_t record, const std::string& name, uint8_t type) {
        for (int i = 0; i < 4; ++i) block[at + i] = static_cast<uint8_t>(inode >> (8 * i));
        block[at + 4] = static_cast<uint8_t>(record);
        block[at + 5] = static_cast<uint8_t>(record >> 8);
        block[at + 6] = static_cast<uint8_t>(name.size());
        block[at + 7] = type;
        std::copy(name.begin(), name.end(), block.begin() + static_cast<long>(at) + 8);
    };
    put(0, 12, 12, ".", 2);
    put(12, 2, 12, "..", 2);
    put(24, 20, 1000, "kept.txt", 1);       // its record swallowed the two after it
    put(40, 21, 20, "gone.jpg", 1);         // deleted, name intact
    put(60, 22, 964, "also gone.txt", 1);   // deleted
    const auto entries = ParseDirectoryBlock(ByteView(block), 100, false);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "kept.txt");
    EXPECT_FALSE(entries[0].deleted);
    EXPECT_EQ(entries[1].name, "gone.jpg");
    EXPECT_TRUE(entries[1].deleted);
    EXPECT_EQ(entries[1].inode, 21u);
    EXPECT_EQ(entries[2].name, "also gone.txt");
    EXPECT_EQ(entries[2].offset, 60u);
    EXPECT_EQ(ParseDirectoryBlock(ByteView(block), 21, false).size(), 2u) << "inode numbers past the volume's";

    // The first block of a hashed folder: ".." spans the index, which holds no entries.
    std::vector<uint8_t> root(1024, 0);
    block.swap(root);
    put(0, 12, 12, ".", 2);
    put(12, 2, 1012, "..", 2);
    put(40, 30, 20, "looks.txt", 1);  // index bytes that happen to look like an entry
    EXPECT_EQ(ParseDirectoryBlock(ByteView(block), 100, false).size(), 1u);
    EXPECT_TRUE(ParseDirectoryBlock(ByteView(block), 100, true).empty());
}

}  // namespace
}  // namespace kestrune
