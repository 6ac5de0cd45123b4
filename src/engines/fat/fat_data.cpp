#include "engines/fat/fat_data.h"

#include "base/result_codes.h"

namespace kestrune {

int OpenFormerVolumeData(SectorSource& source, uint32_t bytesPerSector, const ScanRecord& record,
                         std::unique_ptr<PieceReader>& data) {
    if (record.clusterBytes > fat::kMaxClusterBytes) return kErrClusterTooLarge;
    if (record.fsId < 2 && record.fileSize != 0) return kErrInvalidParameter;
    const uint64_t clusterSectors = bytesPerSector ? record.clusterBytes / bytesPerSector : 0;
    const uint64_t first = record.partitionStart + record.dataAreaSector +
                           (record.fsId >= 2 ? uint64_t{record.fsId - 2} * clusterSectors : 0);
    data = std::make_unique<ContiguousReader>(source, bytesPerSector, first, record.fileSize);
    return kOk;
}

FatDataReader::FatDataReader(const FatVolumeInfo& volume, FatTable& table, SectorSource& source,
                             uint32_t firstCluster)
    : volume_(volume), table_(table), source_(source), cluster_(firstCluster) {}

FatDataReader::FatDataReader(const FatVolumeInfo& volume, FatTable& table, SectorSource& source,
                             std::vector<ClusterRun> layout)
    : volume_(volume), table_(table), source_(source), cluster_(0), layout_(std::move(layout)) {
    ended_ = layout_.empty() || layout_[0].count == 0;
    if (!ended_) cluster_ = layout_[0].first;
}

void FatDataReader::Advance() {
    if (!layout_.empty()) {
        if (++layoutStep_ >= layout_[layoutRun_].count) {
            layoutStep_ = 0;
            ++layoutRun_;
        }
        ended_ = layoutRun_ >= layout_.size();
        if (!ended_) cluster_ = layout_[layoutRun_].first + layoutStep_;
        endedAtVolumeEnd_ = !ended_ && uint64_t{cluster_} >= uint64_t{volume_.ClusterCount()} + 2;
        ended_ = ended_ || endedAtVolumeEnd_;
        return;
    }
    visited_.insert(cluster_);
    uint32_t next = 0, entry = 0;
    const bool rootArea = !volume_.fat32 && cluster_ == 0;
    // A freed chain goes on in the next free cluster, round the clusters live files hold.
    table_.Entry(cluster_, entry);  // an entry that cannot be read counts as free
    const bool freed = !rootArea && entry == 0;
    const bool more = freed ? table_.NextFreeCluster(cluster_, next) : !rootArea && table_.NextCluster(cluster_, next);
    if (!more || visited_.count(next)) {
        ended_ = true;
        endedAtVolumeEnd_ = !rootArea && uint64_t{cluster_} + 1 >= uint64_t{volume_.ClusterCount()} + 2;
        return;
    }
    cluster_ = next;
}

int FatDataReader::ReadPiece(std::vector<uint8_t>& piece) {
    piece.clear();
    if (ended_) return endedAtVolumeEnd_ ? kErrHandleEof : kOk;
    if (volume_.ClusterBytes() > fat::kMaxClusterBytes) return kErrClusterTooLarge;
    const uint32_t bytes = volume_.FolderReadBytes(cluster_);
    const uint64_t first = volume_.ClusterSector(cluster_);
    uint32_t sectors = bytes / volume_.bytesPerSector;
    // The volume's last cluster may be cut by the end of the source: what is there is read.
    const uint64_t sourceSectors = source_.IsOpen() ? source_.medium->SizeBytes() / volume_.bytesPerSector : 0;
    if (first < sourceSectors && first + sectors > sourceSectors) sectors = static_cast<uint32_t>(sourceSectors - first);
    piece.resize(size_t{sectors} * volume_.bytesPerSector);
    uint32_t read = 0;
    const int rc = ReadSectors(sectors, source_, piece.data(), first, static_cast<int>(volume_.bytesPerSector), read);
    piece.resize(size_t{read} * volume_.bytesPerSector);
    if (rc != kOk) return rc;
    if (read == 0) return kErrReadFault;
    Advance();
    return kOk;
}

int FatDataReader::Map(uint64_t fileSize, DataMap& map) {
    if (volume_.ClusterBytes() > fat::kMaxClusterBytes) return kErrClusterTooLarge;
    uint64_t offset = 0;
    while (!ended_ && offset < fileSize) {
        const uint32_t bytes = volume_.FolderReadBytes(cluster_);
        if (!AddMappedBytes(map, fileSize, offset, volume_.ClusterSector(cluster_) * volume_.bytesPerSector, bytes))
            break;
        offset += bytes;
        Advance();
    }
    return kOk;
}

}  // namespace kestrune
