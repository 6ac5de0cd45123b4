#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <utime.h>

#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<CProfessionalRecovery> OpenPass(const fs::path& image) {
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    EXPECT_NE(pass, nullptr);
    engine.release();
    return std::unique_ptr<CProfessionalRecovery>(pass);
}

// Every file the pass presents, by folder path and name.
std::map<std::string, ScanRecord> Files(CProfessionalRecovery& pass) {
    std::vector<ScanRecord> found;
    pass.SearchByExtension(BuildSearchPattern({"jpg", "png", "pdf", "docx", "txt", "bin", "other"}), found);
    std::map<std::string, ScanRecord> files;
    for (const ScanRecord& r : found) {
        std::string folder;
        pass.GetRecordPath(r, folder);
        const std::string key = folder + std::string(RecordName(r));
        EXPECT_FALSE(files.count(key)) << "listed twice: " << key;
        files[key] = r;
    }
    return files;
}

std::string Sha256Of(CProfessionalRecovery& pass, const ScanRecord& r, const fs::path& folder) {
    const fs::path target = folder / std::to_string(r.engineKind * 100000 + r.recordId);
    EXPECT_EQ(pass.Recover(r, target, 0), kOk);
    return test::Sha256Hex(test::ReadFileBytes(target));
}

TEST(FormattedScan, FilesOfAFormerFatVolumeComeBackWithTheirFolders) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("formatted/fat.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("formatted/fat.json")));
    auto pass = OpenPass(image);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    EXPECT_TRUE(pass->UsedFreeSpaceOnly()) << "the new volume's free clusters only";
    bool oneSectorClusters = false;
    for (const FatGeometry& g : pass->FatEngine().Geometries()) oneSectorClusters |= g.sectorsPerCluster == 1;
    EXPECT_TRUE(oneSectorClusters) << "the former volume's geometry was worked out from its folders";
    const auto files = Files(*pass);
    for (const auto& entry : manifest["files"]) {
        const std::string folder = entry["folder"].get<std::string>();
        const std::string name = entry["name"].get<std::string>();
        const std::string suffix = (folder.empty() ? "" : folder + "/") + name;
        const auto found = std::find_if(files.begin(), files.end(), [&](const auto& f) {
            return f.first.size() >= suffix.size() && f.first.compare(f.first.size() - suffix.size(), suffix.size(), suffix) == 0;
        });
        ASSERT_NE(found, files.end()) << suffix;
        EXPECT_EQ(found->second.engineKind, uint32_t{FatFormatted}) << suffix;
        EXPECT_EQ(found->second.fileSize, entry["size"].get<uint64_t>()) << suffix;
        // The top level of the former volume shares its clusters' place with the new
        // volume's; files in its folders are read from where that volume put them.
        if (!folder.empty()) {
            EXPECT_EQ(Sha256Of(*pass, found->second, dir / "out"), entry["sha256"].get<std::string>()) << suffix;
        }
    }
}

TEST(FormattedScan, FilesOfAFormerNtfsVolumeComeBackWithTheirFolders) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("formatted/ntfs.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("formatted/ntfs.json")));
    auto pass = OpenPass(image);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    EXPECT_EQ(pass->NtfsEngine().ClusterGuess(), 8u) << "the former volume's 4 KiB clusters";
    std::vector<ScanRecord> all;
    pass->SearchByExtension(BuildSearchPattern({"jpg", "png", "pdf", "docx", "txt", "bin"}), all);
    std::map<std::string, ScanRecord> byPath;
    for (const ScanRecord& r : all) {
        if (r.engineKind != NtfsFormatted) continue;
        std::string folder;
        pass->GetRecordPath(r, folder);
        byPath[folder + std::string(RecordName(r))] = r;
    }
    size_t intact = 0;
    for (const auto& entry : manifest["files"]) {
        const std::string folder = entry["folder"].get<std::string>();
        const std::string key = (folder.empty() ? "" : folder + "/") + entry["name"].get<std::string>();
        ASSERT_TRUE(byPath.count(key)) << key;
        EXPECT_EQ(byPath[key].fileSize, entry["size"].get<uint64_t>()) << key;
        if (byPath[key].contentOk == 0) continue;  // the new volume's own files lie there now
        EXPECT_EQ(Sha256Of(*pass, byPath[key], dir / "out"), entry["sha256"].get<std::string>()) << key;
        ++intact;
    }
    EXPECT_GE(intact, 5u);
}

