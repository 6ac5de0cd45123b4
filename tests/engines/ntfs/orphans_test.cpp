// Deleted NTFS files whose names ntfs-3g took out of their extension records (see
// make_ntfs_orphan_images.sh): listed as orphans by record number, with their data,
// their streams and a type their bytes show, as The Sleuth Kit lists them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/ntfs/fast_ntfs_recovery.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(NtfsOrphans, FilesWhoseNamesWereTakenOutAreListedByRecordWithTheirDataAndStreams) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ntfs/orphans.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("ntfs/orphans.json")));
    auto engine = test::QuickScanned(image);
    ASSERT_NE(engine, nullptr);
    auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
    ASSERT_NE(ntfs, nullptr);
    const std::vector<ScanRecord> records = test::AllRecords(*ntfs->Log());
    ASSERT_EQ(records.size(), ntfs->Log()->RecordCount());  // every record reads back
    std::map<std::string, ScanRecord> byPath = test::RecordsByPath(*engine, records);
    auto bytesOf = [&](const ScanRecord& record) {
        const fs::path target = dir / "out" / std::to_string(record.recordId);
        EXPECT_EQ(engine->Recover(record, target, 0), kOk) << RecordName(record);
        return test::Sha256Hex(test::ReadFileBytes(target));
    };
    // Each orphan's data, whatever its record number: matched by its bytes.
    std::map<std::string, const ScanRecord*> orphans;  // sha256 -> record
    size_t streams = 0;
    for (const auto& [path, record] : byPath) {
        if (path.rfind("$OrphanFiles/OrphanFile-", 0) != 0) continue;
        if (DataStreamOf(record).empty()) orphans[bytesOf(record)] = &record;
        else ++streams;
    }
    size_t expectedStreams = 0;
    for (const auto& file : manifest["deleted"]) {
        const std::string sha = file["sha256"].get<std::string>();
        if (!file["orphan"].get<bool>()) {
            // A file that kept its name is listed as before.
            const std::string path = "Shared/" + file["name"].get<std::string>();
            ASSERT_TRUE(byPath.count(path)) << path;
            EXPECT_EQ(bytesOf(byPath[path]), sha);
            continue;
        }
        expectedStreams += file["streams"].get<size_t>();
        ASSERT_TRUE(orphans.count(sha)) << file["name"];
        const ScanRecord& orphan = *orphans[sha];
        EXPECT_EQ(orphan.fileSize, file["size"].get<uint64_t>());
        EXPECT_NE(orphan.writeTime, 0u);  // from its standard information
        // Named by its type: a photo is a photo, the minutes are text.
        const std::string name(RecordName(orphan)), was = file["name"].get<std::string>();
        EXPECT_EQ(name.substr(name.rfind('.')), was.substr(was.rfind('.')));
    }
    EXPECT_EQ(orphans.size(), 2u);
    // One stream of each shared the extension record the deletion cleared with the name:
    // The Sleuth Kit lists the same 29 and 23.
    EXPECT_EQ(streams, expectedStreams - orphans.size());
}

}  // namespace
}  // namespace kestrune
