// Arbitrary bytes as a whole ZIP archive, its members checked against its directory, and
// as a small volume of 512-byte clusters whose first clusters hold an archive: the search
// for where it went on takes every other free cluster as a possible last one.
#include <cstdint>
#include <vector>

#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    kestrune::carve::ZipMembersHold(input);
    kestrune::carve::ZipDirectory(input.from(size / 3), size);

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
    const uint32_t half = clusters / 2;
    for (const uint64_t fileSize : {uint64_t{half} * kCluster - 100, uint64_t{half - 1} * kCluster + 10})
        kestrune::FindContinuation("archive.zip", fileSize, {{0, half}}, access);
    return 0;
}