TEST(FatGeometry, TwoObservationsGiveTheClusterSizeAndStart) {
    const auto geometry = GeometryFromObservations(10, 4000, 20, 4080, 0);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->sectorsPerCluster, 8u);
    EXPECT_EQ(geometry->DataStart(), 3936u);
    EXPECT_EQ(geometry->ClusterSector(30), 4160u) << "a third observation fits without more work";
    EXPECT_FALSE(GeometryFromObservations(10, 4000, 20, 4030, 0)) << "3 sectors per cluster";
    EXPECT_FALSE(GeometryFromObservations(10, 4000, 20, 6560, 0)) << "256 sectors per cluster";
    EXPECT_FALSE(GeometryFromObservations(1000, 100, 1010, 180, 0)) << "cluster 2 before sector 0";
    EXPECT_FALSE(GeometryFromObservations(10, 4000, 10, 4080, 0));
    EXPECT_FALSE(GeometryFromObservations(10, 4000, 20, 4085, 0)) << "does not divide evenly";
}

TEST(FormattedScan, TheFreeSpaceOfALiveVolumeIsAllThatIsRead) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/fat16.img.gz", dir.path());
    auto pass = OpenPass(image);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    ASSERT_TRUE(pass->UsedFreeSpaceOnly());
    uint64_t free = 0, position = 0, length = 0;
    while (pass->QuickEngine()->NextFreeExtent(position, length) && length) {
        free += length;
        position += length;
    }
    EXPECT_EQ(pass->SectorsTotal(), free);
    EXPECT_LT(pass->SectorsTotal(), test::ReadFileBytes(image).size() / 512);
    // A photo the FAT scan found and the carver found again is listed once.
    std::vector<ScanRecord> photos;
    pass->SearchByExtension("*.jpg", photos);
    size_t holiday = 0;
    for (const ScanRecord& r : photos) holiday += RecordName(r) == "!oliday.jpg";
    EXPECT_EQ(holiday, 1u);
    for (const ScanRecord& r : photos) EXPECT_NE(r.engineKind, uint32_t{Signature}) << RecordName(r);

    // An ext volume's block bitmaps are its map.
    const fs::path ext = test::UnpackFixture("boot/ext4.img.gz", dir.path());
    auto extPass = OpenPass(ext);
    ASSERT_EQ(extPass->Scan(nullptr), kOk);
    EXPECT_TRUE(extPass->UsedFreeSpaceOnly());
    EXPECT_LT(extPass->SectorsTotal(), test::ReadFileBytes(ext).size() / 512);
    // An area whose file system cannot be read whole is read whole.
    auto bytes = test::ReadFileBytes(ext);
    std::fill(bytes.begin() + 1024, bytes.begin() + 2048, 0);  // the superblock, and no backup that far in
    test::WriteFileBytes(dir / "noext.img", bytes);
    auto whole = OpenPass(dir / "noext.img");
    ASSERT_EQ(whole->Scan(nullptr), kOk);
    EXPECT_FALSE(whole->UsedFreeSpaceOnly());
    EXPECT_EQ(whole->SectorsTotal(), bytes.size() / 512);
}

// Stops a pass at its fifth report of sectors read.
Reporter CancelAfterFive(int& calls, CancelToken& cancel) {
    return {[&calls, &cancel](const RunProgress& progress) {
                if (progress.done > 0 && ++calls == 5) cancel.Cancel();
            },
            &cancel};
}

std::vector<std::pair<std::string, uint64_t>> NamesAndSizes(CProfessionalRecovery& pass) {
    std::vector<std::pair<std::string, uint64_t>> list;
    for (const auto& [key, r] : Files(pass)) list.emplace_back(key, r.fileSize);
    return list;
}

