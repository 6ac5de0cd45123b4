// LZNT1, the compression of NTFS compressed files, one compression unit at a time.
#pragma once

#include <cstdint>
#include <span>

#include "disk/byte_view.h"

namespace kestrune {

// Decompresses one compression unit (the unit's stored bytes) into output, which holds
// the whole unit. Each chunk fills its 4 KiB of the output; a chunk that gives back less
// and the chunks after the last one read as zeros. False when the unit is damaged: a
// chunk header naming bytes past the input, a back-reference before the start of its
// chunk, or a chunk that would give back more than 4 KiB or more than output holds.
bool DecompressLznt1Unit(ByteView input, std::span<uint8_t> output);

}  // namespace kestrune
