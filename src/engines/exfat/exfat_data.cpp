#include "engines/exfat/exfat_data.h"

#include "base/result_codes.h"

namespace kestrune {

namespace {

constexpr uint64_t kPieceBytes = 1 << 20;

}  // namespace

std::vector<uint32_t> WholeFatChain(const ExfatGeometry& volume, ExfatFat& fat, uint32_t firstCluster, uint64_t length) {
    const uint64_t clusterBytes = volume.ClusterBytes();
    const uint64_t count = (length + clusterBytes - 1) / clusterBytes;
    if (count == 0 || count > volume.clusterCount) return {};
    // A chain that loops cannot end with an end mark: it fails the last test.
    std::vector<uint32_t> chain;
    for (uint32_t cluster = firstCluster;;) {
        if (!volume.IsHeapCluster(cluster)) return {};
        chain.push_back(cluster);
        const uint32_t next = fat.Entry(cluster);
        if (chain.size() == count) return next == exfat::kEndOfChain ? chain : std::vector<uint32_t>{};
        cluster = next;
    }
}

ExfatDataReader::ExfatDataReader(SectorSource& source, const ExfatGeometry& volume, std::vector<uint32_t> clusters)
    : source_(source), volume_(volume), clusters_(std::move(clusters)) {}

int ExfatDataReader::Map(uint64_t fileSize, DataMap& map) {
    const uint64_t clusterBytes = volume_.ClusterBytes();
    for (size_t i = 0; i < clusters_.size(); ++i)
        if (!AddMappedBytes(map, fileSize, i * clusterBytes, volume_.ClusterSector(clusters_[i]) * volume_.bytesPerSector,
                            clusterBytes))
            break;
    return kOk;
}

int ExfatDataReader::ReadPiece(std::vector<uint8_t>& piece) {
    piece.clear();
    if (next_ >= clusters_.size()) return kOk;  // the clusters end: the caller tells a short file
    // Neighbouring clusters are read in one go, up to 1 MiB (one cluster at least).
    const uint64_t clusterBytes = volume_.ClusterBytes();
    size_t run = 1;
    while (next_ + run < clusters_.size() && clusters_[next_ + run] == clusters_[next_] + run &&
           (run + 1) * clusterBytes <= kPieceBytes)
        ++run;
    const uint32_t sectors = static_cast<uint32_t>(run * volume_.sectorsPerCluster);
    piece.resize(static_cast<size_t>(run * clusterBytes));
    uint32_t read = 0;
    const int rc = ReadSectors(sectors, source_, piece.data(), volume_.ClusterSector(clusters_[next_]),
                               static_cast<int>(volume_.bytesPerSector), read);
    piece.resize(size_t{read} * volume_.bytesPerSector);
    if (rc != kOk) return rc == kErrInvalidParameter ? kErrHandleEof : rc;
    if (read == 0) return kErrReadFault;
    next_ += run;
    return kOk;
}

}  // namespace kestrune