TEST(FormattedScan, AStoppedPassResumesWhereItStopped) {
    test::TempDir dir;
    // An area of carved files and a former FAT volume's folders, large enough for many blocks.
    auto bytes = test::ReadFileBytes(test::UnpackFixture("formatted/fat.img.gz", dir.path()));
    for (const char* name : {"photo.jpg", "letter.docx", "image.png", "letter.pdf", "files.zip"}) {
        auto file = test::CarveFixture(name);
        file.resize((file.size() + 511) / 512 * 512 + 512, 0);
        bytes.insert(bytes.end(), file.begin(), file.end());
    }
    const fs::path image = dir / "area.img";
    test::WriteFileBytes(image, bytes);
    test::WriteFileBytes(dir / "copy.img", bytes);

    auto whole = OpenPass(dir / "copy.img");
    ASSERT_EQ(whole->Scan(nullptr), kOk);
    const auto expected = NamesAndSizes(*whole);

    int calls = 0;
    auto first = OpenPass(image);
    CancelToken cancel;
    first->SetReporter(CancelAfterFive(calls, cancel));
    ASSERT_EQ(first->Scan(nullptr), CancelCode);
    const uint64_t stoppedAt = first->SectorsDone();
    EXPECT_GT(stoppedAt, 0u);
    EXPECT_LT(stoppedAt, first->SectorsTotal());
    first.reset();
    ScanCatalogueRecord stored;
    ASSERT_TRUE(ScanCatalogue::Instance().FindForImage(image, stored));
    EXPECT_NE(stored.resumeState.extentLength, 0u) << "the stored pass is not finished";
    EXPECT_EQ(stored.resumeState.sectorsDone, stoppedAt);

    auto resumed = OpenPass(image);
    ASSERT_TRUE(resumed->HasStoredPass());
    ASSERT_EQ(resumed->Scan(nullptr), kOk);
    EXPECT_EQ(resumed->RunFolder(), stored.scanFolder);
    EXPECT_EQ(NamesAndSizes(*resumed), expected);
    resumed.reset();

    // Written since: the stored pass is stale, and a new pass starts.
    struct utimbuf later {1700000000, 1700000000};
    ASSERT_EQ(::utime(image.c_str(), &later), 0);
    auto fresh = OpenPass(image);
    EXPECT_FALSE(fresh->HasStoredPass());
    EXPECT_FALSE(fs::exists(stored.scanFolder));
}

// A source that cannot read one 64 KiB block of the area.
class FailingBlock final : public Medium {
public:
    FailingBlock(std::vector<uint8_t> bytes, uint64_t failFrom, uint64_t failTo)
        : bytes_(std::move(bytes)), from_(failFrom), to_(failTo) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        got = 0;
        if (offset < to_ && from_ < offset + length) return kErrReadFault;
        if (offset >= bytes_.size()) return kOk;
        got = std::min<size_t>(length, bytes_.size() - offset);
        std::memcpy(buffer, bytes_.data() + offset, got);
        return kOk;
    }
    uint64_t SizeBytes() const override { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
    uint64_t from_, to_;
};

TEST(FormattedScan, HostileAreasAndFailingReadsEndThePass) {
    test::TempDir dir;
    std::vector<std::vector<uint8_t>> areas;
    areas.push_back(test::PatternBytes(4 << 20, 3));
    areas.push_back(std::vector<uint8_t>(2 << 20, 0xFF));
    // Sectors that look like file records and directories but lie.
    std::vector<uint8_t> lies(2 << 20, 0);
    for (size_t at = 0; at < lies.size(); at += 512) {
        auto sector = test::PatternBytes(512, static_cast<uint32_t>(at));
        if ((at / 512) % 3 == 0) {
            std::memcpy(sector.data(), "FILE", 4);
            sector[24] = 0x80, sector[25] = 0x03, sector[26] = sector[27] = 0;
            sector[28] = 0x00, sector[29] = 0x04, sector[30] = sector[31] = 0;
            sector[48] = sector[510], sector[49] = sector[511];
            sector[0x14] = 0x38, sector[0x15] = 0;
        } else {
            std::memcpy(sector.data(), ".          \x10", 12);
            std::memcpy(sector.data() + 32, "..         \x10", 12);
            sector[26] = static_cast<uint8_t>(at / 512);
        }
        std::memcpy(lies.data() + at, sector.data(), 512);
    }
    areas.push_back(lies);
    for (size_t i = 0; i < areas.size(); ++i) {
        const fs::path image = dir / ("hostile" + std::to_string(i) + ".img");
        test::WriteFileBytes(image, areas[i]);
        auto pass = OpenPass(image);
        ASSERT_EQ(pass->Scan(nullptr), kOk) << i;
        EXPECT_EQ(pass->SectorsDone(), areas[i].size() / 512) << i;
        Files(*pass);
    }
    // One block of the carve area cannot be read: it is passed over and the rest is read.
    auto bytes = test::CarveFixture("letter.docx");
    bytes.resize(256 * 1024, 0);
    const auto jpeg = test::CarveFixture("photo.jpg");
    std::memcpy(bytes.data() + 200 * 1024, jpeg.data(), jpeg.size());
    test::WriteFileBytes(dir / "failing.img", bytes);
    auto pass = OpenPass(dir / "failing.img");
    pass->UsePassSource(SourceOverMedium(std::make_unique<FailingBlock>(bytes, 64 * 1024, 128 * 1024), 512));
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    const auto files = Files(*pass);
    EXPECT_TRUE(files.count("400.jpg")) << "found after the failing block";
    EXPECT_TRUE(files.count("0.docx"));
}

}  // namespace
}  // namespace kestrune
