#include "engines/ext/ext_journal.h"

#include <algorithm>
#include <array>

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

bool ExtJournal::Load(ExtVolume& volume) {
    runs_.clear();
    copies_.clear();
    commitTimes_.clear();
    folderCopies_.clear();
    recent_.clear();
    length_ = 0;
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
        sb.be32(12) != g.blockSize) {
        runs_.clear();
        return false;
    }
    length_ = std::min<uint64_t>(blocks, sb.be32(16));
    const uint64_t first = sb.be32(20);
    const uint32_t incompat = type == kSuperblockV2 ? sb.be32(40) : 0;
    const bool checksums = incompat & (kFeatureChecksumV2 | kFeatureChecksumV3);
    const uint32_t seed = Crc32c(0xFFFFFFFFu, sb.data() + 0x30, 16);
    if (first == 0 || first >= length_) {
        runs_.clear();
        return false;
    }
    // Each block of the log area, a run's worth at a time; a descriptor block names the
    // blocks whose copies follow it (the log wraps from its end to its first block). A
    // journal block that a later transaction wrote again holds that one's copy: only the
    // newest claim on each journal block is believed.
    struct Claim {
        uint32_t sequence;
        uint64_t block;
        bool escaped;
    };
    std::unordered_map<uint64_t, Claim> claims;
    std::unordered_map<uint64_t, std::vector<ExtDirEntry>> folderBlocks;  // by journal block
    auto newer = [](uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; };
    std::vector<uint8_t> chunk;
    for (const ExtRun& run : runs_) {
        for (uint64_t done = 0; done < run.length && run.logical + done < length_;) {
            const uint64_t count =
                std::min<uint64_t>({run.length - done, length_ - run.logical - done, kChunkBytes / g.blockSize});
            chunk.resize(count * g.blockSize);
            uint8_t* into = chunk.data();
            size_t got = 0;
            ReadExactly(*volume.Source().medium, g.BlockOffset(run.physical + done), into, count * g.blockSize, got);
            for (uint64_t i = 0; i < got / g.blockSize; ++i) {
                const uint64_t index = run.logical + done + i;
                const ByteView block(into + i * g.blockSize, g.blockSize);
                if (index < first || index >= length_) continue;
                if (block.be32(0) != kJournalMagic) {
                    if (LooksLikeDirectoryBlock(block))
                        folderBlocks[index] = ParseDirectoryBlock(block, g.inodeCount, IsIndexRoot(block));
                    continue;
                }
                if (block.be32(4) == kCommitBlock) {
                    // The commit's seconds and nanoseconds follow the header and checksum area.
                    const uint64_t seconds = block.be64(0x30);
                    if (seconds != 0 && seconds < (uint64_t{1} << 34))
                        commitTimes_[block.be32(8)] = FileTimeFromUnix(static_cast<int64_t>(seconds),
                                                                      block.be32(0x38) < 1000000000u ? block.be32(0x38) : 0);
                    continue;
                }
                if (block.be32(4) != kDescriptorBlock) continue;
                // A descriptor whose checksum fails is damage, or half of an old one
                // written over: its tags would put copies under the wrong blocks.
                if (checksums && !DescriptorChecksumHolds(block, seed)) continue;
                const uint32_t sequence = block.be32(8);
                uint64_t next = index + 1;
                for (const JournalTag& tag : ParseDescriptorTags(block, incompat)) {
                    if (next >= length_) next = first;
                    const auto held = claims.find(next);
                    if (g.IsBlock(tag.block) && (held == claims.end() || newer(sequence, held->second.sequence)))
                        claims[next] = {sequence, tag.block, tag.escaped};
                    ++next;
                }
            }
            done += count;
        }
    }
    for (const auto& [journalBlock, claim] : claims) {
        copies_[claim.block].push_back({claim.sequence, journalBlock, claim.escaped});
        // An escaped copy's first word was changed: parsed when read instead.
        const auto parsed = folderBlocks.find(journalBlock);
        if (parsed != folderBlocks.end() && !claim.escaped)
            folderCopies_[claim.block].push_back({claim.sequence, std::move(parsed->second)});
    }
    for (auto& [block, copies] : folderCopies_)
        std::sort(copies.begin(), copies.end(),
                  [&](const FolderCopy& a, const FolderCopy& b) { return newer(a.sequence, b.sequence); });
    for (auto& [block, copies] : copies_)
        std::sort(copies.begin(), copies.end(), [&](const Copy& a, const Copy& b) { return newer(a.sequence, b.sequence); });
    return true;
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
    constexpr size_t kRecent = 256;
    // The journal zeroed a copy's first word where it equalled its own magic.
    auto restore = [&](std::vector<uint8_t>& bytes) {
        if (copy.escaped && bytes.size() >= 4) {
            bytes[0] = 0xC0;
            bytes[1] = 0x3B;
            bytes[2] = 0x39;
            bytes[3] = 0x98;
        }
    };
    if (const auto held = recent_.find(copy.journalBlock); held != recent_.end()) return ByteView(held->second);
    const uint64_t block = VolumeBlock(copy.journalBlock);
    std::vector<uint8_t> bytes = block == 0 ? std::vector<uint8_t>() : volume.ReadBlock(block);
    restore(bytes);
    if (recent_.size() >= kRecent) recent_.clear();
    return ByteView(recent_.emplace(copy.journalBlock, std::move(bytes)).first->second);
}

}  // namespace kestrune
