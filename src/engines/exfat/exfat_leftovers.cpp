#include "engines/exfat/exfat_leftovers.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "disk/boot_marks.h"
#include "engines/exfat/exfat_volume.h"

namespace kestrune {

namespace {

// Pairs of a folder and a run weighed when working out a geometry; past this, folders
// are taken at even steps, so a card with thousands of folders costs a fraction of a second.
constexpr size_t kMaxPairs = 1 << 18;
constexpr uint32_t kLargestClusterBytes = 32u << 20;

// Entry types a folder holds: bitmap, up-case table, label, file, volume GUID, TexFAT
// padding, access control, stream, name, vendor entries; live, or deleted (bit 7 clear).
bool IsEntryType(uint8_t type) {
    switch (type | exfat::kInUse) {
        case 0x81: case 0x82: case 0x83: case 0x85: case 0xA0: case 0xA1: case 0xA2:
        case 0xC0: case 0xC1: case 0xE0: case 0xE1: return true;
        default: return false;
    }
}

// Every entry a known type, and only end marks after the first end mark.
bool HoldsOnlyEntries(ByteView sector) {
    bool ended = false;
    for (size_t at = 0; at + exfat::kEntryBytes <= sector.size(); at += exfat::kEntryBytes) {
        const uint8_t type = sector.u8(at);
        if (type == exfat::kEndOfDirectory) {
            ended = true;
        } else if (ended || !IsEntryType(type)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsExfatDirectorySector(ByteView sector) {
    if (sector.size() < exfat::kEntryBytes || !IsEntryType(sector.u8(0)) || !HoldsOnlyEntries(sector)) return false;
    ExfatEntrySet set;
    for (size_t at = 0; at + exfat::kEntryBytes <= sector.size(); at += exfat::kEntryBytes)
        if ((sector.u8(at) | exfat::kInUse) == exfat::kFileEntry && ParseEntrySet(sector, at, set) && set.checksumOk)
            return true;
    return false;
}

bool ContinuesExfatDirectory(ByteView sector) {
    return sector.size() >= exfat::kEntryBytes && IsEntryType(sector.u8(0)) && HoldsOnlyEntries(sector);
}

std::vector<ExfatLeftover> EntrySetsOf(const std::vector<ExfatRun>& runs, uint32_t bytesPerSector) {
    std::vector<ExfatLeftover> found;
    for (size_t r = 0; r < runs.size(); ++r) {
        const ByteView bytes(runs[r].bytes);
        for (size_t at = 0; at + exfat::kEntryBytes <= bytes.size();) {
            ExfatLeftover leftover;
            if (!ParseEntrySet(bytes, at, leftover.set) || !leftover.set.checksumOk) {
                at += exfat::kEntryBytes;
                continue;
            }
            leftover.run = r;
            leftover.entrySector = runs[r].firstSector + at / bytesPerSector;
            at += leftover.set.entryCount * exfat::kEntryBytes;
            found.push_back(std::move(leftover));
        }
    }
    return found;
}

bool HoldsBitmapEntry(ByteView bytes) {
    for (size_t at = 0; at + exfat::kEntryBytes <= bytes.size(); at += exfat::kEntryBytes)
        if (bytes.u8(at) == exfat::kBitmapEntry && bytes.le32(at + 20) >= 2 && bytes.le64(at + 24) > 0) return true;
    return false;
}

std::vector<ExfatChunk> ChunksOf(const std::vector<ExfatRun>& runs, const ExfatHeap& heap, uint32_t bytesPerSector) {
    std::vector<ExfatChunk> chunks;
    for (size_t r = 0; r < runs.size(); ++r) {
        const uint64_t first = runs[r].firstSector, end = first + runs[r].bytes.size() / bytesPerSector;
        std::optional<uint32_t> cluster = heap.ClusterOf(first);
        if (!cluster && end > heap.clusterTwo) cluster = 2;
        for (uint32_t c = cluster.value_or(UINT32_MAX); c < UINT32_MAX && heap.SectorOf(c) < end; ++c) {
            const uint64_t from = std::max(first, heap.SectorOf(c)), to = std::min(end, heap.SectorOf(c + 1));
            chunks.push_back({c, r, (from - first) * bytesPerSector, (to - from) * bytesPerSector});
        }
    }
    return chunks;
}

std::vector<ExfatJoin> JoinSplitSets(const std::vector<ExfatRun>& runs, const std::vector<ExfatChunk>& chunks,
                                     uint32_t bytesPerSector) {
    constexpr size_t kMaxTails = 4096;
    // Clusters whose data begins inside a set: a stream or name entry first.
    std::vector<size_t> heads;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const uint8_t type = runs[chunks[i].run].bytes[chunks[i].offset] | exfat::kInUse;
        if (type == exfat::kStreamEntry || type == exfat::kNameEntry) heads.push_back(i);
    }
    std::vector<ExfatJoin> joins;
    size_t tails = 0;
    for (size_t i = 0; i < chunks.size() && !heads.empty() && tails < kMaxTails; ++i) {
        const ExfatChunk& chunk = chunks[i];
        const ByteView run(runs[chunk.run].bytes);
        const ByteView data = run.sub(chunk.offset, chunk.length);
        // The last File entry whose set runs past the cluster's end.
        size_t tail = SIZE_MAX;
        for (size_t at = 0; at + exfat::kEntryBytes <= data.size(); at += exfat::kEntryBytes)
            if ((data.u8(at) | exfat::kInUse) == exfat::kFileEntry &&
                at + (size_t{data.u8(at + 1)} + 1) * exfat::kEntryBytes > data.size())
                tail = at;
        if (tail == SIZE_MAX) continue;
        // Whole in the run after all: the folder went on in the next cluster.
        ExfatEntrySet set;
        if (ParseEntrySet(run, chunk.offset + tail, set) && set.checksumOk) continue;
        ++tails;
        const ByteView cut = data.from(tail);
        const size_t missing = (size_t{cut.u8(1)} + 1) * exfat::kEntryBytes - cut.size();
        for (size_t h : heads) {
            const ExfatChunk& head = chunks[h];
            if (h == i || head.length < missing) continue;
            std::vector<uint8_t> joined(cut.data(), cut.data() + cut.size());
            const uint8_t* next = runs[head.run].bytes.data() + head.offset;
            joined.insert(joined.end(), next, next + missing);
            if (!ParseEntrySet(ByteView(joined), 0, set) || !set.checksumOk) continue;
            ExfatLeftover leftover{set, chunk.run, runs[chunk.run].firstSector + (chunk.offset + tail) / bytesPerSector};
            joins.push_back({std::move(leftover), chunk.cluster, head.cluster});
            break;
        }
    }
    return joins;
}

std::optional<uint32_t> ExfatHeap::ClusterOf(uint64_t sector) const {
    if (sector < clusterTwo || sectorsPerCluster == 0) return std::nullopt;
    const uint64_t cluster = (sector - clusterTwo) / sectorsPerCluster + 2;
    if (cluster > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(cluster);
}

std::vector<ExfatHeap> HeapsFromBootSector(ByteView sector, uint64_t sectorNumber) {
    std::vector<ExfatHeap> heaps;
    if (!kExfatMark.In(sector) || sector.le16(510) != 0xAA55) return heaps;
    const uint8_t sectorShift = sector.u8(108), clusterShift = sector.u8(109);
    // Offsets count in the boot sector's own sectors: only a sector of that size is read.
    if (sectorShift < 9 || sectorShift > 12 || (size_t{1} << sectorShift) != sector.size() ||
        clusterShift > 25 - sectorShift)
        return heaps;
    const uint32_t heapOffset = sector.le32(88);
    if (heapOffset < 2 * exfat::kBootRegionSectors) return heaps;
    const uint32_t spc = 1u << clusterShift;
    heaps.push_back({sectorNumber + heapOffset, spc});
    if (sectorNumber >= exfat::kBootRegionSectors)
        heaps.push_back({sectorNumber - exfat::kBootRegionSectors + heapOffset, spc});
    return heaps;
}

std::vector<ExfatHeap> HeapsFromFolders(const std::vector<ExfatLeftover>& sets, const std::vector<ExfatRun>& runs,
                                        uint32_t bytesPerSector, uint64_t areaStart, size_t minVotes, size_t limit) {
    std::vector<uint32_t> folders;
    std::unordered_set<uint32_t> seen;
    for (const ExfatLeftover& leftover : sets)
        if (leftover.set.IsFolder() && leftover.set.firstCluster >= 2 && seen.insert(leftover.set.firstCluster).second)
            folders.push_back(leftover.set.firstCluster);
    if (folders.empty() || runs.empty()) return {};
    const size_t step = std::max<size_t>(1, folders.size() * runs.size() / kMaxPairs);

    // Votes per (cluster shift, cluster 2's sector).
    std::unordered_map<uint64_t, uint32_t> votes;
    uint32_t shifts = 0;
    while ((uint64_t{bytesPerSector} << (shifts + 1)) <= kLargestClusterBytes) ++shifts;
    for (uint32_t shift = 0; shift <= shifts; ++shift) {
        for (size_t f = 0; f < folders.size(); f += step) {
            const uint64_t offset = uint64_t{folders[f] - 2} << shift;
            for (const ExfatRun& run : runs) {
                if (run.firstSector < areaStart || run.firstSector - areaStart < offset) continue;
                const uint64_t clusterTwo = run.firstSector - offset;
                if (clusterTwo >> 58) continue;
                ++votes[(clusterTwo << 5) | shift];
            }
        }
    }
    std::vector<std::pair<uint32_t, uint64_t>> ranked;
    for (const auto& [key, count] : votes)
        if (count >= minVotes) ranked.emplace_back(count, key);
    // Most votes first; among equals the smaller cluster, then the earlier heap, so the
    // order does not depend on the hash table's.
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first > b.first;
        if ((a.second & 31) != (b.second & 31)) return (a.second & 31) < (b.second & 31);
        return a.second < b.second;
    });
    std::vector<ExfatHeap> heaps;
    for (size_t i = 0; i < ranked.size() && heaps.size() < limit; ++i)
        heaps.push_back({ranked[i].second >> 5, 1u << (ranked[i].second & 31)});
    return heaps;
}

}  // namespace kestrune
