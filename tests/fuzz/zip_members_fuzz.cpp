// Arbitrary bytes as a whole ZIP archive, its members checked against its directory, and
// as a small volume of 512-byte clusters whose first clusters hold an archive: the search
// for where it went on takes every other free cluster as a possible last one.
#include <cstdint>
#include <vector>

#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"
#include "fuzz_clusters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    kestrune::carve::ZipMembersHold(input);
    kestrune::carve::ZipDirectory(input.from(size / 3), size);

    const uint32_t clusters = static_cast<uint32_t>(size / kestrune::fuzz::kFuzzClusterBytes);
    if (clusters < 3) return 0;
    const kestrune::ClusterAccess access = kestrune::fuzz::InputAsClusters(data, size);
    const uint32_t half = clusters / 2;
    for (const uint64_t fileSize : {uint64_t{half} * kestrune::fuzz::kFuzzClusterBytes - 100, uint64_t{half - 1} * kestrune::fuzz::kFuzzClusterBytes + 10})
        kestrune::FindContinuation("archive.zip", fileSize, {{0, half}}, access);
    return 0;
}
