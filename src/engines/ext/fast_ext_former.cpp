// The files of the volume an ext volume was formatted over, from the inodes the new one
// has not given out (see fast_ext_recovery.h).
#include <algorithm>

#include "base/steady_clock.h"
#include "engines/ext/ext_data.h"
#include "engines/ext/fast_ext_recovery.h"

namespace kestrune {

namespace {

constexpr uint32_t kRootInode = 2;
// Inodes below this one are the file system's own (root, journal, lost+found...).
constexpr uint32_t kFirstFileInode = 12;
// A folder whose inode was overwritten is looked for in this many blocks either side of
// one of its subfolders' blocks, for so many folders at most.
constexpr uint64_t kParentWindow = 256;
constexpr size_t kLostParentSearches = 64;
// Inode tables are read this many bytes at a time.
constexpr uint64_t kTableReadBytes = 1 << 20;

uint64_t BlocksFor(uint64_t size, uint32_t blockSize) { return (size + blockSize - 1) / blockSize; }

// What a file system writes into the inode of a file or folder that lives: linked, not
// freed, with a modification time. Slots never used, or freed by the old volume, fail.
bool DescribesLivingFile(const ExtInode& inode) {
    return inode.links > 0 && inode.deleteTime == 0 && inode.writeTime != 0 && (inode.IsRegular() || inode.IsFolder());
}

}  // namespace

std::optional<CFastExtRecovery::FormerInode> CFastExtRecovery::FormerVolumeInode(uint32_t number) {
    if (number < kFirstFileInode || volume_->InodeInUse(number)) return std::nullopt;
    std::vector<uint8_t> bytes = volume_->ReadInodeBytes(number);
    if (bytes.empty()) return std::nullopt;
    const ExtGeometry& g = volume_->Geometry();
    const ExtInode inode = ParseExtInode(ByteView(bytes), g.inodeSize);
    if (!DescribesLivingFile(inode)) return std::nullopt;
    // Its block map must lead somewhere inside the volume.
    if (inode.size > 0 && !inode.HasInlineData() && volume_->BlockRuns(inode, BlocksFor(inode.size, g.blockSize)).empty())
        return std::nullopt;
    return FormerInode{inode, std::move(bytes)};
}

int CFastExtRecovery::ListFormerVolume() {
    const ExtGeometry& g = volume_->Geometry();
    const uint64_t tableBlocks = BlocksFor(uint64_t{g.inodesPerGroup} * g.inodeSize, g.blockSize);
    const uint64_t readBlocks = std::max<uint64_t>(1, kTableReadBytes / g.blockSize);
    std::vector<uint32_t> folders, files;
    uint64_t lastReport = SteadyMilliseconds();
    const size_t groups = volume_->Groups().size();
    for (uint32_t group = 0; group < groups; ++group) {
        const ExtGroup& descriptor = volume_->Groups()[group];
        for (uint64_t k = 0; k < tableBlocks; k += readBlocks) {
            const uint64_t count = std::min(readBlocks, tableBlocks - k);
            const std::vector<uint8_t> table = volume_->ReadBlocks(descriptor.inodeTable + k, count);
            const uint64_t slots = table.size() / g.inodeSize;
            const uint64_t firstSlot = k * g.blockSize / g.inodeSize;
            for (uint64_t i = 0; i < slots && firstSlot + i < g.inodesPerGroup; ++i) {
                const ByteView raw = ByteView(table).sub(i * g.inodeSize, g.inodeSize);
                // Most slots of a volume never held a file: zeros, passed over at once.
                if (raw.le16(0) == 0 || raw.le16(26) == 0) continue;
                const uint64_t number = uint64_t{group} * g.inodesPerGroup + firstSlot + i + 1;
                if (number < kFirstFileInode || number > g.inodeCount) continue;
                const ExtInode inode = ParseExtInode(raw, g.inodeSize);
                if (!DescribesLivingFile(inode) || volume_->InodeInUse(static_cast<uint32_t>(number))) continue;
                (inode.IsFolder() ? folders : files).push_back(static_cast<uint32_t>(number));
            }
        }
        if (const uint64_t now = SteadyMilliseconds(); now - lastReport >= 100) {
            lastReport = now;
            if (int stop = Report(static_cast<int>(10 + 40 * group / groups)); stop != 0) return stop;
        }
    }
    NameFormerFiles(folders);
    if (int stop = Report(60); stop != 0) return stop;
    for (size_t i = 0; i < files.size(); ++i) {
        AddFormerFile(files[i]);
        if (const uint64_t now = SteadyMilliseconds(); now - lastReport >= 100) {
            lastReport = now;
            if (int stop = Report(static_cast<int>(60 + 30 * i / files.size())); stop != 0) return stop;
        }
    }
    return 0;
}

void CFastExtRecovery::NameFormerFiles(const std::vector<uint32_t>& folders) {
    const ExtGeometry& g = volume_->Geometry();
    std::unordered_map<uint32_t, uint32_t> parents;  // folder -> the folder its ".." names
    std::unordered_set<uint32_t> liveNames;
    for (uint32_t folder : folders) {
        const auto former = FormerVolumeInode(folder);
        if (!former) continue;
        const auto blocks = FolderBlocks(former->inode, former->bytes);
        if (former->inode.HasInlineData()) {
            const std::vector<uint8_t> data = InlineData(ByteView(former->bytes), g.inodeSize, 4);
            parents[folder] = data.size() >= 4 ? ByteView(data).le32(0) : 0;
        } else {
            parents[folder] = blocks.empty() ? 0 : ParentInDirectoryBlock(ByteView(blocks.front().bytes));
        }
        for (size_t k = 0; k < blocks.size(); ++k) {
            const bool indexedRoot = k == 0 && (former->inode.flags & 0x1000);
            for (const ExtDirEntry& entry : ParseDirectoryBlock(ByteView(blocks[k].bytes), g.inodeCount, indexedRoot)) {
                // A name the folder held when it was formatted over wins over one deleted
                // before.
                if (entry.deleted && (liveNames.count(entry.inode) || formerNames_.count(entry.inode))) continue;
                if (!entry.deleted) liveNames.insert(entry.inode);
                formerNames_[entry.inode] = {entry.name, folder};
            }
        }
    }
    FindLostParents(parents);
    // The folders, placed where their ".." says; a folder whose own name went with the
    // folder above it (the old root's blocks are the new root's) is named by its number.
    for (const auto& [folder, parent] : parents) {
        const auto named = formerNames_.find(folder);
        const auto own = FormerVolumeInode(folder);
        const std::string name = named != formerNames_.end() ? named->second.first : "LostFolder" + std::to_string(folder);
        const ExtDirEntry entry{folder, ext::kDirectoryFile, name, true, 0};
        ScanRecord record = RecordOf(entry, own ? own->inode : ExtInode{}, 0);
        record.folderDeleted = 1;
        const uint32_t above = parents.count(parent) || parent == kRootInode ? parent : kRootInode;
        folders_[folder] = {record, above, 0};
    }
    // Depths, from the root down; a chain of ".." that loops is cut at the root.
    for (auto& [folder, info] : folders_) {
        uint32_t depth = 1;
        std::unordered_set<uint32_t> climbed{folder};
        for (uint32_t up = info.parent; up != kRootInode; ++depth) {
            const auto it = folders_.find(up);
            if (it == folders_.end() || !climbed.insert(up).second) {
                info.parent = kRootInode;
                depth = 1;
                break;
            }
            up = it->second.parent;
        }
        info.depth = depth;
    }
}

void CFastExtRecovery::FindLostParents(std::unordered_map<uint32_t, uint32_t>& parents) {
    const ExtGeometry& g = volume_->Geometry();
    std::vector<std::pair<uint32_t, uint64_t>> wanted;  // (lost folder, a block of a folder in it)
    std::unordered_set<uint32_t> asked;
    for (const auto& [folder, parent] : parents) {
        if (parent == kRootInode || parent == 0 || parents.count(parent) || !asked.insert(parent).second) continue;
        const auto former = FormerVolumeInode(folder);
        const auto runs = former ? volume_->BlockRuns(former->inode, 1) : std::vector<ExtRun>{};
        if (!runs.empty()) wanted.emplace_back(parent, runs.front().physical);
        if (wanted.size() >= kLostParentSearches) break;
    }
    for (const auto& [lost, near] : wanted) {
        const uint64_t first = std::max<uint64_t>(g.firstDataBlock, near > kParentWindow ? near - kParentWindow : 0);
        const uint64_t count = std::min<uint64_t>(2 * kParentWindow, g.blockCount - first);
        const std::vector<uint8_t> window = volume_->ReadBlocks(first, count);
        for (uint64_t k = 0; k * g.blockSize < window.size(); ++k) {
            const ByteView block = ByteView(window).sub(k * g.blockSize, g.blockSize);
            const uint32_t above = ParentInDirectoryBlock(block);
            if (block.le32(0) != lost || above == 0 || volume_->BlockInUse(first + k)) continue;
            parents[lost] = above;
            for (const ExtDirEntry& entry : ParseDirectoryBlock(block, g.inodeCount, false))
                if (!entry.deleted || !formerNames_.count(entry.inode)) formerNames_[entry.inode] = {entry.name, lost};
            break;
        }
    }
}

void CFastExtRecovery::AddFormerFile(uint32_t number) {
    if (!listed_.insert(number).second) return;
    const auto former = FormerVolumeInode(number);
    if (!former || !former->inode.IsRegular()) return;
    const ExtGeometry& g = volume_->Geometry();
    const auto runs = volume_->BlockRuns(former->inode, BlocksFor(former->inode.size, g.blockSize));
    uint32_t parent = kRootInode, parentDepth = 0;
    std::string name;
    if (const auto named = formerNames_.find(number); named != formerNames_.end()) {
        const auto folder = folders_.find(named->second.second);
        if (named->second.second == kRootInode || folder != folders_.end()) {
            name = named->second.first;
            parent = named->second.second;
            parentDepth = folder != folders_.end() ? folder->second.depth : 0;
        }
    }
    if (name.empty()) {
        AddUnnamedFile({number, former->inode, runs});
        return;
    }
    const ExtDirEntry entry{number, ext::kRegularFile, name, true, 0};
    ScanRecord record = RecordOf(entry, former->inode, 0);
    record.contentOk = ContentCheck(record, runs, former->inode.HasInlineData());
    if (!runs.empty()) record.dataAreaSector = SectorOfBlock(runs.front().physical) - startSector_;
    log_.get()->LinkRecord(parent, parentDepth, log_.get()->AppendCopy(record), number, nullptr);
    KeepFoldersAbove(parent);
}

}  // namespace kestrune
