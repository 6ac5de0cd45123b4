// Video and animation: MPEG, MP4, RealMedia, ASF, SWF, AVI, FLV, 3GP, Matroska, MPEG
// transport streams (TS and M2TS), MXF and QuickTime.
#include <algorithm>

#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"

namespace kestrune::carve {

namespace {

constexpr uint64_t kVideoMax = 6 * GiB;
constexpr size_t kPacketBytes = 188;
constexpr uint8_t kPacketSync = 0x47;

int DetectMpeg(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    const ByteView head = s.sub(0, std::min<size_t>(32, s.size()));
    if (s.matches(0, Bytes("\x00\x00\x01\xBA")) && FindFirst(head, Bytes("\x00\x00\x01\xBB"))) return kMpeg;
    if (s.matches(0, Bytes("\x00\x00\x01\xB3")) && FindFirst(head, Bytes("\x00\x00\x01\xB8"))) return kMpeg;
    return kNoType;
}
// A video elementary stream (sequence header first) ends with its sequence end code, a
// program stream with its end code. Pack headers repeat inside the stream, so they do
// not count as a foreign file.
uint64_t MpegLength(ByteView s, CarvingContext& context) {
    const std::string_view end = s.matches(0, Bytes("\x00\x00\x01\xB3")) ? Bytes("\x00\x00\x01\xB7")
                                                                          : Bytes("\x00\x00\x01\xB9");
    ReadAhead walk(context, kVideoMax, /*ignoreMpeg=*/true);
    ByteView block;
    while (walk.Next(block))
        if (auto found = FindPaddedEnd(block, walk.BlockOffset(), end, context.sectorSize)) return *found;
    return walk.CountedBytes();
}

int DetectMp4(ByteView s, CarvingContext&) {
    if (s.size() < 32 || !s.matches(4, "ftyp")) return kNoType;
    return s.matches(8, "iso") || s.matches(8, "mp42") ? kMp4 : kNoType;
}
uint64_t Mp4Length(ByteView, CarvingContext& context) {
    constexpr std::string_view kTrailer = "freeIsoMedia File Produced";
    ReadAhead walk(context, kVideoMax);
    ByteView block;
    while (walk.Next(block)) {
        auto at = FindFirst(block, kTrailer);
        if (!at) continue;
        size_t end = *at + kTrailer.size();
        while (end < block.size() && block.u8(end) != 0) ++end;
        return walk.BlockOffset() + end;
    }
    return walk.CountedBytes();
}

int DetectRealMedia(ByteView s, CarvingContext&) { return s.size() >= 4 && s.matches(0, ".RMF") ? kRmvb : kNoType; }
uint64_t RealMediaLength(ByteView, CarvingContext& context) {
    constexpr std::string_view kLastIndex =
        Bytes("INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00");
    ReadAhead walk(context, kVideoMax);
    ByteView block;
    while (walk.Next(block))
        if (auto at = FindFirst(block, kLastIndex)) return walk.BlockOffset() + *at + kLastIndex.size();
    return walk.CountedBytes();
}

constexpr std::string_view kAsfHeaderId =
    Bytes("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C");
int DetectAsf(ByteView s, CarvingContext&) { return s.size() >= 24 && s.matches(0, kAsfHeaderId) ? kWmv : kNoType; }
// The file properties object of the header tells the file size, unless the file was
// still being written (broadcast flag).
uint64_t AsfLength(ByteView s, CarvingContext& context) {
    constexpr std::string_view kFileProperties =
        Bytes("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65");
    constexpr uint64_t kMax = 256 * MiB;
    auto at = FindFirst(s, kFileProperties, 30);
    if (!at || !s.has(*at + 88, 4) || (s.le32(*at + 88) & 1) != 0) return OneSector(context);
    const uint64_t size = s.le64(*at + 40);
    return (size >> 32) != 0 ? kMax : std::min(size, kMax);
}

int DetectSwf(ByteView s, CarvingContext&) {
    if (s.size() < 8) return kNoType;
    const uint8_t version = s.u8(3);
    if (s.matches(0, "CWS") && version >= 6 && version <= 15) return kSwf;
    if (s.matches(0, "FWS") && version < 6) return kSwf;
    return kNoType;
}
uint64_t SwfLength(ByteView s, CarvingContext& context) {
    if (s.matches(0, "FWS")) return std::min<uint64_t>(s.le32(4), 256 * MiB);
    return OneSector(context);  // compressed: the stored size is the uncompressed one
}

int DetectAvi(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    return s.matches(0, "RIFF") && s.matches(8, "AVI ") && s.matches(12, "LIST") ? kAvi : kNoType;
}

int DetectFlv(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    return s.matches(0, "FLV") && s.u8(3) == 1 && s.matches(5, Bytes("\x00\x00\x00\x09")) ? kFlv : kNoType;
}
int Detect3gp(ByteView s, CarvingContext&) {
    return s.size() >= 32 && s.matches(4, "ftyp") && s.matches(8, "3gp") ? k3gp : kNoType;
}
int DetectMatroska(ByteView s, CarvingContext&) {
    return s.size() >= 16 && s.matches(0, "\x1A\x45\xDF\xA3") ? kMkv : kNoType;
}
int DetectM2ts(ByteView s, CarvingContext& context) {
    if (s.size() < 16 || !s.matches(8, Bytes("\x00\x00\xB0\x11\x00\x00\xC1\x00"))) return kNoType;
    return s.all(0, 4, 0) || !context.m2tsFlag ? kMts : kNoType;
}
int DetectMxf(ByteView s, CarvingContext&) {
    constexpr std::string_view kPartitionPack =
        Bytes("\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00");
    return s.size() >= 16 && s.matches(0, kPartitionPack) ? kMxf : kNoType;
}
int DetectQuickTime(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    return s.matches(0, "moov") || (s.matches(4, "ftyp") && s.matches(8, "qt  ")) ? kMov : kNoType;
}
uint64_t VideoUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, kVideoMax); }
uint64_t MatroskaUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, 64 * GiB); }

