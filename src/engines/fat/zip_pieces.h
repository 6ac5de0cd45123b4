// An archive deleted in three or more pieces, followed from member to member.
//
// The directory gives each member's header offset and name, so the cluster that holds a
// header must show "PK\3\4" and that name at the offset within it; and the data between
// two headers is the member before, which must inflate to its CRC. Walking the headers in
// order, a header not where the current piece puts it starts a new piece: the free cluster
// that shows it, and the boundary before it at which the member before checks out.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"

namespace kestrune {

struct ZipPieceSearch {
    const ClusterAccess& access;
    uint64_t size = 0;
    std::vector<uint32_t> layout;      // the first piece's reading, a cluster per file cluster
    std::vector<uint32_t> tail;        // the last piece's reading where known, else 0
    std::vector<carve::ZipMember> members;
    uint64_t directoryAt = 0;
    uint64_t* readBudget = nullptr;    // bytes the search may still read
    uint64_t* checkBudget = nullptr;   // bytes it may still inflate
};

// The archive's clusters, each member found and checked and the whole archive holding
// along them; nothing when a header cannot be found or no boundary fits.
std::optional<std::vector<uint32_t>> FollowZipPieces(const ZipPieceSearch& search);

}  // namespace kestrune
