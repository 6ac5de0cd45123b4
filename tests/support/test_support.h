// Helpers shared by the tests: temporary folders, fixture images, media that misbehave.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/sector_source.h"
#include "engines/recovery_engine.h"
#include "scanlog/scan_log_file.h"

namespace kestrune::test {

// A fresh folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// tests/fixtures/<relative>.
std::filesystem::path FixturePath(const std::string& relative);

// Unpacks a gzip fixture ("boot/fat12.img.gz") into folder; returns the file's path.
std::filesystem::path UnpackFixture(const std::string& relative, const std::filesystem::path& folder);

// A file of tests/fixtures/carve, unpacked when it is kept compressed there.
std::vector<uint8_t> CarveFixture(const std::string& name);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Bytes with a repeating, position-dependent pattern, so misplaced reads show.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed = 1);

// An image attached to a free loop device (read-only unless asked), detached in every
// case. Tests running at once take turns, since attaching one renumbers the disks. device() is empty when this is not root or the machine has no loop devices.
class LoopDevice {
public:
    // offset: where in the image the device starts (a partition of a disk image).
    explicit LoopDevice(const std::filesystem::path& image, bool readOnly = true, uint64_t offset = 0);
    // Only takes the lock, so that no other test process holds a loop device until
    // Attach (a test of what the disk list shows before and after one arrives).
    LoopDevice();
    void Attach(const std::filesystem::path& image, bool readOnly = true, uint64_t offset = 0);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& device() const { return device_; }
    // Detaches now and waits until the kernel has let the device go, but keeps other
    // test processes from taking the same device number until this object ends.
    void Detach();

private:
    int lock_ = -1;  // one loop device at a time across test processes: disk numbers shift
    std::string device_;
};

// Number of open file descriptors of this process.
size_t OpenDescriptorCount();

// A medium over memory that hands out at most maxPiece bytes per read and fails every
// read that touches one of the failing byte ranges, as a failing disk would.
class FaultyMedium final : public Medium {
public:
    explicit FaultyMedium(std::vector<uint8_t> bytes, size_t maxPiece = SIZE_MAX)
        : bytes_(std::move(bytes)), maxPiece_(maxPiece) {}
    void FailSector(uint64_t sector, uint32_t sectorBytes = 512) {
        failing_.insert({sector * sectorBytes, sector * sectorBytes + sectorBytes});
    }
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override;
    uint64_t SizeBytes() const override { return bytes_.size(); }
    size_t reads = 0;

private:
    std::vector<uint8_t> bytes_;
    size_t maxPiece_;
    std::set<std::pair<uint64_t, uint64_t>> failing_;
};

// A failing medium's reads, noted as they reach it: [offset, end) in order.
class CountingMedium final : public Medium {
public:
    explicit CountingMedium(FaultyMedium& inner) : inner_(inner) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        reads.push_back({offset, offset + length});
        return inner_.ReadAt(offset, buffer, length, got);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    // How many reads touched [from, to).
    size_t ReadsIn(uint64_t from, uint64_t to) const;
    // The index of the first read that touched [from, to); reads.size() when none did.
    size_t FirstReadIn(uint64_t from, uint64_t to) const;
    std::vector<std::pair<uint64_t, uint64_t>> reads;

private:
    FaultyMedium& inner_;
};

// Every record of a scan log, and records by "folder/name" as the engine files them.
std::vector<ScanRecord> AllRecords(const ScanLogFile& log);
std::map<std::string, ScanRecord> RecordsByPath(IFileRecoveryParse& engine, const std::vector<ScanRecord>& records);
// The quick engine the factory picks for an image, scanned into a new run folder; null
// when no engine takes the image (a failed scan fails the test).
std::unique_ptr<IFileRecoveryParse> QuickScanned(const std::filesystem::path& image);

}  // namespace kestrune::test
