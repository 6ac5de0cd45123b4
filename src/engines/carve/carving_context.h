// CarvingContext: what the detectors and length rules of one carving engine share.
//
// The engine owns it and passes it to every detector and length rule, so that two
// engines (say, a deep scan and a quick scan's content check) never see each other's
// position, read-ahead buffer or transport-stream state.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/recovery_engine.h"

namespace kestrune::carve {

// A detector's answer when no file of any known type starts at the sector.
inline constexpr int kNoType = 49;
inline constexpr size_t kReadAheadBytes = 65536;

// Progress figures of the pass that runs the carving step.
struct PassProgress {
    uint64_t sectorsDone = 0;
    uint64_t sectorsTotal = 0;
    uint64_t filesFound = 0;
    int secondsRemaining = -1;
};

// Bytes read ahead in a walk: growing it leaves the new bytes as they are instead of
// zeroing them, since a read fills them at once (zeroing was a twentieth of a deep pass).
template <typename T>
struct ReadIntoAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = ReadIntoAllocator<U>;
    };
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) ::new (static_cast<void*>(at)) U;
        else ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};
using ReadBuffer = std::vector<uint8_t, ReadIntoAllocator<uint8_t>>;

struct CarvingContext {
    uint32_t sectorSize = 512;
    SectorSource* source = nullptr;
    // The sector the carving step examines, and the one a detector reading from the
    // source looks at: the same in the carving step, the read-ahead cursor when the
    // length rules test following sectors for a foreign file.
    uint64_t position = 0;
    uint64_t cursor = 0;

    // Where the pass reports while a length rule reads far ahead, and what stops it.
    Reporter reporter;
    PassProgress totals;
    int cancelValue = 0;
    // Cleared when a file's length came from walking until something else starts, not from
    // its own structure: where it ends is then a guess.
    bool endConfirmed = true;

    std::vector<uint8_t> readAhead = std::vector<uint8_t>(kReadAheadBytes);
    // The block the pass is examining, from the absolute sector passBlockFirst on: a walk
    // takes the sectors it holds from there instead of reading them again.
    ByteView passBlock;
    uint64_t passBlockFirst = 0;
    // Transport-stream state: the flag stays set while no other type has been found
    // since; M2TS is set right after an M2TS file was found.
    bool transportStreamFlag = false;
    bool m2tsFlag = false;
    std::vector<std::pair<uint64_t, uint64_t>> transportStreamExtents;

    // Reads count sectors at sector into out (resized); false when nothing could be read.
    // Short reads at the end of the source give the sectors that exist.
    bool ReadSectorsAt(uint64_t sector, uint32_t count, std::vector<uint8_t>& out) const;
    // The same, appended to out: the sectors read, at most count.
    uint32_t AppendSectorsAt(uint64_t sector, uint32_t count, ReadBuffer& out) const;

private:
    // Reads count sectors into `into`: those the pass block holds from there, the rest
    // from the source. The sectors read.
    uint32_t ReadInto(uint64_t sector, uint32_t count, uint8_t* into) const;
};

}  // namespace kestrune::carve
