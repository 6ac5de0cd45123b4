// An ext2/3/4 volume as its superblock and group descriptors describe it: the geometry,
// checked against itself; inodes read from their tables; a file's blocks from its extent
// tree or its indirect block map; which blocks are in use.
//
// The superblock is kept in several groups. A primary that fails its checks (a stray
// write over the volume's first kilobytes) is replaced by the backup in group 1, as
// e2fsck does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"

namespace kestrune {

enum class ExtVersion { Ext2, Ext3, Ext4 };
const char* ExtVersionName(ExtVersion version);

struct ExtGeometry {
    uint64_t volumeOffset = 0;  // bytes from the source's start to the volume's
    uint64_t volumeBytes = 0;   // what the area holds
    uint32_t blockSize = 1024;
    uint64_t blockCount = 0;
    uint32_t firstDataBlock = 0;
    uint32_t blocksPerGroup = 0;
    uint32_t inodesPerGroup = 0;
    uint32_t inodeCount = 0;
    uint32_t inodeSize = 128;
    uint32_t descriptorSize = 32;
    uint32_t groupCount = 0;
    uint32_t featureCompat = 0, featureIncompat = 0, featureRoCompat = 0;
    uint32_t journalInode = 0;
    ExtVersion version = ExtVersion::Ext2;
    bool fromBackup = false;  // the primary superblock failed its checks

    bool HasJournal() const { return featureCompat & 0x4; }
    bool Is64Bit() const { return featureIncompat & 0x80; }
    bool HasExtents() const { return featureIncompat & 0x40; }
    bool HasInlineData() const { return featureIncompat & 0x8000; }
    uint64_t BlockOffset(uint64_t block) const { return volumeOffset + block * blockSize; }
    bool IsBlock(uint64_t block) const { return block >= firstDataBlock && block < blockCount; }
};

// The geometry a superblock (1024 bytes) gives for a volume of volumeBytes; false, with
// a reason, when it is not one or does not fit.
bool ExtGeometryFromSuperblock(ByteView superblock, uint64_t volumeBytes, ExtGeometry& out, std::string& why);
// The version a superblock's features make: ext4 with extents, 64-bit or flexible groups,
// ext3 with a journal, else ext2.
ExtVersion ExtVersionOf(ByteView superblock);

// Reads the primary superblock at offset 1024 of the volume, the one in group 1 when it
// fails; false, with a reason, when neither describes a volume.
bool ReadExtGeometry(SectorSource& source, uint64_t volumeOffset, uint64_t volumeBytes, ExtGeometry& out,
                     std::string& why);

// One group's descriptor.
struct ExtGroup {
    uint64_t blockBitmap = 0;
    uint64_t inodeBitmap = 0;
    uint64_t inodeTable = 0;
    uint16_t flags = 0;
    uint32_t inodesNeverUsed = 0;  // at the table's end, on volumes that count them

    bool InodeBitmapUnused() const { return flags & 0x1; }  // INODE_UNINIT: no inode given out yet
    bool BlockBitmapUnused() const { return flags & 0x2; }  // BLOCK_UNINIT: nothing allocated yet
};

// One inode as stored.
struct ExtInode {
    uint16_t mode = 0;
    uint16_t links = 0;
    uint32_t flags = 0;
    uint32_t generation = 0;
    uint64_t size = 0;
    uint64_t accessTime = 0, changeTime = 0, writeTime = 0, createTime = 0;  // FILETIME, 0 when unset
    uint32_t deleteTime = 0;  // seconds since 1970; set when the inode was freed
    std::array<uint8_t, 60> blockMap{};  // i_block

    bool IsFolder() const { return (mode & 0xF000) == 0x4000; }
    bool IsRegular() const { return (mode & 0xF000) == 0x8000; }
    bool UsesExtents() const { return flags & 0x80000; }
    bool HasInlineData() const { return flags & 0x10000000; }
};

// A run of a file's blocks: logical block `logical` of the file lies at `physical`.
struct ExtRun {
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t length = 0;
    bool operator==(const ExtRun&) const = default;
};

// Decodes one inode's bytes (inodeSize of them).
ExtInode ParseExtInode(ByteView bytes, uint32_t inodeSize);

class ExtVolume {
public:
    ExtVolume(SectorSource& source, const ExtGeometry& geometry) : source_(source), geometry_(geometry) {}

