#include "base/file_time.h"
#include "engines/ntfs/fast_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "engines/engine_factory.h"
#include "ntfs_builder.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::NtfsImageBuilder;

struct Found {
    ScanRecord record;
    std::string folder;
};

// Every record of a finished scan with its folder path, by "folder/name".
std::map<std::string, Found> Findings(IFileRecoveryParse& engine, const ScanLogFile& log) {
    std::map<std::string, Found> found;
    for (uint32_t id = 1; id <= log.RecordCount(); ++id) {
        ScanRecord r;
        if (log.ReadRecord(id, r) != kOk) continue;
        std::string folder;
        engine.GetRecordPath(r, folder);
        found[folder + std::string(RecordName(r))] = {r, folder};
    }
    return found;
}

class NtfsFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsFixture, EveryDeletedFileIsFoundWithItsFolderTimesAndBytes) {
    test::TempDir dir;
    const std::string name = GetParam();
    const fs::path image = test::UnpackFixture("ntfs/" + name + ".img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs/" + name + ".json")));
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (engine) engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    ASSERT_NE(engine, nullptr);
    auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
    ASSERT_NE(ntfs, nullptr);
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    auto found = Findings(*engine, *ntfs->Log());

    const uint64_t from = FileTimeFromUnix(manifest["made_from"].get<int64_t>() - 2);
    const uint64_t until = FileTimeFromUnix(manifest["made_until"].get<int64_t>() + 2);
    size_t files = 0;
    for (const auto& entry : manifest["deleted"]) {
        const std::string folder = entry["folder"].get<std::string>();
        const std::string key = (folder.empty() ? "" : folder + "/") + entry["name"].get<std::string>();
        ASSERT_TRUE(found.count(key)) << key;
        const ScanRecord& r = found[key].record;
        EXPECT_EQ(r.fileSize, entry["size"].get<uint64_t>()) << key;
        EXPECT_EQ(r.engineKind, uint32_t{NtfsQuick});
        EXPECT_EQ(r.contentOk, 1u) << key;
        EXPECT_GE(r.createTime, from) << key;
        EXPECT_LE(r.writeTime, until) << key;
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        ASSERT_EQ(engine->Recover(r, target, 0), kOk) << key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), entry["sha256"].get<std::string>()) << key;
        ++files;
    }
    // The folders above the deleted files, live or deleted, are there too.
    for (const char* folder : {"Docs", "Docs/Reports", "Docs/Reports/2016", "Pictures", "Trash", "Trash/Sub", "Gone"}) {
        ASSERT_TRUE(found.count(folder)) << folder;
        EXPECT_EQ(found[folder].record.isFolder, 1u);
    }
    // Only a file whose clusters the fragmented file took over may be found besides.
    const std::string listed = manifest.dump();
    for (const auto& [key, f] : found) {
        if (!f.record.isFolder && listed.find(std::string(RecordName(f.record))) == std::string::npos) {
            EXPECT_EQ(key, "Keep/f2.bin");
        }
    }
    EXPECT_GT(files, 10u);

    // The free-space map: what the bitmap marks free ends at the volume's end.
    ASSERT_EQ(engine->BuildAllocationMap(), kOk);
    uint64_t position = 0, length = 0, free = 0;
    for (int guard = 0; guard < 100000 && engine->NextFreeExtent(position, length) && length; ++guard) {
        free += length;
        position += length;
    }
    EXPECT_GT(free, 0u);
    EXPECT_LT(free, ntfs->Geometry().volumeSectors);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFixture, ::testing::Values("deleted", "deleted4k"));

