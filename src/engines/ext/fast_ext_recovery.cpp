#include "engines/ext/fast_ext_recovery.h"

#include <algorithm>
#include <set>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "engines/carve/signature_table.h"
#include "engines/ext/ext_data.h"
#include "engines/found_data.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

namespace {

constexpr uint32_t kRootInode = 2;
// "LostFolder" takes the place of inode 1, which holds bad blocks and is never a folder.
constexpr uint32_t kLostFolderKey = 1;
constexpr uint32_t kIndexedFolder = 0x1000;
constexpr uint64_t kFileTimeSecond = 10'000'000;
// A scan asks ahead for the used part of the inode tables, up to this many bytes, and for
// the first blocks of each folder it is about to walk.
constexpr uint64_t kInodeTablesAhead = 64 << 20;
constexpr uint64_t kFolderBlocksAhead = 4;

// Bytes already in memory, for a file kept inside its inode.
class BytesReader final : public PieceReader {
public:
    explicit BytesReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    int ReadPiece(std::vector<uint8_t>& piece) override {
        piece = std::move(bytes_);
        bytes_.clear();
        return kOk;
    }

private:
    std::vector<uint8_t> bytes_;
};

uint64_t BlocksFor(uint64_t size, uint32_t blockSize) { return (size + blockSize - 1) / blockSize; }

// An entry of a folder by its inode number and name.
using EntryKey = std::pair<uint32_t, std::string_view>;
struct EntryKeyHash {
    size_t operator()(const EntryKey& key) const { return std::hash<std::string_view>()(key.second) ^ key.first; }
};

}  // namespace

CFastExtRecovery::CFastExtRecovery() = default;

CFastExtRecovery::~CFastExtRecovery() = default;

int CFastExtRecovery::Attach(const EngineArea& area) {
    const uint64_t start = area.start, sectors = area.sectors;
    const uint32_t sectorBytes = area.sectorBytes;
    startSector_ = start;
    sectorBytes_ = sectorBytes;
    volume_.reset();
    journalTried_ = false;
    if (!source_.IsOpen()) return kErrInvalidHandle;
    ExtGeometry geometry;
    std::string why;
    if (!ReadExtGeometry(source_, start * sectorBytes, sectors * sectorBytes, geometry, why)) return kErrInvalidData;
    volume_ = std::make_unique<ExtVolume>(source_, geometry);
    if (!volume_->LoadGroups()) {
        volume_.reset();
        return kErrInvalidData;
    }
    contentContext_.sectorSize = sectorBytes;
    return kOk;
}

ParentKey CFastExtRecovery::RootKey() const { return MakeParentKey(0, kRootInode); }

uint64_t CFastExtRecovery::SectorOfBlock(uint64_t block) const {
    return startSector_ + block * volume_->Geometry().blockSize / sectorBytes_;
}

bool CFastExtRecovery::LoadJournal() {
    if (!journalTried_ && volume_) {
        journalTried_ = true;
        journal_.Load(*volume_);
    }
    return journal_.Loaded();
}

bool CFastExtRecovery::MadeAfter(const ExtInode& current, const NameSeen& nameSeen) {
    // A second's margin: the two clocks are read at different moments of one operation.
    return nameSeen.time != 0 && current.createTime != 0 && current.createTime > nameSeen.time + kFileTimeSecond;
}

CFastExtRecovery::NameSeen CFastExtRecovery::SeenIn(uint32_t sequence, const ExtDirEntry& entry) const {
    // Only an entry the copy holds as live says the inode was the name's file then: a
    // deleted one (left beside the live ones) may point at an inode given to a later file.
    NameSeen seen{journal_.CommitTime(sequence), std::nullopt};
    if (!entry.deleted) seen.sequence = sequence;
    return seen;
}

size_t CFastExtRecovery::GenerationsLogged(uint32_t number) {
    const auto where = volume_->InodeLocation(number);
    if (!where || !LoadJournal()) return 0;
    const uint32_t inodeSize = volume_->Geometry().inodeSize;
    std::set<uint32_t> generations;
    for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
        const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, inodeSize);
        if (raw.size() != inodeSize) continue;
        const ExtInode inode = ParseExtInode(raw, inodeSize);
        if (inode.links != 0 && inode.deleteTime == 0) generations.insert(inode.generation);
    }
    return generations.size();
}

