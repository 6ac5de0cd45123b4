// Reading a found exFAT file's data: its clusters in order (exfat_tree.h says which),
// a run of neighbouring clusters at a time.
#pragma once

#include <vector>

#include "engines/exfat/exfat_volume.h"
#include "engines/found_data.h"

namespace kestrune {

// The clusters of a file of `length` bytes along the FAT from firstCluster, when the chain
// there is exactly as long as the file and marked as ending where it does; else none. A
// former volume's FAT may have been written again since the file's entry was: a chain
// that stops early, runs on, loops or leaves the heap belongs to something else.
std::vector<uint32_t> WholeFatChain(const ExfatGeometry& volume, ExfatFat& fat, uint32_t firstCluster, uint64_t length);

class ExfatDataReader final : public PieceReader {
public:
    ExfatDataReader(SectorSource& source, const ExfatGeometry& volume, std::vector<uint32_t> clusters);
    int ReadPiece(std::vector<uint8_t>& piece) override;
    int Map(uint64_t fileSize, DataMap& map) override;

private:
    SectorSource& source_;
    const ExfatGeometry& volume_;
    std::vector<uint32_t> clusters_;
    size_t next_ = 0;
};

}  // namespace kestrune
