// A deflate stream inside a carved file, inflated to its end: where gzip members and
// compressed SWF files end, since neither states its compressed length.
#pragma once

#include <cstdint>
#include <optional>

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

struct InflatedStream {
    uint64_t end = 0;       // the file offset right after the stream
    uint64_t produced = 0;  // bytes it inflated to
    uint32_t crc = 0;       // CRC-32 of those bytes
};

// Inflates from offset at: raw deflate, or with zlib's header and checksum. Nothing when
// the data is no deflate stream, the file ends first, it would inflate to more than
// maxProduced, or the walk is cancelled.
std::optional<InflatedStream> InflateStream(FileReader& file, uint64_t at, bool zlibWrapped,
                                            uint64_t maxProduced = UINT64_MAX);

}  // namespace kestrune::carve