std::optional<uint32_t> CFastExtRecovery::GenerationWhenSeen(uint32_t number, const NameSeen& nameSeen) {
    if (!nameSeen.sequence || !LoadJournal()) return std::nullopt;
    const auto where = volume_->InodeLocation(number);
    if (!where) return std::nullopt;
    const uint32_t inodeSize = volume_->Geometry().inodeSize;
    // A transaction holds one state of the volume: where it logged the folder block with
    // the name, the inode it logged with it, or the last one logged before, was the
    // name's file. Copies come newest first.
    for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
        if (static_cast<int32_t>(copy.sequence - *nameSeen.sequence) > 0) continue;
        const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, inodeSize);
        if (raw.size() != inodeSize) return std::nullopt;
        const ExtInode inode = ParseExtInode(raw, inodeSize);
        if (inode.links == 0 || inode.deleteTime != 0) return std::nullopt;  // not yet the name's file
        return inode.generation;
    }
    return std::nullopt;
}

std::optional<CFastExtRecovery::FormerInode> CFastExtRecovery::FormerInodeOf(uint32_t number, NameSeen nameSeen) {
    if (!Ready()) return std::nullopt;
    if (former_) return FormerVolumeInode(number);
    const ExtGeometry& g = volume_->Geometry();
    const auto where = volume_->InodeLocation(number);
    const ByteView bytes = volume_->InodeBytes(number);
    if (!where || bytes.empty()) return std::nullopt;
    const ExtInode current = ParseExtInode(bytes, g.inodeSize);
    const bool live = current.links > 0 && current.deleteTime == 0;
    const bool earlierFile = live || MadeAfter(current, nameSeen);
    auto holdsFile = [&](const ExtInode& inode) {
        return inode.HasInlineData() || inode.size == 0 || !volume_->BlockRuns(inode, BlocksFor(inode.size, g.blockSize)).empty();
    };
    // ext2 leaves the block map of a deleted file in place.
    if (!earlierFile && current.mode != 0 && current.size > 0 && holdsFile(current))
        return FormerInode{current, std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.size())};
    if (!LoadJournal()) return std::nullopt;
    // The name's own file, told by the transaction the name was seen in: its newest copy
    // as it lived.
    const std::optional<uint32_t> named = GenerationWhenSeen(number, nameSeen);
    if (named && (*named != current.generation || !live)) {
        for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
            const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, g.inodeSize);
            if (raw.size() != g.inodeSize) continue;
            const ExtInode inode = ParseExtInode(raw, g.inodeSize);
            if (inode.generation != *named || inode.links == 0 || inode.deleteTime != 0 ||
                (inode.size > 0 && !holdsFile(inode)) || (inode.size == 0 && !inode.IsFolder()))
                continue;
            return FormerInode{inode, std::vector<uint8_t>(raw.data(), raw.data() + raw.size())};
        }
        return std::nullopt;
    }
    if (named && *named == current.generation && live) return std::nullopt;  // the live file itself
    // Seen in a transaction whose inode copy is gone, in an inode that held several files:
    // nothing tells which of them the name meant.
    if (nameSeen.sequence && !named && GenerationsLogged(number) > 1) return std::nullopt;
    // A live inode was given to a new file: the deleted one is the file that held it before,
    // told by its other generation. Two such files leave it unknown which one a name meant.
    std::optional<FormerInode> earlier;
    for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
        const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, g.inodeSize);
        if (raw.size() != g.inodeSize) continue;
        const ExtInode inode = ParseExtInode(raw, g.inodeSize);
        // The file as it lived: linked, not yet freed, with a map of its data.
        if (inode.links == 0 || inode.deleteTime != 0 || (inode.size > 0 && !holdsFile(inode))) continue;
        if (earlierFile) {
            if (inode.generation == current.generation || (inode.size == 0 && !inode.IsFolder())) continue;
            if (earlier && earlier->inode.generation != inode.generation) return std::nullopt;
            if (!earlier) earlier = FormerInode{inode, std::vector<uint8_t>(raw.data(), raw.data() + raw.size())};
            continue;
        }
        // The same generation: an inode used again since belongs to a newer file.
        if (inode.generation != current.generation || (inode.mode & 0xF000) != (current.mode & 0xF000)) continue;
        if (inode.size == 0 && current.size == 0 && !inode.IsFolder()) continue;  // not yet written
        return FormerInode{inode, std::vector<uint8_t>(raw.data(), raw.data() + raw.size())};
    }
    return earlier;
}

