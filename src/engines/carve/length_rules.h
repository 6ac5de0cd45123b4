// The machinery the length rules share: reading ahead block by block, stopping at the
// first sector that belongs to something else, and end markers that must sit at the
// end of their data.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "disk/byte_view.h"
#include "engines/carve/carving_context.h"

namespace kestrune::carve {

inline constexpr uint64_t KiB = 1024;
inline constexpr uint64_t MiB = 1024 * KiB;
inline constexpr uint64_t GiB = 1024 * MiB;

// Walks the sectors after a file's first sector in 64 KiB blocks. Before each block it
// reports progress (a non-zero answer becomes the context's cancel value and ends the
// walk); each block is cut before its first foreign sector, a sector where another file
// or file-system metadata starts, and the walk ends there, at a failed read, or when
// maxBytes of following sectors have been counted.
class ReadAhead {
public:
    // ownType: a type whose hits are not foreign either, for streams whose every frame
    // looks like the start of a file of their type (MP2).
    ReadAhead(CarvingContext& context, uint64_t maxBytes, bool ignoreMpeg = false, int ownType = kNoType);

    // The next block's usable bytes; false when the walk is over.
    bool Next(ByteView& block);
    // The same, with the block's bytes appended to into instead of kept here; nothing of
    // the walk is appended when it is over.
    bool Append(ReadBuffer& into, ByteView& block);
    // Byte offset, from the file's start, of the block Next returned last.
    uint64_t BlockOffset() const { return blockOffset_; }
    // The first sector plus every usable sector walked so far, in bytes.
    uint64_t CountedBytes() const { return (1 + countedSectors_) * context_.sectorSize; }

private:
    // The sectors the next block asks for, after the progress report; 0 when over.
    uint64_t WantedSectors();
    // Counts the sectors read up to the first foreign one; the usable sectors.
    size_t Count(const uint8_t* sectors, size_t sectorsRead, uint64_t wanted);

    CarvingContext& context_;
    uint64_t maxSectors_;
    bool ignoreMpeg_;
    int ownType_;
    uint64_t countedSectors_ = 0;
    uint64_t blockOffset_ = 0;
    bool over_ = false;
    std::vector<uint8_t> buffer_;
};

// The first sector only: its length as a file length.
inline uint64_t OneSector(const CarvingContext& context) { return context.sectorSize; }

// The length of a walk that found no end of its file: every sector it counted, the
// context noting that the end is a guess.
inline uint64_t CountedWithoutEnd(CarvingContext& context, const ReadAhead& walk) {
    context.endConfirmed = false;
    return walk.CountedBytes();
}

// Length by walking until a foreign sector, a failed read or maxBytes (ownType as for
// ReadAhead); the context then notes that the end is a guess.
uint64_t UntilForeign(CarvingContext& context, uint64_t maxBytes, bool ignoreMpeg = false, int ownType = kNoType);

// Finds marker in data from offset from, accepting only an occurrence that ends its data:
// its end falls on a sector boundary of the file, or every byte after it up to the end of
// its sector is zero. dataOffset is data's offset from the file's start. Returns the file
// length the marker gives (offset of its end from the file's start).
std::optional<uint64_t> FindPaddedEnd(ByteView data, uint64_t dataOffset, std::string_view marker,
                                      uint32_t sectorSize, size_t from = 0);

// Position of the first or last occurrence of needle in data.
std::optional<size_t> FindFirst(ByteView data, std::string_view needle, size_t from = 0);
std::optional<size_t> FindLast(ByteView data, std::string_view needle);

// Byte-string literal helper: Bytes("\x50\x4B\x05\x06") keeps embedded NULs.
template <size_t N>
constexpr std::string_view Bytes(const char (&text)[N]) {
    return std::string_view(text, N - 1);
}

}  // namespace kestrune::carve
