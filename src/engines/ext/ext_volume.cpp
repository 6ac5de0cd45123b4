#include "engines/ext/ext_volume.h"

#include <algorithm>
#include <cstring>

#include "base/file_time.h"
#include "base/result_codes.h"
#include "scanlog/file_types.h"

namespace kestrune {

namespace {

constexpr uint16_t kMagic = 0xEF53;
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr uint32_t kSuperblockOffset = 1024;
constexpr uint32_t kSuperblockBytes = 1024;
constexpr int kMaxExtentDepth = 5;
// Blocks a block map may name before it is taken for damage: a tree or indirect map
// that loops costs this much at most.
constexpr int kMapBudget = 1 << 16;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// An inode time: seconds since 1970 (signed, 32 bits) and the extra field's epoch bits
// and nanoseconds, where the inode has room for them.
uint64_t InodeTime(uint32_t seconds, std::optional<uint32_t> extra) {
    if (seconds == 0 && (!extra || *extra == 0)) return 0;
    int64_t s = static_cast<int32_t>(seconds);
    uint32_t nanoseconds = 0;
    if (extra) {
        s += static_cast<int64_t>(*extra & 3) << 32;
        nanoseconds = std::min<uint32_t>(*extra >> 2, 999'999'999);
    }
    return FileTimeFromUnix(s, nanoseconds);
}

}  // namespace

const char* ExtVersionName(ExtVersion version) {
    switch (version) {
        case ExtVersion::Ext2: return "ext2";
        case ExtVersion::Ext3: return "ext3";
        case ExtVersion::Ext4: return "ext4";
    }
    return "ext";
}

ExtVersion ExtVersionOf(ByteView sb) {
    // Extents, 64-bit block numbers, flexible groups, inline data; huge files, group
    // checksums, directory link counts, large inodes, metadata checksums.
    if ((sb.le32(96) & (0x40 | 0x80 | 0x200 | 0x8000)) || (sb.le32(100) & (0x8 | 0x10 | 0x20 | 0x40 | 0x400)))
        return ExtVersion::Ext4;
    return (sb.le32(92) & 0x4) ? ExtVersion::Ext3 : ExtVersion::Ext2;
}

bool ExtGeometryFromSuperblock(ByteView sb, uint64_t volumeBytes, ExtGeometry& out, std::string& why) {
    if (sb.size() < kSuperblockBytes || sb.le16(56) != kMagic) {
        why = "no ext superblock";
        return false;
    }
    ExtGeometry g;
    const uint32_t logBlockSize = sb.le32(24);
    if (logBlockSize > 6) {
        why = "impossible block size";
        return false;
    }
    g.blockSize = 1024u << logBlockSize;
    g.inodeCount = sb.le32(0);
    g.firstDataBlock = sb.le32(20);
    g.blocksPerGroup = sb.le32(32);
    g.inodesPerGroup = sb.le32(40);
    g.featureCompat = sb.le32(92);
    g.featureIncompat = sb.le32(96);
    g.featureRoCompat = sb.le32(100);
    g.blockCount = sb.le32(4) | (g.Is64Bit() ? uint64_t{sb.le32(0x150)} << 32 : 0);
    g.inodeSize = sb.le32(76) == 0 ? 128 : sb.le16(88);
    g.descriptorSize = g.Is64Bit() ? sb.le16(0xFE) : 32;
    g.journalInode = g.HasJournal() ? sb.le32(0xE0) : 0;
    g.version = ExtVersionOf(sb);
    const uint64_t bitsPerBlock = uint64_t{g.blockSize} * 8;
    if (g.firstDataBlock != (g.blockSize == 1024 ? 1u : 0u) || g.blocksPerGroup == 0 ||
        g.blocksPerGroup > bitsPerBlock || g.inodesPerGroup == 0 || g.inodesPerGroup > bitsPerBlock ||
        g.blockCount <= g.firstDataBlock || g.inodeSize < 128 || g.inodeSize > g.blockSize ||
        !IsPowerOfTwo(g.inodeSize) || g.descriptorSize < 32 || g.descriptorSize > 1024 || !IsPowerOfTwo(g.descriptorSize)) {
        why = "superblock geometry does not hold together";
        return false;
    }
    const uint64_t groups = (g.blockCount - g.firstDataBlock + g.blocksPerGroup - 1) / g.blocksPerGroup;
    if (groups == 0 || groups > UINT32_MAX || uint64_t{g.inodeCount} != groups * g.inodesPerGroup) {
        why = "group count does not match the inode count";
        return false;
    }
    g.groupCount = static_cast<uint32_t>(groups);
    g.volumeBytes = volumeBytes;
    out = g;
    return true;
}

bool ReadExtGeometry(SectorSource& source, uint64_t volumeOffset, uint64_t volumeBytes, ExtGeometry& out,
                     std::string& why) {
    if (!source.IsOpen()) {
        why = "source not open";
        return false;
    }
    std::vector<uint8_t> sb(kSuperblockBytes);
    size_t got = 0;
    std::string primaryWhy = "superblock unreadable";
    if (ReadExactly(*source.medium, volumeOffset + kSuperblockOffset, sb.data(), sb.size(), got) == kOk &&
        ExtGeometryFromSuperblock(ByteView(sb), volumeBytes, out, primaryWhy)) {
        out.volumeOffset = volumeOffset;
        return true;
    }
    // The backup in group 1, for each block size mkfs may have chosen (with the group
    // size it then takes, 8 blocks per byte of a bitmap block).
    for (uint32_t blockSize = 1024; blockSize <= 65536; blockSize *= 2) {
        const uint64_t firstDataBlock = blockSize == 1024 ? 1 : 0;
        const uint64_t at = (firstDataBlock + uint64_t{blockSize} * 8) * blockSize;
        if (at + kSuperblockBytes > volumeBytes) break;
        if (ReadExactly(*source.medium, volumeOffset + at, sb.data(), sb.size(), got) != kOk) continue;
        ExtGeometry backup;
        std::string ignored;
        if (ExtGeometryFromSuperblock(ByteView(sb), volumeBytes, backup, ignored) && backup.blockSize == blockSize) {
            backup.volumeOffset = volumeOffset;
            backup.fromBackup = true;
            out = backup;
            return true;
        }
    }
    why = primaryWhy;
    return false;
}

ExtInode ParseExtInode(ByteView b, uint32_t inodeSize) {
    ExtInode inode;
    inode.mode = b.le16(0);
    inode.size = b.le32(4) | (uint64_t{b.le32(108)} << 32);
    inode.deleteTime = b.le32(20);
    inode.links = b.le16(26);
    inode.flags = b.le32(32);
    inode.generation = b.le32(100);
    const ByteView map = b.sub(40, inode.blockMap.size());
    if (!map.empty()) std::memcpy(inode.blockMap.data(), map.data(), map.size());
    // The extra times exist when the inode is large and says its extra part holds them.
    const uint32_t extraSize = inodeSize > 128 ? b.le16(128) : 0;
    auto extra = [&](size_t at) -> std::optional<uint32_t> {
        if (128 + extraSize < at + 4 || !b.has(at, 4)) return std::nullopt;
        return b.le32(at);
    };
    inode.changeTime = InodeTime(b.le32(12), extra(132));
    inode.writeTime = InodeTime(b.le32(16), extra(136));
    inode.accessTime = InodeTime(b.le32(8), extra(140));
    if (const auto created = extra(144)) inode.createTime = InodeTime(*created, extra(148));
    return inode;
}

bool ExtVolume::LoadGroups() {
    groups_.clear();
    const uint64_t first = geometry_.firstDataBlock + 1 + (geometry_.fromBackup ? geometry_.blocksPerGroup : 0);
    const uint64_t bytes = uint64_t{geometry_.groupCount} * geometry_.descriptorSize;
    std::vector<uint8_t> table(bytes);
    size_t got = 0;
    if (ReadExactly(*source_.medium, geometry_.BlockOffset(first), table.data(), table.size(), got) != kOk) return false;
    const ByteView view(table);
    groups_.reserve(geometry_.groupCount);
    for (uint32_t g = 0; g < geometry_.groupCount; ++g) {
        const ByteView d = view.sub(size_t{g} * geometry_.descriptorSize, geometry_.descriptorSize);
        const bool wide = geometry_.descriptorSize >= 64;
        ExtGroup group;
        group.blockBitmap = d.le32(0) | (wide ? uint64_t{d.le32(0x20)} << 32 : 0);
        group.inodeBitmap = d.le32(4) | (wide ? uint64_t{d.le32(0x24)} << 32 : 0);
        group.inodeTable = d.le32(8) | (wide ? uint64_t{d.le32(0x28)} << 32 : 0);
        group.flags = d.le16(0x12);
        // Counted only where the volume keeps group checksums (uninit_bg or metadata_csum).
        if (geometry_.featureRoCompat & 0x410)
            group.inodesNeverUsed = d.le16(0x1C) | (wide ? uint32_t{d.le16(0x32)} << 16 : 0);
        groups_.push_back(group);
    }
    return true;
}

std::vector<uint8_t> ExtVolume::ReadBlock(uint64_t block) {
    std::vector<uint8_t> bytes;
    if (!geometry_.IsBlock(block) && block != 0) return bytes;
    bytes.resize(geometry_.blockSize);
    size_t got = 0;
    if (ReadExactly(*source_.medium, geometry_.BlockOffset(block), bytes.data(), bytes.size(), got) != kOk) bytes.clear();
    return bytes;
}

std::vector<uint8_t> ExtVolume::ReadBlocks(uint64_t first, uint64_t count) {
    std::vector<uint8_t> bytes;
    if (count == 0 || !geometry_.IsBlock(first) || !geometry_.IsBlock(first + count - 1)) return bytes;
    bytes.resize(count * geometry_.blockSize);
    size_t got = 0;
    if (ReadExactly(*source_.medium, geometry_.BlockOffset(first), bytes.data(), bytes.size(), got) != kOk) bytes.clear();
    return bytes;
}

std::optional<std::pair<uint64_t, uint32_t>> ExtVolume::InodeLocation(uint32_t n) const {
    if (n == 0 || n > geometry_.inodeCount) return std::nullopt;
    const uint32_t group = (n - 1) / geometry_.inodesPerGroup;
    if (group >= groups_.size()) return std::nullopt;
    const uint64_t byte = uint64_t{(n - 1) % geometry_.inodesPerGroup} * geometry_.inodeSize;
    const uint64_t block = groups_[group].inodeTable + byte / geometry_.blockSize;
    if (!geometry_.IsBlock(block)) return std::nullopt;
    return std::pair{block, static_cast<uint32_t>(byte % geometry_.blockSize)};
}

ByteView ExtVolume::TableBlock(uint64_t table, uint64_t block) {
    // 64 KiB pieces, 32 of them kept: the inodes of the folders a scan is in.
    constexpr uint64_t kPieceBytes = 64 << 10;
    constexpr size_t kHeldPieces = 32;
    // A piece that cannot be read whole (a bad sector, the end of a cut image) is kept
    // empty, and its blocks are read one by one, each kept under its number and this mark.
    constexpr uint64_t kSingleBlock = uint64_t{1} << 63;
    const uint64_t blockSize = geometry_.blockSize;
    const uint64_t perPiece = std::max<uint64_t>(1, kPieceBytes / blockSize);
    const uint64_t tableBlocks = (uint64_t{geometry_.inodesPerGroup} * geometry_.inodeSize + blockSize - 1) / blockSize;
    const uint64_t first = table + (block - table) / perPiece * perPiece;
    // Reads count blocks from `from` over the bytes of the next slot (its buffer is made
    // once), kept under key; empty when they cannot be read.
    auto readInto = [&](uint64_t key, uint64_t from, uint64_t count) {
        if (tablePieces_.size() < kHeldPieces) tablePieces_.emplace_back();
        const size_t slot = nextTableSlot_++ % tablePieces_.size();
        TablePiece& piece = tablePieces_[slot];
        tablePieceSlots_.erase(piece.key);
        if (!piece.bytes) piece.bytes = std::make_unique_for_overwrite<uint8_t[]>(perPiece * blockSize);
        piece.key = key;
        piece.size = count * blockSize;
        size_t got = 0;
        if (!geometry_.IsBlock(from) || !geometry_.IsBlock(from + count - 1) ||
            ReadExactly(*source_.medium, geometry_.BlockOffset(from), piece.bytes.get(), piece.size, got) != kOk)
            piece.size = 0;
        tablePieceSlots_[key] = slot;
        return ByteView(piece.bytes.get(), piece.size);
    };
    auto heldView = [&](size_t slot) { return ByteView(tablePieces_[slot].bytes.get(), tablePieces_[slot].size); };
    auto held = tablePieceSlots_.find(first);
    const ByteView piece = held != tablePieceSlots_.end() ? heldView(held->second)
                                                          : readInto(first, first, std::min(perPiece, table + tableBlocks - first));
    if (!piece.empty()) return piece.sub((block - first) * blockSize, blockSize);
    held = tablePieceSlots_.find(block | kSingleBlock);
    return held != tablePieceSlots_.end() ? heldView(held->second) : readInto(block | kSingleBlock, block, 1);
}

ByteView ExtVolume::InodeBytes(uint32_t n) {
    const auto where = InodeLocation(n);
    if (!where) return {};
    const uint64_t table = groups_[(n - 1) / geometry_.inodesPerGroup].inodeTable;
    return TableBlock(table, where->first).sub(where->second, geometry_.inodeSize);
}

std::vector<uint8_t> ExtVolume::ReadInodeBytes(uint32_t n) {
    const ByteView inode = InodeBytes(n);
    return std::vector<uint8_t>(inode.data(), inode.data() + inode.size());
}

std::optional<ExtInode> ExtVolume::ReadInode(uint32_t n) {
    const ByteView bytes = InodeBytes(n);
    if (bytes.empty()) return std::nullopt;
    return ParseExtInode(bytes, geometry_.inodeSize);
}

void ExtVolume::AddRun(std::vector<ExtRun>& out, uint64_t logical, uint64_t physical, uint64_t length) {
    if (!out.empty() && out.back().logical + out.back().length == logical &&
        out.back().physical + out.back().length == physical) {
        out.back().length += length;
        return;
    }
    out.push_back({logical, physical, length});
}

void ExtVolume::ExtentRuns(ByteView node, int depth, uint64_t maxBlocks, std::vector<ExtRun>& out, int& budget) {
    if (node.le16(0) != kExtentMagic || node.le16(6) != depth || depth > kMaxExtentDepth) return;
    const uint16_t entries = std::min<uint16_t>(node.le16(2), static_cast<uint16_t>((node.size() - 12) / 12));
    for (uint16_t i = 0; i < entries && budget > 0; ++i) {
        const ByteView e = node.sub(12 + size_t{i} * 12, 12);
        const uint64_t logical = e.le32(0);
        if (logical >= maxBlocks) break;
        if (depth > 0) {
            const uint64_t child = e.le32(4) | (uint64_t{e.le16(8)} << 32);
            --budget;
            if (!geometry_.IsBlock(child)) continue;
            const std::vector<uint8_t> block = ReadBlock(child);
            if (!block.empty()) ExtentRuns(ByteView(block), depth - 1, maxBlocks, out, budget);
            continue;
        }
        const uint16_t length = e.le16(4);
        // Longer than 32768: an extent allocated but never written, which reads as zeros.
        if (length == 0 || length > 32768) continue;
        const uint64_t physical = e.le32(8) | (uint64_t{e.le16(6)} << 32);
        const uint64_t usable = std::min<uint64_t>(length, maxBlocks - logical);
        if (!geometry_.IsBlock(physical) || !geometry_.IsBlock(physical + usable - 1)) continue;
        budget -= 1;
        AddRun(out, logical, physical, usable);
    }
}

void ExtVolume::IndirectRuns(uint64_t block, int level, uint64_t& logical, uint64_t maxBlocks,
                             std::vector<ExtRun>& out, int& budget) {
    const uint64_t perBlock = geometry_.blockSize / 4;
    uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    if (block == 0 || !geometry_.IsBlock(block) || --budget <= 0) {
        logical += span * perBlock;  // a hole as large as the map it stands for
        return;
    }
    const std::vector<uint8_t> bytes = ReadBlock(block);
    const ByteView entries(bytes);
    for (uint64_t i = 0; i < perBlock && logical < maxBlocks; ++i) {
        const uint32_t next = bytes.empty() ? 0 : entries.le32(i * 4);
        if (level == 0) {
            if (next != 0 && geometry_.IsBlock(next)) AddRun(out, logical, next, 1);
            ++logical;
        } else {
            IndirectRuns(next, level - 1, logical, maxBlocks, out, budget);
        }
    }
}

std::vector<ExtRun> ExtVolume::BlockRuns(const ExtInode& inode, uint64_t maxBlocks) {
    std::vector<ExtRun> runs;
    int budget = kMapBudget;
    const ByteView map(inode.blockMap);
    if (inode.UsesExtents()) {
        ExtentRuns(map, map.le16(6), maxBlocks, runs, budget);
    } else if (!inode.HasInlineData()) {
        uint64_t logical = 0;
        for (int i = 0; i < 12 && logical < maxBlocks; ++i, ++logical) {
            const uint32_t block = map.le32(i * 4);
            if (block != 0 && geometry_.IsBlock(block)) AddRun(runs, logical, block, 1);
        }
        for (int level = 0; level < 3 && logical < maxBlocks; ++level)
            IndirectRuns(map.le32(48 + level * 4), level, logical, maxBlocks, runs, budget);
    }
    std::sort(runs.begin(), runs.end(), [](const ExtRun& a, const ExtRun& b) { return a.logical < b.logical; });
    return runs;
}

bool ExtVolume::BlockInUse(uint64_t block) {
    if (block < geometry_.firstDataBlock || block >= geometry_.blockCount) return true;
    const uint64_t relative = block - geometry_.firstDataBlock;
    const uint64_t group = relative / geometry_.blocksPerGroup;
    if (group >= groups_.size()) return true;
    if (groups_[group].BlockBitmapUnused()) return false;
    return BitSet(bitmaps_, groups_[group].blockBitmap, relative % geometry_.blocksPerGroup);
}

void ExtVolume::WillRead(uint64_t first, uint64_t count) {
    if (!geometry_.IsBlock(first) || count == 0) return;
    count = std::min(count, geometry_.blockCount - first);
    source_.medium->WillRead(geometry_.BlockOffset(first), count * geometry_.blockSize);
}

void ExtVolume::WillReadInodeTables(uint64_t most) {
    const uint64_t tableBytes = uint64_t{geometry_.inodesPerGroup} * geometry_.inodeSize;
    for (const ExtGroup& group : groups_) {
        if (group.InodeBitmapUnused()) continue;
        const uint64_t used = tableBytes - std::min(tableBytes, uint64_t{group.inodesNeverUsed} * geometry_.inodeSize);
        const uint64_t bytes = std::min(used, most);
        if (bytes == 0) break;
        WillRead(group.inodeTable, (bytes + geometry_.blockSize - 1) / geometry_.blockSize);
        most -= bytes;
    }
}

bool ExtVolume::InodeInUse(uint32_t n) {
    if (n == 0 || n > geometry_.inodeCount) return true;
    const uint32_t group = (n - 1) / geometry_.inodesPerGroup;
    if (group >= groups_.size()) return true;
    if (groups_[group].InodeBitmapUnused()) return false;
    return BitSet(inodeBitmaps_, groups_[group].inodeBitmap, (n - 1) % geometry_.inodesPerGroup);
}

bool ExtVolume::BitSet(std::unordered_map<uint64_t, std::vector<uint8_t>>& held, uint64_t bitmapBlock, uint64_t bit) {
    constexpr size_t kHeldBitmaps = 256;
    auto it = held.find(bitmapBlock);
    if (it == held.end()) {
        if (held.size() >= kHeldBitmaps) held.clear();
        it = held.emplace(bitmapBlock, ReadBlock(bitmapBlock)).first;
    }
    const std::vector<uint8_t>& bitmap = it->second;
    if (bit / 8 >= bitmap.size()) return true;
    return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

void ExtVolume::FindTableRanges() {
    if (!tableRanges_.empty() || groups_.empty() || geometry_.blockSize == 0) return;
    const uint64_t tableBlocks =
        (uint64_t{geometry_.inodesPerGroup} * geometry_.inodeSize + geometry_.blockSize - 1) / geometry_.blockSize;
    for (const ExtGroup& group : groups_) {
        inodeTables_.emplace_back(group.inodeTable, group.inodeTable + tableBlocks);
        tableRanges_.emplace_back(group.inodeTable, group.inodeTable + tableBlocks);
        tableRanges_.emplace_back(group.blockBitmap, group.blockBitmap + 1);
        tableRanges_.emplace_back(group.inodeBitmap, group.inodeBitmap + 1);
    }
    std::sort(tableRanges_.begin(), tableRanges_.end());
    std::sort(inodeTables_.begin(), inodeTables_.end());
}

bool ExtVolume::InRanges(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t block) {
    // (Overlapping ranges of a damaged volume only cost a read.)
    auto at = std::upper_bound(ranges.begin(), ranges.end(), std::pair{block, UINT64_MAX});
    return at != ranges.begin() && block < std::prev(at)->second;
}

bool ExtVolume::IsTableOrBitmapBlock(uint64_t block) {
    FindTableRanges();
    return InRanges(tableRanges_, block);
}

bool ExtVolume::IsInodeTableBlock(uint64_t block) {
    FindTableRanges();
    return InRanges(inodeTables_, block);
}

}  // namespace kestrune
