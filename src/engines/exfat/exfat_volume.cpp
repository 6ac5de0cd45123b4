#include "engines/exfat/exfat_volume.h"

#include <algorithm>
#include <unordered_set>

#include "base/result_codes.h"
#include "disk/boot_marks.h"

namespace kestrune {

namespace {

constexpr size_t kVolumeFlags = 106, kPercentInUse = 112;

uint32_t RotateAdd(uint32_t sum, uint8_t byte) { return ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte; }

}  // namespace

uint32_t BootRegionChecksum(ByteView eleven, uint32_t bytesPerSector) {
    uint32_t sum = 0;
    const size_t length = std::min<size_t>(eleven.size(), size_t{11} * bytesPerSector);
    for (size_t i = 0; i < length; ++i) {
        if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
        sum = RotateAdd(sum, eleven.u8(i));
    }
    return sum;
}

bool ExfatGeometryFromBootRegion(ByteView region, uint64_t volumeSectors, ExfatGeometry& out, std::string& why) {
    const ByteView boot = region.sub(0, 512);
    if (!kExfatMark.In(boot) || boot.le16(510) != 0xAA55) {
        why = "no exFAT boot sector";
        return false;
    }
    const uint8_t sectorShift = boot.u8(108), clusterShift = boot.u8(109);
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) {
        why = "impossible sector or cluster size";
        return false;
    }
    ExfatGeometry g;
    g.bytesPerSector = 1u << sectorShift;
    g.sectorsPerCluster = 1u << clusterShift;
    if (!region.has(0, size_t{exfat::kBootRegionSectors} * g.bytesPerSector)) {
        why = "boot region cut short";
        return false;
    }
    // The twelfth sector repeats the checksum of the eleven before it.
    const uint32_t sum = BootRegionChecksum(region, g.bytesPerSector);
    const ByteView checksums = region.sub(size_t{11} * g.bytesPerSector, g.bytesPerSector);
    for (size_t at = 0; at < checksums.size(); at += 4)
        if (checksums.le32(at) != sum) {
            why = "boot region checksum does not match";
            return false;
        }
    const uint64_t stated = boot.le64(72);
    g.volumeSectors = std::min(stated, volumeSectors);
    g.fatOffset = boot.le32(80);
    g.fatLength = boot.le32(84);
    g.heapOffset = boot.le32(88);
    g.clusterCount = boot.le32(92);
    g.rootCluster = boot.le32(96);
    g.serial = boot.le32(100);
    g.fatCount = boot.u8(110);
    const uint64_t heapEnd = g.heapOffset + uint64_t{g.clusterCount} * g.sectorsPerCluster;
    const uint64_t fatsEnd = g.fatOffset + uint64_t{g.fatLength} * g.fatCount;
    // The FAT lies past both boot regions and holds an entry for every cluster; the heap
    // follows the FATs and ends inside the volume the boot sector states.
    if (g.fatCount < 1 || g.fatCount > 2 || g.fatOffset < 2 * exfat::kBootRegionSectors ||
        uint64_t{g.fatLength} * g.bytesPerSector < (uint64_t{g.clusterCount} + 2) * 4 || fatsEnd > g.heapOffset ||
        g.clusterCount == 0 || g.clusterCount > 0xFFFFFFF5u || heapEnd > stated || !g.IsHeapCluster(g.rootCluster)) {
        why = "boot sector geometry does not fit the volume";
        return false;
    }
    out = g;
    return true;
}

bool ReadExfatGeometry(SectorSource& source, uint64_t start, uint64_t sectors, ExfatGeometry& out, std::string& why) {
    // Sector size is not known before the boot sector is read: read both regions as
    // 4 KiB sectors would lay them out, which covers every smaller size too.
    std::vector<uint8_t> sector(512);
    uint32_t read = 0;
    if (ReadSectors(1, source, sector.data(), start, 512, read) != kOk || read != 1) {
        why = "boot sector unreadable";
        return false;
    }
    const uint8_t shift = ByteView(sector).u8(108);
    const uint32_t bytes = shift >= 9 && shift <= 12 ? 1u << shift : 512;
    const uint32_t perSector = bytes / 512;
    std::string mainWhy;
    for (uint32_t backup = 0; backup < 2; ++backup) {
        std::vector<uint8_t> region(size_t{exfat::kBootRegionSectors} * bytes);
        const uint64_t first = start + uint64_t{backup} * exfat::kBootRegionSectors * perSector;
        if (ReadSectors(exfat::kBootRegionSectors * perSector, source, region.data(), first, 512, read) != kOk ||
            read != exfat::kBootRegionSectors * perSector) {
            why = "boot region unreadable";
            continue;
        }
        if (ExfatGeometryFromBootRegion(ByteView(region), sectors / perSector, out, why)) {
            out.partitionStart = start / perSector;
            out.fromBackup = backup == 1;
            return true;
        }
        if (backup == 0) mainWhy = why;
    }
    why = mainWhy.empty() ? why : mainWhy;
    return false;
}

void ExfatFat::Attach(const ExfatGeometry* volume, SectorSource* source) {
    volume_ = volume;
    source_ = source;
    windowFirst_ = UINT64_MAX;
}

