// Arbitrary bytes as a JPEG through the header reader and the picture-data decoder, and as
// a small volume of 512-byte clusters whose first clusters hold a photo: the search for
// where the photo went on walks every other cluster as free.
#include <cstdint>
#include <vector>

#include "engines/carve/jpeg_scan.h"
#include "engines/fat/continuation_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    kestrune::carve::CheckJpegToEnd(input, size);
    kestrune::carve::CheckJpegToEnd(input, size / 2);

    constexpr uint32_t kCluster = 512;
    const uint32_t clusters = static_cast<uint32_t>(size / kCluster);
    if (clusters < 3) return 0;
    kestrune::ClusterAccess access;
    access.clusterBytes = kCluster;
    access.firstCluster = 0;
    access.read = [&](uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out) {
        if (cluster >= clusters || bytes > kCluster) return false;
        out.assign(data + size_t{cluster} * kCluster, data + size_t{cluster} * kCluster + bytes);
        return true;
    };
    access.nextFree = [&](uint32_t cluster, uint32_t& next) {
        // Every third cluster is held by a live file.
        for (uint64_t c = uint64_t{cluster} + 1; c < clusters; ++c)
            if (c % 3 != 2) {
                next = static_cast<uint32_t>(c);
                return true;
            }
        return false;
    };
    const uint64_t fileSize = uint64_t{clusters / 2} * kCluster - 100;
    kestrune::FindContinuation("photo.jpg", fileSize, {{0, clusters / 2}}, access);
    return 0;
}