int CFastExtRecovery::BuildAllocationMap() { return Ready() ? kOk : kErrInvalidHandle; }

int CFastExtRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
    length = 0;
    if (!Ready()) return 0;
    const ExtGeometry& g = volume_->Geometry();
    const uint64_t perBlock = std::max<uint32_t>(1, g.blockSize / sectorBytes_);
    // An image cut short holds fewer blocks than its volume counts.
    const uint64_t sectors = std::min(g.blockCount * perBlock, g.volumeBytes / sectorBytes_);
    uint64_t block = (position + perBlock - 1) / perBlock;
    while (block < g.blockCount && volume_->BlockInUse(block)) ++block;
    uint64_t end = block;
    while (end < g.blockCount && !volume_->BlockInUse(end)) ++end;
    position = std::min(block * perBlock, sectors);
    length = std::min(end * perBlock, sectors) - position;
    return 1;
}

ScanRecord CFastExtRecovery::RecordOf(const ExtDirEntry& entry, const ExtInode& inode, uint64_t entrySector) const {
    ScanRecord record{};
    record.driveLetter = driveLetter_;
    record.engineKind = former_ ? ExtFormatted : ExtQuick;
    record.isFolder = entry.fileType == ext::kDirectoryFile ? 1 : 0;
    record.contentOk = 1;
    record.fsId = entry.inode;
    record.clusterBytes = volume_->Geometry().blockSize;
    record.createTime = inode.createTime;
    record.accessTime = inode.accessTime;
    record.writeTime = inode.writeTime;
    record.fileSize = record.isFolder ? 0 : inode.size;
    record.entrySector = entrySector;
    record.partitionStart = startSector_;
    SetRecordName(record, entry.name);
    return record;
}

uint32_t CFastExtRecovery::ContentCheck(const ScanRecord& record, const std::vector<ExtRun>& runs, bool inlineData,
                                        bool checkSignature) {
    if (inlineData) return 1;
    if (runs.empty()) return record.fileSize == 0 ? 1 : 0;
    // A block written since belongs to another file now.
    for (const ExtRun& run : runs)
        for (uint64_t b = 0; b < run.length; ++b)
            if (volume_->BlockInUse(run.physical + b)) return 0;
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (!checkSignature || extension.empty() || runs.front().logical != 0 || !carve::RowForExtension(extension)) return 1;
    const uint64_t at = SectorOfBlock(runs.front().physical);
    return ContentAt(at, sectorBytes_, extension);
}

void CFastExtRecovery::AddFile(const ExtDirEntry& entry, uint32_t parent, uint32_t parentDepth, uint64_t entrySector,
                               NameSeen nameSeen) {
    const auto current = volume_->ReadInode(entry.inode);
    if (!current) return;
    const bool live = current->links > 0 && current->deleteTime == 0;
    const auto former = FormerInodeOf(entry.inode, nameSeen);
    if (former && !former->inode.IsRegular()) return;
    // Names are met newest first: an older name of a file already listed is an earlier
    // name of it, and an older name of an inode nothing more is known of belonged to a
    // file whose inode was given to the listed one since. A name whose own file the
    // journal tells is listed with it, however many files held the inode.
    const uint64_t file = uint64_t{entry.inode} << 32 | (former ? former->inode.generation : 0);
    if (former ? listedFiles_.count(file) : listed_.count(entry.inode)) return;
    if (former) listedFiles_.insert(file);
    // A live inode: the name belonged to a file deleted since whose inode a new file took
    // (the journal holds the earlier file's inode, or the new file was made after the name
    // was last written); else the file lives on under another name.
    if (live && !former && !MadeAfter(*current, nameSeen)) return;
    if (!live && !former && !current->IsRegular() && current->mode != 0) return;
    listed_.insert(entry.inode);
    const ExtGeometry& g = volume_->Geometry();
    // Without the file's own inode, the times are the inode's now only while no newer
    // file has taken it.
    const bool taken = live || MadeAfter(*current, nameSeen);
    ScanRecord record = RecordOf(entry, former ? former->inode : taken ? ExtInode{} : *current, entrySector);
    if (former) {
        const auto runs = volume_->BlockRuns(former->inode, BlocksFor(former->inode.size, g.blockSize));
        record.contentOk = ContentCheck(record, runs, former->inode.HasInlineData());
        if (!runs.empty()) record.dataAreaSector = SectorOfBlock(runs.front().physical) - startSector_;
    } else {
        // Nothing tells where the data lay any more: listed, but not to be read.
        record.fileSize = 0;
        record.contentOk = 0;
    }
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, parentDepth, recordId, entry.inode, nullptr);
    KeepFoldersAbove(parent);
}

