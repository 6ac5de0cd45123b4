// How fast a scan log takes records and answers a search, at a million records.
//
//   build/bin/scan_log_bench
//
// Reports records per second for append + link + flush and for a search by extension,
// and the process's peak resident memory after each, which shows that the search
// streams the main file instead of loading it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include "scanlog/scan_log_file.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRecords = 1000000;
constexpr uint32_t kFilesPerFolder = 100;

double PeakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

fs::path BenchFolder() {
    static const fs::path folder = [] {
        auto path = fs::temp_directory_path() / ("kestrune-bench-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

// One folder per hundred files, names with a spread of extensions.
void FillLog(kestrune::ScanLogFile& log) {
    static const char* kExtensions[] = {"jpg", "doc", "mp3", "txt", "zip", "png", "pdf", "xyz"};
    uint32_t folderFsId = 5;
    uint32_t folderLevel = 0;
    for (uint32_t i = 0; i < kRecords; ++i) {
        kestrune::ScanRecord& r = log.AppendRecord();
        r.fsId = 1000 + i;
        r.contentOk = 1;
        r.fileSize = i;
        if (i % kFilesPerFolder == 0) {
            r.isFolder = 1;
            const std::string name = "folder" + std::to_string(i);
            kestrune::SetRecordName(r, name);
            log.LinkRecord(5, 0, r.recordId, r.fsId, &name);
            folderFsId = r.fsId;
            folderLevel = 1;
        } else {
            kestrune::SetRecordName(r, "file" + std::to_string(i) + "." + kExtensions[i % 8]);
            log.LinkRecord(folderFsId, folderLevel, r.recordId, r.fsId, nullptr);
        }
    }
}

void BM_AppendLinkFlush(benchmark::State& state) {
    for (auto _ : state) {
        kestrune::ScanLogFile log;
        fs::remove_all(BenchFolder() / "append");
        log.OpenLog(BenchFolder() / "append", "Fast_0_bench");
        FillLog(log);
        benchmark::DoNotOptimize(log.Flush());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    state.counters["peak_MiB"] = PeakResidentMiB();
}
BENCHMARK(BM_AppendLinkFlush)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SearchLog(benchmark::State& state) {
    kestrune::ScanLogFile log;
    fs::remove_all(BenchFolder() / "search");
    log.OpenLog(BenchFolder() / "search", "Fast_0_bench");
    FillLog(log);
    log.Flush();
    const double peakBefore = PeakResidentMiB();
    size_t found = 0;
    for (auto _ : state) {
        std::vector<kestrune::ScanRecord> out;
        log.SearchLog("*.jpg|*.png", out);
        found = out.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    state.counters["found"] = static_cast<double>(found);
    state.counters["peak_MiB_before"] = peakBefore;
    state.counters["peak_MiB"] = PeakResidentMiB();
    state.counters["main_file_MiB"] = static_cast<double>(fs::file_size(log.MainPath())) / 1048576.0;
}
BENCHMARK(BM_SearchLog)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(BenchFolder());
    return 0;
}
