// Structure walks of video containers: ISO media atoms (MP4, MOV, 3GP), Matroska
// elements, FLV tags and MPEG program stream packs.
#include "engines/carve/video_walks.h"

#include <algorithm>
#include <bit>
#include <string_view>

namespace kestrune::carve {

namespace {

// No real file has this many items at one level; damaged data that looks like tiny items
// over and over stops here instead of walking gigabytes eight bytes at a time.
constexpr size_t kMaxItems = size_t{1} << 22;
// Sizes beyond this are damage, whatever the format allows.
constexpr uint64_t kAbsurdSize = uint64_t{1} << 44;

std::string_view FourCc(ByteView data, size_t at) {
    if (!data.has(at, 4)) return {};
    return std::string_view(reinterpret_cast<const char*>(data.data() + at), 4);
}

}  // namespace

// The atoms that stand at the top level of ISO media and QuickTime files. A walk that
// meets anything else has left the file.
bool IsTopLevelAtom(std::string_view type) {
    static constexpr std::string_view kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "udta",
                                                  "uuid", "meta", "moof", "mfra", "sidx", "ssix", "styp",
                                                  "pnot", "pdin", "prft", "emsg", "PICT", "junk"};
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

std::optional<uint64_t> WalkIsoMedia(FileReader& file) {
    uint64_t at = 0;
    bool sawMovie = false;
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView header = file.Read(at, 8);
        if (header.empty()) break;
        const std::string_view type = FourCc(header, 4);
        if (!IsTopLevelAtom(type)) break;
        if (at == 0 && type != "ftyp") return std::nullopt;  // a file starts with its type atom
        sawMovie = sawMovie || type == "moov";
        uint64_t size = header.be32(0);
        uint64_t headerBytes = 8;
        if (size == 0) return std::nullopt;  // "to the end of the file": only the file system knew where that was
        if (size == 1) {                     // a 64-bit size follows the type
            const ByteView large = file.Read(at + 8, 8);
            if (large.empty()) return std::nullopt;
            size = large.be64(0);
            headerBytes = 16;
        }
        if (size < headerBytes || size > kAbsurdSize || (at == 0 && size > 4096)) return std::nullopt;
        // An atom the disk does not hold whole: the file was cut short here.
        if (!file.Reaches(at + size)) return std::nullopt;
        at += size;
    }
    // A movie without its movie atom cannot be played; the walk cannot tell where it ends.
    if (!sawMovie || file.Cancelled()) return std::nullopt;
    return at;
}

namespace {

// One Matroska element's header: its ID (with its length marker, as the format writes
// IDs), the size of its data, and how many bytes the two took.
struct EbmlElement {
    uint32_t id = 0;
    uint64_t size = 0;
    bool unknownSize = false;
    uint64_t headerBytes = 0;
    uint64_t End(uint64_t at) const { return at + headerBytes + size; }
};

std::optional<EbmlElement> ReadEbmlElement(FileReader& file, uint64_t at) {
    const ByteView h = file.Stream(at, 12);
    if (h.size() < 2) return std::nullopt;
    const uint8_t first = h.u8(0);
    const int idBytes = std::countl_zero(first) + 1;
    if (first == 0 || idBytes > 4 || !h.has(0, static_cast<size_t>(idBytes) + 1)) return std::nullopt;
    EbmlElement e;
    e.id = static_cast<uint32_t>(h.be(0, static_cast<size_t>(idBytes)));
    const uint8_t sizeFirst = h.u8(static_cast<size_t>(idBytes));
    const int sizeBytes = std::countl_zero(sizeFirst) + 1;
    if (sizeFirst == 0 || !h.has(static_cast<size_t>(idBytes), static_cast<size_t>(sizeBytes))) return std::nullopt;
    uint64_t value = sizeFirst & (0xFFu >> sizeBytes);
    for (int i = 1; i < sizeBytes; ++i) value = value << 8 | h.u8(static_cast<size_t>(idBytes + i));
    e.unknownSize = value == (uint64_t{1} << (7 * sizeBytes)) - 1;
    e.size = e.unknownSize ? 0 : value;
    e.headerBytes = static_cast<uint64_t>(idBytes + sizeBytes);
    return e;
}

constexpr uint32_t kEbmlHeader = 0x1A45DFA3, kSegment = 0x18538067, kCluster = 0x1F43B675;
constexpr uint32_t kVoid = 0xEC, kCrc32 = 0xBF;

// The elements a segment holds directly, all with 4-byte IDs.
bool IsSegmentChild(uint32_t id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case kCluster:
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
        return true;
    default:
        return false;
    }
}

