#include "engines/ext/ext_journal.h"

#include <algorithm>
#include <array>

#include "base/file_time.h"
#include "base/result_codes.h"
#include "scanlog/file_types.h"

namespace kestrune {

namespace {

constexpr uint32_t kJournalMagic = 0xC03B3998;
constexpr uint32_t kDescriptorBlock = 1, kCommitBlock = 2;
constexpr uint32_t kSuperblockV1 = 3, kSuperblockV2 = 4;
constexpr uint32_t kFeature64Bit = 0x2, kFeatureChecksumV2 = 0x8, kFeatureChecksumV3 = 0x10;
constexpr uint32_t kTagEscaped = 0x1, kTagSameUuid = 0x2, kTagLast = 0x8;
// The largest journal mke2fs makes is 1 GiB of 4 KiB blocks; past this it is damage.
constexpr uint64_t kMaxJournalBlocks = 1 << 20;
// Read a run of the journal this many bytes at a time.
constexpr uint64_t kChunkBytes = 1 << 20;

// CRC-32C (Castagnoli) as jbd2 keeps it: no inversion before or after.
uint32_t Crc32c(uint32_t crc, const uint8_t* data, size_t length) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

// A descriptor block of a journal with checksums ends with the checksum of the whole
// block (counted with that field zero), seeded by the journal's UUID.
bool DescriptorChecksumHolds(ByteView block, uint32_t seed) {
    std::vector<uint8_t> bytes(block.data(), block.data() + block.size());
    const uint32_t stored = block.be32(block.size() - 4);
    std::fill(bytes.end() - 4, bytes.end(), 0);
    return Crc32c(seed, bytes.data(), bytes.size()) == stored;
}

}  // namespace

std::vector<JournalTag> ParseDescriptorTags(ByteView block, uint32_t incompat) {
    const bool v3 = incompat & kFeatureChecksumV3, v2 = incompat & kFeatureChecksumV2, wide = incompat & kFeature64Bit;
    const size_t tagBytes = v3 ? 16 : 12 + (v2 ? 2 : 0) - (wide ? 0 : 4);
    // Journals with checksums end each descriptor block with one.
    const size_t end = block.size() >= 4 && (v2 || v3) ? block.size() - 4 : block.size();
    std::vector<JournalTag> tags;
    for (size_t at = 12; at + tagBytes <= end;) {
        const uint32_t flags = v3 ? block.be32(at + 4) : block.be16(at + 6);
        const uint64_t high = wide ? block.be32(at + 8) : 0;
        tags.push_back({block.be32(at) | (high << 32), (flags & kTagEscaped) != 0});
        at += tagBytes;
        if (!(flags & kTagSameUuid)) at += 16;
        if (flags & kTagLast) break;
    }
    return tags;
}

uint64_t ExtJournal::VolumeBlock(uint64_t journalBlock) const {
    auto after = std::upper_bound(runs_.begin(), runs_.end(), journalBlock,
                                  [](uint64_t j, const ExtRun& run) { return j < run.logical; });
    if (after == runs_.begin()) return 0;
    const ExtRun& run = *std::prev(after);
    return journalBlock - run.logical < run.length ? run.physical + (journalBlock - run.logical) : 0;
}

namespace {

// Sequence numbers wrap: a is newer than b when it lies less than half the range ahead.
bool Newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

bool ExtJournal::Load(ExtVolume& volume) {
    runs_.clear();
    copies_.clear();
    commitTimes_.clear();
    folderCopies_.clear();
    recentSlots_.clear();
    recentOwners_.assign(recentOwners_.size(), kNoOwner);
    length_ = 0;
    LogLayout layout;
    if (!ReadSuperblock(volume, layout)) {
        runs_.clear();
        length_ = 0;
        return false;
    }
    const std::unordered_map<uint64_t, Claim> claims = WalkLog(volume, layout);
    std::unordered_map<uint64_t, std::vector<ExtDirEntry>> folderBlocks = ReadFolderCopies(volume, claims);
    for (const auto& [journalBlock, claim] : claims) {
        copies_[claim.block].push_back({claim.sequence, journalBlock, claim.escaped});
        // An escaped copy's first word was changed: parsed when read instead.
        const auto parsed = folderBlocks.find(journalBlock);
        if (parsed != folderBlocks.end() && !claim.escaped)
            folderCopies_[claim.block].push_back({claim.sequence, std::move(parsed->second)});
    }
    for (auto& [block, copies] : folderCopies_)
        std::sort(copies.begin(), copies.end(),
                  [](const FolderCopy& a, const FolderCopy& b) { return Newer(a.sequence, b.sequence); });
    for (auto& [block, copies] : copies_)
        std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) { return Newer(a.sequence, b.sequence); });
    return true;
}

