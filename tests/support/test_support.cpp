#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "engines/engine_factory.h"
#include "scanlog/scan_catalogue.h"

namespace fs = std::filesystem;

namespace kestrune::test {

namespace {

// Every test process keeps its scan logs and catalogue in a folder of its own, never in
// the user's data folder.
std::string gDataHome;
const bool kPrivateDataHome = [] {
    gDataHome = (fs::temp_directory_path() / "kestrune-test-data-XXXXXX").string();
    if (!::mkdtemp(gDataHome.data())) return false;
    ::setenv("KESTRUNE_DATA_HOME", gDataHome.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(gDataHome, ec);
    });
    return true;
}();

}  // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path FixturePath(const std::string& relative) { return fs::path(KESTRUNE_FIXTURES_DIR) / relative; }

fs::path UnpackFixture(const std::string& relative, const fs::path& folder) {
    const fs::path source = FixturePath(relative);
    fs::path target = folder / source.filename();
    if (target.extension() == ".gz") target.replace_extension();
    gzFile in = gzopen(source.c_str(), "rb");
    if (!in) throw std::runtime_error("cannot open fixture " + source.string());
    std::ofstream out(target, std::ios::binary);
    std::vector<char> buffer(1 << 16);
    int n = 0;
    while ((n = gzread(in, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
        out.write(buffer.data(), n);
    gzclose(in);
    if (n < 0) throw std::runtime_error("corrupt fixture " + source.string());
    return target;
}

std::vector<uint8_t> CarveFixture(const std::string& name) {
    const fs::path plain = FixturePath("carve/" + name);
    if (fs::exists(plain)) return ReadFileBytes(plain);
    TempDir dir;
    return ReadFileBytes(UnpackFixture("carve/" + name + ".gz", dir.path()));
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

size_t OpenDescriptorCount() {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

int FaultyMedium::ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) {
    ++reads;
    got = 0;
    length = std::min(length, maxPiece_);
    const uint64_t end = offset + length;
    for (const auto& [from, to] : failing_)
        if (from < end && offset < to) return kErrReadFault;
    if (offset >= bytes_.size()) return kOk;
    got = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, got);
    return kOk;
}

size_t CountingMedium::ReadsIn(uint64_t from, uint64_t to) const {
    size_t count = 0;
    for (const auto& [offset, end] : reads) count += offset < to && from < end;
    return count;
}

size_t CountingMedium::FirstReadIn(uint64_t from, uint64_t to) const {
    for (size_t i = 0; i < reads.size(); ++i)
        if (reads[i].first < to && from < reads[i].second) return i;
    return reads.size();
}

LoopDevice::LoopDevice() {
    if (::geteuid() != 0) return;
    lock_ = ::open("/tmp/kestrune-tests-loop.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ >= 0) ::flock(lock_, LOCK_EX);
}

LoopDevice::LoopDevice(const fs::path& image, bool readOnly, uint64_t offset) : LoopDevice() {
    Attach(image, readOnly, offset);
}

void LoopDevice::Attach(const fs::path& image, bool readOnly, uint64_t offset) {
    if (::geteuid() != 0 || !device_.empty()) return;
    const std::string command = std::string("losetup ") + (readOnly ? "-r " : "") +
                                (offset ? "-o " + std::to_string(offset) + " " : "") + "-f --show '" +
                                image.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return;
    char line[256] = {};
    if (std::fgets(line, sizeof line, pipe)) device_ = line;
    ::pclose(pipe);
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
}

void LoopDevice::Detach() {
    if (device_.empty()) return;
    std::system(("losetup -d " + device_ + " 2>/dev/null").c_str());
    // losetup -d only marks the device while udev's probe still holds it open; the
    // kernel frees it, and its size drops to 0, when the last holder closes it.
    const fs::path size = fs::path("/sys/block") / fs::path(device_).filename() / "size";
    // Under the load of the sanitizer builds that can take seconds.
    for (int tries = 0; tries < 400; ++tries) {
        std::ifstream in(size);
        uint64_t sectors = 0;
        if (!(in >> sectors) || sectors == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    device_.clear();
}

LoopDevice::~LoopDevice() {
    Detach();
    if (lock_ >= 0) ::close(lock_);
}

std::vector<ScanRecord> AllRecords(const ScanLogFile& log) {
    std::vector<ScanRecord> all;
    for (uint32_t id = 1; id <= log.RecordCount(); ++id) {
        ScanRecord r;
        if (log.ReadRecord(id, r) == kOk) all.push_back(r);
    }
    return all;
}

std::map<std::string, ScanRecord> RecordsByPath(IFileRecoveryParse& engine, const std::vector<ScanRecord>& records) {
    std::map<std::string, ScanRecord> found;
    for (const ScanRecord& r : records) {
        std::string folder;
        engine.GetRecordPath(r, folder);
        found[folder + std::string(RecordName(r))] = r;
    }
    return found;
}

std::unique_ptr<IFileRecoveryParse> QuickScanned(const std::filesystem::path& image) {
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    if (!engine) return nullptr;
    engine->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    EXPECT_EQ(engine->Scan(nullptr), kOk) << image;
    return engine;
}

}  // namespace kestrune::test
