// Every fixture image, damaged in seeded ways, scanned in every mode: the scans must end,
// and every file whose metadata the damage left alone must still come back byte-exact.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "engines/engine_factory.h"
#include "scanlog/scan_catalogue.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSector = 512;

struct Fixture {
    const char* image;
    const char* manifest;
    const char* listKey;  // the manifest's array of files the scans should bring back
};

const Fixture kFixtures[] = {
    {"ntfs/deleted.img.gz", "ntfs/deleted.json", "deleted"},
    {"ntfs/deleted4k.img.gz", "ntfs/deleted4k.json", "deleted"},
    {"fat/fat12.img.gz", "fat/fat12.json", "deleted"},
    {"fat/fat16.img.gz", "fat/fat16.json", "deleted"},
    {"fat/fat32.img.gz", "fat/fat32.json", "deleted"},
    {"formatted/fat.img.gz", "formatted/fat.json", "files"},
    {"formatted/ntfs.img.gz", "formatted/ntfs.json", "files"},
};

struct Expected {
    std::string path;  // folder/name as the manifest gives it
    uint64_t size;
    std::string sha256;
};

std::vector<Expected> ExpectedFiles(const Fixture& fixture) {
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath(fixture.manifest)));
    std::vector<Expected> files;
    for (const auto& entry : manifest[fixture.listKey]) {
        // Files the unharmed image cannot give back whole either.
        const std::string note = entry.value("note", "");
        if (note == "overwritten" || note == "fragmented") continue;
        const std::string folder = entry["folder"].get<std::string>();
        files.push_back({(folder.empty() ? "" : folder + "/") + entry["name"].get<std::string>(),
                         entry["size"].get<uint64_t>(), entry["sha256"].get<std::string>()});
    }
    return files;
}

std::vector<ScanRecord> AllRecords(IFileRecoveryParse& engine) {
    std::vector<ScanRecord> found;
    engine.SearchByExtension(BuildSearchPattern({}) + "|*.other", found);
    return found;
}

struct Variant {
    std::string name;
    std::vector<uint8_t> bytes;
    std::set<uint64_t> damaged;  // 512-byte sectors the damage touched
    bool geometryIntact = true;  // false when boot sectors may have changed
};

// The sectors that hold the metadata the scans read: the records and folder entries
// an unharmed scan found its files through.
std::vector<uint64_t> MetadataSectors(const fs::path& image, uint64_t imageSectors) {
    std::set<uint64_t> sectors;
    for (int formatted : {0, 1}) {
        auto engine = EngineFactory::CreateEngineForImage(image, 1001, formatted);
        if (!engine) continue;
        engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        if (engine->Scan(nullptr) != kOk) continue;
        for (const ScanRecord& r : AllRecords(*engine))
            for (uint64_t s : {r.entrySector, r.entrySector * 8})  // 512- or 4096-byte sector volumes
                if (s < imageSectors) sectors.insert(s);
    }
    return {sectors.begin(), sectors.end()};
}

std::vector<Variant> MakeVariants(const std::vector<uint8_t>& original, const std::vector<uint64_t>& metadata,
                                  uint32_t seed) {
    std::mt19937_64 random(seed);
    const uint64_t sectors = original.size() / kSector;
    auto pick = [&](uint64_t below) { return std::uniform_int_distribution<uint64_t>(0, below - 1)(random); };
    auto pickMetadata = [&] { return metadata.empty() ? pick(sectors) : metadata[pick(metadata.size())]; };
    std::vector<Variant> variants;

    Variant flips{"bit flips in metadata", original, {}};
    for (int i = 0; i < 96; ++i) {
        const uint64_t sector = pickMetadata();
        flips.bytes[sector * kSector + pick(kSector)] ^= static_cast<uint8_t>(1u << pick(8));
        flips.damaged.insert(sector);
    }
    variants.push_back(std::move(flips));

    Variant garbage{"metadata sectors overwritten with garbage", original, {}};
    Variant copies{"metadata sectors overwritten with other sectors", original, {}};
    for (int i = 0; i < 12; ++i) {
        uint64_t sector = pickMetadata();
        for (uint64_t b = 0; b < kSector; ++b) garbage.bytes[sector * kSector + b] = static_cast<uint8_t>(random());
        garbage.damaged.insert(sector);
        sector = pickMetadata();
        const uint64_t from = pick(sectors);
        std::copy_n(original.begin() + static_cast<long>(from * kSector), kSector,
                    copies.bytes.begin() + static_cast<long>(sector * kSector));
        copies.damaged.insert(sector);
    }
    variants.push_back(std::move(garbage));
    variants.push_back(std::move(copies));

    Variant boot{"boot area and tables flipped", original, {}, false};
    for (int i = 0; i < 64; ++i) {
        const uint64_t sector = pick(std::min<uint64_t>(sectors, 96));
        boot.bytes[sector * kSector + pick(kSector)] ^= static_cast<uint8_t>(1u << pick(8));
    }
    variants.push_back(std::move(boot));

    // Cut anywhere in the second half, not on a sector boundary.
    Variant truncated{"truncated", original, {}};
    const uint64_t cut = original.size() / 2 + pick(original.size() / 2);
    truncated.bytes.resize(cut);
    for (uint64_t s = cut / kSector; s < sectors; ++s) truncated.damaged.insert(s);
    variants.push_back(std::move(truncated));
    return variants;
}