void CFastExtRecovery::AddExistingFile(const ExtDirEntry& entry, uint32_t parent, uint32_t parentDepth,
                                       uint64_t entrySector) {
    const auto inode = volume_->ReadInode(entry.inode);
    if (!inode || !inode->IsRegular() || inode->links == 0 || inode->deleteTime != 0) return;
    ScanRecord record = RecordOf(entry, *inode, entrySector);
    record.folderDeleted |= kExistingFile;
    const ExtGeometry& g = volume_->Geometry();
    const auto runs = volume_->BlockRuns(*inode, BlocksFor(inode->size, g.blockSize));
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (!runs.empty()) {
        record.dataAreaSector = SectorOfBlock(runs.front().physical) - startSector_;
        if (!extension.empty() && runs.front().logical == 0 && carve::RowForExtension(extension))
            record.contentOk = ContentAt(SectorOfBlock(runs.front().physical), sectorBytes_, extension);
    }
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, parentDepth, recordId, entry.inode, nullptr);
    KeepFoldersAbove(parent);
}

void CFastExtRecovery::KeepFoldersAbove(uint32_t parent) {
    std::unordered_set<uint32_t> climbed;
    for (uint32_t folder = parent; folder != kRootInode && climbed.insert(folder).second;) {
        const auto it = folders_.find(folder);
        if (it == folders_.end()) break;
        if (pendingSet_.insert(folder).second) pending_.push_back(folder);
        folder = it->second.parent;
    }
}

void CFastExtRecovery::EnsureLostFolder() {
    if (lostFolderWritten_) return;
    ScanRecord folder{};
    folder.driveLetter = driveLetter_;
    folder.engineKind = former_ ? ExtFormatted : ExtQuick;
    folder.isFolder = 1;
    folder.folderDeleted = 1;
    folder.contentOk = 1;
    folder.fsId = kLostFolderKey;
    folder.clusterBytes = volume_->Geometry().blockSize;
    folder.partitionStart = startSector_;
    SetRecordName(folder, "LostFolder");
    const std::string folderName = "LostFolder";
    log_.get()->LinkRecord(kRootInode, 0, log_.get()->AppendCopy(folder), kLostFolderKey, &folderName);
    lostFolderWritten_ = true;
}


std::vector<CFastExtRecovery::FolderBlock> CFastExtRecovery::FolderBlocks(const ExtInode& inode,
                                                                          const std::vector<uint8_t>& bytes) {
    std::vector<FolderBlock> blocks;
    const ExtGeometry& g = volume_->Geometry();
    if (inode.HasInlineData()) {
        // A small folder kept in its inode: the parent's number, then entries.
        std::vector<uint8_t> data = InlineData(ByteView(bytes), g.inodeSize, std::max<uint64_t>(inode.size, 60));
        if (data.size() > 4) blocks.push_back({std::vector<uint8_t>(data.begin() + 4, data.end()), 0, 0});
        return blocks;
    }
    // A folder of more than 128 MiB is damage.
    const uint64_t count = std::min<uint64_t>(BlocksFor(inode.size, g.blockSize), (128u << 20) / g.blockSize);
    for (const ExtRun& run : volume_->BlockRuns(inode, count))
        for (uint64_t b = 0; b < run.length; ++b) {
            std::vector<uint8_t> block = volume_->ReadBlock(run.physical + b);
            if (!block.empty()) blocks.push_back({std::move(block), run.physical + b, SectorOfBlock(run.physical + b)});
        }
    return blocks;
}

