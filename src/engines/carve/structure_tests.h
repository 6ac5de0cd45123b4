// Tests that tell file-system metadata from file data. The deep scan ends a carved file
// at such a sector; the FAT engines use the entry and directory tests to find directories.
#pragma once

#include "disk/byte_view.h"

namespace kestrune::carve {

// NTFS records and index blocks, NTFS log pages, boot sectors and FAT directory sectors.
bool IsFileSystemStructure(ByteView sector);

// Whether a 32-byte FAT directory entry could have been written by a file system; next
// is the entry after it (empty when there is none). Dot pairs are accepted at once.
bool IsPlausibleFatEntry(ByteView entry, ByteView next);

// Whether the sector looks like a sector of a FAT directory (every entry plausible, long
// names consistent with their short entries, the rest zero after the last entry).
bool IsFatDirectorySector(ByteView sector);

// The checksum a short name gives its long-name entries.
uint8_t ShortNameChecksum(ByteView entry);

}  // namespace kestrune::carve