bool ExtJournal::ReadSuperblock(ExtVolume& volume, LogLayout& layout) {
    const ExtGeometry& g = volume.Geometry();
    if (!g.HasJournal() || g.journalInode == 0) return false;
    const auto inode = volume.ReadInode(g.journalInode);
    if (!inode) return false;
    const uint64_t blocks = std::min<uint64_t>(inode->size / g.blockSize, kMaxJournalBlocks);
    if (blocks < 2) return false;
    runs_ = volume.BlockRuns(*inode, blocks);
    const std::vector<uint8_t> head = runs_.empty() ? std::vector<uint8_t>() : volume.ReadBlock(VolumeBlock(0));
    const ByteView sb(head);
    const uint32_t type = sb.be32(4);
    if (sb.size() < 1024 || sb.be32(0) != kJournalMagic || (type != kSuperblockV1 && type != kSuperblockV2) ||
        sb.be32(12) != g.blockSize)
        return false;
    length_ = std::min<uint64_t>(blocks, sb.be32(16));
    layout.first = sb.be32(20);
    layout.incompat = type == kSuperblockV2 ? sb.be32(40) : 0;
    layout.checksums = layout.incompat & (kFeatureChecksumV2 | kFeatureChecksumV3);
    layout.seed = Crc32c(0xFFFFFFFFu, sb.data() + 0x30, 16);
    return layout.first != 0 && layout.first < length_;
}

// Each header of the log area, in order: a descriptor block names the blocks whose copies
// follow it (the log wraps from its end to its first block), and its copies are passed
// over without a read. A journal block that a later transaction wrote again holds that
// one's copy: only the newest claim on each journal block is believed. Commit blocks give
// the transactions' times on the way.
std::unordered_map<uint64_t, ExtJournal::Claim> ExtJournal::WalkLog(ExtVolume& volume, const LogLayout& layout) {
    const ExtGeometry& g = volume.Geometry();
    std::unordered_map<uint64_t, Claim> claims;
    // Where a header is expected one block is read; in a stretch without headers (copies
    // whose descriptor a later transaction wrote over, or a journal never filled) several.
    constexpr uint64_t kStaleBlocks = 16;
    std::vector<uint8_t> held;
    uint64_t heldFirst = 0, heldCount = 0;
    bool inStale = false;
    for (uint64_t index = layout.first; index < length_;) {
        if (index < heldFirst || index >= heldFirst + heldCount) {
            // As many blocks as are wanted and lie one after another on the volume.
            const uint64_t at = VolumeBlock(index);
            uint64_t count = 1;
            while (inStale && count < kStaleBlocks && index + count < length_ && VolumeBlock(index + count) == at + count)
                ++count;
            held.resize(count * g.blockSize);
            size_t got = 0;
            if (at != 0) ReadExactly(*volume.Source().medium, g.BlockOffset(at), held.data(), held.size(), got);
            heldFirst = index;
            heldCount = got / g.blockSize;
            if (heldCount == 0) {
                ++index;
                continue;
            }
        }
        const ByteView block(held.data() + (index - heldFirst) * g.blockSize, g.blockSize);
        ++index;
        // Not a header: the copies of a transaction whose descriptor a later one wrote
        // over; the next header lies further on.
        inStale = block.be32(0) != kJournalMagic;
        if (inStale) continue;
        if (block.be32(4) == kCommitBlock) {
            // The commit's seconds and nanoseconds follow the header and checksum area.
            const uint64_t seconds = block.be64(0x30);
            if (seconds != 0 && seconds < (uint64_t{1} << 34))
                commitTimes_[block.be32(8)] =
                    FileTimeFromUnix(static_cast<int64_t>(seconds), block.be32(0x38) < 1000000000u ? block.be32(0x38) : 0);
            continue;
        }
        if (block.be32(4) != kDescriptorBlock) continue;
        // A descriptor whose checksum fails is damage, or half of an old one written over:
        // its tags would put copies under the wrong blocks.
        if (layout.checksums && !DescriptorChecksumHolds(block, layout.seed)) continue;
        const uint32_t sequence = block.be32(8);
        uint64_t next = index;
        bool wrapped = false;
        for (const JournalTag& tag : ParseDescriptorTags(block, layout.incompat)) {
            if (next >= length_) {
                next = layout.first;
                wrapped = true;
            }
            const auto known = claims.find(next);
            if (g.IsBlock(tag.block) && (known == claims.end() || Newer(sequence, known->second.sequence)))
                claims[next] = {sequence, tag.block, tag.escaped};
            ++next;
        }
        // The copies written with the descriptor follow it: no header among them.
        if (!wrapped) index = next;
        else break;  // they run on to the log's first blocks, which were looked at already
    }
    return claims;
}

