// Reading a found NTFS file's data through its MFT record.
#pragma once

#include "engines/found_data.h"
#include "engines/ntfs/ntfs_structures.h"

namespace kestrune {

// Resident data in one piece; otherwise the runs of the first $DATA attribute, 64 KiB at a
// time. Sparse runs read whatever lies at the previous run's first cluster.
class NtfsDataReader final : public PieceReader {
public:
    NtfsDataReader(const NtfsReader& reader, uint64_t entrySector);
    // A record of a former volume: attribute lists are not followed (they end the search),
    // the walk stays within the record, and clusters are placed with the record's own
    // volume start and cluster size.
    static NtfsDataReader ForFormerVolume(const NtfsReader& reader, uint64_t entrySector, uint64_t volumeStart,
                                          uint32_t clusterBytes);
    int ReadPiece(std::vector<uint8_t>& piece) override;

private:
    int Start();

    const NtfsReader& reader_;
    uint64_t entrySector_;
    bool formerVolume_ = false;
    uint64_t volumeStart_ = 0;
    uint32_t clusterBytes_ = 0;
    bool started_ = false;
    bool resident_ = false;
    bool residentDelivered_ = false;
    std::vector<uint8_t> residentData_;
    std::vector<FileRun> runs_;
    size_t runIndex_ = 0;
    int64_t runCluster_ = 0;
    uint64_t sectorsReadInRun_ = 0;
};

}  // namespace kestrune
