// Carving a test image whole, as the deep scan carves free space: the records found,
// by the sector each starts at, and their bytes recovered; images of files laid between
// pseudo-random bytes, and single files for the structure walks alone.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engines/carve/carve_pass.h"
#include "engines/carve/file_reader.h"
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
    carved->pass = CarveArea(*carved->engine, 0, image.size() / sectorBytes);
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

inline constexpr size_t kCarveSector = 512;

// Files on sector boundaries with pseudo-random bytes between them and in the rest of
// each file's last sector, as a disk's free space holds old data.
struct NoisyImage {
    std::vector<uint8_t> bytes;
    std::map<std::string, uint64_t> startOf;
    uint32_t seed;

    explicit NoisyImage(uint32_t firstSeed) : seed(firstSeed) {}
    void Noise(size_t sectors) {
        const auto noise = PatternBytes(sectors * kCarveSector, seed++);
        bytes.insert(bytes.end(), noise.begin(), noise.end());
    }
    void Add(const std::string& name, const std::vector<uint8_t>& file, size_t noiseAfter = 3) {
        startOf[name] = bytes.size() / kCarveSector;
        bytes.insert(bytes.end(), file.begin(), file.end());
        const auto tail = PatternBytes(kCarveSector, seed++);
        const size_t rest = (kCarveSector - bytes.size() % kCarveSector) % kCarveSector;
        bytes.insert(bytes.end(), tail.begin(), tail.begin() + static_cast<long>(rest));
        Noise(noiseAfter);
    }
};

// A context over one file's bytes, for the walks alone; a length counts only when the
// file, as it lies there, reaches it (as when the deep scan runs a walk).
struct MemoryFile {
    explicit MemoryFile(std::vector<uint8_t> bytes) {
        bytes.resize((bytes.size() + kCarveSector - 1) / kCarveSector * kCarveSector + 4 * kCarveSector, 0);
        first.assign(bytes.begin(), bytes.begin() + kCarveSector);
        source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), kCarveSector);
        context.source = &source;
    }
    std::optional<uint64_t> Walk(carve::StructureWalk walk, uint64_t maxBytes = 1 << 30) {
        carve::FileReader file(ByteView(first), context, maxBytes);
        auto end = walk(file);
        if (end && !file.Reaches(*end)) return std::nullopt;
        return end;
    }
    std::vector<uint8_t> first;
    SectorSource source;
    carve::CarvingContext context;
};

// value written into bytes at `at`, width bytes, low byte first or high byte first.
inline void PutLe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width = 4) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void PutBe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width = 4) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

}  // namespace kestrune::test
