// Reading a found ext file's data: its runs of blocks in logical order, the holes
// between them (a sparse file's) as zeros; or the bytes kept inline in its inode.
#pragma once

#include <vector>

#include "engines/ext/ext_volume.h"
#include "engines/found_data.h"

namespace kestrune {

// The bytes a file keeps inside its inode (inline data): the 60 bytes of its block map
// and the rest in the "system.data" attribute stored in the inode after its fields.
std::vector<uint8_t> InlineData(ByteView inode, uint32_t inodeSize, uint64_t size);

class ExtDataReader final : public PieceReader {
public:
    ExtDataReader(ExtVolume& volume, std::vector<ExtRun> runs, uint64_t size);
    int ReadPiece(std::vector<uint8_t>& piece) override;
    int Map(uint64_t fileSize, DataMap& map) override;

private:
    ExtVolume& volume_;
    std::vector<ExtRun> runs_;
    uint64_t blocks_;       // the file's length in blocks
    uint64_t next_ = 0;     // the next logical block
    size_t run_ = 0;
};

}  // namespace kestrune
