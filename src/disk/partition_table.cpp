#include "disk/partition_table.h"

#include <algorithm>

#include "base/result_codes.h"
#include "disk/boot_marks.h"

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

bool ReadGpt(SectorSource& source, uint32_t sectorSize, uint64_t diskSectors, std::vector<PartitionEntry>& out) {
    std::vector<uint8_t> header;
    if (!ReadSector(source, sectorSize, 1, header)) return false;
    const ByteView h(header);
    if (!h.matches(0, "EFI PART")) return false;
    const uint64_t entriesLba = h.le64(72);
    const uint32_t count = std::min(h.le32(80), kMaxGptEntries);
    const uint32_t entrySize = h.le32(84);
    if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0 || entriesLba >= diskSectors) return false;
    std::vector<uint8_t> sector;
    uint64_t loaded = UINT64_MAX;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t byte = uint64_t{i} * entrySize;
        const uint64_t lba = entriesLba + byte / sectorSize;
        if (lba != loaded) {
            if (!ReadSector(source, sectorSize, lba, sector)) break;
            loaded = lba;
        }
        const ByteView entry = ByteView(sector).sub(byte % sectorSize, 128);
        if (entry.empty() || entry.all(0, 16, 0)) continue;  // an unused slot
        const uint64_t first = entry.le64(32), last = entry.le64(40);
        if (last < first) continue;
        PartitionEntry p;
        p.number = i + 1;
        p.startSector = first;
        p.sectorCount = last - first + 1;
        p.gpt = true;
        Keep(out, p, diskSectors);
    }
    return true;
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
    for (uint32_t i = 0; i < 4; ++i) {
        if (m.u8(kMbrEntries + 16 * i + 4) == kProtectiveGpt) return ReadGpt(source, sectorSize, diskSectors, out);
    }
    uint32_t logical = 5;
    for (uint32_t i = 0; i < 4; ++i) {
        const ByteView e = m.sub(kMbrEntries + 16 * i, 16);
        const uint8_t type = e.u8(4);
        if (type == 0) continue;
        if (!IsExtended(type)) {
            Keep(out, {i + 1, e.le32(8), e.le32(12), type, false}, diskSectors);
            continue;
        }
        // The logical partitions: a chain of extended boot records, each entry relative
        // to the extended partition's start.
        const uint64_t extendedStart = e.le32(8);
        uint64_t ebr = extendedStart;
        std::vector<uint64_t> seen;
        std::vector<uint8_t> sector;
        for (int n = 0; n < kMaxLogicalPartitions && ebr < diskSectors; ++n) {
            if (std::find(seen.begin(), seen.end(), ebr) != seen.end()) break;  // a loop
            seen.push_back(ebr);
            if (!ReadSector(source, sectorSize, ebr, sector)) break;
            const ByteView b(sector);
            if (b.u8(510) != 0x55 || b.u8(511) != 0xAA) break;
            const ByteView first = b.sub(kMbrEntries, 16), next = b.sub(kMbrEntries + 16, 16);
            if (first.u8(4) != 0) Keep(out, {logical++, ebr + first.le32(8), first.le32(12), first.u8(4), false}, diskSectors);
            if (next.u8(4) == 0 || next.le32(8) == 0) break;
            ebr = extendedStart + next.le32(8);
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.startSector < b.startSector; });
    return true;
}

}  // namespace kestrune
