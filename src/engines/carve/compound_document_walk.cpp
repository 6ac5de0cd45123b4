// A compound document's length from its allocation table (FAT): the FAT sectors are
// listed in the header (the first 109) and in a chain of index (DIFAT) sectors; the
// highest entry that is not free names the last sector the file uses.
#include "engines/carve/compound_document_walk.h"

#include <algorithm>
#include <vector>

namespace kestrune::carve {

namespace {

constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr size_t kHeaderFatEntries = 109;

}  // namespace

std::optional<uint64_t> WalkCompoundDocument(FileReader& file) {
    const ByteView h = file.Read(0, 512);
    if (!h.matches(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") || h.le16(28) != 0xFFFE) return std::nullopt;
    const uint16_t major = h.le16(26), shift = h.le16(30);
    // Version 3 uses 512-byte sectors, version 4 4096-byte ones.
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12)) || h.le16(32) != 6) return std::nullopt;
    const uint64_t sectorBytes = uint64_t{1} << shift;
    const uint32_t perSector = static_cast<uint32_t>(sectorBytes / 4);
    // The header's view is gone after the next read: keep what is needed of it.
    const uint32_t fatCount = h.le32(44), difatCount = h.le32(72), firstDirectory = h.le32(48);
    // More FAT sectors than a file within the carving maximum could need.
    if (fatCount == 0 || fatCount > (uint64_t{4} << 30) / sectorBytes / perSector + 1) return std::nullopt;
    if (difatCount > fatCount / (perSector - 1) + 1) return std::nullopt;

    // The FAT sectors' numbers: the header's, then those of each DIFAT sector (its last
    // entry names the next DIFAT sector).
    std::vector<uint32_t> fatSectors;
    fatSectors.reserve(fatCount);
    for (size_t i = 0; i < kHeaderFatEntries && fatSectors.size() < fatCount; ++i) fatSectors.push_back(h.le32(76 + 4 * i));
    uint32_t difat = h.le32(68);
    for (uint32_t read = 0; fatSectors.size() < fatCount; ++read) {
        // A chain longer than the header says loops, or ends too soon.
        if (read >= difatCount || difat > kMaxRegularSector) return std::nullopt;
        const ByteView table = file.Read((uint64_t{difat} + 1) * sectorBytes, static_cast<size_t>(sectorBytes));
        if (table.empty()) return std::nullopt;
        for (uint32_t i = 0; i + 1 < perSector && fatSectors.size() < fatCount; ++i) fatSectors.push_back(table.le32(4 * i));
        difat = table.le32(static_cast<size_t>(sectorBytes) - 4);
    }

    // The highest sector whose FAT entry is in use; the FAT sectors mark themselves.
    std::optional<uint64_t> highest;
    for (size_t f = 0; f < fatSectors.size(); ++f) {
        const uint32_t sector = fatSectors[f];
        if (sector > kMaxRegularSector) return std::nullopt;
        const ByteView fat = file.Read((uint64_t{sector} + 1) * sectorBytes, static_cast<size_t>(sectorBytes));
        if (fat.empty() || file.Cancelled()) return std::nullopt;
        for (uint32_t i = perSector; i-- > 0;) {
            const uint32_t next = fat.le32(4 * i);
            if (next == kFreeSector) continue;
            // An entry is the next sector of a chain or one of the special marks.
            if (next > kMaxRegularSector && next < 0xFFFFFFFC && next != kEndOfChain) return std::nullopt;
            highest = std::max<uint64_t>(highest.value_or(0), uint64_t{f} * perSector + i);
            break;
        }
    }
    // Every FAT sector lies inside the file it describes, and so does the directory.
    if (!highest) return std::nullopt;
    for (uint32_t sector : fatSectors)
        if (sector > *highest) return std::nullopt;
    if (firstDirectory > *highest) return std::nullopt;
    return (*highest + 2) * sectorBytes;
}

}  // namespace kestrune::carve