// A small volume made record by record: root 5, live folder A (64), deleted folder D (65)
// in A, a deleted file in D, a file whose parent record now holds a file, two deleted
// folders naming each other as parents, and system records marked free.
class BuiltVolume : public ::testing::Test {
protected:
    BuiltVolume() : builder_(512, 8, 2048) {
        builder_.PutMft(128);
        auto folder = [&](uint32_t number, uint32_t parent, const char16_t* name, uint16_t flags) {
            NtfsImageBuilder::Record r;
            r.number = number;
            r.flags = flags;
            NtfsImageBuilder::AddFileName(r, parent, name);
            builder_.Put(r);
        };
        folder(5, 5, u".", 3);
        folder(64, 5, u"A", 3);
        folder(65, 64, u"D", 2);
        folder(70, 71, u"LoopX", 2);
        folder(71, 70, u"LoopY", 2);
        // A deleted file in D with a short name first and its long name after it.
        NtfsImageBuilder::Record file;
        file.number = 66;
        NtfsImageBuilder::AddFileName(file, 65, u"PHOTO~1.JPG", 2);
        NtfsImageBuilder::AddFileName(file, 65, u"holiday photo.jpg", 1);
        NtfsImageBuilder::AddNonResident(file, 0x80, NtfsImageBuilder::Run(1, 300), 392);
        builder_.Put(file);
        builder_.Write(300ULL * 4096, test::CarveFixture("photo.jpg"));
        // A deleted empty file: resident data of no bytes.
        NtfsImageBuilder::Record empty;
        empty.number = 67;
        NtfsImageBuilder::AddFileName(empty, 5, u"empty.jpg");
        NtfsImageBuilder::AddResident(empty, 0x80, {});
        builder_.Put(empty);
        // A deleted file whose folder's record (68) was taken by a live file.
        NtfsImageBuilder::Record orphan;
        orphan.number = 69;
        NtfsImageBuilder::AddFileName(orphan, 68, u"orphan.txt");
        NtfsImageBuilder::AddResident(orphan, 0x80, {'h', 'i'});
        builder_.Put(orphan);
        NtfsImageBuilder::Record taker;
        taker.number = 68;
        taker.flags = 1;
        NtfsImageBuilder::AddFileName(taker, 5, u"taker.txt");
        builder_.Put(taker);
        NtfsImageBuilder::Record looped;
        looped.number = 72;
        NtfsImageBuilder::AddFileName(looped, 70, u"in-loop.txt");
        builder_.Put(looped);
        // A system record marked free is never reported.
        NtfsImageBuilder::Record system;
        system.number = 9;
        NtfsImageBuilder::AddFileName(system, 5, u"$Secure");
        builder_.Put(system);
        // $Bitmap: clusters 0-9 used, 10-19 free, 20-23 used, the rest free.
        NtfsImageBuilder::Record bitmap;
        bitmap.number = 6;
        bitmap.flags = 1;
        NtfsImageBuilder::AddNonResident(bitmap, 0x80, NtfsImageBuilder::Run(1, 1000), 256);
        builder_.Put(bitmap);
        std::vector<uint8_t> bits(256, 0);
        bits[0] = 0xFF, bits[1] = 0x03, bits[2] = 0xF0;
        builder_.Write(1000ULL * 4096, bits);
    }

    std::unique_ptr<CFastNtfsRecovery> Open() {
        auto engine = std::make_unique<CFastNtfsRecovery>();
        engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        EXPECT_EQ(engine->Open(SourceOverMedium(std::make_unique<MemoryMedium>(builder_.Image()), 512), {0, builder_.Image().size() / 512}, 1001),
                  kOk);
        return engine;
    }

    NtfsImageBuilder builder_;
};

TEST_F(BuiltVolume, FoldersAreRebuiltAboveDeletedFiles) {
    auto engine = Open();
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    auto found = Findings(*engine, *engine->Log());
    ASSERT_TRUE(found.count("A/D/holiday photo.jpg")) << "the long name replaces the short one";
    EXPECT_EQ(engine->Log()->Links().count(MakeParentKey(2, 65)), 1u);
    EXPECT_EQ(found["A/D"].record.isFolder, 1u);
    EXPECT_EQ(found["A"].record.isFolder, 1u);
    EXPECT_EQ(found["A/D/holiday photo.jpg"].record.contentOk, 1u);
    EXPECT_EQ(found["empty.jpg"].record.contentOk, 0u) << "no data at all";
    EXPECT_TRUE(found.count("LostFolder68/orphan.txt"));
    EXPECT_FALSE(found.count("$Secure"));
    bool loopFileFound = false;
    for (const auto& [key, f] : found) loopFileFound |= std::string(RecordName(f.record)) == "in-loop.txt";
    EXPECT_TRUE(loopFileFound) << "a loop of folders ends the climb";

    std::vector<ScanRecord> top;
    ASSERT_EQ(engine->ListChildren(nullptr, 0, top), kOk);
    const auto lost = std::find_if(top.begin(), top.end(), [](const ScanRecord& r) { return RecordName(r) == "LostFolder68"; });
    ASSERT_NE(lost, top.end()) << "a folder whose record a live file took is listed at the top";
    std::vector<ScanRecord> inside;
    ASSERT_EQ(engine->ListChildren(&*lost, 1, inside), kOk);
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(RecordName(inside[0]), "orphan.txt");
    EXPECT_EQ(engine->ListChildren(nullptr, 1, top), kErrInvalidParameter);
    test::TempDir dir;
    ASSERT_EQ(engine->Recover(found["A"].record, dir / "A", 0), kOk) << "a folder comes back with its tree";
    EXPECT_EQ(test::ReadFileBytes(dir / "A" / "D" / "holiday photo.jpg"), test::CarveFixture("photo.jpg"));
}

