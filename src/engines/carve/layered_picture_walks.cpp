// Structure walks of pictures made of several images: Photoshop documents (their
// sections by length, then the merged image) and icons (their image directory).
#include "engines/carve/layered_picture_walks.h"

#include <algorithm>

namespace kestrune::carve {

std::optional<uint64_t> WalkPsd(FileReader& file) {
    const ByteView h = file.Read(0, 26);
    if (!h.matches(0, "8BPS") || !h.all(6, 6, 0)) return std::nullopt;
    const uint16_t version = h.be16(4);
    if (version != 1 && version != 2) return std::nullopt;
    const bool large = version == 2;  // PSB: larger pictures, 8-byte section lengths
    const uint64_t channels = h.be16(12), height = h.be32(14), width = h.be32(18), depth = h.be16(22);
    const uint64_t maxSide = large ? 300000 : 30000;
    if (channels == 0 || channels > 56 || height == 0 || height > maxSide || width == 0 || width > maxSide)
        return std::nullopt;
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return std::nullopt;

    uint64_t at = 26;
    // Colour mode data and image resources: a 4-byte length each.
    for (int section = 0; section < 2; ++section) {
        const ByteView length = file.Read(at, 4);
        if (length.empty()) return std::nullopt;
        const uint64_t bytes = length.be32(0);
        // Image resources are blocks that each start with a signature.
        if (section == 1 && bytes != 0) {
            const ByteView block = file.Read(at + 4, 4);
            if (!block.matches(0, "8BIM") && !block.matches(0, "MeSa") && !block.matches(0, "AgHg") &&
                !block.matches(0, "PHUT") && !block.matches(0, "DCSR"))
                return std::nullopt;
        }
        at += 4 + bytes;
    }
    // Layer and mask information.
    const ByteView layers = file.Read(at, large ? 8 : 4);
    if (layers.empty()) return std::nullopt;
    at += large ? 8 + layers.be64(0) : 4 + uint64_t{layers.be32(0)};
    if (at > (uint64_t{1} << 42)) return std::nullopt;

    // The merged image: raw rows, or run-length coded rows listed in a table of their
    // byte counts. Compressed (ZIP) image data states no length.
    const ByteView compression = file.Read(at, 2);
    if (compression.empty()) return std::nullopt;
    at += 2;
    const uint64_t rows = channels * height;
    if (compression.be16(0) == 0) return at + rows * ((width * depth + 7) / 8);
    if (compression.be16(0) != 1) return std::nullopt;
    const size_t entry = large ? 4 : 2;
    const uint64_t maxRow = (width * depth + 7) / 8 * 2 + 2;  // PackBits never grows a row more
    uint64_t data = 0;
    for (uint64_t row = 0; row < rows;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(rows - row, FileReader::kMaxRead / entry));
        const ByteView table = file.Read(at + row * entry, count * entry);
        if (table.empty() || file.Cancelled()) return std::nullopt;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t bytes = large ? table.be32(i * entry) : table.be16(i * entry);
            if (bytes > maxRow) return std::nullopt;
            data += bytes;
        }
        row += count;
    }
    return at + rows * entry + data;
}

std::optional<uint64_t> WalkIco(FileReader& file) {
    const ByteView h = file.Read(0, 6);
    // Icons (type 1) and cursors (type 2) share the directory.
    if (h.le16(0) != 0 || (h.le16(2) != 1 && h.le16(2) != 2) || h.le16(4) == 0) return std::nullopt;
    const uint32_t count = h.le16(4);
    const uint64_t directoryEnd = 6 + 16ULL * count;
    const ByteView read = file.Read(0, static_cast<size_t>(directoryEnd));
    if (read.empty()) return std::nullopt;
    // A copy: the images are read below.
    const std::vector<uint8_t> directory(read.data(), read.data() + read.size());
    const ByteView entries(directory);
    uint64_t end = directoryEnd;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = 6 + 16 * i;
        const uint64_t size = entries.le32(e + 8), offset = entries.le32(e + 12);
        if (entries.u8(e + 3) != 0 || size < 40 || offset < directoryEnd) return std::nullopt;
        // Each image is a bitmap (its info header) or a PNG file.
        const ByteView image = file.Read(offset, 8);
        if (image.le32(0) != 40 && !image.matches(0, "\x89PNG\r\n\x1A\n")) return std::nullopt;
        end = std::max(end, offset + size);
    }
    return end;
}

}  // namespace kestrune::carve
