#include "engines/carve/deflate_stream.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace kestrune::carve {

std::optional<InflatedStream> InflateStream(FileReader& file, uint64_t at, bool zlibWrapped, uint64_t maxProduced) {
    z_stream z{};
    if (inflateInit2(&z, zlibWrapped ? 15 : -15) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out(64 * 1024);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t produced = 0;
    std::optional<InflatedStream> result;
    for (;;) {
        const ByteView data = file.Stream(at, 1);
        if (data.empty()) break;
        const size_t offered = std::min<size_t>(data.size(), 1 << 20);
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(offered);
        int status = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            status = inflate(&z, Z_NO_FLUSH);
            const size_t made = out.size() - z.avail_out;
            crc = crc32(crc, out.data(), static_cast<uInt>(made));
            produced += made;
        } while (status == Z_OK && z.avail_out == 0 && produced <= maxProduced);
        at += offered - z.avail_in;
        if (status == Z_STREAM_END && produced <= maxProduced) {
            result = InflatedStream{at, produced, static_cast<uint32_t>(crc)};
            break;
        }
        if ((status != Z_OK && status != Z_BUF_ERROR) || produced > maxProduced || file.Cancelled()) break;
    }
    inflateEnd(&z);
    return result;
}

}  // namespace kestrune::carve
