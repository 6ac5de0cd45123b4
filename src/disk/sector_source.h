// The sector source: every read of a disk, a partition or an image file goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace kestrune {

// Largest piece moved by one system read; callers read bigger stretches per call.
inline constexpr size_t kReadPieceBytes = 65536;
// Image files are always counted in 512-byte sectors, whatever later reads use.
inline constexpr uint32_t kImageSectorBytes = 512;

// Something that can be read at any byte offset: a device, a file, or memory in tests.
class Medium {
public:
    virtual ~Medium() = default;
    // Reads up to length bytes at offset into buffer; got is how many arrived (a short
    // count is not an error). Returns 0 or a result code.
    virtual int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) = 0;
    virtual uint64_t SizeBytes() const = 0;
    // Says that length bytes at offset will be read soon, so that a medium that can fetch
    // them ahead does, many at once; nothing is read here, and nothing waits.
    virtual void WillRead(uint64_t offset, uint64_t length) {
        (void)offset;
        (void)length;
    }
    // The descriptor the bytes are read from, for advice to the kernel on how they will be
    // read; -1 when there is none of its own.
    virtual int Descriptor() const { return -1; }
    // The bytes a failing read of it loses at least (a disk's physical block); 0 when
    // not known.
    virtual uint32_t FailureUnitBytes() const { return 0; }
};

// A file or device opened read-only; owns its descriptor.
class FileMedium final : public Medium {
public:
    FileMedium(int fd, uint64_t sizeBytes) : fd_(fd), size_(sizeBytes) {}
    ~FileMedium() override;
    FileMedium(const FileMedium&) = delete;
    FileMedium& operator=(const FileMedium&) = delete;

    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override;
    uint64_t SizeBytes() const override { return size_; }
    void WillRead(uint64_t offset, uint64_t length) override;
    int Descriptor() const override { return fd_; }
    int fd() const { return fd_; }

private:
    int fd_;
    uint64_t size_;
};

// Bytes held in memory: for tests, fuzzing and small extracted areas.
class MemoryMedium final : public Medium {
public:
    explicit MemoryMedium(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override;
    uint64_t SizeBytes() const override { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// An open disk or image file together with its size in sectors. A copy reads the same
// open medium (the engines of one pass share it); the medium closes with the last copy.
struct SectorSource {
    std::shared_ptr<Medium> medium;  // null while not open
    uint64_t totalSectors = 0;

    bool IsOpen() const { return medium != nullptr; }
    void Close() {
        medium.reset();
        totalSectors = 0;
    }
};

// Opens disk number N (a block device, or an image file registered as a virtual disk)
// read-only; totalSectors is counted in the device's own sector size.
int OpenDiskSource(SectorSource& out, int disk);

// Opens an image file (or any readable file or block device by path) read-only;
// totalSectors is its size in 512-byte units, rounded down.
int OpenImageSource(const std::filesystem::path& path, SectorSource& out);

// Wraps a medium already open; totalSectors = size / sectorBytes.
SectorSource SourceOverMedium(std::unique_ptr<Medium> medium, uint32_t sectorBytes);

// Reads exactly length bytes at offset, piece by piece; 30 when the medium fails or ends
// first (got tells how many arrived).
int ReadExactly(Medium& medium, uint64_t offset, void* buffer, size_t length, size_t& got);

// Reads count whole sectors starting at sector start. Returns 0; 87 when the read would
// run past the end of the source (nothing read, sectorsRead untouched); 30 when a piece
// failed or came back empty (sectorsRead holds the whole sectors that did arrive).
int ReadSectors(uint32_t count, SectorSource& source, void* buffer, uint64_t start,
                int sectorSize, uint32_t& sectorsRead);

// Reads n bytes from fd's current position; 30 on a failed or empty read; got is the
// number of bytes read.
int ReadFully(size_t n, int fd, void* buffer, size_t& got);

// The size in bytes of a file or block device.
int FileSizeOf(const std::filesystem::path& path, uint64_t& out);

}  // namespace kestrune
