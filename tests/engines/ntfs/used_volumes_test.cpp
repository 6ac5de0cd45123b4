// NTFS volumes made by mkntfs and ntfs-3g as they look after years of use: an MFT in
// tens or hundreds of pieces, compressed folders, sparse files.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "base/result_codes.h"
#include "engines/engine_factory.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using test::AllRecords;

std::map<std::string, ScanRecord> Findings(IFileRecoveryParse& engine, const std::vector<ScanRecord>& records) {
    return test::RecordsByPath(engine, records);
}

// What fill/fNNNNN.txt holds (see make_ntfs_fragmented_images.sh).
std::vector<uint8_t> FillContent(int number) {
    char head[32], tail[32];
    const int h = std::snprintf(head, sizeof head, "fill/f%05d.txt\n", number);
    const int t = std::snprintf(tail, sizeof tail, "end of fill/f%05d.txt\n", number);
    std::vector<uint8_t> bytes(head, head + h);
    bytes.resize(4096 - static_cast<size_t>(t), 0);
    bytes.insert(bytes.end(), tail, tail + t);
    return bytes;
}

class FragmentedMft : public ::testing::TestWithParam<const char*> {};

TEST_P(FragmentedMft, EveryDeletedFileOfEveryMftRunIsFound) {
    test::TempDir dir;
    const std::string name = GetParam();
    const fs::path image = test::UnpackFixture("ntfs_fragmented/" + name + ".img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs_fragmented/" + name + ".json")));
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (engine) engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
    ASSERT_NE(ntfs, nullptr);
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    EXPECT_EQ(ntfs->Geometry().mftRuns.size(), manifest["mft_runs_listed_by_ntfsinfo"].get<size_t>());
    auto found = Findings(*engine, AllRecords(*ntfs->Log()));

    // Each deleted file is whole, or its clusters hold the large file written after it.
    // Only the records the large file took are gone.
    const int files = manifest["files"].get<int>();
    size_t intact = 0, overwritten = 0, listed = 0;
    for (int i = 1; i < files; i += 2) {
        char key[32];
        std::snprintf(key, sizeof key, "fill/f%05d.txt", i);
        if (!found.count(key)) continue;
        ++listed;
        const ScanRecord& r = found[key];
        ASSERT_EQ(r.fileSize, 4096u) << key;
        const fs::path target = dir / "out" / (std::to_string(i) + ".txt");
        ASSERT_EQ(engine->Recover(r, target, 0), kOk) << key;
        const auto bytes = test::ReadFileBytes(target);
        if (bytes == FillContent(i)) {
            ++intact;
            EXPECT_EQ(r.contentOk, 1u) << key;
        } else {
            // Taken by the large file or its metadata: never another small file's cluster,
            // which is what a misplaced run would give.
            EXPECT_NE(std::string(bytes.begin(), bytes.begin() + 6), "fill/f") << key;
            ++overwritten;
        }
        fs::remove(target);
    }
    const size_t taken = manifest["records_taken_by_big"].get<size_t>();
    EXPECT_GE(listed + taken, manifest["deleted_count"].get<size_t>());
    EXPECT_EQ(intact + overwritten, listed);
    // The large file took at most one small file's cluster for each of its own, and one or
    // two for its own records: every other small file is whole (79, 531 and 2,416 here).
    const size_t bigClusters = (manifest["big"]["size"].get<size_t>() + 4095) / 4096;
    EXPECT_LE(overwritten, bigClusters + 2);
    EXPECT_GE(intact + bigClusters + 2, listed);
    RecordProperty("intact", static_cast<int>(intact));
    // The large file itself, in as many pieces as there were holes. When its run list
    // needed extension records, ntfs-3g emptied them on deletion: its name and most of
    // its runs are gone, and it is not listed at all.
    if (taken > 1) {
        EXPECT_FALSE(found.count("big.bin"));
        return;
    }
    ASSERT_TRUE(found.count("big.bin"));
    ASSERT_EQ(engine->Recover(found["big.bin"], dir / "big.bin", 0), kOk);
    EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(dir / "big.bin")), manifest["big"]["sha256"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Volumes, FragmentedMft, ::testing::Values("few_runs", "many_runs", "attribute_list"));

struct CompressedFile {
    std::string key;
    uint64_t size;
    std::string sha256;
};

std::vector<CompressedFile> CompressedManifest(const std::string& name) {
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs_compressed/" + name + ".json")));
    std::vector<CompressedFile> files;
    for (const auto& f : manifest["files"]) {
        EXPECT_TRUE(f["compressed"].get<bool>() || f["sparse"].get<bool>()) << f["name"];
        files.push_back({f["folder"].get<std::string>() + "/" + f["name"].get<std::string>(), f["size"].get<uint64_t>(),
                         f["sha256"].get<std::string>()});
    }
    return files;
}