void CFastExtRecovery::WalkFolder(const Folder& folder, std::vector<Folder>& queue) {
    ExtInode inode;
    std::vector<uint8_t> bytes;
    if (folder.deleted) {
        auto former = FormerInodeOf(folder.inode, folder.nameSeen);
        if (!former) return;
        inode = former->inode;
        bytes = std::move(former->bytes);
    } else {
        bytes = volume_->ReadInodeBytes(folder.inode);
        if (bytes.empty()) return;
        inode = ParseExtInode(ByteView(bytes), volume_->Geometry().inodeSize);
    }
    if (!inode.IsFolder()) return;
    const uint32_t inodeCount = volume_->Geometry().inodeCount;
    // Entries met, by inode number and name. The names stay where they were parsed until
    // the folder is done: the journal's copies, and the blocks parsed here in `parsed`.
    std::unordered_set<EntryKey, EntryKeyHash> seen;
    std::vector<std::vector<ExtDirEntry>> parsed;
    auto first = [&seen](const ExtDirEntry& entry) { return seen.emplace(entry.inode, entry.name).second; };
    auto take = [&](const ExtDirEntry& entry, bool gone, uint64_t entrySector, NameSeen seen = {}) {
        NoteNamed(entry.inode);
        if (entry.fileType == ext::kDirectoryFile) {
            // A folder met under an old name (a journal copy) and under its live one is
            // filed where it lives.
            const auto known = folders_.find(entry.inode);
            if (entry.inode == kRootInode || (known != folders_.end() && (gone || !known->second.record.folderDeleted)))
                return;
            // The folder's times are its own inode's, as it was while it lived.
            const auto former = gone ? FormerInodeOf(entry.inode, seen) : std::nullopt;
            const auto own = former ? std::optional<ExtInode>(former->inode) : volume_->ReadInode(entry.inode);
            ScanRecord record = RecordOf(entry, own ? *own : ExtInode{}, entrySector);
            record.folderDeleted = gone ? 1 : 0;
            folders_[entry.inode] = {record, folder.inode, folder.depth + 1};
            queue.push_back({entry.inode, folder.depth + 1, gone, seen});
            // Its blocks are fetched while the folders before it in the queue are walked.
            if (own && !own->HasInlineData())
                for (const ExtRun& run : volume_->BlockRuns(*own, kFolderBlocksAhead))
                    volume_->WillRead(run.physical, run.length);
        } else if (gone) {
            AddFile(entry, folder.inode, folder.depth, entrySector, seen);
        } else if (listExisting_) {
            AddExistingFile(entry, folder.inode, folder.depth, entrySector);
        }
    };
    const auto blocks = FolderBlocks(inode, bytes);
    for (size_t k = 0; k < blocks.size(); ++k) {
        const FolderBlock& block = blocks[k];
        const bool indexedRoot = k == 0 && (inode.flags & kIndexedFolder);
        parsed.push_back(ParseDirectoryBlock(ByteView(block.bytes), inodeCount, indexedRoot));
        const size_t here = parsed.size() - 1;
        // A deleted entry the block still names waits for the journal's copies: one that
        // holds it live tells which file it named.
        const bool copies = block.number != 0 && LoadJournal();
        for (const ExtDirEntry& entry : parsed[here]) {
            if (entry.deleted && copies) continue;
            first(entry);
            take(entry, entry.deleted || folder.deleted, block.sector + entry.offset / sectorBytes_);
        }
        // Deleting wipes an entry's name on current kernels; the journal keeps the block
        // as it was before, newest copy first. Entries the folder no longer holds are
        // deleted ones.
        if (!LoadJournal()) continue;
        if (block.number != 0) {
            // A name is taken from the newest copy that holds it live, which tells its file
            // (SeenIn); only a name no copy holds live is taken as a deleted entry.
            for (const bool live : {true, false})
                for (const ExtJournal::FolderCopy& copy : journal_.FolderCopiesOf(block.number))
                    for (const ExtDirEntry& entry : copy.entries)
                        if (entry.deleted != live && first(entry))
                            take(entry, true, block.sector + entry.offset / sectorBytes_, SeenIn(copy.sequence, entry));
            for (const ExtDirEntry& entry : parsed[here])
                if (entry.deleted && first(entry)) take(entry, true, block.sector + entry.offset / sectorBytes_);
            for (const ExtJournal::Copy& copy : journal_.CopiesOf(block.number)) {
                if (!copy.escaped) continue;
                const ByteView old = journal_.Read(*volume_, copy);
                parsed.push_back(ParseDirectoryBlock(old, inodeCount, indexedRoot));
                for (const ExtDirEntry& entry : parsed.back())
                    if (first(entry)) take(entry, true, block.sector + entry.offset / sectorBytes_, SeenIn(copy.sequence, entry));
            }
        } else if (const auto where = volume_->InodeLocation(folder.inode)) {
            // A folder kept in its inode: the journal's copies of its inode table block.
            const uint32_t inodeSize = volume_->Geometry().inodeSize;
            for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
                const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, inodeSize);
                const ExtInode was = ParseExtInode(raw, inodeSize);
                if (raw.size() != inodeSize || !was.IsFolder() || !was.HasInlineData() || was.generation != inode.generation)
                    continue;
                const std::vector<uint8_t> data = InlineData(raw, inodeSize, std::max<uint64_t>(was.size, 60));
                if (data.size() <= 4) continue;
                const ByteView entries = ByteView(data).from(4);
                parsed.push_back(ParseDirectoryBlock(entries, inodeCount, false));
                for (const ExtDirEntry& entry : parsed.back())
                    if (first(entry)) take(entry, true, block.sector);
            }
        }
    }
}

