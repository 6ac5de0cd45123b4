// Where a found file's data lies on its source, worked out from the file system's records
// without reading the data: what a report lists, and what tells how much of a file newer
// files wrote over.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrune {

// A stretch of a found file's data on its source: length bytes of the file from fileOffset
// lie at sourceOffset, in bytes from the start of the source (the disk or the image).
struct ByteRun {
    uint64_t fileOffset = 0;
    uint64_t sourceOffset = 0;
    uint64_t length = 0;
    bool operator==(const ByteRun&) const = default;
};

// Where a file's data lies, as a reader would read it: in file order, neighbours joined,
// the last cut at the file's size.
struct DataMap {
    std::vector<ByteRun> runs;
    // The metadata left more than one way to lay the file out (deleted files written round
    // each other), and nothing in its bytes said which: these runs are the likeliest.
    bool layoutGuessed = false;
};

// Bytes of a found file that could not be read from its source (bad sectors): a copy holds
// zeros there and is kept only as partial.
struct UnreadableRange {
    uint64_t fileOffset = 0;
    uint64_t length = 0;
    bool operator==(const UnreadableRange&) const = default;
};

}  // namespace kestrune