bool SyncAtEveryPacket(ByteView data, size_t packets) {
    for (size_t i = 0; i < packets; ++i)
        if (!data.has(i * kPacketBytes, 1) || data.u8(i * kPacketBytes) != kPacketSync) return false;
    return true;
}

// A transport stream: 188-byte packets, each starting with 0x47. A sector inside a
// stream already found looks just like the start of one, so once a stream is running
// (the flag) a sector whose predecessor holds a packet start that would run on into it,
// or that lies inside a stream already carved, is not a new stream.
int DetectTransportStream(ByteView s, CarvingContext& context) {
    if (s.size() < kPacketBytes || s.u8(0) != kPacketSync || s.all(1, 3, 0)) return kNoType;
    for (size_t at = 0; at < s.size(); at += kPacketBytes)
        if (s.u8(at) != kPacketSync) return kNoType;
    std::vector<uint8_t> ahead;
    const uint32_t sectorsFor4K = std::max<uint32_t>(1, 4096 / context.sectorSize);
    if (!context.ReadSectorsAt(context.cursor, sectorsFor4K, ahead) || !SyncAtEveryPacket(ByteView(ahead), 22))
        return kNoType;
    if (context.transportStreamFlag) {
        std::vector<uint8_t> before;
        if (context.cursor > 0 && context.ReadSectorsAt(context.cursor - 1, 1, before)) {
            const ByteView previous(before);
            for (size_t j = 1; j * kPacketBytes <= previous.size(); ++j)
                if (previous.u8(previous.size() - j * kPacketBytes) == kPacketSync) return kNoType;
        }
        for (const auto& [first, last] : context.transportStreamExtents)
            if (context.cursor >= first && context.cursor <= last) return kNoType;
    }
    return kTs;
}
uint64_t TransportStreamLength(ByteView s, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    // The packet walk runs over the whole file, from its first sector on.
    uint64_t streamEnd = UINT64_MAX;
    uint64_t nextPacket = 0;
    auto walkPackets = [&](ByteView data, uint64_t dataOffset) {
        while (streamEnd == UINT64_MAX && nextPacket < dataOffset + data.size()) {
            if (data.u8(static_cast<size_t>(nextPacket - dataOffset)) != kPacketSync) streamEnd = nextPacket;
            nextPacket += kPacketBytes;
        }
    };
    walkPackets(s, 0);
    ReadAhead walk(context, 64 * GiB);
    ByteView block;
    while (streamEnd == UINT64_MAX && walk.Next(block)) walkPackets(block, walk.BlockOffset());
    const uint64_t length = std::min(walk.CountedBytes(), streamEnd);
    const uint64_t sectors = (length + sectorSize - 1) / sectorSize;
    context.transportStreamExtents.emplace_back(context.position, context.position + std::max<uint64_t>(sectors, 1) - 1);
    return length;
}

constexpr Anchor kZeroAnchors[] = {{0, 0x00}};
constexpr Anchor kFtypAnchors[] = {{4, 'f'}};
constexpr Anchor kRealMediaAnchors[] = {{0, '.'}};
constexpr Anchor kAsfAnchors[] = {{0, 0x30}};
constexpr Anchor kSwfAnchors[] = {{0, 'C'}, {0, 'F'}};
constexpr Anchor kAviAnchors[] = {{0, 'R'}};
constexpr Anchor kFlvAnchors[] = {{0, 'F'}};
constexpr Anchor kMatroskaAnchors[] = {{0, 0x1A}};
constexpr Anchor kTsAnchors[] = {{0, kPacketSync}};
constexpr Anchor kM2tsAnchors[] = {{8, 0x00}};
constexpr Anchor kMxfAnchors[] = {{0, 0x06}};
constexpr Anchor kQuickTimeAnchors[] = {{0, 'm'}, {4, 'f'}};

}  // namespace

const Signature kMpegSignature{"MPEG", DetectMpeg, MpegLength, kZeroAnchors};
const Signature kMp4Signature{"MP4", DetectMp4, Mp4Length, kFtypAnchors};
const Signature kRealMediaSignature{"RealMedia", DetectRealMedia, RealMediaLength, kRealMediaAnchors};
const Signature kAsfSignature{"ASF", DetectAsf, AsfLength, kAsfAnchors};
const Signature kSwfSignature{"SWF", DetectSwf, SwfLength, kSwfAnchors};
const Signature kAviSignature{"AVI", DetectAvi, RiffLength, kAviAnchors};
const Signature kFlvSignature{"FLV", DetectFlv, VideoUntilForeign, kFlvAnchors};
const Signature k3gpSignature{"3GP", Detect3gp, VideoUntilForeign, kFtypAnchors};
const Signature kMatroskaSignature{"Matroska", DetectMatroska, MatroskaUntilForeign, kMatroskaAnchors};
const Signature kTransportStreamSignature{"transport stream", DetectTransportStream,
                                          TransportStreamLength, kTsAnchors};
const Signature kM2tsSignature{"M2TS", DetectM2ts, VideoUntilForeign, kM2tsAnchors};
const Signature kMxfSignature{"MXF", DetectMxf, VideoUntilForeign, kMxfAnchors};
const Signature kQuickTimeSignature{"QuickTime", DetectQuickTime, VideoUntilForeign, kQuickTimeAnchors};

}  // namespace kestrune::carve
