// Where a deleted movie (MP4, MOV, 3GP) went on after its first piece, when the deletion
// cleared its chain.
//
// The movie atom lists every frame's offset and size, and a video frame's own bytes say
// whether it is one. Read along the first piece, the frames hold up to where the piece
// ended and break after it: a binary search over them finds that point, and the piece
// ends at a cluster boundary between the last frame that holds and the first that does
// not. The movie atom lies either at the file's start (a movie made for streaming), and
// then each free cluster after the piece is tried as the start of the rest; or after the
// media data, where the media atom's size says: the free cluster that shows it at that
// offset anchors the rest, which runs over the free clusters around it. A rest is taken
// when the frames about the join, frames spread over the rest and the last one all hold
// and the top-level atoms reach the file's size. A movie in more than two pieces is not
// found: it stays a guess, and its check says it is damaged.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/fat/continuation_search.h"

namespace kestrune {

// The movie's clusters (the layout's first ones, then the rest found), or nothing.
std::optional<std::vector<uint32_t>> FindMovieContinuation(uint64_t size, const std::vector<uint32_t>& layout,
                                                           const ClusterAccess& access);

}  // namespace kestrune
