#include "disk/partition_table.h"

#include <algorithm>
#include <optional>

#include <zlib.h>

#include "base/result_codes.h"
#include "disk/boot_marks.h"
#include "disk/text_encoding.h"

namespace kestrune {

namespace {

constexpr size_t kMbrEntries = 446;
constexpr uint8_t kProtectiveGpt = 0xEE;
constexpr int kMaxLogicalPartitions = 128;
constexpr uint32_t kMaxGptEntries = 1024;

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool ReadSector(SectorSource& source, uint32_t sectorSize, uint64_t sector, std::vector<uint8_t>& out) {
    out.assign(sectorSize, 0);
    uint32_t read = 0;
    return ReadSectors(1, source, out.data(), sector, static_cast<int>(sectorSize), read) == kOk && read == 1;
}

// Adds an entry when it starts inside the disk and overlaps nothing found before; a disk
// cut short (an image that stopped copying) keeps what it holds of the partition.
void Keep(std::vector<PartitionEntry>& out, PartitionEntry entry, uint64_t diskSectors) {
    if (entry.sectorCount == 0 || entry.startSector == 0 || entry.startSector >= diskSectors) return;
    entry.claimedSectors = entry.sectorCount;
    if (entry.sectorCount > diskSectors - entry.startSector) {
        entry.sectorCount = diskSectors - entry.startSector;
        entry.cutShort = true;
    }
    for (const PartitionEntry& e : out)
        if (entry.startSector < e.startSector + e.sectorCount && e.startSector < entry.startSector + entry.sectorCount)
            return;
    out.push_back(entry);
}

// How far a GPT header can be trusted: its signature, its own CRC, its entry array's CRC.
enum class GptTrust { None, Signature, Header, Whole };

struct GptHeader {
    GptTrust trust = GptTrust::None;
    uint64_t entriesLba = 0;
    uint32_t count = 0;
    uint32_t entrySize = 0;
};

uint32_t Crc32(const uint8_t* data, size_t length) {
    return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), data, length));
}

// The entry array of a header, as far as the disk holds it (empty when it cannot be read).
// Callers keep entriesLba below diskSectors.
std::vector<uint8_t> GptEntries(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors,
                                const GptHeader& header) {
    const uint64_t sectors = std::min((uint64_t{header.count} * header.entrySize + sectorSize - 1) / sectorSize,
                                      diskSectors - header.entriesLba);
    const uint64_t bytes = std::min(sectors * sectorSize, uint64_t{header.count} * header.entrySize);
    std::vector<uint8_t> entries(sectors * sectorSize);
    uint32_t read = 0;
    if (sectors == 0 || ReadSectors(static_cast<uint32_t>(sectors), source, entries.data(), header.entriesLba,
                                    static_cast<int>(sectorSize), read) != kOk || read != sectors)
        return {};
    entries.resize(bytes);
    return entries;
}

GptHeader ReadGptHeader(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors, uint64_t lba,
                        std::vector<uint8_t>& entries) {
    GptHeader header;
    std::vector<uint8_t> sector;
    if (lba >= diskSectors || !ReadSector(source, sectorSize, lba, sector)) return header;
    const ByteView h(sector);
    if (!h.matches(0, "EFI PART")) return header;
    header.entriesLba = h.le64(72);
    header.count = std::min(h.le32(80), kMaxGptEntries);
    header.entrySize = h.le32(84);
    if (header.entrySize < 128 || header.entrySize > 4096 || header.entrySize % 8 != 0 ||
        header.entriesLba >= diskSectors)
        return header;
    header.trust = GptTrust::Signature;
    const uint32_t headerSize = h.le32(12);
    if (headerSize >= 92 && headerSize <= sectorSize) {
        std::vector<uint8_t> copy(sector.begin(), sector.begin() + headerSize);
        std::fill(copy.begin() + 16, copy.begin() + 20, 0);
        if (Crc32(copy.data(), copy.size()) == h.le32(16)) header.trust = GptTrust::Header;
    }
    entries = GptEntries(source, sectorSize, diskSectors, header);
    if (entries.empty()) {
        header.trust = GptTrust::None;
    } else if (header.trust == GptTrust::Header && h.le32(80) <= kMaxGptEntries &&
               entries.size() == uint64_t{header.count} * header.entrySize &&
               Crc32(entries.data(), entries.size()) == h.le32(88)) {
        header.trust = GptTrust::Whole;
    }
    return header;
}

