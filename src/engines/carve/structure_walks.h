// Walks that find where a file ends from its own structure: segment, chunk and block
// lengths, directories and size fields. Each answers the exact length, or nothing when
// the structure cannot be followed (then the type's plain rule decides).
#pragma once

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// picture_walks.cpp
std::optional<uint64_t> WalkJpeg(FileReader& file);
std::optional<uint64_t> WalkPng(FileReader& file);
std::optional<uint64_t> WalkGif(FileReader& file);
std::optional<uint64_t> WalkTiff(FileReader& file);
// archive_walks.cpp
std::optional<uint64_t> WalkZip(FileReader& file);
std::optional<uint64_t> WalkGzip(FileReader& file);
std::optional<uint64_t> Walk7zip(FileReader& file);
// rar_walk.cpp
std::optional<uint64_t> WalkRar(FileReader& file);
// document_walks.cpp
std::optional<uint64_t> WalkPdf(FileReader& file);
std::optional<uint64_t> WalkSqlite(FileReader& file);

// BMP states its size in its header; the pixel data it describes tells whether that
// size can be trusted. Nothing when the header does not describe the pixels fully.
std::optional<uint64_t> BmpStructureLength(ByteView header);
// Whether a sector holds a BMP file header with a DIB header of a known kind and sane
// dimensions.
bool IsBmpHeader(ByteView sector);
// Whether a sector starts with the mark of a RAR archive, of the old or the new format.
bool IsRarStart(ByteView sector);
// Whether the deflate data after a gzip member's header, as far as the sector holds it,
// inflates without error.
bool GzipStartInflates(ByteView sector);

}  // namespace kestrune::carve
