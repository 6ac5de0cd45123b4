// CFastExtRecovery: the quick scan of an ext2/3/4 volume.
//
// It walks the folder tree from the root, deleted folders included, and finds the names
// and inode numbers deleted files left in their folders' directory blocks. ext3 and ext4
// clear a deleted file's block map, so the map is taken from the newest copy of its
// inode that the journal still holds (ext2 keeps it in the inode itself). Data is read
// from those blocks only while the block bitmap still calls every one of them free: a
// block written since belongs to another file, and the file is listed as overwritten.
// Deleted inodes no name points to any more are listed in "LostFolder". Live files are
// not listed. The block bitmaps tell the formatted and deep passes which blocks are free.
//
// Set to the former volume, it lists instead the files of the volume this one was
// formatted over: mkfs lays the new inode tables where the old ones were (when the
// geometry is the same) and leaves them as they are until the first mount clears them,
// so the inodes the new volume has not given out may still describe the old files,
// block maps and all; the old folders' blocks give their names.
#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engines/engine_base.h"
#include "engines/found_data.h"
#include "engines/ext/ext_directory.h"
#include "engines/ext/ext_journal.h"
#include "engines/ext/ext_volume.h"

namespace kestrune {

// Where a deleted name was seen: in its folder's current blocks (nothing known), or in a
// journal copy of them, with the copy's transaction and when it was committed.
struct ExtNameSeen {
    uint64_t time = 0;  // FILETIME; 0 when not known
    std::optional<uint32_t> sequence;
};

class CFastExtRecovery final : public RecoveryEngineBase {
public:
    CFastExtRecovery();
    ~CFastExtRecovery() override;

    int Scan(const std::string* logName) override;
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int BuildAllocationMap() override;
    FsKind Kind() const override { return FsKind::Ext; }

    // Lists the former volume's files instead of deleted ones, under ExtFormatted in a
    // log of its own. Set before Scan.
    void SetFormerVolume() { former_ = true; }

    bool HoldsDisk() const { return source_.IsOpen(); }
    const ExtGeometry* Volume() const { return volume_ ? &volume_->Geometry() : nullptr; }

