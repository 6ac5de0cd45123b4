#include "engines/carve/carve_pass.h"

#include <algorithm>
#include <vector>

#include "base/steady_clock.h"

namespace kestrune {

CarvePassResult CarveArea(CFileTypeRecovery& engine, uint64_t firstSector, uint64_t sectorCount,
                          const Reporter& reporter) {
    CarvePassResult pass;
    const uint32_t sectorSize = engine.SectorSize();
    const uint64_t blockSectors = std::max<uint64_t>(1, kReadPieceBytes / sectorSize);
    std::vector<uint8_t> block(static_cast<size_t>(blockSectors) * sectorSize);
    carve::PassProgress totals;
    totals.sectorsTotal = sectorCount;
    const uint64_t started = SteadyMilliseconds();
    uint64_t lastEstimate = started;
    uint64_t offset = 0;
    bool stopped = false;

    while (offset < sectorCount && !stopped) {
        const uint32_t wanted = static_cast<uint32_t>(std::min(blockSectors, sectorCount - offset));
        uint32_t read = 0;
        ReadSectors(wanted, engine.Source(), block.data(), firstSector + offset, static_cast<int>(sectorSize), read);
        uint64_t overshoot = 0;
        // A block that could not be read is passed over; what did arrive is examined.
        for (uint32_t i = 0; i < read;) {
            uint32_t skip = 1;
            totals.sectorsDone = offset + i;
            totals.filesFound = pass.filesFound;
            const ByteView sector(block.data() + size_t{i} * sectorSize, sectorSize);
            const int rc = engine.CarveAt(sector, firstSector + offset + i, totals, skip, pass.filesFound);
            if (rc != kOk && rc != kErrInvalidParameter && rc != kErrInvalidHandle) {
                pass.result = rc;
                stopped = true;
                break;
            }
            const uint64_t next = uint64_t{i} + skip;
            if (next > wanted) overshoot = next - wanted;
            i = static_cast<uint32_t>(std::min<uint64_t>(next, wanted));
        }
        offset += wanted + overshoot;
        pass.sectorsDone = std::min(offset, sectorCount);
        totals.sectorsDone = pass.sectorsDone;
        if (stopped) break;

        const uint64_t now = SteadyMilliseconds();
        if (now - lastEstimate >= 5000) {
            const uint64_t elapsed = std::max<uint64_t>(1, (now - started) / 1000);
            const uint64_t speed = std::max<uint64_t>(1, pass.sectorsDone * sectorSize / elapsed);
            totals.secondsRemaining = static_cast<int>(
                std::min<uint64_t>((sectorCount - pass.sectorsDone) * sectorSize / speed, INT32_MAX));
            lastEstimate = now;
        }
        const int percent = static_cast<int>(pass.sectorsDone * 100 / std::max<uint64_t>(1, sectorCount));
        if (int stop = reporter.Scanned(percent, totals.secondsRemaining, pass.sectorsDone, sectorCount, pass.filesFound);
            stop != 0) {
            pass.result = stop;
            stopped = true;
        }
    }
    if (!stopped) reporter.Scanned(100, 0, pass.sectorsDone, sectorCount, pass.filesFound);
    if (ScanLogFile* log = engine.Log()) {
        if (int rc = log->Flush(); rc != kOk && pass.result == kOk) pass.result = rc;
    }
    return pass;
}

}  // namespace kestrune
