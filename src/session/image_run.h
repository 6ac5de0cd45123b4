// Copying a disk, a partition or an image into an image file, for every front end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "session/destination.h"
#include "base/run_progress.h"
#include "session/scan_source.h"

namespace kestrune {

struct ImageRequest {
    ScanSource source;
    std::filesystem::path destination;
    bool skipBad = false;  // copied as ddrescue does; unreadable sectors become zeros, DEST.map says where
    bool resume = false;   // go on from DEST.map
    int retries = 0;
    uint64_t minReadRate = 0;
    std::string commandLine;
};

struct ImageOutcome {
    DestinationProblem problem = DestinationProblem::None;  // set when the copy never began
    int openResult = 0;      // why the source could not be opened, when it could not
    uint64_t sectorsCopied = 0;
    uint64_t sectorsTotal = 0;
    uint32_t sectorBytes = 512;
    // Where the image is: the destination after a whole copy, "NAME.partial.img" after a
    // copy that stopped part-way, empty when nothing was left.
    std::filesystem::path keptAs;
    std::filesystem::path mapPath;  // with skipBad, when a map was written (or tried)
    int mapResult = 0;
    uint64_t badRanges = 0;
};

// Copies the source into the destination. Returns 0, CancelCode, or the failure (the
// outcome says what is left and where); a refused destination gives kErrInvalidParameter
// with outcome.problem set, a source that cannot be opened its result code.
int CreateImage(const ImageRequest& request, const ProgressSink& sink, const CancelToken* cancel,
                ImageOutcome& outcome);

}  // namespace kestrune
