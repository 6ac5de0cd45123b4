// Where a deleted photo went on after its first piece, when the deletion cleared its
// chain and neither the plain reading nor the claims of other deleted files give it.
//
// The entry still gives the first cluster and the size. Read along a wrong layout, the
// picture's compressed data breaks a little after the point where the layout left the
// file; the file's first piece ends at a cluster boundary at or before that point. From
// the decoder's state at each such boundary, each free cluster (in the order the driver
// would have handed them out: on from there, then from the volume's start) is tried as
// the start of the rest: the one along which the picture decodes on to its end marker at
// exactly the file's size is taken. When none does, the file is damaged and says so.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "disk/sector_source.h"
#include "engines/fat/freed_cluster_claims.h"

namespace kestrune {

struct ClusterAccess {
    uint32_t clusterBytes = 0;
    uint32_t firstCluster = 2;  // the lowest data cluster
    // Reads the first `bytes` (whole sectors) of a cluster; false when it cannot be read.
    std::function<bool(uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out)> read;
    // The first cluster after cluster that no live file holds; false past the last.
    std::function<bool(uint32_t cluster, uint32_t& next)> nextFree;
};

// A ClusterAccess::read over a volume's sectors: clusterSector gives where a cluster
// begins, or nothing for a cluster outside the volume.
std::function<bool(uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out)> ClusterReader(
    SectorSource& source, uint32_t sectorBytes, std::function<std::optional<uint64_t>(uint32_t cluster)> clusterSector);

// The free clusters in the order a driver hands them out after `from`: on from there to
// the volume's end, then from its start up to `from`.
class DriverOrder {
public:
    DriverOrder(const ClusterAccess& access, uint32_t from) : access_(access), from_(from), cursor_(from) {}
    // The next free cluster; false once the round is done.
    bool Next(uint32_t& cluster);

private:
    const ClusterAccess& access_;
    uint32_t from_, cursor_;
    bool wrapped_ = false;
};

// The free clusters that end at last, count of them in the order a driver hands them
// out (so that live files' clusters are stepped over), or fewer when the volume's start
// comes first.
std::vector<uint32_t> FreeRunEndingAt(const ClusterAccess& access, uint32_t last, size_t count);

// Whether the search knows this file's type: JPEG pictures, whose data is followed as it
// decodes, ZIP archives (office documents among them), whose directory names every
// member, and movies, whose movie atom places every frame.
bool ContinuationSearchable(std::string_view name);
bool IsJpegName(std::string_view name);

// The layout along which the file's content holds to its end: the first clusters of tried
// and a continuation found among the free clusters. Nothing when no candidate fits within
// the search's bounds, or the type cannot be followed.
std::optional<std::vector<ClusterRun>> FindContinuation(std::string_view name, uint64_t size,
                                                        const std::vector<ClusterRun>& tried,
                                                        const ClusterAccess& access);

}  // namespace kestrune
