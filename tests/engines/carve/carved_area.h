// Carving a test image whole, as the deep scan carves free space: the records found,
// by the sector each starts at, and their bytes recovered.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "engines/carve/carve_pass.h"
#include "engines/carve/file_type_recovery.h"
#include "scanlog/scan_catalogue.h"
#include "support/test_support.h"

namespace kestrune::test {

struct Carved {
    TempDir dir;
    std::unique_ptr<CFileTypeRecovery> engine = std::make_unique<CFileTypeRecovery>();
    std::map<uint64_t, ScanRecord> bySector;
    CarvePassResult pass;
};

inline std::unique_ptr<Carved> Carve(const std::vector<uint8_t>& image, uint32_t sectorBytes = 512) {
    auto carved = std::make_unique<Carved>();
    carved->engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    WriteFileBytes(carved->dir / "area.img", image);
    EXPECT_EQ(carved->engine->OpenImage(carved->dir / "area.img", 1001), kOk);
    carved->pass = CarveArea(*carved->engine, 0, image.size() / sectorBytes, nullptr, nullptr, kFullWeight);
    std::vector<ScanRecord> records;
    EXPECT_EQ(carved->engine->ListChildren(nullptr, 0, records), kOk);
    for (const ScanRecord& r : records) carved->bySector[uint64_t{r.entrySector}] = r;
    return carved;
}

inline std::vector<uint8_t> RecoverBytes(Carved& carved, const ScanRecord& record) {
    const std::filesystem::path target = carved.dir / "out" / RecordName(record);
    EXPECT_EQ(carved.engine->Recover(record, target, 0), kOk);
    return ReadFileBytes(target);
}

}  // namespace kestrune::test