TEST_F(BuiltVolume, TheFreeMapSkipsUsedClusters) {
    auto engine = Open();
    uint64_t position = 0, length = 0;
    EXPECT_EQ(engine->NextFreeExtent(position, length), 1) << "no map yet: nothing free is known";
    ASSERT_EQ(engine->BuildAllocationMap(), kOk);
    position = 0;
    engine->NextFreeExtent(position, length);
    EXPECT_EQ(position, 80u);
    EXPECT_EQ(length, 80u);
    position += length;
    engine->NextFreeExtent(position, length);
    EXPECT_EQ(position, 192u);
}

TEST_F(BuiltVolume, ACancelKeepsTheFilesFoundWithoutTheirFolders) {
    auto engine = Open();
    CancelToken cancel;
    engine->SetReporter({[&cancel](const RunProgress&) { cancel.Cancel(); }, &cancel});
    EXPECT_EQ(engine->Scan(nullptr), CancelCode);
    auto found = Findings(*engine, *engine->Log());
    for (const auto& [key, f] : found) EXPECT_EQ(f.record.isFolder, 0u) << key;
    EXPECT_FALSE(found.empty());
}

TEST_F(BuiltVolume, DamagedRecordsAreSkippedOneByOne) {
    // What the undamaged volume gives, by record number: every file found there whose own
    // record no flip touched must be found again, with its name and size.
    std::map<uint32_t, ScanRecord> pristineFiles;
    {
        auto engine = Open();
        ASSERT_EQ(engine->Scan(nullptr), kOk);
        for (const auto& [key, f] : Findings(*engine, *engine->Log()))
            if (!f.record.isFolder) pristineFiles[f.record.fsId] = f.record;
        ASSERT_GE(pristineFiles.size(), 4u);
    }
    std::mt19937 random(11);
    const auto pristine = builder_.Image();
    int scanned = 0;
    size_t refound = 0;
    for (int round = 0; round < 40; ++round) {
        auto damaged = pristine;
        const uint64_t mft = NtfsImageBuilder::kMftCluster * 4096;
        std::set<uint32_t> touched;
        for (int flips = 0; flips < 60; ++flips) {
            const uint64_t at = random() % (128 * 1024);
            damaged[mft + at] = static_cast<uint8_t>(random());
            touched.insert(static_cast<uint32_t>(at / 1024));
        }
        CFastNtfsRecovery engine;
        engine.SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        if (engine.Open(SourceOverMedium(std::make_unique<MemoryMedium>(damaged), 512), {0, damaged.size() / 512},
                        1001) != kOk)
            continue;
        ++scanned;
        EXPECT_EQ(engine.Scan(nullptr), kOk) << "round " << round;
        std::map<uint32_t, ScanRecord> files;
        for (const auto& [key, f] : Findings(engine, *engine.Log()))
            if (!f.record.isFolder) files[f.record.fsId] = f.record;
        for (const auto& [number, file] : pristineFiles) {
            if (touched.count(number)) continue;
            ASSERT_TRUE(files.count(number)) << "round " << round << ": record " << number << " was not damaged";
            EXPECT_EQ(RecordName(files[number]), RecordName(file)) << "round " << round;
            EXPECT_EQ(files[number].fileSize, file.fileSize) << "round " << round;
            ++refound;
        }
        test::TempDir dir;
        for (const auto& [number, file] : files) engine.Recover(file, dir / std::to_string(number), 0);
    }
    EXPECT_GT(scanned, 10) << "most rounds leave the MFT's own record readable";
    EXPECT_GT(refound, 40u);
}

}  // namespace
}  // namespace kestrune
