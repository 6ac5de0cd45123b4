// Deleted FAT files with the longest names FAT allows, and with names no tool should have
// written, in the quick and the formatted scan.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "engines/carve/structure_tests.h"
#include "engines/engine_factory.h"
#include "engines/fat/fast_fat_recovery.h"
#include "engines/fat/fat_volume.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct Listed {
    std::string folder;  // "" or "Folder/"
    ScanRecord record;
    bool matched = false;
};

// Finds, for each file of the manifest accepted by wanted, a listed record of the same
// folder, name and size whose bytes have the same sha256. Two files may share a name.
template <typename Wanted>
void ExpectEveryFile(IFileRecoveryParse& engine, std::vector<Listed>& listed, const fs::path& out, Wanted wanted,
                     bool folderMatters) {
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/long_names.json")));
    size_t checked = 0;
    for (const auto& file : manifest["files"]) {
        if (!wanted(file)) continue;
        const std::string folder = file["folder"].get<std::string>();
        const std::string name = file["listed"].get<std::string>();
        const std::string sha = file["sha256"].get<std::string>();
        bool found = false;
        for (Listed& l : listed) {
            if (l.matched || RecordName(l.record) != name || l.record.fileSize != file["size"].get<uint64_t>()) continue;
            if (folderMatters && l.folder != (folder.empty() ? "" : folder + "/")) continue;
            const fs::path target = out / std::to_string(l.record.engineKind * 100000 + l.record.recordId);
            if (engine.Recover(l.record, target, 0) != kOk || test::Sha256Hex(test::ReadFileBytes(target)) != sha)
                continue;
            l.matched = found = true;
            break;
        }
        EXPECT_TRUE(found) << "missing: " << folder << " / " << name << " (" << name.size() << " bytes)";
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

TEST(FatLongNames, TwentyEntryNamesAndTheFilesAfterThemComeBackInTheQuickScan) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/long_names.img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (engine) engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    auto* fat = dynamic_cast<CFastFatRecovery*>(engine.get());
    ASSERT_NE(fat, nullptr);
    ASSERT_EQ(fat->Scan(nullptr), kOk);
    std::vector<Listed> listed;
    for (uint32_t id = 1; id <= fat->Log()->RecordCount(); ++id) {
        Listed l;
        ASSERT_EQ(fat->Log()->ReadRecord(id, l.record), kOk);
        if (l.record.isFolder) continue;
        fat->GetRecordPath(l.record, l.folder);
        listed.push_back(l);
    }
    ExpectEveryFile(*fat, listed, dir / "out", [](const auto&) { return true; }, true);
    for (const Listed& l : listed) EXPECT_TRUE(l.matched) << "listed but not in the volume: " << RecordName(l.record);
}

std::unique_ptr<CProfessionalRecovery> FormattedPass(const fs::path& image) {
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.release());
    EXPECT_NE(pass, nullptr);
    std::unique_ptr<CProfessionalRecovery> owned(pass);
    if (owned) {
        EXPECT_EQ(owned->Scan(nullptr), kOk);
    }
    return owned;
}

std::vector<Listed> SearchEverything(CProfessionalRecovery& pass) {
    std::vector<ScanRecord> found;
    pass.SearchByExtension(BuildSearchPattern({"jpg", "txt", "bin", "dat", "other"}), found);
    std::vector<Listed> listed;
    for (const ScanRecord& r : found) {
        Listed l{"", r, false};
        pass.GetRecordPath(r, l.folder);
        listed.push_back(l);
    }
    return listed;
}

TEST(FatLongNames, TheFormattedScanListsEveryFileOnceWhetherTheVolumeIsLiveOrFormattedAgain) {
    test::TempDir dir;
    // The live volume: the quick phase lists them; nothing is listed twice.
    auto live = FormattedPass(test::UnpackFixture("fat/long_names.img.gz", dir.path()));
    ASSERT_NE(live, nullptr);
    auto listed = SearchEverything(*live);
    ExpectEveryFile(*live, listed, dir / "live", [](const auto&) { return true; }, true);
    for (const Listed& l : listed) EXPECT_TRUE(l.matched) << "listed twice or wrongly: " << l.folder << RecordName(l.record);

    // Formatted again: the root is gone, the folder's entries are read from the data area.
    auto formatted = FormattedPass(test::UnpackFixture("formatted/long_names.img.gz", dir.path()));
    ASSERT_NE(formatted, nullptr);
    auto found = SearchEverything(*formatted);
    ExpectEveryFile(*formatted, found, dir / "formatted",
                    [](const auto& file) { return file["folder"].template get<std::string>() == "Long Names"; }, false);
}

