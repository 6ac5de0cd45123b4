#include "engines/carve/file_reader.h"

#include <algorithm>

namespace kestrune::carve {

FileReader::FileReader(ByteView firstSector, CarvingContext& context, uint64_t maxBytes, int ownType)
    : context_(context), walk_(context, maxBytes, false, ownType) {
    window_.assign(firstSector.data(), firstSector.data() + firstSector.size());
    window_.resize(context.sectorSize, 0);
}

bool FileReader::Pull(uint64_t wantedFrom) {
    ByteView block;
    // A block wholly before the bytes wanted is only counted, never kept: walks that
    // jump over a large chunk, or check that the file reaches its end, cost one read.
    if (window_.empty() && walk_.CountedBytes() + kReadAheadBytes <= wantedFrom) {
        if (!walk_.Next(block)) return false;
        windowStart_ = walk_.CountedBytes();
        return true;
    }
    if (window_.empty()) windowStart_ = walk_.CountedBytes();
    return walk_.Append(window_, block);
}

ByteView FileReader::Stream(uint64_t offset, size_t atLeast) {
    if (offset < windowStart_) {
        // A step back: read it again, as far as the read-ahead has checked.
        const uint64_t counted = CountedBytes();
        if (offset >= counted) return {};
        const size_t length = static_cast<size_t>(std::min<uint64_t>(std::max(atLeast, kReadAheadBytes), counted - offset));
        return Read(offset, length);
    }
    // Forget what lies before offset once it is a good part of the window.
    const uint64_t drop = std::min<uint64_t>(offset - windowStart_, window_.size());
    if (drop >= kReadAheadBytes) {
        window_.erase(window_.begin(), window_.begin() + static_cast<ptrdiff_t>(drop));
        windowStart_ += drop;
    }
    while (windowStart_ + window_.size() < offset + atLeast) {
        if (windowStart_ + window_.size() <= offset) {
            // Nothing of the window is wanted: start it afresh with the next block.
            windowStart_ += window_.size();
            window_.clear();
        }
        if (!Pull(offset)) break;
    }
    if (windowStart_ + window_.size() <= offset) return {};
    const size_t at = static_cast<size_t>(offset - windowStart_);
    return ByteView(window_.data() + at, window_.size() - at);
}

ByteView FileReader::Read(uint64_t offset, size_t length) {
    if (length > kMaxRead || offset > UINT64_MAX - length) return {};
    if (offset >= windowStart_) return Stream(offset, length).sub(0, length);
    // Before the window: the sectors were checked already, read them from the source.
    if (offset + length > CountedBytes()) return {};
    const uint32_t sector = context_.sectorSize;
    const uint64_t first = offset / sector;
    const uint64_t last = (offset + length - 1) / sector;
    std::vector<uint8_t> bytes;
    if (!context_.ReadSectorsAt(context_.position + first, static_cast<uint32_t>(last - first + 1), bytes)) return {};
    scratch_ = std::move(bytes);
    return ByteView(scratch_).sub(static_cast<size_t>(offset - first * sector), length);
}

bool FileReader::Reaches(uint64_t end) {
    if (end == 0) return true;
    if (CountedBytes() >= end) return true;
    // Only the block that holds the end is kept, for a walk that reads on from there.
    windowStart_ = CountedBytes();
    window_.clear();
    const uint64_t lastBlockFrom = end > kReadAheadBytes ? end - kReadAheadBytes : 0;
    while (CountedBytes() < end)
        if (!Pull(lastBlockFrom)) return false;
    return true;
}

uint64_t WalkOrFallback(StructureWalk walk, ByteView sector, CarvingContext& context, uint64_t maxBytes,
                        LengthFn fallback, int ownType) {
    {
        FileReader file(sector, context, maxBytes, ownType);
        if (auto length = walk(file); length && *length > 0 && *length <= maxBytes && file.Reaches(*length))
            return *length;
        if (file.Cancelled()) return std::max<uint64_t>(file.CountedBytes(), context.sectorSize);
    }
    return fallback(sector, context);
}

}  // namespace kestrune::carve
