// How much of each found file no live file holds (its recoverable share), on every file
// system, against what its bytes say: a deleted file that comes back exactly as it was
// written lies in free space only, so all of it is recoverable.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "base/result_codes.h"
#include "session/scan_run.h"
#include "session/search_pattern.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct QuickRun {
    test::TempDir dir;
    std::unique_ptr<ScanRun> run;

    explicit QuickRun(const std::string& fixture) {
        const fs::path image = test::UnpackFixture(fixture, dir.path());
        ScanSource source;
        std::string error;
        EXPECT_EQ(ResolveScanSource(image.string(), 0, source, error), kOk) << error;
        run = std::make_unique<ScanRun>(source, ScanMode::Quick);
        EXPECT_EQ(run->Start(), kOk) << run->problem();
    }
    // The found file's bytes, as a preview reads them.
    std::vector<uint8_t> Bytes(const ScanRecord& record) {
        std::vector<uint8_t> bytes(static_cast<size_t>(record.fileSize));
        std::string tempPath;
        uint32_t delivered = 0;
        if (run->ExtractForPreview(record, tempPath, bytes, delivered, nullptr, nullptr) != kOk) return {};
        if (!tempPath.empty()) {
            bytes = test::ReadFileBytes(tempPath);
            fs::remove_all(fs::path(tempPath).parent_path());
            return bytes;
        }
        bytes.resize(delivered);
        return bytes;
    }
};

class DeletedFileShares : public ::testing::TestWithParam<std::pair<const char*, size_t>> {};

TEST_P(DeletedFileShares, AFileThatComesBackAsItWasWrittenIsWhollyRecoverable) {
    const auto [name, least] = GetParam();
    QuickRun quick(std::string(name) + ".img.gz");
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath(std::string(name) + ".json")));
    std::set<std::string> written;
    for (const auto& file : manifest.contains("deleted") ? manifest["deleted"] : manifest["files"])
        // Files of a deleted folder whose clusters the table still holds are not free.
        if (file.value("state", "deleted") == "deleted" && file.value("kind", "deleted") == "deleted")
            written.insert(file["sha256"].get<std::string>());
    std::string error;
    std::vector<ScanRecord> found;
    ASSERT_EQ(quick.run->Search(SearchPatternFor({}, {}, error), found), kOk);
    size_t exact = 0;
    for (const ScanRecord& record : found) {
        if (record.fileSize == 0 || record.fileSize > (64u << 20)) continue;
        if (!written.count(test::Sha256Hex(quick.Bytes(record)))) continue;
        EXPECT_EQ(quick.run->RecoverableShare(record), 100) << RecordName(record);
        ++exact;
    }
    EXPECT_GE(exact, least);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DeletedFileShares,
                         ::testing::Values(std::pair{"fat/fat12", size_t{12}}, std::pair{"fat/fat16", size_t{12}},
                                           std::pair{"fat/fat32", size_t{12}}, std::pair{"exfat/card", size_t{36}},
                                           std::pair{"exfat/card128", size_t{36}},
                                           std::pair{"ntfs/deleted", size_t{15}}),
                         [](const auto& info) {
                             std::string label = info.param.first;
                             for (char& c : label)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return label;
                         });

// Reports deleted, a large file written into their holes and deleted in turn: no live
// file holds those clusters, but the large file's record says it took them after the
// reports were written.
TEST(ClaimedByNewer, AReportALaterFileWroteOverIsNotCalledWhollyRecoverable) {
    QuickRun quick("ntfs/taken.img.gz");
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs/taken.json")));
    std::string error;
    std::vector<ScanRecord> found;
    ASSERT_EQ(quick.run->Search(SearchPatternFor({}, {}, error), found), kOk);
    std::map<std::string, const ScanRecord*> byName;
    for (const ScanRecord& record : found) byName[std::string(RecordName(record))] = &record;
    size_t whole = 0, takenCalledWhole = 0, taken = 0;
    for (const auto& report : manifest["deleted"]) {
        const auto at = byName.find(report["name"].get<std::string>());
        ASSERT_NE(at, byName.end()) << report["name"];
        const int share = quick.run->RecoverableShare(*at->second);
        if (report["intact"].get<bool>()) {
            EXPECT_EQ(share, 100) << report["name"];
            ++whole;
        } else {
            ++taken;
            if (share == 100) ++takenCalledWhole;
        }
    }
    EXPECT_GE(whole, 250u);
    EXPECT_GE(taken, 250u);
    // Two reports lie under index blocks the folder took and gave back: nothing says so.
    EXPECT_LE(takenCalledWhole, 2u);
    // The large file itself, the newest, is whole.
    ASSERT_TRUE(byName.count("archive.bin"));
    EXPECT_EQ(quick.run->RecoverableShare(*byName["archive.bin"]), 100);
}

}  // namespace
}  // namespace kestrune
