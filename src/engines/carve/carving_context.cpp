#include "engines/carve/carving_context.h"

#include <algorithm>

namespace kestrune::carve {

bool CarvingContext::ReadSectorsAt(uint64_t sector, uint32_t count, std::vector<uint8_t>& out) const {
    if (!source || !source->IsOpen() || sector >= source->totalSectors || sectorSize == 0) {
        out.clear();
        return false;
    }
    const uint64_t available = std::min<uint64_t>(count, source->totalSectors - sector);
    // Resized, not cleared first: a buffer used block after block is not zero-filled again.
    out.resize(static_cast<size_t>(available) * sectorSize);
    uint32_t read = 0;
    ReadSectors(static_cast<uint32_t>(available), *source, out.data(), sector, static_cast<int>(sectorSize), read);
    out.resize(static_cast<size_t>(read) * sectorSize);
    return read > 0;
}

uint32_t CarvingContext::AppendSectorsAt(uint64_t sector, uint32_t count, std::vector<uint8_t>& out) const {
    if (!source || !source->IsOpen() || sector >= source->totalSectors || sectorSize == 0) return 0;
    const uint64_t available = std::min<uint64_t>(count, source->totalSectors - sector);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(available) * sectorSize);
    uint32_t read = 0;
    ReadSectors(static_cast<uint32_t>(available), *source, out.data() + at, sector, static_cast<int>(sectorSize), read);
    out.resize(at + static_cast<size_t>(read) * sectorSize);
    return read;
}

}  // namespace kestrune::carve