// The copies that may be folder blocks are read, close ones in one piece, and parsed;
// copies of inode tables and bitmaps are left for when an inode is looked up.
std::unordered_map<uint64_t, std::vector<ExtDirEntry>> ExtJournal::ReadFolderCopies(
    ExtVolume& volume, const std::unordered_map<uint64_t, Claim>& claims) {
    const ExtGeometry& g = volume.Geometry();
    std::vector<std::pair<uint64_t, uint64_t>> wanted;  // journal block, volume block
    std::vector<uint64_t> later;                          // volume blocks of inode tables' copies
    for (const auto& [journalBlock, claim] : claims) {
        if (!claim.escaped && !volume.IsTableOrBitmapBlock(claim.block))
            wanted.emplace_back(journalBlock, VolumeBlock(journalBlock));
        else if (volume.IsInodeTableBlock(claim.block))
            later.push_back(VolumeBlock(journalBlock));
    }
    std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    // The inode tables' copies looked up later are asked for now, so that the system
    // fetches them in the background, in order, instead of one by one when each inode is
    // looked up. (Bitmaps' copies are never read.)
    std::sort(later.begin(), later.end());
    for (size_t i = 0; i < later.size();) {
        size_t end = i + 1;
        while (end < later.size() && later[end] == later[end - 1] + 1) ++end;
        if (later[i] != 0) volume.WillRead(later[i], end - i);
        i = end;
    }
    std::vector<std::pair<size_t, size_t>> pieces;  // [from, to) of wanted, neighbours on the volume
    const uint64_t most = std::max<uint64_t>(1, kChunkBytes / g.blockSize);
    for (size_t i = 0; i < wanted.size();) {
        size_t end = i + 1;
        while (end < wanted.size() && end - i < most && wanted[end].second == wanted[end - 1].second + 1) ++end;
        if (wanted[i].second != 0) {
            pieces.emplace_back(i, end);
            volume.WillRead(wanted[i].second, end - i);  // asked for all at once, read in order
        }
        i = end;
    }
    std::unordered_map<uint64_t, std::vector<ExtDirEntry>> folderBlocks;  // by journal block
    std::vector<uint8_t> chunk;
    for (const auto& [from, to] : pieces) {
        chunk.resize((to - from) * g.blockSize);
        size_t got = 0;
        ReadExactly(*volume.Source().medium, g.BlockOffset(wanted[from].second), chunk.data(), chunk.size(), got);
        for (uint64_t k = 0; k < got / g.blockSize; ++k) {
            const ByteView block(chunk.data() + k * g.blockSize, g.blockSize);
            if (LooksLikeDirectoryBlock(block))
                folderBlocks[wanted[from + k].first] = ParseDirectoryBlock(block, g.inodeCount, IsIndexRoot(block));
        }
    }
    return folderBlocks;
}

const std::vector<ExtJournal::FolderCopy>& ExtJournal::FolderCopiesOf(uint64_t block) const {
    static const std::vector<FolderCopy> kNone;
    const auto found = folderCopies_.find(block);
    return found == folderCopies_.end() ? kNone : found->second;
}

uint64_t ExtJournal::CommitTime(uint32_t sequence) const {
    const auto found = commitTimes_.find(sequence);
    return found == commitTimes_.end() ? 0 : found->second;
}

const std::vector<ExtJournal::Copy>& ExtJournal::CopiesOf(uint64_t block) const {
    static const std::vector<Copy> kNone;
    const auto found = copies_.find(block);
    return found == copies_.end() ? kNone : found->second;
}

std::vector<uint64_t> ExtJournal::Blocks() const {
    std::vector<uint64_t> blocks;
    blocks.reserve(copies_.size());
    for (const auto& [block, copies] : copies_) blocks.push_back(block);
    return blocks;
}

ByteView ExtJournal::Read(ExtVolume& volume, const Copy& copy) const {
    const uint32_t blockSize = volume.Geometry().blockSize;
    if (const auto held = recentSlots_.find(copy.journalBlock); held != recentSlots_.end())
        return ByteView(recent_.get() + held->second * blockSize, blockSize);
    const uint64_t block = VolumeBlock(copy.journalBlock);
    if (block == 0) return {};
    // The slots are taken in turn; the bytes go straight into one, read over what it held.
    if (!recent_ || recentBlockSize_ != blockSize) {
        recent_ = std::make_unique_for_overwrite<uint8_t[]>(size_t{kRecentCopies} * blockSize);
        recentBlockSize_ = blockSize;
        recentOwners_.assign(kRecentCopies, kNoOwner);
        recentSlots_.clear();
    }
    const size_t slot = nextRecent_++ % kRecentCopies;
    if (recentOwners_[slot] != kNoOwner) recentSlots_.erase(recentOwners_[slot]);
    recentOwners_[slot] = kNoOwner;
    uint8_t* bytes = recent_.get() + slot * blockSize;
    size_t got = 0;
    if (ReadExactly(*volume.Source().medium, volume.Geometry().BlockOffset(block), bytes, blockSize, got) != kOk)
        return {};
    // The journal zeroed a copy's first word where it equalled its own magic.
    if (copy.escaped && blockSize >= 4) {
        bytes[0] = 0xC0;
        bytes[1] = 0x3B;
        bytes[2] = 0x39;
        bytes[3] = 0x98;
    }
    recentOwners_[slot] = copy.journalBlock;
    recentSlots_[copy.journalBlock] = slot;
    return ByteView(bytes, blockSize);
}

}  // namespace kestrune
