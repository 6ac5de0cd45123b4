// Structure walks of archives: the ZIP end record that its central directory vouches
// for, gzip members inflated to their trailers, and the 7-Zip start header.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "engines/carve/deflate_stream.h"
#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

// An end-of-central-directory record at offset `at` ends this archive when the central
// directory it names lies right before it (or before its ZIP64 records) and starts with
// a central header: a record of an archive stored inside this one names offsets of that
// other archive and fails the test.
std::optional<uint64_t> ZipEndAt(FileReader& file, uint64_t at) {
    const ByteView record = file.Read(at, 22);
    if (record.empty()) return std::nullopt;
    const uint64_t end = at + 22 + record.le16(20);
    uint64_t entries = record.le16(10), size = record.le32(12), offset = record.le32(16);
    uint64_t directoryEnd = at;
    if (entries == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
        // ZIP64: a locator right before the record names the ZIP64 end record.
        if (at < 20) return std::nullopt;
        const ByteView locator = file.Read(at - 20, 20);
        if (!locator.matches(0, "PK\x06\x07")) return std::nullopt;
        const uint64_t record64At = locator.le64(8);
        const ByteView record64 = file.Read(record64At, 56);
        if (!record64.matches(0, "PK\x06\x06") || record64At + 12 + record64.le64(4) != at - 20) return std::nullopt;
        entries = record64.le64(32);
        size = record64.le64(40);
        offset = record64.le64(48);
        directoryEnd = record64At;
    }
    if (offset > directoryEnd || directoryEnd - offset != size) return std::nullopt;
    if (entries == 0) return size == 0 ? std::optional<uint64_t>(end) : std::nullopt;
    if (!file.Read(offset, 4).matches(0, "PK\x01\x02")) return std::nullopt;
    return end;
}

}  // namespace

std::optional<uint64_t> WalkZip(FileReader& file) {
    constexpr std::string_view kEndRecord = "PK\x05\x06";
    uint64_t at = 4;
    for (;;) {
        const ByteView data = file.Stream(at, kEndRecord.size());
        if (data.size() < kEndRecord.size()) return std::nullopt;
        auto found = FindFirst(data, kEndRecord);
        if (!found) {
            at += data.size() - (kEndRecord.size() - 1);
            continue;
        }
        const uint64_t candidate = at + *found;
        if (auto end = ZipEndAt(file, candidate)) return end;
        if (file.Cancelled()) return std::nullopt;
        at = candidate + 1;
    }
}

namespace {

// The length of a gzip member's header; nothing when it is not one.
std::optional<uint64_t> GzipHeaderLength(FileReader& file, uint64_t at) {
    const ByteView h = file.Read(at, 10);
    if (!h.matches(0, "\x1F\x8B\x08") || (h.u8(3) & 0xE0) != 0) return std::nullopt;
    const uint8_t flags = h.u8(3);
    uint64_t p = at + 10;
    if (flags & 0x04) {  // extra field
        const ByteView length = file.Read(p, 2);
        if (length.empty()) return std::nullopt;
        p += 2 + length.le16(0);
    }
    for (uint8_t text : {uint8_t{0x08}, uint8_t{0x10}}) {  // file name, comment: zero-terminated
        if (!(flags & text)) continue;
        for (;;) {
            const ByteView data = file.Stream(p, 1);
            if (data.empty()) return std::nullopt;
            const void* zero = std::memchr(data.data(), 0, data.size());
            if (zero) {
                p += static_cast<size_t>(static_cast<const uint8_t*>(zero) - data.data()) + 1;
                break;
            }
            p += data.size();
            if (p - at > 65536) return std::nullopt;
        }
    }
    if (flags & 0x02) p += 2;  // header checksum
    return p - at;
}

// Inflates one member's deflate data from `at`; the offset right after it, with the
// decompressed size and checksum checked against the 8-byte trailer.
std::optional<uint64_t> InflateMember(FileReader& file, uint64_t at) {
    const auto stream = InflateStream(file, at, false);
    if (!stream) return std::nullopt;
    const ByteView trailer = file.Read(stream->end, 8);
    if (trailer.empty() || trailer.le32(0) != stream->crc || trailer.le32(4) != static_cast<uint32_t>(stream->produced))
        return std::nullopt;
    return stream->end + 8;
}

}  // namespace

std::optional<uint64_t> WalkGzip(FileReader& file) {
    std::optional<uint64_t> end;
    uint64_t at = 0;
    // Members may follow each other; the file ends after the last whole one.
    while (auto header = GzipHeaderLength(file, at)) {
        auto next = InflateMember(file, at + *header);
        if (!next) break;
        end = at = *next;
    }
    return end;
}

bool GzipStartInflates(ByteView s) {
    // The header's optional fields must end inside the sector, with some deflate data
    // left to test; a file name or comment is text, never control bytes.
    constexpr size_t kDataToTest = 32;
    if (s.size() < 10 + kDataToTest) return false;
    const uint8_t flags = s.u8(3);
    size_t p = 10;
    if (flags & 0x04) p += 2 + s.le16(10);
    for (uint8_t text : {uint8_t{0x08}, uint8_t{0x10}}) {
        if (!(flags & text)) continue;
        while (p < s.size() && s.u8(p) >= 0x20) ++p;
        if (p >= s.size() || s.u8(p) != 0) return false;
        ++p;
    }
    if (flags & 0x02) p += 2;
    if (p + kDataToTest > s.size()) return false;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    uint8_t out[4096];
    z.next_in = const_cast<Bytef*>(s.data() + p);
    z.avail_in = static_cast<uInt>(s.size() - p);
    int status = Z_OK;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        status = inflate(&z, Z_NO_FLUSH);
    } while (status == Z_OK && z.avail_in > 0);
    inflateEnd(&z);
    return status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR;
}

std::optional<uint64_t> Walk7zip(FileReader& file) {
    // Signature, version, start header checksum, then the next header's offset (from the
    // end of this 32-byte header), size and checksum.
    const ByteView h = file.Read(0, 32);
    if (!h.matches(0, "7z\xBC\xAF\x27\x1C")) return std::nullopt;
    if (crc32(0, h.data() + 12, 20) != h.le32(8)) return std::nullopt;
    const uint64_t offset = h.le64(12), size = h.le64(20);
    const uint32_t nextHeaderCrc = h.le32(28);  // h is gone after the next read
    if (size == 0 || size > FileReader::kMaxRead || offset > (uint64_t{1} << 40)) return std::nullopt;
    const uint64_t at = 32 + offset;
    const ByteView next = file.Read(at, static_cast<size_t>(size));
    if (next.empty() || crc32(0, next.data(), static_cast<uInt>(size)) != nextHeaderCrc) return std::nullopt;
    return at + size;
}

}  // namespace kestrune::carve
