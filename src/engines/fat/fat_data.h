// Reading a found FAT file's data: one cluster at a time along its chain; a freed chain
// goes on through the free clusters that follow, passing over those live files hold, as
// the file was laid out when it was written into free space. Where the clusters of the
// deleted files around it are known, the reader is given the file's own clusters instead.
// A file cut by the end of the volume is an error.
#pragma once

#include <unordered_set>

#include "engines/fat/fat_volume.h"
#include "engines/fat/freed_cluster_claims.h"
#include "engines/found_data.h"

namespace kestrune {

// A file of a former volume, whose FAT is gone: read as one run from its first cluster,
// where its record's volume puts it. An error when the record names no cluster for data
// it has, or a cluster too large to trust.
int OpenFormerVolumeData(SectorSource& source, uint32_t bytesPerSector, const ScanRecord& record,
                         std::unique_ptr<PieceReader>& data);

class FatDataReader final : public PieceReader {
public:
    FatDataReader(const FatVolumeInfo& volume, FatTable& table, SectorSource& source, uint32_t firstCluster);
    // Reads exactly these clusters, in order.
    FatDataReader(const FatVolumeInfo& volume, FatTable& table, SectorSource& source, std::vector<ClusterRun> layout);
    int ReadPiece(std::vector<uint8_t>& piece) override;
    int Map(uint64_t fileSize, DataMap& map) override;

private:
    // Moves on to the chain's next cluster, or ends.
    void Advance();

    const FatVolumeInfo& volume_;
    FatTable& table_;
    SectorSource& source_;
    uint32_t cluster_;
    bool ended_ = false;
    // The chain ran into the end of the volume (an image cut short, say): asked for more
    // after that, the reader reports the end of the data instead of a quiet short file.
    bool endedAtVolumeEnd_ = false;
    std::unordered_set<uint32_t> visited_;  // a chain that loops ends where it returns
    std::vector<ClusterRun> layout_;        // when given: the clusters to read
    size_t layoutRun_ = 0;
    uint32_t layoutStep_ = 0;
};

}  // namespace kestrune
