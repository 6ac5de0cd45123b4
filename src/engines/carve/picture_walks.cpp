// Structure walks of pictures: JPEG segments, PNG chunks, GIF blocks, TIFF directories,
// and the BMP header checked against its pixel data.
#include <algorithm>
#include <cstring>
#include <set>

#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

// After a start-of-scan segment the entropy-coded data runs to the next marker: an FF
// followed by anything but 00 (a stuffed FF), a restart marker or more FF fill bytes.
// Returns the offset of that marker's FF.
std::optional<uint64_t> SkipEntropyCodedData(FileReader& file, uint64_t at) {
    for (;;) {
        const ByteView data = file.Stream(at, 2);
        if (data.size() < 2) return std::nullopt;
        const auto* begin = data.data();
        const void* found = std::memchr(begin, 0xFF, data.size() - 1);
        if (!found) {
            at += data.size() - 1;
            continue;
        }
        const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(found) - begin);
        const uint8_t next = data.u8(i + 1);
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
            at += i + 1;
            continue;
        }
        return at + i;
    }
}

}  // namespace

std::optional<uint64_t> WalkJpeg(FileReader& file) {
    if (!file.Read(0, 2).matches(0, "\xFF\xD8")) return std::nullopt;
    uint64_t at = 2;
    for (;;) {
        const ByteView head = file.Read(at, 2);
        if (head.empty() || head.u8(0) != 0xFF) return std::nullopt;
        const uint8_t marker = head.u8(1);
        if (marker == 0xFF) {  // fill byte before a marker
            ++at;
            continue;
        }
        if (marker == 0xD9) return at + 2;  // the end of the image
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        // Reserved markers and a second start of image mean the walk has lost its way.
        if (marker < 0xC0 || marker == 0xD8) return std::nullopt;
        const ByteView length = file.Read(at + 2, 2);
        if (length.empty() || length.be16(0) < 2) return std::nullopt;
        // The segment's length covers everything it holds, an Exif thumbnail included.
        at += 2 + length.be16(0);
        if (marker == 0xDA) {
            auto next = SkipEntropyCodedData(file, at);
            if (!next) return std::nullopt;
            at = *next;
        }
    }
}

std::optional<uint64_t> WalkPng(FileReader& file) {
    // The signature, then IHDR with its 13 bytes.
    if (!file.Read(8, 8).matches(0, Bytes("\x00\x00\x00\x0DIHDR"))) return std::nullopt;
    uint64_t at = 8;
    for (;;) {
        const ByteView chunk = file.Read(at, 8);
        if (chunk.empty()) return std::nullopt;
        const uint32_t length = chunk.be32(0);
        if (length > 0x7FFFFFFF) return std::nullopt;
        for (size_t i = 4; i < 8; ++i) {
            const uint8_t c = chunk.u8(i);
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return std::nullopt;
        }
        // length, type, data, CRC
        const uint64_t end = at + 12 + uint64_t{length};
        if (chunk.matches(4, "IEND")) return length == 0 ? std::optional<uint64_t>(end) : std::nullopt;
        at = end;
    }
}

namespace {

// GIF data sub-blocks: a size byte and that many bytes, until a zero size.
std::optional<uint64_t> SkipSubBlocks(FileReader& file, uint64_t at) {
    for (;;) {
        const ByteView size = file.Read(at, 1);
        if (size.empty()) return std::nullopt;
        at += 1 + size.u8(0);
        if (size.u8(0) == 0) return at;
    }
}

uint64_t ColourTableBytes(uint8_t packed) { return (packed & 0x80) ? 3ULL << ((packed & 7) + 1) : 0; }

}  // namespace

std::optional<uint64_t> WalkGif(FileReader& file) {
    const ByteView header = file.Read(0, 13);
    if (!header.matches(0, "GIF87a") && !header.matches(0, "GIF89a")) return std::nullopt;
    uint64_t at = 13 + ColourTableBytes(header.u8(10));
    for (;;) {
        const ByteView block = file.Read(at, 1);
        if (block.empty()) return std::nullopt;
        switch (block.u8(0)) {
        case 0x3B:  // trailer
            return at + 1;
        case 0x21: {  // extension: label, then sub-blocks
            auto next = SkipSubBlocks(file, at + 2);
            if (!next) return std::nullopt;
            at = *next;
            break;
        }
        case 0x2C: {  // image descriptor, local colour table, LZW code size, sub-blocks
            const ByteView descriptor = file.Read(at, 10);
            if (descriptor.empty()) return std::nullopt;
            auto next = SkipSubBlocks(file, at + 10 + ColourTableBytes(descriptor.u8(9)) + 1);
            if (!next) return std::nullopt;
            at = *next;
            break;
        }
        default:
            return std::nullopt;
        }
    }
}