// The bytes a preview to memory gives back.
std::string PreviewSha(IFileRecoveryParse& engine, const ScanRecord& r) {
    std::vector<uint8_t> memory(r.fileSize);
    std::string temp;
    uint32_t delivered = 0;
    ScanRecord copy = r;
    // No extension: the data go to memory. A stream's record keeps naming its stream.
    const std::string_view stream = DataStreamOf(r);
    SetRecordName(copy, "preview-to-memory" + (stream.empty() ? std::string() : ":" + std::string(stream)));
    if (engine.ExtractForPreview(&copy, temp, memory, delivered, {}) != kOk) return "failed";
    memory.resize(delivered);
    return test::Sha256Hex(memory);
}

TEST(CompressedVolume, DeletedCompressedAndSparseFilesComeBackAsNtfs3gReadsThem) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ntfs_compressed/deleted.img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (engine) engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
    ASSERT_NE(ntfs, nullptr);
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    auto found = Findings(*engine, AllRecords(*ntfs->Log()));
    for (const CompressedFile& f : CompressedManifest("deleted")) {
        ASSERT_TRUE(found.count(f.key)) << f.key;
        const ScanRecord& r = found[f.key];
        EXPECT_EQ(r.fileSize, f.size) << f.key;
        EXPECT_EQ(r.contentOk, 1u) << f.key << ": the check reads the content, not the packed clusters";
        const fs::path target = dir / "out" / RecordName(r);
        ASSERT_EQ(engine->Recover(r, target, 0), kOk) << f.key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), f.sha256) << f.key;
        EXPECT_EQ(PreviewSha(*engine, r), f.sha256) << f.key;
    }
}

TEST(CompressedVolume, CompressedFilesOfAFormattedVolumeComeBackWhole) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ntfs_compressed/formatted.img.gz", dir.path());
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(pass, nullptr);
    ASSERT_EQ(pass->Scan(nullptr), kOk);
    std::vector<ScanRecord> all;
    pass->SearchByExtension(BuildSearchPattern({"bin", "csv", "jpg", "log", "txt", "other"}), all);
    std::vector<ScanRecord> former;
    for (const ScanRecord& r : all)
        if (r.engineKind == NtfsFormatted) former.push_back(r);
    auto found = Findings(*pass, former);
    size_t whole = 0;
    for (const CompressedFile& f : CompressedManifest("formatted")) {
        const auto it = std::find_if(found.begin(), found.end(), [&](const auto& entry) {
            return entry.first.size() >= f.key.size() &&
                   entry.first.compare(entry.first.size() - f.key.size(), f.key.size(), f.key) == 0;
        });
        ASSERT_NE(it, found.end()) << f.key;
        EXPECT_EQ(it->second.fileSize, f.size) << f.key;
        const fs::path target = dir / "out" / RecordName(it->second);
        // The new volume's own files may lie where a compressed unit was: such a file is
        // reported damaged, never as recovered with other bytes.
        const int rc = pass->Recover(it->second, target, 0);
        if (rc == kErrFileCorrupt) continue;
        ASSERT_EQ(rc, kOk) << f.key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), f.sha256) << f.key;
        EXPECT_EQ(PreviewSha(*pass, it->second), f.sha256) << f.key;
        ++whole;
    }
    EXPECT_GE(whole, CompressedManifest("formatted").size() - 1);
}

// Deleted files whose data lives partly in alternate data streams (ntfs-3g with
// streams_interface=windows): each stream is its own item, "file:stream", recovered,
// previewed and mapped from its own attribute, resident or not.
TEST(NtfsStreams, EveryStreamOfADeletedFileComesBackAsItsOwnItem) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ntfs_streams/deleted.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs_streams/deleted.json")));
    auto engine = test::QuickScanned(image);
    ASSERT_NE(engine, nullptr);
    auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
    ASSERT_NE(ntfs, nullptr);
    auto found = Findings(*engine, AllRecords(*ntfs->Log()));
    int streams = 0;
    for (const auto& item : manifest["files"]) {
        const std::string folder = item["folder"].get<std::string>(), stream = item["stream"].get<std::string>();
        const std::string key = (folder.empty() ? "" : folder + "/") + item["name"].get<std::string>() +
                                (stream.empty() ? "" : ":" + stream);
        ASSERT_TRUE(found.count(key)) << key;
        const ScanRecord& r = found[key];
        EXPECT_EQ(DataStreamOf(r), stream) << key;
        EXPECT_EQ(r.isFolder, 0u) << key;
        EXPECT_EQ(r.contentOk, 1u) << key;
        EXPECT_EQ(r.fileSize, item["size"].get<uint64_t>()) << key;
        const fs::path target = dir / "out" / std::to_string(r.recordId);
        ASSERT_EQ(engine->Recover(r, target, 0), kOk) << key;
        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), item["sha256"].get<std::string>()) << key;
        EXPECT_EQ(PreviewSha(*engine, r), item["sha256"].get<std::string>()) << key;
        streams += !stream.empty();
    }
    EXPECT_EQ(streams, 6);
    EXPECT_EQ(found.size(), manifest["files"].size() + 2) << "the two folders, and nothing else";
}

}  // namespace
}  // namespace kestrune