// Whether any sector the record's entry may span (a long name before it, a 4 KiB record
// after it, in 512- or 4096-byte sector units) was damaged.
bool EntryDamaged(const ScanRecord& r, const std::set<uint64_t>& damaged) {
    for (uint64_t first : {r.entrySector, r.entrySector * 8})
        for (uint64_t s = first == 0 ? 0 : first - 1; s < first + 8; ++s)
            if (damaged.count(s)) return true;
    return false;
}

bool PathEndsWith(const std::string& path, const std::string& suffix) {
    return path == suffix || (path.size() > suffix.size() && path[path.size() - suffix.size() - 1] == '/' &&
                              path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0);
}

// Whether the image still holds all of a file's data: what lay past the end of an image cut
// short cannot come back, everything else must.
bool DataHeld(IFileRecoveryParse& engine, const ScanRecord& record, uint64_t imageBytes) {
    DataMap map;
    if (engine.MapData(record, map) != kOk) return true;  // kept in the file system's records
    return std::all_of(map.runs.begin(), map.runs.end(),
                       [&](const ByteRun& run) { return run.sourceOffset + run.length <= imageBytes; });
}

TEST(DamagedImages, EveryModeEndsAndIntactFilesStayByteExact) {
    test::TempDir dir;
    size_t checked = 0, scans = 0;
    uint32_t seed = 20261207;
    for (const Fixture& fixture : kFixtures) {
        SCOPED_TRACE(fixture.image);
        const fs::path source = test::UnpackFixture(fixture.image, dir.path());
        const auto original = test::ReadFileBytes(source);
        const auto expected = ExpectedFiles(fixture);
        const auto metadata = MetadataSectors(source, original.size() / kSector);
        ASSERT_FALSE(metadata.empty());
        int n = 0;
        for (Variant& variant : MakeVariants(original, metadata, seed++)) {
            SCOPED_TRACE(variant.name);
            const fs::path image = dir / ("variant" + std::to_string(seed) + "_" + std::to_string(n++) + ".img");
            test::WriteFileBytes(image, variant.bytes);
            for (int formatted : {0, 1}) {
                auto engine = EngineFactory::CreateEngineForImage(image, 1001, formatted);
                if (!engine) continue;  // nothing an engine knows is left
                engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
                engine->Scan(nullptr);
                ++scans;
                int recovered = 0;
                for (const ScanRecord& r : AllRecords(*engine)) {
                    std::string folder;
                    engine->GetRecordPath(r, folder);
                    const std::string path = folder + std::string(RecordName(r));
                    const fs::path target = dir / "out" / std::to_string(r.recordId);
                    const auto match = std::find_if(expected.begin(), expected.end(), [&](const Expected& e) {
                        return e.size == r.fileSize && PathEndsWith(path, e.path);
                    });
                    const bool mustMatch = formatted == 0 && match != expected.end() && variant.geometryIntact &&
                                           !r.isFolder && r.contentOk && !EntryDamaged(r, variant.damaged) &&
                                           DataHeld(*engine, r, variant.bytes.size());
                    // Damaged records are recovered too (a few per scan) to prove that reading
                    // them is safe; only files with intact metadata must come back exact.
                    if (!mustMatch && recovered++ >= 24) continue;
                    const int rc = engine->Recover(r, target, 0);
                    if (mustMatch) {
                        EXPECT_EQ(rc, kOk) << path;
                        EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(target)), match->sha256) << path;
                        ++checked;
                    }
                    std::error_code ec;
                    fs::remove(target, ec);
                }
            }
            fs::remove(image);
        }
    }
    EXPECT_GT(scans, 50u);
    EXPECT_GT(checked, 40u) << "files with intact metadata were found and compared";
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 1536L * 1024) << "peak memory in KiB";
}

}  // namespace
}  // namespace kestrune