namespace {

// TIFF: every directory, every value stored outside its entry and every strip or tile
// lies inside the file; the file ends where the furthest of them ends.
class TiffWalk {
public:
    explicit TiffWalk(FileReader& file) : file_(file) {}

    std::optional<uint64_t> Run() {
        const ByteView header = file_.Read(0, 8);
        if (header.matches(0, "II")) little_ = true;
        else if (header.matches(0, "MM")) little_ = false;
        else return std::nullopt;
        if (U16(header, 2) != 42) return std::nullopt;
        end_ = 8;
        pending_.push_back(U32(header, 4));
        while (!pending_.empty()) {
            const uint64_t ifd = pending_.back();
            pending_.pop_back();
            if (ifd == 0) continue;
            // A chain that loops, or more directories than any real file has.
            if (!visited_.insert(ifd).second || visited_.size() > kMaxDirectories) return std::nullopt;
            if (!Directory(ifd)) return std::nullopt;
        }
        return end_;
    }

private:
    static constexpr size_t kMaxDirectories = 512;
    static constexpr uint32_t kMaxValues = 1 << 20;

    uint16_t U16(ByteView v, size_t at) const { return little_ ? v.le16(at) : v.be16(at); }
    uint32_t U32(ByteView v, size_t at) const { return little_ ? v.le32(at) : v.be32(at); }
    void Reach(uint64_t end) { end_ = std::max(end_, end); }

    static uint32_t TypeSize(uint16_t type) {
        switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
        }
    }

    // The values of an entry of type SHORT or LONG, as offsets or byte counts.
    std::optional<std::vector<uint64_t>> Values(ByteView entry) {
        const uint16_t type = U16(entry, 2);
        const uint32_t count = U32(entry, 4);
        const uint32_t size = TypeSize(type);
        if ((type != 3 && type != 4 && type != 13) || count > kMaxValues) return std::nullopt;
        std::vector<uint64_t> values;
        const uint64_t bytes = uint64_t{count} * size;
        ByteView data = entry.sub(8, 4);
        if (bytes > 4) {
            const uint64_t offset = U32(entry, 8);
            data = file_.Read(offset, static_cast<size_t>(bytes));
            if (data.empty()) return std::nullopt;
        }
        for (uint32_t i = 0; i < count; ++i) values.push_back(size == 2 ? U16(data, 2 * i) : U32(data, 4 * i));
        return values;
    }

    bool Directory(uint64_t ifd) {
        const ByteView countBytes = file_.Read(ifd, 2);
        if (countBytes.empty()) return false;
        const uint16_t count = U16(countBytes, 0);
        // A copy: the reads of the values below move the reader on.
        const ByteView read = file_.Read(ifd + 2, 12ULL * count + 4);
        if (count == 0 || read.empty()) return false;
        const std::vector<uint8_t> copy(read.data(), read.data() + read.size());
        const ByteView entries(copy);
        Reach(ifd + 2 + 12ULL * count + 4);
        std::vector<uint64_t> offsets, counts, tileOffsets, tileCounts;
        uint64_t jpegOffset = 0, jpegLength = 0;
        for (uint16_t i = 0; i < count; ++i) {
            const ByteView entry = entries.sub(12 * i, 12);
            const uint16_t tag = U16(entry, 0), type = U16(entry, 2);
            const uint32_t size = TypeSize(type);
            if (size == 0) continue;  // unknown types are skipped, as readers do
            const uint64_t bytes = uint64_t{U32(entry, 4)} * size;
            if (bytes > 4) Reach(uint64_t{U32(entry, 8)} + bytes);
            std::optional<std::vector<uint64_t>> values;
            switch (tag) {
            case 273: case 279: case 324: case 325: case 330:
                values = Values(entry);
                if (!values) return false;
                if (tag == 273) offsets = *values;
                if (tag == 279) counts = *values;
                if (tag == 324) tileOffsets = *values;
                if (tag == 325) tileCounts = *values;
                if (tag == 330) pending_.insert(pending_.end(), values->begin(), values->end());
                break;
            case 34665: case 34853: case 40965:  // Exif, GPS and interoperability directories
                pending_.push_back(U32(entry, 8));
                break;
            case 513: jpegOffset = U32(entry, 8); break;
            case 514: jpegLength = U32(entry, 8); break;
            default: break;
            }
        }
        if (offsets.size() != counts.size() || tileOffsets.size() != tileCounts.size()) return false;
        for (size_t i = 0; i < offsets.size(); ++i) Reach(offsets[i] + counts[i]);
        for (size_t i = 0; i < tileOffsets.size(); ++i) Reach(tileOffsets[i] + tileCounts[i]);
        if (jpegOffset && jpegLength) Reach(jpegOffset + jpegLength);
        pending_.push_back(U32(entries, 12ULL * count));  // the next directory
        return true;
    }

