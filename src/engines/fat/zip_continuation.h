// Where a deleted archive (ZIP, and the office documents built on it) went on after its
// first piece, when the deletion cleared its chain.
//
// The end of an archive says where its own directory lies and the directory names every
// member with its header's offset, its size and its CRC. So the archive's last cluster is
// the free cluster that holds an end record at the offset the file's size gives, naming a
// directory that reaches exactly to it; the rest is taken as one run ending there. Where
// the first piece ends is then the one boundary at which every member's header and data
// check out. An archive written in more than two pieces, or one whose directory itself
// was split, is not found: it stays a guess, and its check says it is damaged.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/fat/continuation_search.h"

namespace kestrune {

// The archive's clusters (layout's first ones, then the run found), or nothing.
std::optional<std::vector<uint32_t>> FindZipContinuation(uint64_t size, const std::vector<uint32_t>& layout,
                                                         const ClusterAccess& access);

}  // namespace kestrune
