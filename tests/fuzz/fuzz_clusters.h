// The fuzz input as a small volume of 512-byte clusters, for the searches that look for
// where a deleted file went on: every third cluster is held by a live file, the rest are
// free.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/fat/continuation_search.h"

namespace kestrune::fuzz {

inline constexpr uint32_t kFuzzClusterBytes = 512;

inline ClusterAccess InputAsClusters(const uint8_t* data, size_t size) {
    const uint32_t clusters = static_cast<uint32_t>(size / kFuzzClusterBytes);
    ClusterAccess access;
    access.clusterBytes = kFuzzClusterBytes;
    access.firstCluster = 0;
    access.read = [data, clusters](uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out) {
        if (cluster >= clusters || bytes > kFuzzClusterBytes) return false;
        out.assign(data + size_t{cluster} * kFuzzClusterBytes, data + size_t{cluster} * kFuzzClusterBytes + bytes);
        return true;
    };
    access.nextFree = [clusters](uint32_t cluster, uint32_t& next) {
        for (uint64_t c = uint64_t{cluster} + 1; c < clusters; ++c)
            if (c % 3 != 2) {
                next = static_cast<uint32_t>(c);
                return true;
            }
        return false;
    };
    return access;
}

}  // namespace kestrune::fuzz
