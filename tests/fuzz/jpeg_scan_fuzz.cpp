// Arbitrary bytes as a JPEG through the header reader and the picture-data decoder, and as
// a small volume of 512-byte clusters whose first clusters hold a photo: the search for
// where the photo went on walks every other cluster as free.
#include <cstdint>
#include <vector>

#include "engines/carve/jpeg_scan.h"
#include "engines/fat/continuation_search.h"
#include "fuzz_clusters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    kestrune::carve::CheckJpegToEnd(input, size);
    kestrune::carve::CheckJpegToEnd(input, size / 2);

    const uint32_t clusters = static_cast<uint32_t>(size / kestrune::fuzz::kFuzzClusterBytes);
    if (clusters < 3) return 0;
    const kestrune::ClusterAccess access = kestrune::fuzz::InputAsClusters(data, size);
    const uint64_t fileSize = uint64_t{clusters / 2} * kestrune::fuzz::kFuzzClusterBytes - 100;
    kestrune::FindContinuation("photo.jpg", fileSize, {{0, clusters / 2}}, access);
    return 0;
}
