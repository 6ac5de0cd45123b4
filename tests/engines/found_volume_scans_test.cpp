// A disk whose partition table was wiped, read by a formatted pass: each volume on it is
// found at its exact start and read through its own file system, under a folder of its
// own, so that names come back (the ext4 volume's deleted files too) and two volumes'
// trees never merge.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

#include "engines/engine_factory.h"
#include "engines/lost_volumes.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(FoundVolumes, AWipedDiskGivesEachVolumeItsFolderItsNamesAndItsBytes) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("partitioned/gpt_wiped.img.gz", dir.path());
    const auto layout = nlohmann::json::parse(std::ifstream(test::FixturePath("partitioned/layouts.json")));
    // The folders the volumes are listed under, from the table the disk had.
    const std::map<std::string, std::string> kinds = {{"ntfs", "NTFS"}, {"vfat", "FAT32"}, {"exfat", "exFAT"},
                                                      {"ext4", "ext4"}};
    std::vector<std::string> folders;
    for (const auto& p : layout["gpt_mixed"]["partitions"]) {
        const auto kind = kinds.find(p["fileSystem"].get<std::string>());
        if (kind == kinds.end()) continue;
        folders.push_back(p["label"].get<std::string>() + " (" + kind->second + " at sector " +
                          std::to_string(p["start"].get<uint64_t>()) + ")/");
    }
    ASSERT_EQ(folders.size(), 4u);

    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    std::vector<ScanRecord> found;
    pass->SearchByExtension(BuildSearchPattern({}), found);
    std::map<std::string, ScanRecord> byPath;
    for (const ScanRecord& r : found) {
        std::string folder;
        pass->GetRecordPath(r, folder);
        const std::string path = folder + std::string(RecordName(r));
        // Every file lies where its volume's own metadata puts it; nothing of a volume is
        // carved again, and its system files are no user's files.
        EXPECT_NE(r.engineKind, uint32_t{Signature}) << path;
        EXPECT_FALSE(RecordName(r).starts_with("$")) << path;
        EXPECT_EQ(std::count_if(folders.begin(), folders.end(), [&](const std::string& f) { return path.starts_with(f); }), 1)
            << path;
        byPath[path] = r;
    }
    const std::map<std::string, const char*> expected = {
        {folders[0] + "Reports/Quarterly report.docx", "letter.docx"},
        {folders[0] + "Reports/Budget.xlsx", "sheet.xlsx"},
        {folders[0] + "Reports/Letter to the bank.pdf", "letter.pdf"},
        {folders[1] + "DCIM/100CANON/IMG_0002.JPG", "thumb.jpg"},
        {folders[1] + "Holiday snapshot.png", "image.png"},
        {folders[2] + "Music/Morning tone.mp3", "tone.mp3"},
        {folders[2] + "Music/Evening tone.wav", "tone.wav"},
        {folders[2] + "Music/Song.mid", "song.mid"},
        // The ext4 volume's deleted files, named through its journal.
        {folders[3] + "notes/contract.pdf", "letter.pdf"},
        {folders[3] + "notes/scan.bmp", "image.bmp"},
    };
    for (const auto& [path, original] : expected) {
        const auto at = byPath.find(path);
        ASSERT_NE(at, byPath.end()) << path;
        const fs::path target = dir / "out" / std::to_string(at->second.recordId);
        ASSERT_EQ(pass->Recover(at->second, target, 0), kOk) << path;
        EXPECT_TRUE(test::ReadFileBytes(target) == test::CarveFixture(original)) << path;
    }
    EXPECT_TRUE(byPath.count(folders[3] + "notes/shopping.txt"));
}

TEST(FoundVolumes, AVolumeWhoseBootSectorIsGoneIsReadAsItsBackupGivesIt) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("partitioned/gpt_wiped.img.gz", dir.path());
    auto bytes = test::ReadFileBytes(image);
    // The FAT32 volume's boot sector written over, and its exFAT neighbour's boot region.
    std::fill_n(bytes.begin() + 26624 * 512, 512, 0x5A);
    std::fill_n(bytes.begin() + 96256 * 512, 12 * 512, 0);
    test::WriteFileBytes(image, bytes);
    const auto before = test::ReadFileBytes(image);
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    std::vector<ScanRecord> found;
    engine->SearchByExtension(BuildSearchPattern({}), found);
    std::set<std::string> paths;
    for (const ScanRecord& r : found) {
        std::string folder;
        engine->GetRecordPath(r, folder);
        paths.insert(folder + std::string(RecordName(r)));
    }
    // Without their labels, which lay in what was written over.
    EXPECT_TRUE(paths.count("FAT32 at sector 26624/DCIM/100CANON/IMG_0002.JPG")) << testing::PrintToString(paths);
    EXPECT_TRUE(paths.count("FAT32 at sector 26624/Holiday snapshot.png"));
    EXPECT_TRUE(paths.count("exFAT at sector 96256/Music/Evening tone.wav"));
    EXPECT_TRUE(test::ReadFileBytes(image) == before) << "the source is only read";
}

TEST(FoundVolumes, AGapIsSearchedOnlyBetweenItsEnds) {
    test::TempDir dir;
    SectorSource source;
    ASSERT_EQ(OpenImageSource(test::UnpackFixture("partitioned/gpt_wiped.img.gz", dir.path()), source), kOk);
    // From inside the NTFS volume to inside the exFAT one.
    const auto found = FindVolumesIn(source, 512, source.totalSectors, 20000, 110000);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].startSector, 26624u);
    EXPECT_EQ(found[0].fileSystem, "FAT32");
    EXPECT_EQ(found[1].startSector, 96256u);
    EXPECT_EQ(found[1].sectorCount, 110000u - 96256u) << "cut at the gap's end";
}

}  // namespace
}  // namespace kestrune