    // Reads the group descriptors; false when their blocks cannot be read.
    bool LoadGroups();
    const std::vector<ExtGroup>& Groups() const { return groups_; }
    const ExtGeometry& Geometry() const { return geometry_; }
    SectorSource& Source() { return source_; }

    // The bytes of a block; empty when it lies outside the volume or cannot be read.
    std::vector<uint8_t> ReadBlock(uint64_t block);
    // count blocks from first in one read; empty when one lies outside the volume or the
    // read fails.
    std::vector<uint8_t> ReadBlocks(uint64_t first, uint64_t count);
    // Inode n (1-based) as stored; nullopt when its table cannot be read.
    std::optional<ExtInode> ReadInode(uint32_t n);
    // Its bytes; empty when they cannot be read.
    std::vector<uint8_t> ReadInodeBytes(uint32_t n);
    // The same bytes where the volume holds them: valid until the next inode is read.
    ByteView InodeBytes(uint32_t n);
    // The block and byte offset where inode n lies in its group's table.
    std::optional<std::pair<uint64_t, uint32_t>> InodeLocation(uint32_t n) const;
    // The runs of a file's blocks from its block map (extent tree or indirect blocks),
    // in logical order; runs past maxBlocks logical blocks, outside the volume, or in a
    // tree that loops are left out.
    std::vector<ExtRun> BlockRuns(const ExtInode& inode, uint64_t maxBlocks);
    // Whether a block is in use by the block bitmaps; blocks of a group whose bitmap was
    // never written count as free, unreadable bitmaps as in use.
    bool BlockInUse(uint64_t block);
    // Whether inode n is in use by the inode bitmaps, read the same way.
    bool InodeInUse(uint32_t n);
    // Whether a block holds a group's inode table or one of its bitmaps.
    bool IsTableOrBitmapBlock(uint64_t block);
    // Whether it holds a group's inode table.
    bool IsInodeTableBlock(uint64_t block);
    // Says that count blocks from first will be read soon (Medium::WillRead).
    void WillRead(uint64_t first, uint64_t count);
    // The same for the part of each group's inode table that has held inodes, group after
    // group, up to most bytes in all.
    void WillReadInodeTables(uint64_t most);

private:
    // Bit `bit` of a bitmap block kept in held, read once; true when it cannot be read.
    bool BitSet(std::unordered_map<uint64_t, std::vector<uint8_t>>& held, uint64_t bitmapBlock, uint64_t bit);
    void ExtentRuns(ByteView node, int depth, uint64_t maxBlocks, std::vector<ExtRun>& out, int& budget);
    void IndirectRuns(uint64_t block, int level, uint64_t& logical, uint64_t maxBlocks, std::vector<ExtRun>& out,
                      int& budget);
    static void AddRun(std::vector<ExtRun>& out, uint64_t logical, uint64_t physical, uint64_t length);

    SectorSource& source_;
    ExtGeometry geometry_;
    std::vector<ExtGroup> groups_;
    // Block bitmaps read so far, up to a bound: files of one folder lie in a few groups.
    std::unordered_map<uint64_t, std::vector<uint8_t>> bitmaps_;
    std::unordered_map<uint64_t, std::vector<uint8_t>> inodeBitmaps_;
    // Inode tables are read a piece of several blocks at a time (the inodes of one folder's
    // files lie close together), and the pieces read last are kept, each in its slot.
    struct TablePiece {
        uint64_t key = UINT64_MAX;  // its first block
        std::unique_ptr<uint8_t[]> bytes;  // room for a whole piece, made once
        size_t size = 0;                   // bytes read into it
    };
    std::vector<TablePiece> tablePieces_;
    std::unordered_map<uint64_t, size_t> tablePieceSlots_;  // key -> slot
    size_t nextTableSlot_ = 0;
    // Block `block` of the inode table that starts at `table`, through the pieces kept.
    ByteView TableBlock(uint64_t table, uint64_t block);
    std::vector<std::pair<uint64_t, uint64_t>> tableRanges_;  // [first, end) of tables and bitmaps, sorted
    std::vector<std::pair<uint64_t, uint64_t>> inodeTables_;  // [first, end) of tables, sorted
    // Whether one of the ranges holds block. They do not overlap: only the last one
    // starting at or before it can.
    static bool InRanges(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t block);
    void FindTableRanges();
};

}  // namespace kestrune