// Walks a segment written without its size (a live recording or a stream), child by
// child, clusters of unknown size element by element, to the end of the last element.
// The one-byte IDs of blocks and fillers are common in any data, so each must look like
// what it claims to be before the walk takes it.
std::optional<uint64_t> WalkOpenSegment(FileReader& file, uint64_t at) {
    bool inOpenCluster = false;
    bool clusterStarted = false;  // a block seen in the open cluster: its timecode and position come before
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        auto e = ReadEbmlElement(file, at);
        if (!e) break;
        bool take = IsSegmentChild(e->id);
        if (take) {
            inOpenCluster = e->id == kCluster && e->unknownSize;
            clusterStarted = false;
            if (inOpenCluster) {
                at += e->headerBytes;
                continue;
            }
        } else if (e->id == kCrc32) {
            take = e->size == 4;
        } else if (inOpenCluster) {
            if (e->id == 0xA3 || e->id == 0xA0) {  // SimpleBlock, BlockGroup
                // A block starts with its track number, small in every real file; a group
                // starts with its block.
                const ByteView data = file.Read(at + e->headerBytes, 1);
                take = !data.empty() && (e->id == 0xA3 ? data.u8(0) >= 0x81 && data.u8(0) <= 0x9F : data.u8(0) == 0xA1);
                clusterStarted = true;
            } else if (e->id == 0xE7 || e->id == 0xA7 || e->id == 0xAB) {  // Timecode, Position, PrevSize
                take = !clusterStarted && e->size <= 8;
            }
        }
        if (e->id == kVoid) {
            // A filler is taken when a real element follows it.
            auto next = ReadEbmlElement(file, e->End(at));
            take = !e->unknownSize && next && (IsSegmentChild(next->id) || (inOpenCluster && next->id == 0xA3));
        }
        if (!take) break;
        // An element the disk does not hold whole: the file was cut short or is damaged.
        if (e->unknownSize || e->size > kAbsurdSize || !file.Reaches(e->End(at))) return std::nullopt;
        at = e->End(at);
    }
    if (file.Cancelled()) return std::nullopt;
    return at;
}

}  // namespace

std::optional<uint64_t> WalkMatroska(FileReader& file) {
    auto header = ReadEbmlElement(file, 0);
    if (!header || header->id != kEbmlHeader || header->unknownSize || header->size > 4096) return std::nullopt;
    const uint64_t segmentAt = header->End(0);
    auto segment = ReadEbmlElement(file, segmentAt);
    if (!segment || segment->id != kSegment) return std::nullopt;
    const uint64_t dataAt = segmentAt + segment->headerBytes;
    auto first = ReadEbmlElement(file, dataAt);
    if (!first || !(IsSegmentChild(first->id) || first->id == kVoid)) return std::nullopt;
    if (segment->unknownSize) return WalkOpenSegment(file, dataAt);
    if (segment->size > kAbsurdSize) return std::nullopt;
    return segment->End(segmentAt);
}

