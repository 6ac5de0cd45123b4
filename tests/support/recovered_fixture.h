// A used volume from the fixtures, scanned and recovered whole as the session does it for
// a user, with the manifest its script wrote: what tests of aged media compare against.
#pragma once

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "scanlog/recovered_file.h"
#include "session/scan_run.h"
#include "support/test_support.h"

namespace kestrune::test {

struct RecoveredFixture {
    // image: a gzipped fixture ("fat/aged32.img.gz"); manifest: its json.
    RecoveredFixture(const std::string& image, const std::string& manifestPath, ScanMode mode = ScanMode::Quick);

    TempDir dir;
    nlohmann::json manifest;
    std::map<std::string, RecoveredFile> byPath;            // "/Docs/a.txt", as recovered
    std::map<std::string, ScanRun::Recoverability> listed;  // the same, as a listing shows them

    static std::string Sha256Of(const std::filesystem::path& file);
    // Where the manifest's file (its "folder" and "name") was recovered; null if it was not.
    const RecoveredFile* Find(const nlohmann::json& file) const;
};

}  // namespace kestrune::test
