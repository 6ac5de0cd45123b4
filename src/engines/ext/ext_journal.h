// The jbd2 journal of an ext3/ext4 volume, read for the copies of metadata blocks it
// still holds. Deleting a file clears its inode's block map, but the journal keeps the
// inode table block as it was written while the file lived, often several times over:
// the newest copy that still shows the file gives back where its data lay.
//
// Every header of the journal area is looked at, not only the transactions a replay
// would take: the copies worth having are in transactions long since checkpointed. The
// copies themselves are read only where they may be folder blocks; the rest (inode
// tables, bitmaps) when an inode is looked up.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engines/ext/ext_directory.h"
#include "engines/ext/ext_volume.h"

namespace kestrune {

// One descriptor block's tags: the file-system blocks whose copies follow it.
struct JournalTag {
    uint64_t block = 0;
    bool escaped = false;  // the copy's first four bytes were the journal's magic
};
// Parses a descriptor block's tags (after its 12-byte header) with the journal's
// features; stops at the last tag, at a tag that does not fit, or before the checksum
// tail.
std::vector<JournalTag> ParseDescriptorTags(ByteView block, uint32_t incompatFeatures);

class ExtJournal {
public:
    // A copy of a file-system block in the journal.
    struct Copy {
        uint32_t sequence = 0;
        uint64_t journalBlock = 0;  // index within the journal
        bool escaped = false;
    };

    // Reads the journal of the volume (its inode's blocks and its superblock) and indexes
    // every copy; false when the volume has no journal that can be read.
    bool Load(ExtVolume& volume);
    // Copies of a block, newest first.
    const std::vector<Copy>& CopiesOf(uint64_t block) const;
    // The entries of the copies of a block that were laid out as directory blocks, each
    // with the transaction it came from, newest copy first; parsed while the journal was
    // read, so that a scan of the folders reads none of them again. Escaped copies are
    // left out: CopiesOf gives them.
    struct FolderCopy {
        uint32_t sequence = 0;
        std::vector<ExtDirEntry> entries;
    };
    const std::vector<FolderCopy>& FolderCopiesOf(uint64_t block) const;
    // The bytes of a copy as the block held them; valid until the next call.
    ByteView Read(ExtVolume& volume, const Copy& copy) const;
    bool Loaded() const { return !runs_.empty(); }
    // Every file-system block the journal holds a copy of, in no order.
    std::vector<uint64_t> Blocks() const;
    // Where block j of the journal lies on the volume; 0 outside the journal.
    uint64_t VolumeBlock(uint64_t journalBlock) const;
    // When a transaction was committed, as FILETIME; 0 when its commit block is gone or
    // keeps no time (journals before jbd2).
    uint64_t CommitTime(uint32_t sequence) const;

private:
    // What the journal's superblock says of its log.
    struct LogLayout {
        uint64_t first = 0;      // the log's first block
        uint32_t incompat = 0;   // incompatible features (tag sizes, checksums)
        bool checksums = false;
        uint32_t seed = 0;       // of the descriptor checksums
    };
    // The newest transaction's claim on one journal block: the volume block it copies.
    struct Claim {
        uint32_t sequence;
        uint64_t block;
        bool escaped;
    };
    // Finds the journal's blocks and reads its superblock; false when there is no journal
    // that can be read.
    bool ReadSuperblock(ExtVolume& volume, LogLayout& layout);
    std::unordered_map<uint64_t, Claim> WalkLog(ExtVolume& volume, const LogLayout& layout);
    std::unordered_map<uint64_t, std::vector<ExtDirEntry>> ReadFolderCopies(
        ExtVolume& volume, const std::unordered_map<uint64_t, Claim>& claims);

    std::vector<ExtRun> runs_;  // journal blocks on the volume
    uint64_t length_ = 0;       // blocks in the journal
    std::unordered_map<uint64_t, std::vector<Copy>> copies_;
    std::unordered_map<uint32_t, uint64_t> commitTimes_;  // sequence -> FILETIME
    std::unordered_map<uint64_t, std::vector<FolderCopy>> folderCopies_;
    // The copies read last, each in a slot of one block: the inodes of one table block are
    // looked up one after another. The rest is read when asked for: Load asked the system
    // for them ahead, and a copy kept in memory would cost more than a read.
    static constexpr size_t kRecentCopies = 256;
    static constexpr uint64_t kNoOwner = UINT64_MAX;
    mutable std::unique_ptr<uint8_t[]> recent_;
    mutable std::vector<uint64_t> recentOwners_;                // journal block in each slot
    mutable std::unordered_map<uint64_t, size_t> recentSlots_;  // journal block -> slot
    mutable size_t nextRecent_ = 0;
    mutable uint32_t recentBlockSize_ = 0;
};

}  // namespace kestrune
