#include "support/recovered_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "base/result_codes.h"
#include "session/search_pattern.h"
#include "support/sha256.h"

namespace kestrune::test {

namespace fs = std::filesystem;

RecoveredFixture::RecoveredFixture(const std::string& image, const std::string& manifestPath, ScanMode mode)
    : manifest(nlohmann::json::parse(std::ifstream(FixturePath(manifestPath)))) {
    const fs::path unpacked = UnpackFixture(image, dir.path());
    ScanSource source;
    std::string error;
    EXPECT_EQ(ResolveScanSource(unpacked.string(), 0, source, error), kOk) << error;
    ScanRun run(source, mode);
    EXPECT_EQ(run.Start(), kOk) << run.problem();
    std::vector<ScanRecord> found;
    EXPECT_EQ(run.Search(SearchPatternFor({}, {}, error), found), kOk);
    std::vector<ScanRecord> files;
    for (const ScanRecord& record : found) {
        if (record.isFolder) continue;
        files.push_back(record);
        std::string folder;
        run.RecordPath(record, folder);
        listed["/" + folder + std::string(RecordName(record))] = run.AssessRecoverable(record);
    }
    const fs::path out = dir / "out";
    RecoverySummary summary;
    run.Recover(
        files, out,
        [&](const RecoveredFile& file) { byPath["/" + fs::relative(file.target, out).generic_string()] = file; },
        summary, true);
}

std::string RecoveredFixture::Sha256Of(const fs::path& file) { return Sha256Hex(ReadFileBytes(file)); }

const RecoveredFile* RecoveredFixture::Find(const nlohmann::json& file) const {
    const auto at = byPath.find(file["folder"].get<std::string>() + "/" + file["name"].get<std::string>());
    return at == byPath.end() ? nullptr : &at->second;
}

}  // namespace kestrune::test