    FileReader& file_;
    bool little_ = true;
    uint64_t end_ = 0;
    std::vector<uint64_t> pending_;
    std::set<uint64_t> visited_;
};

}  // namespace

std::optional<uint64_t> WalkTiff(FileReader& file) { return TiffWalk(file).Run(); }

namespace {

bool IsKnownDibHeader(uint32_t size) {
    return size == 12 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}

struct DibFacts {
    uint32_t headerSize = 0;
    int64_t width = 0, height = 0;
    uint32_t planes = 0, bitsPerPixel = 0, compression = 0, imageBytes = 0;
};

DibFacts ReadDib(ByteView s) {
    DibFacts dib;
    dib.headerSize = s.le32(14);
    if (dib.headerSize == 12) {
        dib.width = s.le16(18);
        dib.height = s.le16(20);
        dib.planes = s.le16(22);
        dib.bitsPerPixel = s.le16(24);
        return dib;
    }
    dib.width = static_cast<int32_t>(s.le32(18));
    dib.height = static_cast<int32_t>(s.le32(22));
    dib.planes = s.le16(26);
    dib.bitsPerPixel = s.le16(28);
    dib.compression = s.le32(30);
    dib.imageBytes = s.le32(34);
    return dib;
}

}  // namespace

bool IsBmpHeader(ByteView s) {
    if (s.size() < 54 || !(s.matches(0, "BM") || s.matches(0, "BA"))) return false;
    if (s.le16(6) != 0 || s.le16(8) != 0) return false;
    const uint32_t headerSize = s.le32(14);
    // The plain Windows header has always been accepted as it is.
    if (headerSize == 40) return true;
    if (!IsKnownDibHeader(headerSize)) return false;
    const DibFacts dib = ReadDib(s);
    constexpr int64_t kMaxSide = 1 << 16;
    if (dib.width <= 0 || dib.width > kMaxSide || dib.height == 0 || dib.height > kMaxSide ||
        dib.height < -kMaxSide || dib.planes != 1)
        return false;
    switch (dib.bitsPerPixel) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    case 0: if (dib.compression == 4 || dib.compression == 5) break; return false;
    default: return false;
    }
    if (dib.compression > 6) return false;
    // The pixels follow the headers and the palette, and the file holds them.
    const uint32_t pixels = s.le32(10), fileSize = s.le32(2);
    return pixels >= 14 + headerSize && (fileSize == 0 || pixels < fileSize);
}

std::optional<uint64_t> BmpStructureLength(ByteView s) {
    if (s.size() < 54 || !IsKnownDibHeader(s.le32(14))) return std::nullopt;
    const DibFacts dib = ReadDib(s);
    if (dib.width <= 0 || dib.height == 0 || dib.planes != 1) return std::nullopt;
    const uint64_t rows = static_cast<uint64_t>(dib.height < 0 ? -dib.height : dib.height);
    uint64_t pixelBytes = 0;
    if (dib.compression == 0 || dib.compression == 3 || dib.compression == 6) {
        if (dib.bitsPerPixel == 0 || dib.bitsPerPixel > 32) return std::nullopt;
        const uint64_t stride = (static_cast<uint64_t>(dib.width) * dib.bitsPerPixel + 31) / 32 * 4;
        pixelBytes = stride * rows;
    } else {
        pixelBytes = dib.imageBytes;  // compressed: the header's byte count, when given
    }
    if (pixelBytes == 0) return std::nullopt;
    uint64_t end = uint64_t{s.le32(10)} + pixelBytes;
    // A version 5 header may place a colour profile after the pixels.
    if (dib.headerSize == 124 && s.has(14 + 120, 4)) {
        const uint64_t profileOffset = s.le32(14 + 112), profileBytes = s.le32(14 + 116);
        if (profileOffset != 0 && profileBytes != 0) end = std::max(end, 14 + profileOffset + profileBytes);
    }
    return end;
}

}  // namespace kestrune::carve
