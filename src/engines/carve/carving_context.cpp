#include "engines/carve/carving_context.h"

#include <algorithm>
#include <cstring>

namespace kestrune::carve {

uint32_t CarvingContext::ReadInto(uint64_t sector, uint32_t count, uint8_t* into) const {
    uint32_t held = 0;
    const uint64_t blockSectors = passBlock.size() / sectorSize;
    if (sector >= passBlockFirst && sector - passBlockFirst < blockSectors) {
        held = static_cast<uint32_t>(std::min<uint64_t>(count, blockSectors - (sector - passBlockFirst)));
        std::memcpy(into, passBlock.data() + (sector - passBlockFirst) * sectorSize, size_t{held} * sectorSize);
        if (held == count) return held;
    }
    uint32_t read = 0;
    ReadSectors(count - held, *source, into + size_t{held} * sectorSize, sector + held, static_cast<int>(sectorSize),
                read);
    return held + read;
}

bool CarvingContext::ReadSectorsAt(uint64_t sector, uint32_t count, std::vector<uint8_t>& out) const {
    if (!source || !source->IsOpen() || sector >= source->totalSectors || sectorSize == 0) {
        out.clear();
        return false;
    }
    const uint64_t available = std::min<uint64_t>(count, source->totalSectors - sector);
    // Resized, not cleared first: a buffer used block after block is not zero-filled again.
    out.resize(static_cast<size_t>(available) * sectorSize);
    const uint32_t read = ReadInto(sector, static_cast<uint32_t>(available), out.data());
    out.resize(static_cast<size_t>(read) * sectorSize);
    return read > 0;
}

uint32_t CarvingContext::AppendSectorsAt(uint64_t sector, uint32_t count, ReadBuffer& out) const {
    if (!source || !source->IsOpen() || sector >= source->totalSectors || sectorSize == 0) return 0;
    const uint64_t available = std::min<uint64_t>(count, source->totalSectors - sector);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(available) * sectorSize);
    const uint32_t read = ReadInto(sector, static_cast<uint32_t>(available), out.data() + at);
    out.resize(at + static_cast<size_t>(read) * sectorSize);
    return read;
}

}  // namespace kestrune::carve