std::optional<uint64_t> WalkFlv(FileReader& file) {
    const ByteView header = file.Read(0, 9);
    if (!header.matches(0, "FLV")) return std::nullopt;
    const uint32_t dataOffset = header.be32(5);
    if (dataOffset < 9 || dataOffset > 1024) return std::nullopt;
    // Every tag is followed by its own size (11 header bytes plus its data); the first
    // "previous tag size" after the header is zero.
    const ByteView first = file.Read(dataOffset, 4);
    if (first.empty() || first.be32(0) != 0) return std::nullopt;
    uint64_t at = dataOffset + 4;
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView tag = file.Read(at, 11);
        if (tag.empty()) break;
        const uint8_t type = tag.u8(0) & 0x1F;  // the high bits mark a filtered (encrypted) tag
        const uint32_t dataBytes = static_cast<uint32_t>(tag.be(1, 3));
        if ((type != 8 && type != 9 && type != 18) || (tag.u8(0) & 0xC0) != 0 || tag.be(8, 3) != 0) break;
        const uint64_t sizeAt = at + 11 + dataBytes;
        if (!file.Reaches(sizeAt + 4)) return std::nullopt;  // a tag cut short
        const ByteView size = file.Read(sizeAt, 4);
        if (size.empty() || size.be32(0) != 11 + dataBytes) break;
        at = sizeAt + 4;
    }
    if (file.Cancelled() || at == dataOffset + 4) return std::nullopt;
    return at;
}

namespace {

// The system clock reference of a pack header: 33 bits spread over bytes 4 to 8 between
// marker bits, placed differently in MPEG-1 and MPEG-2 packs.
uint64_t PackClock(ByteView h, bool mpeg2) {
    const uint64_t b4 = h.u8(4), b5 = h.u8(5), b6 = h.u8(6), b7 = h.u8(7), b8 = h.u8(8);
    if (mpeg2)
        return ((b4 >> 3) & 7) << 30 | (b4 & 3) << 28 | b5 << 20 | ((b6 >> 3) & 0x1F) << 15 | (b6 & 3) << 13 |
               b7 << 5 | ((b8 >> 3) & 0x1F);
    return ((b4 >> 1) & 7) << 30 | b5 << 22 | (b6 >> 1) << 15 | b7 << 7 | b8 >> 1;
}

}  // namespace

std::optional<uint64_t> WalkMpegProgram(FileReader& file) {
    uint64_t at = 0;
    bool sawPacket = false;
    // A stream keeps one pack format and its clock only goes forward: a pack of the other
    // format, or one whose clock went back, starts the next file.
    bool mpeg2 = false;
    uint64_t clock = 0;
    for (size_t count = 0; count < kMaxItems && !file.Cancelled(); ++count) {
        const ByteView h = file.Stream(at, 14);
        if (!h.matches(0, std::string_view("\x00\x00\x01", 3)) || !h.has(0, 4)) break;
        const uint8_t code = h.u8(3);
        uint64_t length = 0;
        if (code == 0xB9) return at + 4;  // the end code
        if (!h.has(0, code == 0xBA ? 14 : 6)) break;
        if (code == 0xBA) {
            const bool packMpeg2 = (h.u8(4) & 0xC0) == 0x40;
            if (packMpeg2)
                length = 14 + (h.u8(13) & 0x07);  // MPEG-2 pack header and its stuffing
            else if ((h.u8(4) & 0xF0) == 0x20)
                length = 12;  // MPEG-1
            else
                break;
            const uint64_t packClock = PackClock(h, packMpeg2);
            if (at == 0) mpeg2 = packMpeg2;
            if (packMpeg2 != mpeg2 || packClock < clock) break;
            clock = packClock;
        } else if (code >= 0xBB) {  // the system header and every stream's packets
            length = 6 + uint64_t{h.be16(4)};
            sawPacket = sawPacket || code != 0xBB;
        } else {
            break;
        }
        if (at == 0 && code != 0xBA) return std::nullopt;
        if (!file.Reaches(at + length)) return std::nullopt;
        at += length;
    }
    // Many writers leave the end code out: the stream then ends after its last whole
    // packet, where the next bytes start no pack or packet.
    if (file.Cancelled() || !sawPacket) return std::nullopt;
    return at;
}

}  // namespace kestrune::carve
