// The block walk of RAR archives, both block formats: the one of RAR 1.5 to 4 (7-byte
// fixed headers, a 16-bit header check) and the one of RAR 5 (variable-length numbers,
// a CRC-32 on every header). Each header says how long it is and how much data follows
// it; the archive ends with its end-of-archive block. Every header's check must hold,
// so a walk that strays into other data stops instead of jumping by a random size.
#include <zlib.h>

#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

constexpr std::string_view kRar4Mark = Bytes("Rar!\x1A\x07\x00");
constexpr std::string_view kRar5Mark = Bytes("Rar!\x1A\x07\x01\x00");

uint32_t Crc(ByteView data) { return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))); }

std::optional<uint64_t> WalkRar4(FileReader& file) {
    constexpr uint8_t kMainHeader = 0x73, kFileHeader = 0x74, kNewSubBlock = 0x7A, kEnd = 0x7B;
    constexpr uint16_t kLongBlock = 0x8000, kLargeFile = 0x0100;
    uint64_t at = kRar4Mark.size();
    bool first = true;
    while (!file.Cancelled()) {
        const ByteView fixed = file.Read(at, 7);
        if (fixed.empty()) return std::nullopt;
        // The view lasts only until the next read: keep what it says.
        const uint16_t storedCheck = fixed.le16(0);
        const uint8_t type = fixed.u8(2);
        const uint16_t flags = fixed.le16(3);
        const uint16_t headerSize = fixed.le16(5);
        // The main header comes first; types outside the known range are not RAR blocks.
        if (headerSize < 7 || type < kMainHeader || type > kEnd || (first && type != kMainHeader)) return std::nullopt;
        const ByteView header = file.Read(at, headerSize);
        if (header.empty() || (Crc(header.sub(2, headerSize - 2)) & 0xFFFF) != storedCheck) return std::nullopt;
        if (type == kEnd) return at + headerSize;
        uint64_t dataSize = 0;
        if (type == kFileHeader || type == kNewSubBlock) {
            if (headerSize < 32) return std::nullopt;
            dataSize = header.le32(7);
            if (flags & kLargeFile) {
                if (headerSize < 40) return std::nullopt;
                dataSize |= uint64_t{header.le32(32)} << 32;
            }
        } else if (flags & kLongBlock) {
            if (headerSize < 11) return std::nullopt;
            dataSize = header.le32(7);
        }
        at += headerSize + dataSize;
        first = false;
    }
    return std::nullopt;
}

// A RAR 5 variable-length number: seven bits a byte, low bits first, at most ten bytes.
std::optional<uint64_t> ReadVint(ByteView data, size_t& at) {
    uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
        if (!data.has(at, 1)) return std::nullopt;
        const uint8_t byte = data.u8(at++);
        value |= uint64_t{byte & 0x7Fu} << shift;
        if (!(byte & 0x80)) return value;
    }
    return std::nullopt;
}

std::optional<uint64_t> WalkRar5(FileReader& file) {
    constexpr uint64_t kMainHeader = 1, kEncryption = 4, kEnd = 5;
    constexpr uint64_t kHasExtra = 0x1, kHasData = 0x2;
    constexpr size_t kMaxHeader = 2 * 1024 * 1024;  // the format's own limit
    uint64_t at = kRar5Mark.size();
    bool first = true;
    while (!file.Cancelled()) {
        // CRC-32, the header's size, then the header from its type on.
        const ByteView start = file.Read(at, 7);
        if (start.empty()) return std::nullopt;
        size_t p = 4;
        const auto size = ReadVint(start, p);
        if (!size || *size == 0 || *size > kMaxHeader || p + *size > FileReader::kMaxRead) return std::nullopt;
        const size_t headerBytes = p + static_cast<size_t>(*size);
        const ByteView header = file.Read(at, headerBytes);
        if (header.empty() || Crc(header.sub(4, headerBytes - 4)) != header.le32(0)) return std::nullopt;
        const auto type = ReadVint(header, p);
        const auto flags = ReadVint(header, p);
        if (!type || !flags || (first && *type != kMainHeader) || *type == 0 || *type > kEnd) return std::nullopt;
        // An encrypted archive hides the rest of its headers.
        if (*type == kEncryption) return std::nullopt;
        if (*type == kEnd) return at + headerBytes;
        if ((*flags & kHasExtra) && !ReadVint(header, p)) return std::nullopt;
        uint64_t dataSize = 0;
        if (*flags & kHasData) {
            const auto data = ReadVint(header, p);
            if (!data) return std::nullopt;
            dataSize = *data;
        }
        if (dataSize > UINT64_MAX - at - headerBytes) return std::nullopt;
        at += headerBytes + dataSize;
        first = false;
    }
    return std::nullopt;
}

}  // namespace

bool IsRarStart(ByteView sector) { return sector.matches(0, kRar4Mark) || sector.matches(0, kRar5Mark); }

std::optional<uint64_t> WalkRar(FileReader& file) {
    const ByteView mark = file.Read(0, kRar5Mark.size());
    if (mark.matches(0, kRar5Mark)) return WalkRar5(file);
    if (mark.matches(0, kRar4Mark)) return WalkRar4(file);
    return std::nullopt;
}

}  // namespace kestrune::carve