// The GPT at the disk's start, or its backup at the disk's end when that one is more
// whole (a damaged start is what sends people to a recovery tool).
bool ReadGpt(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors, std::vector<PartitionEntry>& out) {
    std::vector<uint8_t> entries, backupEntries;
    GptHeader header = ReadGptHeader(source, sectorSize, diskSectors, 1, entries);
    if (header.trust != GptTrust::Whole && diskSectors > 2) {
        const GptHeader backup = ReadGptHeader(source, sectorSize, diskSectors, diskSectors - 1, backupEntries);
        if (backup.trust > header.trust) {
            header = backup;
            entries = std::move(backupEntries);
        }
    }
    if (header.trust == GptTrust::None) return false;
    const ByteView all(entries);
    for (uint32_t i = 0; i < header.count; ++i) {
        const ByteView entry = all.sub(size_t{i} * header.entrySize, 128);
        if (entry.empty() || entry.all(0, 16, 0)) continue;  // an unused slot
        const uint64_t first = entry.le64(32), last = entry.le64(40);
        if (last < first) continue;
        PartitionEntry p;
        p.number = i + 1;
        p.startSector = first;
        p.sectorCount = last - first + 1;
        p.gpt = true;
        p.name = Utf16LeToUtf8(entry, 56, 36, true);
        Keep(out, p, diskSectors);
    }
    return true;
}

// The logical partitions of an extended partition: a chain of extended boot records, each
// holding one partition (relative to the record) and a link to the next record (relative
// to the extended partition's start), in whichever of its four slots.
void ReadLogicalPartitions(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors, uint64_t extendedStart,
                           uint64_t extendedSectors, uint32_t& logical, std::vector<PartitionEntry>& out) {
    const uint64_t extendedEnd = extendedStart + extendedSectors;
    uint64_t ebr = extendedStart;
    std::vector<uint64_t> seen;
    std::vector<uint8_t> sector;
    for (int n = 0; n < kMaxLogicalPartitions && ebr < diskSectors && ebr < extendedEnd; ++n) {
        if (std::find(seen.begin(), seen.end(), ebr) != seen.end()) break;  // a loop
        seen.push_back(ebr);
        if (!ReadSector(source, sectorSize, ebr, sector)) break;
        const ByteView b(sector);
        if (b.u8(510) != 0x55 || b.u8(511) != 0xAA) break;
        std::optional<uint64_t> next;
        for (uint32_t slot = 0; slot < 4; ++slot) {
            const ByteView e = b.sub(kMbrEntries + 16 * slot, 16);
            const uint8_t type = e.u8(4);
            if (type == 0 || e.le32(12) == 0) continue;
            if (IsExtended(type)) {
                if (!next && e.le32(8) != 0) next = extendedStart + e.le32(8);
                continue;
            }
            // Each partition of the chain takes the next number, as the kernel numbers them;
            // one that runs out of its extended partition is another table's leftover.
            const uint32_t number = logical++;
            const uint64_t start = ebr + e.le32(8);
            if (start + e.le32(12) > extendedEnd) continue;
            Keep(out, {number, start, e.le32(12), type, false}, diskSectors);
        }
        if (!next) break;
        ebr = *next;
    }
}

}  // namespace

bool HoldsPartitionTable(ByteView s) {
    if (!s.has(0, 512) || s.u8(510) != 0x55 || s.u8(511) != 0xAA) return false;
    // A boot sector of a file system starts with a jump; a master boot record's entries
    // carry boot flags of 0 or 0x80 only.
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t flag = s.u8(kMbrEntries + 16 * i);
        if (flag != 0 && flag != 0x80) return false;
    }
    if (kNtfsMark.In(s) || kFat32Mark.In(s) || kFat1xMark.In(s)) return false;
    bool any = false;
    for (size_t i = 0; i < 4; ++i) any |= s.u8(kMbrEntries + 16 * i + 4) != 0;
    return any;
}

bool ReadPartitionTable(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors,
                        std::vector<PartitionEntry>& out) {
    out.clear();
    std::vector<uint8_t> mbr;
    if (!ReadSector(source, sectorSize, 0, mbr) || !HoldsPartitionTable(ByteView(mbr))) return false;
    const ByteView m(mbr);
    bool protective = false;
    for (uint32_t i = 0; i < 4; ++i) protective |= m.u8(kMbrEntries + 16 * i + 4) == kProtectiveGpt;
    // A GPT disk, its MBR protective or hybrid: the GPT is the table. Only when no GPT
    // reads does a hybrid MBR's own entries stand.
    if (protective && ReadGpt(source, sectorSize, diskSectors, out)) {
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.startSector < b.startSector; });
        return true;
    }
    out.clear();
    uint32_t logical = 5;
    for (uint32_t i = 0; i < 4; ++i) {
        const ByteView e = m.sub(kMbrEntries + 16 * i, 16);
        const uint8_t type = e.u8(4);
        if (type == 0 || type == kProtectiveGpt) continue;
        if (IsExtended(type)) {
            ReadLogicalPartitions(source, sectorSize, diskSectors, e.le32(8), e.le32(12), logical, out);
            continue;
        }
        Keep(out, {i + 1, e.le32(8), e.le32(12), type, false}, diskSectors);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.startSector < b.startSector; });
    return true;
}

uint32_t SectorSizeOfImage(ByteView head) {
    return !head.matches(512, "EFI PART") && head.matches(4096, "EFI PART") ? 4096 : 512;
}

}  // namespace kestrune
