// The pictures of an MP4, MOV or 3GP movie, where its movie atom says they lie: each
// video track's sample tables give every frame's offset and size in the file, and a
// frame's own bytes say whether it is one. H.264 and H.265 frames are NAL units, each led
// by its length, that add up to exactly the frame's size; MPEG-4 part 2 frames begin with
// a start code; motion JPEG frames with a JPEG's markers. A cluster of another file in
// the media data breaks the frames it lands in, though the atoms around it are right.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "disk/byte_view.h"

namespace kestrune::carve {

enum class FrameCoding : uint8_t { Avc, Hevc, StartCode, Jpeg };

struct VideoTrack {
    FrameCoding coding = FrameCoding::Avc;
    uint8_t lengthBytes = 4;  // of each NAL unit's length, for AVC and HEVC
};

struct MovieFrame {
    uint64_t offset = 0;
    uint32_t size = 0;
    uint8_t track = 0;  // in MovieFrames::tracks
};

struct MovieFrames {
    std::vector<VideoTrack> tracks;
    std::vector<MovieFrame> frames;  // by offset
};

// An atom at the top level of the file.
struct TopAtom {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t type = 0;  // the four characters, big-endian
};

constexpr uint32_t AtomType(const char (&four)[5]) {
    return uint32_t{uint8_t(four[0])} << 24 | uint32_t{uint8_t(four[1])} << 16 | uint32_t{uint8_t(four[2])} << 8 |
           uint8_t(four[3]);
}

// The file's bytes [at, at + length), or an empty view when they cannot be had; the view
// lasts until the next call.
using MovieBytes = std::function<ByteView(uint64_t at, size_t length)>;

// The top-level atoms from the one at `from` on (the file's start unless told), as far
// as they can be followed: the walk stops at anything that is not one. complete is set
// when the last ends exactly at the file's size.
std::vector<TopAtom> TopAtoms(const MovieBytes& bytes, uint64_t fileSize, bool& complete, uint64_t from = 0);

// The frames a movie atom (the whole atom, its header first) lays out in a file of
// fileSize bytes. Nothing when it does not parse, lays a frame outside the file, or
// names no video frame whose coding can be checked.
std::optional<MovieFrames> ReadMovieFrames(ByteView movieAtom, uint64_t fileSize);

// Whether the bytes at a frame's place are a frame of its track's coding. Read whole
// (wholeUnits), an H.264 or H.265 unit must also be free of the three-byte sequences its
// coder escapes (00 00 00, 00 00 01, 00 00 02) and end in its stop bit: that reaches into
// the data between the units' lengths, where another file's bytes would otherwise pass.
bool FrameHolds(const MovieBytes& bytes, const MovieFrame& frame, const VideoTrack& track, bool wholeUnits = false);

// Whether every video frame of a whole movie holds: nothing when it cannot be told (no
// whole movie atom, or no track whose frames can be checked).
std::optional<bool> MovieFramesHold(ByteView file);

// Whether a file of this name is a movie whose frames are checked (by extension).
bool IsMovieName(std::string_view name);

// The largest movie atom read: one of a long film holds a few megabytes of tables.
inline constexpr uint64_t kMostMovieAtomBytes = 64ull << 20;

}  // namespace kestrune::carve