void CFastExtRecovery::NoteNamed(uint32_t inode) {
    named_.push_back(inode);
    // Each name is met in the folder and again in each of the journal's copies of it:
    // the repeats go whenever the list has doubled, so that it holds each inode about once.
    if (named_.size() >= namedCompactAt_) {
        CompactNamed();
        namedCompactAt_ = std::max<size_t>(2 * named_.size(), kNamedCompactAt);
    }
}

void CFastExtRecovery::CompactNamed() {
    std::sort(named_.begin(), named_.end());
    named_.erase(std::unique(named_.begin(), named_.end()), named_.end());
}

void CFastExtRecovery::ListLostInodes() {
    if (!LoadJournal()) return;
    const ExtGeometry& g = volume_->Geometry();
    const uint32_t perBlock = g.blockSize / g.inodeSize;
    const uint64_t tableBlocks = BlocksFor(uint64_t{g.inodesPerGroup} * g.inodeSize, g.blockSize);
    std::vector<std::pair<uint64_t, uint32_t>> tables;  // (first block, group)
    for (uint32_t group = 0; group < volume_->Groups().size(); ++group)
        tables.emplace_back(volume_->Groups()[group].inodeTable, group);
    std::sort(tables.begin(), tables.end());
    std::vector<uint64_t> blocks = journal_.Blocks();
    std::sort(blocks.begin(), blocks.end());
    CompactNamed();
    // The inode numbers rise with the sorted blocks: the names are gone through once, from
    // the start again only where a number comes before the one asked last.
    auto isNamed = [this, at = named_.cbegin(), last = uint64_t{0}](uint64_t number) mutable {
        if (number < last) at = named_.cbegin();
        last = number;
        while (at != named_.cend() && *at < number) ++at;
        return at != named_.cend() && *at == number;
    };
    std::vector<UnnamedFile> lost;
    for (uint64_t block : blocks) {
        auto after = std::upper_bound(tables.begin(), tables.end(), std::pair{block, UINT32_MAX});
        if (after == tables.begin()) continue;
        const auto& [tableStart, group] = *std::prev(after);
        if (block - tableStart >= tableBlocks) continue;
        const uint64_t firstInode = uint64_t{group} * g.inodesPerGroup + (block - tableStart) * perBlock + 1;
        for (uint32_t i = 0; i < perBlock; ++i) {
            const uint64_t number = firstInode + i;
            if (number > g.inodeCount || number < 11 || isNamed(number)) continue;
            // Read through the volume's table cache, which FormerInodeOf reads through too.
            const ByteView bytes = volume_->InodeBytes(static_cast<uint32_t>(number));
            if (bytes.empty()) break;
            const ExtInode current = ParseExtInode(bytes, g.inodeSize);
            if (current.links != 0 || current.deleteTime == 0 || !current.IsRegular()) continue;
            auto former = FormerInodeOf(static_cast<uint32_t>(number));
            if (!former || former->inode.size == 0) continue;
            auto runs = volume_->BlockRuns(former->inode, BlocksFor(former->inode.size, g.blockSize));
            // Its first sector, read for its type below, is asked for now: the system fetches
            // it while the other inodes are looked up, and all of them in parallel from a
            // disk that can, instead of one seek after another.
            if (!runs.empty() && runs.front().logical == 0)
                source_.medium->WillRead(SectorOfBlock(runs.front().physical) * sectorBytes_, sectorBytes_);
            lost.push_back({static_cast<uint32_t>(number), std::move(former->inode), std::move(runs)});
        }
    }
    // Each file's first block is read for its type: in the order they lie on the disk.
    std::sort(lost.begin(), lost.end(), [](const UnnamedFile& a, const UnnamedFile& b) {
        const uint64_t x = a.runs.empty() ? 0 : a.runs.front().physical, y = b.runs.empty() ? 0 : b.runs.front().physical;
        return x != y ? x < y : a.number < b.number;
    });
    for (const UnnamedFile& file : lost) AddUnnamedFile(file);
}

