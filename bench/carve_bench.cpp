// How fast the carving step examines sectors: a 256 MiB area of seeded random bytes and
// one of zeros, every 512-byte sector offered in turn, as the deep scan's pass does.
//
//   build/bin/carve_bench
//
// Reports MB/s of area examined on one core (bytes_per_second).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>

#include "engines/carve/carve_pass.h"
#include "engines/carve/file_type_recovery.h"
#include "scanlog/scan_catalogue.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kAreaBytes = 256u << 20;
constexpr uint32_t kSector = 512;

const std::vector<uint8_t>& Area(bool random) {
    static std::vector<uint8_t> randomArea, zeroArea;
    std::vector<uint8_t>& area = random ? randomArea : zeroArea;
    if (area.empty()) {
        area.assign(kAreaBytes, 0);
        if (random) {
            std::mt19937_64 generator(20261207);
            for (size_t i = 0; i < kAreaBytes; i += 8) {
                const uint64_t v = generator();
                std::memcpy(area.data() + i, &v, 8);
            }
        }
    }
    return area;
}

// The same bytes as an image file, for the length rules that read ahead.
fs::path AreaFile(bool random) {
    const fs::path path = fs::temp_directory_path() /
                          ("kestrune-carve-bench-" + std::to_string(::getpid()) + (random ? "-random" : "-zero"));
    if (!fs::exists(path)) {
        std::ofstream out(path, std::ios::binary);
        const auto& area = Area(random);
        out.write(reinterpret_cast<const char*>(area.data()), static_cast<std::streamsize>(area.size()));
    }
    return path;
}

void CarveEverySector(benchmark::State& state, bool random) {
    const auto& area = Area(random);
    kestrune::CFileTypeRecovery engine;
    engine.SetRunFolder(kestrune::ScanCatalogue::Instance().NewRunFolder());
    engine.OpenImage(AreaFile(random), 1001);
    uint64_t found = 0;
    for (auto _ : state) {
        kestrune::carve::PassProgress totals;
        totals.sectorsTotal = area.size() / kSector;
        for (uint64_t sector = 0; sector < totals.sectorsTotal;) {
            uint32_t skip = 1;
            engine.CarveAt(kestrune::ByteView(area.data() + sector * kSector, kSector), sector, totals, skip, found);
            sector += skip;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * area.size()));
    state.counters["files_found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}

void BM_CarveRandom(benchmark::State& state) { CarveEverySector(state, true); }
void BM_CarveZeros(benchmark::State& state) { CarveEverySector(state, false); }
BENCHMARK(BM_CarveRandom)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_CarveZeros)->Unit(benchmark::kMillisecond)->MinTime(2);

// The whole pass over the image file: reading in 64 KiB blocks from the page cache too.
void BM_CarvePassRandomFile(benchmark::State& state) {
    const fs::path file = AreaFile(true);
    for (auto _ : state) {
        kestrune::CFileTypeRecovery engine;
        engine.SetRunFolder(kestrune::ScanCatalogue::Instance().NewRunFolder());
        engine.OpenImage(file, 1001);
        benchmark::DoNotOptimize(kestrune::CarveArea(engine, 0, kAreaBytes / kSector));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kAreaBytes));
}
BENCHMARK(BM_CarvePassRandomFile)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
    // Scan logs of the benchmark go to a scratch folder, never the user's.
    const fs::path data = fs::temp_directory_path() / ("kestrune-carve-bench-data-" + std::to_string(::getpid()));
    ::setenv("KESTRUNE_DATA_HOME", data.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove(AreaFile(true));
    fs::remove(AreaFile(false));
    fs::remove_all(data);
    return 0;
}
