// Walks that find where a video or animation file ends from its own structure: atoms,
// elements, tags, packs, packets, chunks and objects, each with its length. Each gives
// the exact length, or nothing when the structure cannot be followed to its end (then
// the type's plain rule decides).
#pragma once

#include <string_view>

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// video_walks.cpp
// Whether an atom of this type stands at the top level of ISO media and QuickTime files.
bool IsTopLevelAtom(std::string_view type);
// MP4, MOV and 3GP: the top-level atoms, from the file type atom to the last one.
std::optional<uint64_t> WalkIsoMedia(FileReader& file);
// Matroska and WebM: the EBML header and the segment, by its size or, when the writer
// left it unknown, by the elements in it.
std::optional<uint64_t> WalkMatroska(FileReader& file);
// FLV: the tags, each followed by its size again.
std::optional<uint64_t> WalkFlv(FileReader& file);
// MPEG program streams: packs, system headers and packets to the end code, or to the
// last whole packet when the writer left the end code out.
std::optional<uint64_t> WalkMpegProgram(FileReader& file);

// stream_walks.cpp
// MXF: the KLV items from the header partition to the footer and its random index pack.
std::optional<uint64_t> WalkMxf(FileReader& file);
// RealMedia: the chunks from the file header to the last one.
std::optional<uint64_t> WalkRealMedia(FileReader& file);
// ASF: the file size its header states, when the top-level objects add up to it.
std::optional<uint64_t> WalkAsf(FileReader& file);
// AVI: the RIFF chunk, its sub-chunks adding up to its size, and the OpenDML extension
// chunks that follow it.
std::optional<uint64_t> WalkAvi(FileReader& file);
// SWF: a compressed file ends where its zlib stream does, if that stream inflates to the
// length its header states.
std::optional<uint64_t> WalkCompressedSwf(FileReader& file);

// Whether a sector starts an uncompressed or zlib-compressed SWF file with a sane
// header: frame size, rate and count, and a plausible first tag.
bool IsSwfHeader(ByteView sector);

// How MPEG transport streams are packed: 188-byte packets, or (M2TS) 192-byte ones whose
// 4-byte arrival time comes before the sync byte.
struct PacketLayout {
    size_t packetBytes;
    size_t syncOffset;
};
inline constexpr PacketLayout kTsPackets{188, 0};
inline constexpr PacketLayout kM2tsPackets{192, 4};

// Whether a packet's header is one a transport stream holds: the sync byte, and a
// payload or adaptation field (the reserved "neither" marks no real packet).
bool IsTransportPacket(ByteView data, size_t at, PacketLayout layout);

}  // namespace kestrune::carve
