// FileReader: the bytes of a file being carved, from its first byte on, for the walks
// that find a file's end in its own structure.
//
// It reads ahead through ReadAhead, so it never goes past the first foreign sector, a
// failed read or the type's maximum: a walk that asks for bytes beyond those learns that
// the file, as it lies on the disk, does not hold them, and the caller falls back to the
// type's plain rule. Walks mostly move forward; the reader keeps the bytes from the last
// requested offset on, and serves the rare step back (a TIFF directory, a ZIP central
// directory) by reading the sectors again.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/carve/length_rules.h"
#include "engines/carve/signature_table.h"

namespace kestrune::carve {

class FileReader {
public:
    // ownType: see ReadAhead.
    FileReader(ByteView firstSector, CarvingContext& context, uint64_t maxBytes, int ownType = kNoType);

    // The bytes [offset, offset + length) of the file; empty when the file does not reach
    // that far. length is at most kMaxRead. A view stays valid only until the next call.
    ByteView Read(uint64_t offset, size_t length);
    // The bytes at hand from offset on, at least atLeast of them when the file has them
    // (fewer only at the file's end); reads ahead when needed. Empty past the end.
    ByteView Stream(uint64_t offset, size_t atLeast = 1);
    // Whether the file reaches end bytes: every sector up to there read and not foreign.
    bool Reaches(uint64_t end);
    // The file's bytes known so far: its first sector and the sectors read ahead.
    uint64_t CountedBytes() const { return walk_.CountedBytes(); }
    bool Cancelled() const { return context_.cancelValue != 0; }

    static constexpr size_t kMaxRead = 1 << 20;

private:
    // Appends the next read-ahead block, or only counts it when the window is empty and
    // the block ends before wantedFrom; false when the walk is over.
    bool Pull(uint64_t wantedFrom = 0);

    CarvingContext& context_;
    ReadAhead walk_;
    ReadBuffer window_;
    uint64_t windowStart_ = 0;  // file offset of window_[0]
    std::vector<uint8_t> scratch_;
};

// A structure walk: the file's exact length, or nothing when the structure cannot be
// followed to its end (damaged, cut short, or a foreign sector in the way).
using StructureWalk = std::optional<uint64_t> (*)(FileReader& file);

// The length a walk finds, else the plain rule's. A walk that was cancelled gives what
// was counted without reading further.
uint64_t WalkOrFallback(StructureWalk walk, ByteView sector, CarvingContext& context, uint64_t maxBytes,
                        LengthFn fallback, int ownType = kNoType);

}  // namespace kestrune::carve
