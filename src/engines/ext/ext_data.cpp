#include "engines/ext/ext_data.h"

#include "base/result_codes.h"

namespace kestrune {

namespace {

constexpr uint64_t kPieceBytes = 1 << 20;
constexpr uint32_t kAttributeMagic = 0xEA020000;
constexpr uint8_t kSystemIndex = 7;

}  // namespace

std::vector<uint8_t> InlineData(ByteView inode, uint32_t inodeSize, uint64_t size) {
    const ByteView map = inode.sub(40, 60);
    std::vector<uint8_t> data(map.data(), map.data() + std::min<uint64_t>(map.size(), size));
    if (data.size() >= size || inodeSize <= 128) return data;
    // The attributes kept in the inode: a magic word, then entries (name length, name
    // index, value offset from the first entry, value size, name) ending at a zero word.
    const size_t start = 128 + inode.le16(128);
    if (inode.le32(start) != kAttributeMagic) return data;
    const ByteView entries = inode.sub(start + 4, inodeSize - std::min<size_t>(inodeSize, start + 4));
    for (size_t at = 0; at + 16 <= entries.size() && entries.le32(at) != 0;) {
        const size_t nameLength = entries.u8(at);
        const size_t valueOffset = entries.le16(at + 2), valueSize = entries.le32(at + 8);
        if (entries.u8(at + 1) == kSystemIndex && nameLength == 4 && entries.matches(at + 16, "data")) {
            const ByteView value = entries.sub(valueOffset, valueSize);
            const size_t wanted = static_cast<size_t>(std::min<uint64_t>(value.size(), size - data.size()));
            data.insert(data.end(), value.data(), value.data() + wanted);
            break;
        }
        at += (16 + nameLength + 3) & ~size_t{3};
    }
    return data;
}

ExtDataReader::ExtDataReader(ExtVolume& volume, std::vector<ExtRun> runs, uint64_t size)
    : volume_(volume),
      runs_(std::move(runs)),
      blocks_((size + volume.Geometry().blockSize - 1) / volume.Geometry().blockSize) {}

int ExtDataReader::Map(uint64_t fileSize, DataMap& map) {
    const ExtGeometry& g = volume_.Geometry();
    for (const ExtRun& run : runs_)
        if (!AddMappedBytes(map, fileSize, run.logical * g.blockSize, g.BlockOffset(run.physical), run.length * g.blockSize))
            break;
    return kOk;
}

int ExtDataReader::ReadPiece(std::vector<uint8_t>& piece) {
    piece.clear();
    if (next_ >= blocks_) return kOk;
    const uint32_t blockSize = volume_.Geometry().blockSize;
    const uint64_t most = std::max<uint64_t>(1, kPieceBytes / blockSize);
    while (run_ < runs_.size() && runs_[run_].logical + runs_[run_].length <= next_) ++run_;
    if (run_ >= runs_.size() || runs_[run_].logical > next_) {
        // A hole, up to the next run or the file's end.
        const uint64_t until = run_ < runs_.size() ? std::min(runs_[run_].logical, blocks_) : blocks_;
        const uint64_t count = std::min(until - next_, most);
        piece.assign(static_cast<size_t>(count * blockSize), 0);
        next_ += count;
        return kOk;
    }
    const ExtRun& run = runs_[run_];
    const uint64_t count = std::min({run.logical + run.length - next_, blocks_ - next_, most});
    piece.resize(static_cast<size_t>(count * blockSize));
    size_t got = 0;
    const int rc = ReadExactly(*volume_.Source().medium, volume_.Geometry().BlockOffset(run.physical + (next_ - run.logical)),
                               piece.data(), piece.size(), got);
    piece.resize(got);
    if (rc != kOk) return got == 0 ? kErrReadFault : kErrHandleEof;
    next_ += count;
    return kOk;
}

}  // namespace kestrune