void CFastExtRecovery::AddUnnamedFile(const UnnamedFile& file) {
    std::string name = std::to_string(file.number);
    bool typed = false;
    if (!file.runs.empty() && file.runs.front().logical == 0) {
        const uint64_t at = SectorOfBlock(file.runs.front().physical);
        std::vector<uint8_t> sector(sectorBytes_);
        uint32_t read = 0;
        contentContext_.position = contentContext_.cursor = at;
        if (ReadSectors(1, source_, sector.data(), at, static_cast<int>(sectorBytes_), read) == kOk && read == 1) {
            const int type = carve::DetectType(ByteView(sector), contentContext_);
            if (const auto* row = type == carve::kNoType ? nullptr : carve::RowForType(type)) {
                name += "." + std::string(row->extension);
                typed = true;
            }
        }
    }
    const ExtDirEntry entry{file.number, ext::kRegularFile, name, true, 0};
    ScanRecord record = RecordOf(entry, file.inode, 0);
    // The name's type came from the signature: only whether the blocks are free is asked.
    record.contentOk = ContentCheck(record, file.runs, file.inode.HasInlineData(), !typed);
    if (!file.runs.empty()) record.dataAreaSector = SectorOfBlock(file.runs.front().physical) - startSector_;
    EnsureLostFolder();
    log_.get()->LinkRecord(kLostFolderKey, 1, log_.get()->AppendCopy(record), file.number, nullptr);
}

int CFastExtRecovery::Scan(const std::string* logName) {
    log_.Reset();
    folders_.clear();
    pending_.clear();
    pendingSet_.clear();
    named_.clear();
    namedCompactAt_ = kNamedCompactAt;
    listed_.clear();
    listedFiles_.clear();
    formerNames_.clear();
    lostFolderWritten_ = false;
    if (logName) return log_.Open(*logName, false);
    if (!Ready()) return kErrInvalidHandle;
    if (int rc = log_.Open(MakeLogName(former_ ? kExtFormattedLogPrefix : kQuickLogPrefix, startSector_), true);
        rc != kOk)
        return rc;
    if (int stop = Report(1); stop != 0) return stop;
    if (former_) {
        if (int stop = ListFormerVolume(); stop != 0) return stop;
        return WriteFolders();
    }
    LoadJournal();
    volume_->WillReadInodeTables(kInodeTablesAhead);
    std::vector<Folder> queue{{kRootInode, 0, false, {}}};
    std::unordered_set<uint64_t> entered;
    uint64_t lastReport = SteadyMilliseconds();
    for (size_t i = 0; i < queue.size(); ++i) {
        const Folder folder = queue[i];  // the walk adds to the queue
        // Two names, one folder: a loop. A deleted folder's walk and a live one's differ.
        if (!entered.insert(uint64_t{folder.inode} << 1 | (folder.deleted ? 1 : 0)).second) continue;
        WalkFolder(folder, queue);
        // A report every 0.1 s, so that a cancel is noticed at once.
        if (const uint64_t now = SteadyMilliseconds(); now - lastReport >= 100) {
            lastReport = now;
            if (int stop = Report(static_cast<int>(10 + 60 * i / queue.size())); stop != 0) return stop;
        }
    }
    ListLostInodes();
    if (int stop = Report(80); stop != 0) return stop;
    return WriteFolders();
}

