// A carving pass over an area: every sector offered to the carving step in turn, read in
// 64 KiB blocks, moving on by what the step says to skip (across block ends too).
#pragma once

#include <cstdint>

#include "engines/carve/file_type_recovery.h"

namespace kestrune {

struct CarvePassResult {
    int result = 0;             // 0, CancelCode when stopped, or why the carving failed
    uint64_t sectorsDone = 0;   // how far the pass got, in sectors from the area start
    uint64_t filesFound = 0;
};

// Carves [firstSector, firstSector + sectorCount) of the engine's source (absolute
// sectors), reporting the percent of it done after each block, then 100 at the end when
// not stopped.
CarvePassResult CarveArea(CFileTypeRecovery& engine, uint64_t firstSector, uint64_t sectorCount,
                          const Reporter& reporter = {});

}  // namespace kestrune