// Entries of one long name, last part first, as a folder holds them.
std::vector<std::array<uint8_t, 32>> LongNameEntries(const std::u16string& name, bool deleted) {
    const size_t count = (name.size() + 12) / 13;
    std::u16string padded = name;
    if (padded.size() < count * 13) padded.push_back(0);
    padded.resize(count * 13, 0xFFFF);
    std::vector<std::array<uint8_t, 32>> entries;
    for (size_t part = count; part-- > 0;) {
        std::array<uint8_t, 32> e{};
        e[0] = deleted ? 0xE5 : static_cast<uint8_t>((part + 1) | (part + 1 == count ? 0x40 : 0));
        e[11] = 0x0F;
        size_t unit = part * 13;
        for (size_t offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
            e[offset] = static_cast<uint8_t>(padded[unit] & 0xFF);
            e[offset + 1] = static_cast<uint8_t>(padded[unit] >> 8);
            ++unit;
        }
        entries.push_back(e);
    }
    return entries;
}

TEST(FatLongNames, TheCollectorKeepsTwentyEntriesAndDropsLeftOversBeforeThem) {
    const std::u16string longest(255, u'n');
    LongNameCollector collector;
    for (const auto& e : LongNameEntries(longest, true)) collector.Add(ByteView(e.data(), e.size()));
    EXPECT_EQ(collector.Take(), std::string(255, 'n'));
    // An older name's last entry left before a full-length one: the 20 nearest the
    // short entry are the name.
    const auto older = LongNameEntries(u"older name that was here first", true);
    collector.Add(ByteView(older.front().data(), 32));
    for (const auto& e : LongNameEntries(u"x" + std::u16string(254, u'y'), true)) collector.Add(ByteView(e.data(), 32));
    EXPECT_EQ(collector.Take(), "x" + std::string(254, 'y'));
    EXPECT_FALSE(collector.Pending());
}

// A short entry of name11 (8 + 3 bytes, as stored), a file with the given case flags.
std::array<uint8_t, 32> ShortEntry(const char* name11, uint8_t caseFlags = 0, bool deleted = false) {
    std::array<uint8_t, 32> e{};
    std::copy(name11, name11 + 11, e.begin());
    if (deleted) e[0] = fat::kDeletedMark;
    e[fat::kEntryAttributes] = fat::kAttrArchive;
    e[fat::kEntryCaseFlags] = caseFlags;
    return e;
}

// What a folder lists before a short entry: the long name's entries carrying a checksum.
LongNameCollector Collected(const std::u16string& name, uint8_t checksum, bool deleted) {
    LongNameCollector collector;
    for (auto e : LongNameEntries(name, deleted)) {
        e[fat::kLongNameChecksum] = checksum;
        collector.Add(ByteView(e.data(), 32));
    }
    return collector;
}

TEST(FatShortNames, ANameShowsInItsCaseAndALostFirstLetterComesBackFromTheLongEntries) {
    auto view = [](const std::array<uint8_t, 32>& e) { return ByteView(e.data(), 32); };
    EXPECT_EQ(ShortName(view(ShortEntry("README  TXT", fat::kLowerCaseBase | fat::kLowerCaseExtension)), false),
              "readme.txt");
    EXPECT_EQ(ShortName(view(ShortEntry("README  TXT", fat::kLowerCaseExtension)), false), "README.txt");
    EXPECT_EQ(ShortName(view(ShortEntry("DCIM       ")), true), "DCIM");
    const auto live = ShortEntry("IMG_0001JPG");
    const auto gone = ShortEntry("IMG_0001JPG", 0, true);
    EXPECT_EQ(ShortName(view(gone), false), "!MG_0001.JPG") << "no evidence: a placeholder";

    const uint8_t checksum = carve::ShortNameChecksum(view(live));
    EXPECT_EQ(LostFirstCharacter(view(gone), checksum), 'I');
    for (int other = 0; other < 256; ++other) {
        if (other == checksum) continue;
        const uint8_t c = LostFirstCharacter(view(gone), static_cast<uint8_t>(other));
        EXPECT_NE(c, 'I') << "one checksum, one letter";
    }

    auto named = Collected(u"Holiday at the sea.jpg", checksum, false);
    EXPECT_EQ(EntryName(named, view(live), false), "Holiday at the sea.jpg");
    auto stranger = Collected(u"Someone else's name.jpg", static_cast<uint8_t>(checksum + 1), false);
    EXPECT_EQ(EntryName(stranger, view(live), false), "IMG_0001.JPG") << "long entries of another name";
    EXPECT_FALSE(stranger.Pending());
    auto deleted = Collected(u"Holiday at the sea.jpg", checksum, true);
    EXPECT_EQ(EntryName(deleted, view(gone), false), "Holiday at the sea.jpg");
    auto emptied = Collected(std::u16string(1, u'\0'), checksum, true);
    EXPECT_EQ(EntryName(emptied, view(gone), false), "IMG_0001.JPG") << "the long entries still tell the letter";
}

}  // namespace
}  // namespace kestrune