int CFastExtRecovery::WriteFolders() {
    for (uint32_t folder : pending_) {
        const FolderInfo& info = folders_[folder];
        const uint32_t recordId = log_.get()->AppendCopy(info.record);
        const std::string name(RecordName(info.record));
        log_.get()->LinkRecord(info.parent, info.depth - 1, recordId, folder, &name);
    }
    int result = Report(100);
    // Records lost to a failed write are an error even when the scan itself went well.
    if (int rc = log_.get()->Flush(); rc != kOk && result == kOk) result = rc;
    return result;
}

std::optional<CFastExtRecovery::FormerInode> CFastExtRecovery::InodeOfRecord(const ScanRecord& record) {
    if (former_) return FormerVolumeInode(record.fsId);
    // Listed with no size and its content gone: where its data lay is not known.
    if (record.fileSize == 0 && !record.contentOk) return std::nullopt;
    const ExtGeometry& g = volume_->Geometry();
    const auto where = volume_->InodeLocation(record.fsId);
    if (!where) return std::nullopt;
    auto same = [&](const ExtInode& inode) {
        if (inode.size != record.fileSize || inode.writeTime != record.writeTime ||
            inode.createTime != record.createTime || inode.links == 0 || inode.deleteTime != 0)
            return false;
        // Files made in one second with one size, one after another in the same inode, are
        // told apart by where their data begins.
        if (record.dataAreaSector == 0 || inode.HasInlineData()) return true;
        const auto runs = volume_->BlockRuns(inode, 1);
        return !runs.empty() && SectorOfBlock(runs.front().physical) - startSector_ == record.dataAreaSector;
    };
    // ext2 keeps a deleted file's map in the inode (its link count and deletion time
    // cleared): the map and the times are what count there. A file that exists reads
    // through its inode as it is.
    std::vector<uint8_t> bytes = volume_->ReadInodeBytes(record.fsId);
    const ExtInode current = ParseExtInode(ByteView(bytes), g.inodeSize);
    if (ExistingFile(record)) {
        if (bytes.empty() || !same(current)) return std::nullopt;
        return FormerInode{current, std::move(bytes)};
    }
    if (!bytes.empty() && current.deleteTime != 0 && current.size == record.fileSize &&
        current.writeTime == record.writeTime && current.createTime == record.createTime)
        return FormerInode{current, std::move(bytes)};
    if (!LoadJournal()) return std::nullopt;
    for (const ExtJournal::Copy& copy : journal_.CopiesOf(where->first)) {
        const ByteView raw = journal_.Read(*volume_, copy).sub(where->second, g.inodeSize);
        if (raw.size() != g.inodeSize) continue;
        const ExtInode inode = ParseExtInode(raw, g.inodeSize);
        if (same(inode)) return FormerInode{inode, std::vector<uint8_t>(raw.data(), raw.data() + raw.size())};
    }
    return std::nullopt;
}

std::unique_ptr<PieceReader> CFastExtRecovery::ReaderFor(const ScanRecord& record) {
    const auto former = InodeOfRecord(record);
    if (!former) return nullptr;
    const ExtGeometry& g = volume_->Geometry();
    if (former->inode.HasInlineData())
        return std::make_unique<BytesReader>(InlineData(ByteView(former->bytes), g.inodeSize, record.fileSize));
    return std::make_unique<ExtDataReader>(*volume_, volume_->BlockRuns(former->inode, BlocksFor(record.fileSize, g.blockSize)),
                                           record.fileSize);
}

int CFastExtRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool*) {
    // An empty file listed with its content known needs no inode to be written.
    if (record.fileSize == 0 && record.contentOk) {
        data = std::make_unique<BytesReader>(std::vector<uint8_t>{});
        return kOk;
    }
    data = ReaderFor(record);
    // Where the data lay is known no more: nothing is written that could be wrong.
    return data ? kOk : kErrInvalidData;
}

}  // namespace kestrune