    // A deleted file's inode as it was while the file lived: the inode itself where it
    // still has its block map (ext2), else the newest journal copy that shows the file
    // with the same generation; nothing when neither is left, or the inode is live.
    //
    // An inode given to a new file since (live, or made after the name was seen) means the
    // file that held it before: the journal's copies of another generation, when they show
    // only one such file. Where the name was seen in a journal copy of its folder, the
    // inode as the same or an earlier transaction logged it tells which file the name
    // meant, however many files held the inode after it.
    struct FormerInode {
        ExtInode inode;
        std::vector<uint8_t> bytes;  // as stored, for inline data
    };
    using NameSeen = ExtNameSeen;
    std::optional<FormerInode> FormerInodeOf(uint32_t number, NameSeen seen = {});

private:
    struct FolderInfo {
        ScanRecord record;
        uint32_t parent = 0;
        uint32_t depth = 0;  // of the folder itself: 1 under the root
    };
    struct Folder {
        uint32_t inode;
        uint32_t depth;
        bool deleted;
        NameSeen nameSeen;  // as for FormerInodeOf
    };

    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;
    bool Ready() const override { return volume_ != nullptr; }
    ParentKey RootKey() const override;
    bool LoadJournal();
    void WalkFolder(const Folder& folder, std::vector<Folder>& queue);
    // A folder's data, block by block: its bytes, its number (0 for data kept in the
    // inode) and the sector it starts at.
    struct FolderBlock {
        std::vector<uint8_t> bytes;
        uint64_t number = 0;
        uint64_t sector = 0;
    };
    std::vector<FolderBlock> FolderBlocks(const ExtInode& inode, const std::vector<uint8_t>& bytes);
    ScanRecord RecordOf(const ExtDirEntry& entry, const ExtInode& inode, uint64_t entrySector) const;
    void AddFile(const ExtDirEntry& entry, uint32_t parent, uint32_t parentDepth, uint64_t entrySector,
                 NameSeen nameSeen = {});
    // A file that exists, listed when existing files are wanted (SetListExisting).
    void AddExistingFile(const ExtDirEntry& entry, uint32_t parent, uint32_t parentDepth, uint64_t entrySector);
    void ListLostInodes();
    // "LostFolder", written once, before the first file filed in it.
    void EnsureLostFolder();
    // A file no name is left for, recorded in "LostFolder" under its inode number, with
    // the extension its first block's signature gives.
    struct UnnamedFile {
        uint32_t number;
        ExtInode inode;
        std::vector<ExtRun> runs;
    };
    void AddUnnamedFile(const UnnamedFile& file);
    // An inode of the former volume: one the new volume has not given out that still
    // describes a living file or folder.
    std::optional<FormerInode> FormerVolumeInode(uint32_t number);
    // Returns what the progress callback answered when it asked to stop, else 0.
    int ListFormerVolume();
    // Writes the records of the folders above recorded files; ends the scan.
    int WriteFolders();
    // Names the former volume's files from its folders' blocks, files then.
    void NameFormerFiles(const std::vector<uint32_t>& folders);
    // The first block of a folder whose inode mkfs overwrote (the first inodes of the
    // volume), looked for near its subfolders' blocks, where the allocator put it: its
    // names, and the folder above it, are added to parents.
    void FindLostParents(std::unordered_map<uint32_t, uint32_t>& parents);
    void AddFormerFile(uint32_t number);
    // Marks every folder above a recorded file for its own record at the end of the scan.
    void KeepFoldersAbove(uint32_t parent);
    // Notes that an entry names the inode; the list is sorted and its repeats dropped now
    // and then, and before lost inodes are looked for.
    void NoteNamed(uint32_t inode);
    void CompactNamed();
    // What a record's data is: its runs (empty for inline data or none), with whether
    // every block is still free.
    uint32_t ContentCheck(const ScanRecord& record, const std::vector<ExtRun>& runs, bool inlineData,
                          bool checkSignature = true);
    std::unique_ptr<PieceReader> ReaderFor(const ScanRecord& record);
    // The inode a record was listed from: the one of its inode number, in place or in the
    // journal, whose size and times are the record's; nothing when none is.
    std::optional<FormerInode> InodeOfRecord(const ScanRecord& record);
    // Whether the file in an inode now was made after a name of it was last written.
    static bool MadeAfter(const ExtInode& current, const NameSeen& nameSeen);
    // Where a name was seen in the journal's copy of its folder from a transaction.
    NameSeen SeenIn(uint32_t sequence, const ExtDirEntry& entry) const;
    // The generation inode n had in the newest journal copy of its table block logged in
    // the name's transaction or before it; nothing when no such copy is left.
    std::optional<uint32_t> GenerationWhenSeen(uint32_t n, const NameSeen& nameSeen);
    // How many files (generations) the journal's copies show inode n held while they lived.
    size_t GenerationsLogged(uint32_t n);
    int Report(int percent) { return reporter_.Scanned(percent); }
    uint64_t SectorOfBlock(uint64_t block) const;

    bool former_ = false;
    bool lostFolderWritten_ = false;
    // The former volume's names: inode -> (name, folder inode), from its folders' blocks.
    std::unordered_map<uint32_t, std::pair<std::string, uint32_t>> formerNames_;
    uint64_t startSector_ = 0;
    uint32_t sectorBytes_ = 512;
    std::unique_ptr<ExtVolume> volume_;
    ExtJournal journal_;
    bool journalTried_ = false;
    std::unordered_map<uint32_t, FolderInfo> folders_;
    std::vector<uint32_t> pending_;
    std::unordered_set<uint32_t> pendingSet_;
    std::vector<uint32_t> named_;  // inodes some entry names (NoteNamed)
    static constexpr size_t kNamedCompactAt = 1 << 20;
    size_t namedCompactAt_ = kNamedCompactAt;
    std::unordered_set<uint32_t> listed_;  // inodes recorded
    std::unordered_set<uint64_t> listedFiles_;  // the same with the generation of the file recorded
};

}  // namespace kestrune
