// ext directory blocks: entries of an inode number, a record length, a name length, a
// file type and the name. Deleting an entry only stretches the record before it over it
// (or, for the first entry of a block, clears its inode number), so the name and inode
// number of a deleted file stay in that record's unused tail until a new entry is
// written there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_view.h"

namespace kestrune {

namespace ext {
inline constexpr uint8_t kRegularFile = 1, kDirectoryFile = 2;
}  // namespace ext

struct ExtDirEntry {
    uint32_t inode = 0;
    uint8_t fileType = 0;  // 1 file, 2 folder, ... (0 when the volume keeps no types)
    std::string name;
    bool deleted = false;
    size_t offset = 0;  // in the block
};

// The entries of one directory block, live ones and those a deletion left in the tails;
// "." and ".." and the checksum tail are left out. indexedRoot: the block is the first
// of a hashed folder, whose ".." record holds the index, not old entries. A block that
// is an inner node of a hashed folder's index holds no entries.
std::vector<ExtDirEntry> ParseDirectoryBlock(ByteView block, uint32_t inodeCount, bool indexedRoot);

// Whether a block is laid out as a directory block: records that follow each other to its
// end exactly, each long enough for its name.
bool LooksLikeDirectoryBlock(ByteView block);
// Whether it is the first block of a hashed folder: "." and a ".." record that holds the
// index root.
bool IsIndexRoot(ByteView block);

// The folder above the one whose first directory block this is (its ".." entry); 0 when
// the block does not begin with "." and "..".
uint32_t ParentInDirectoryBlock(ByteView block);

}  // namespace kestrune
