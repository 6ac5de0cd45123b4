#include "engines/ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

#include "engines/ntfs/layout.h"

namespace kestrune {

using namespace ntfs;

namespace {

// One compressed chunk into out (at most 4 KiB); false when its tokens lie.
bool DecompressChunk(ByteView chunk, std::span<uint8_t> out) {
    size_t in = 0, at = 0;
    while (in < chunk.size()) {
        const uint8_t flags = chunk.u8(in++);
        for (int bit = 0; bit < 8 && in < chunk.size(); ++bit) {
            if ((flags & (1u << bit)) == 0) {
                if (at >= out.size()) return false;
                out[at++] = chunk.u8(in++);
                continue;
            }
            if (!chunk.has(in, 2)) return false;
            const uint16_t token = chunk.le16(in);
            in += 2;
            // The further into the chunk, the more bits the distance takes from the length.
            unsigned offsetBits = 4;
            for (size_t left = at - (at > 0 ? 1 : 0); left >= 0x10; left >>= 1) ++offsetBits;
            const unsigned lengthBits = 16 - offsetBits;
            const size_t distance = (token >> lengthBits) + 1u;
            const size_t length = (token & ((1u << lengthBits) - 1)) + 3u;
            if (distance > at || length > out.size() - at) return false;
            // The copy may overlap what it writes: byte by byte, as the format means.
            for (size_t i = 0; i < length; ++i, ++at) out[at] = out[at - distance];
        }
    }
    return true;
}

}  // namespace

bool DecompressLznt1Unit(ByteView input, std::span<uint8_t> output) {
    std::fill(output.begin(), output.end(), uint8_t{0});
    size_t in = 0, out = 0;
    while (in + 2 <= input.size() && out < output.size()) {
        const uint16_t header = input.le16(in);
        if (header == 0) break;  // the unit's data end here; the rest is zeros
        const size_t size = (header & kLznt1ChunkSizeMask) + 1u;
        const ByteView chunk = input.sub(in + 2, size);
        if (chunk.empty()) return false;
        const std::span<uint8_t> room = output.subspan(out, std::min(kLznt1ChunkBytes, output.size() - out));
        if (header & kLznt1ChunkCompressed) {
            if (!DecompressChunk(chunk, room)) return false;
        } else {
            if (size > room.size()) return false;
            std::memcpy(room.data(), chunk.data(), size);
        }
        in += 2 + size;
        out += kLznt1ChunkBytes;
    }
    return true;
}

}  // namespace kestrune
