#include "engines/carve/length_rules.h"

#include <algorithm>
#include <cstring>

#include "engines/carve/signature_table.h"
#include "engines/carve/structure_tests.h"

namespace kestrune::carve {

ReadAhead::ReadAhead(CarvingContext& context, uint64_t maxBytes, bool ignoreMpeg, int ownType)
    : context_(context), maxSectors_(maxBytes / context.sectorSize), ignoreMpeg_(ignoreMpeg), ownType_(ownType) {
    context_.cursor = context_.position;
}

bool ReadAhead::Next(ByteView& block) {
    const uint64_t wanted = WantedSectors();
    if (wanted == 0) return false;
    if (!context_.ReadSectorsAt(context_.position + 1 + countedSectors_, static_cast<uint32_t>(wanted), buffer_)) {
        over_ = true;
        return false;
    }
    const size_t usable = Count(buffer_.data(), buffer_.size() / context_.sectorSize, wanted);
    block = ByteView(buffer_.data(), usable * context_.sectorSize);
    return usable > 0;
}

bool ReadAhead::Append(ReadBuffer& into, ByteView& block) {
    const uint64_t wanted = WantedSectors();
    if (wanted == 0) return false;
    const size_t at = into.size();
    const uint32_t read = context_.AppendSectorsAt(context_.position + 1 + countedSectors_, static_cast<uint32_t>(wanted), into);
    if (read == 0) {
        over_ = true;
        return false;
    }
    const size_t usable = Count(into.data() + at, read, wanted);
    into.resize(at + usable * context_.sectorSize);
    block = ByteView(into.data() + at, usable * context_.sectorSize);
    return usable > 0;
}

uint64_t ReadAhead::WantedSectors() {
    if (over_ || countedSectors_ >= maxSectors_) return 0;
    const PassProgress& t = context_.totals;
    const uint64_t done = t.sectorsDone + countedSectors_;
    const int percent = t.sectorsTotal ? static_cast<int>(std::min<uint64_t>(done, t.sectorsTotal) * 100 / t.sectorsTotal) : 0;
    if (int stop = context_.reporter.Scanned(percent, t.secondsRemaining, done, t.sectorsTotal, t.filesFound);
        stop != 0) {
        context_.cancelValue = stop;
        over_ = true;
        return 0;
    }
    const uint64_t blockSectors = std::max<uint64_t>(1, kReadAheadBytes / context_.sectorSize);
    return std::min(blockSectors, maxSectors_ - countedSectors_);
}

size_t ReadAhead::Count(const uint8_t* sectors, size_t sectorsRead, uint64_t wanted) {
    const uint32_t sectorSize = context_.sectorSize;
    const uint64_t first = context_.position + 1 + countedSectors_;
    size_t usable = 0;
    for (; usable < sectorsRead; ++usable) {
        const ByteView sector(sectors + usable * sectorSize, sectorSize);
        context_.cursor = first + usable;
        const int type = DetectType(sector, context_);
        // A sector that only looks like text ends no walk: other files hold text too.
        const bool ignored = (ignoreMpeg_ && type == kMpeg) || (ownType_ != kNoType && type == ownType_) || type == kTxt;
        if ((type != kNoType && !ignored) || IsFileSystemStructure(sector)) break;
    }
    blockOffset_ = (1 + countedSectors_) * sectorSize;
    countedSectors_ += usable;
    // A foreign sector or a short read ends the walk after this block.
    if (usable < wanted) over_ = true;
    return usable;
}

uint64_t UntilForeign(CarvingContext& context, uint64_t maxBytes, bool ignoreMpeg, int ownType) {
    context.endConfirmed = false;
    ReadAhead walk(context, maxBytes, ignoreMpeg, ownType);
    ByteView block;
    while (walk.Next(block)) {
    }
    return walk.CountedBytes();
}

std::optional<size_t> FindFirst(ByteView data, std::string_view needle, size_t from) {
    if (needle.empty() || from >= data.size() || needle.size() > data.size() - from) return std::nullopt;
    const auto* begin = reinterpret_cast<const char*>(data.data());
    const std::string_view haystack(begin, data.size());
    const size_t at = haystack.find(needle, from);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::optional<size_t> FindLast(ByteView data, std::string_view needle) {
    if (needle.empty() || needle.size() > data.size()) return std::nullopt;
    const std::string_view haystack(reinterpret_cast<const char*>(data.data()), data.size());
    const size_t at = haystack.rfind(needle);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::optional<uint64_t> FindPaddedEnd(ByteView data, uint64_t dataOffset, std::string_view marker,
                                      uint32_t sectorSize, size_t from) {
    while (auto at = FindFirst(data, marker, from)) {
        const size_t end = *at + marker.size();
        const uint64_t fileEnd = dataOffset + end;
        if (fileEnd % sectorSize == 0) return fileEnd;
        // The rest of the sector the marker ends in must be zero padding.
        const size_t sectorEnd = static_cast<size_t>(std::min<uint64_t>(
            data.size(), end + (sectorSize - fileEnd % sectorSize)));
        if (data.all(end, sectorEnd - end, 0)) return fileEnd;
        from = *at + 1;
    }
    return std::nullopt;
}

}  // namespace kestrune::carve