uint32_t ExfatFat::Entry(uint32_t n) {
    constexpr uint64_t kWindowEntries = 1 << 20;  // 4 MiB of FAT at a time
    if (!volume_ || !volume_->IsHeapCluster(n)) return 0;
    // A lookup inside the window's span that the read could not fill answers 0 without
    // reading again: a damaged FAT is read once, not once per cluster.
    if (windowFirst_ == UINT64_MAX || n < windowFirst_ || n >= windowFirst_ + kWindowEntries) {
        // Windows start at a multiple of 4 MiB of FAT, a whole number of sectors of
        // every size.
        windowFirst_ = n / kWindowEntries * kWindowEntries;
        const uint32_t bytes = volume_->bytesPerSector;
        const uint64_t firstSector = windowFirst_ * 4 / bytes;
        const uint64_t fatEnd = uint64_t{volume_->fatLength};
        const uint64_t sectors = std::min<uint64_t>(kWindowEntries * 4 / bytes, fatEnd - std::min(fatEnd, firstSector));
        window_.assign(static_cast<size_t>(sectors) * bytes, 0);
        uint32_t read = 0;
        ReadSectors(static_cast<uint32_t>(sectors), *source_, window_.data(),
                    volume_->partitionStart + volume_->fatOffset + firstSector, static_cast<int>(bytes), read);
        window_.resize(size_t{read} * bytes);
    }
    return ByteView(window_).le32(static_cast<size_t>((n - windowFirst_) * 4));
}

std::vector<uint8_t> ReadExfatClusters(SectorSource& source, const ExfatGeometry& volume,
                                       const std::vector<uint32_t>& clusters, std::vector<uint64_t>* clusterSectors) {
    std::vector<uint8_t> bytes;
    const size_t clusterBytes = static_cast<size_t>(volume.ClusterBytes());
    for (uint32_t cluster : clusters) {
        const size_t at = bytes.size();
        bytes.resize(at + clusterBytes);
        uint32_t read = 0;
        if (ReadSectors(volume.sectorsPerCluster, source, bytes.data() + at, volume.ClusterSector(cluster),
                        static_cast<int>(volume.bytesPerSector), read) != kOk ||
            read != volume.sectorsPerCluster) {
            bytes.resize(at);
            break;
        }
        if (clusterSectors) clusterSectors->push_back(volume.ClusterSector(cluster));
    }
    return bytes;
}

std::vector<uint8_t> ReadExfatStream(SectorSource& source, const ExfatGeometry& volume, ExfatFat& fat,
                                     uint32_t firstCluster, uint64_t length, bool contiguous, size_t maxBytes) {
    const uint64_t wanted = std::min<uint64_t>(length, maxBytes);
    static const AllocationBitmap kUnused;  // a live stream's clusters do not depend on it
    std::vector<uint8_t> bytes = ReadExfatClusters(
        source, volume, ExfatStreamClusters(volume, fat, kUnused, firstCluster, wanted, contiguous, false), nullptr);
    if (bytes.size() > wanted) bytes.resize(static_cast<size_t>(wanted));
    return bytes;
}

void AllocationBitmap::Assign(std::vector<uint8_t> bits, uint32_t clusterCount) {
    bits_ = std::move(bits);
    clusterCount_ = clusterCount;
}

bool AllocationBitmap::InUse(uint32_t cluster) const {
    // Outside the heap, or past what could be read: in use, so nothing is read as free.
    if (cluster < 2 || cluster - 2 >= clusterCount_) return true;
    const uint32_t bit = cluster - 2;
    if (bit / 8 >= bits_.size()) return true;
    return (bits_[bit / 8] >> (bit % 8)) & 1;
}

std::vector<uint32_t> ExfatStreamClusters(const ExfatGeometry& volume, ExfatFat& fat, const AllocationBitmap& bitmap,
                                          uint32_t firstCluster, uint64_t length, bool contiguous, bool deleted) {
    std::vector<uint32_t> clusters;
    const uint64_t clusterBytes = volume.ClusterBytes();
    const uint64_t count = std::min<uint64_t>((length + clusterBytes - 1) / clusterBytes, volume.clusterCount);
    if (deleted && !contiguous) {
        // Deletion clears the bitmap; most systems leave the chain in the FAT. A chain that
        // runs whole over free clusters is the stream's own.
        std::unordered_set<uint32_t> onChain;
        for (uint32_t c = firstCluster; clusters.size() < count; c = fat.Entry(c)) {
            if (!volume.IsHeapCluster(c) || bitmap.InUse(c) || !onChain.insert(c).second) break;
            clusters.push_back(c);
        }
        if (clusters.size() == count) return clusters;
        clusters.clear();
    }
    uint64_t cluster = firstCluster;
    std::unordered_set<uint64_t> seen;
    while (clusters.size() < count && volume.IsHeapCluster(cluster)) {
        const bool chained = !contiguous && !deleted;
        if (chained && !seen.insert(cluster).second) break;  // a chain that loops
        clusters.push_back(static_cast<uint32_t>(cluster));
        if (contiguous) {
            ++cluster;
        } else if (chained) {
            cluster = fat.Entry(static_cast<uint32_t>(cluster));
        } else {
            do ++cluster;
            while (volume.IsHeapCluster(cluster) && bitmap.InUse(static_cast<uint32_t>(cluster)));
        }
    }
    return clusters;
}

void UpcaseTable::Assign(ByteView stored) {
    map_.clear();
    for (size_t at = 0; at + 1 < stored.size() && map_.size() < 0x10000; at += 2) {
        const char16_t c = static_cast<char16_t>(stored.le16(at));
        if (c == 0xFFFF && at + 3 < stored.size()) {
            // A run of characters that map to themselves.
            const size_t run = stored.le16(at + 2);
            for (size_t i = 0; i < run && map_.size() < 0x10000; ++i) map_.push_back(static_cast<char16_t>(map_.size()));
            at += 2;
        } else {
            map_.push_back(c);
        }
    }
}

uint16_t UpcaseTable::NameHash(const std::u16string& name) const {
    uint16_t hash = 0;
    for (char16_t c : name) {
        const char16_t up = Upper(c);
        for (uint8_t byte : {static_cast<uint8_t>(up & 0xFF), static_cast<uint8_t>(up >> 8)})
            hash = static_cast<uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
    }
    return hash;
}

}  // namespace kestrune
