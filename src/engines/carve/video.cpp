// Video and animation: MPEG, MP4, RealMedia, ASF, SWF, AVI, FLV, 3GP, Matroska, MXF and
// QuickTime (the transport streams are in transport_streams.cpp). Where the container
// states or lets a walk find its end, that decides; the plain rules stay for files whose
// structure cannot be followed, damaged or cut short.
#include <algorithm>

#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/video_walks.h"

namespace kestrune::carve {

namespace {

constexpr uint64_t kVideoMax = 6 * GiB;

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
uint64_t MpegEndCode(ByteView s, CarvingContext& context) {
    const bool elementary = s.matches(0, Bytes("\x00\x00\x01\xB3"));
    const std::string_view end = elementary ? Bytes("\x00\x00\x01\xB7") : Bytes("\x00\x00\x01\xB9");
    ReadAhead walk(context, kVideoMax, /*ignoreMpeg=*/true);
    ByteView block;
    while (walk.Next(block)) {
        // An elementary stream holds no pack headers: a sector that starts with one is a
        // program stream lying after it, which the stream must not swallow.
        size_t cut = block.size();
        for (size_t at = 0; elementary && at < block.size(); at += context.sectorSize)
            if (block.matches(at, Bytes("\x00\x00\x01\xBA"))) {
                cut = at;
                break;
            }
        if (auto found = FindPaddedEnd(block.sub(0, cut), walk.BlockOffset(), end, context.sectorSize)) return *found;
        if (cut < block.size()) return walk.BlockOffset() + cut;
    }
    return CountedWithoutEnd(context, walk);
}
// A program stream is walked pack by pack; a video elementary stream has no packets to
// walk and keeps its end code.
uint64_t MpegLength(ByteView s, CarvingContext& c) {
    if (s.matches(0, Bytes("\x00\x00\x01\xB3"))) return MpegEndCode(s, c);
    return WalkOrFallback(WalkMpegProgram, s, c, kVideoMax, MpegEndCode, kMpeg);
}

int DetectMp4(ByteView s, CarvingContext&) {
    if (s.size() < 32 || !s.matches(4, "ftyp")) return kNoType;
    return s.matches(8, "iso") || s.matches(8, "mp42") ? kMp4 : kNoType;
}
uint64_t Mp4Trailer(ByteView, CarvingContext& context) {
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
    return CountedWithoutEnd(context, walk);
}
uint64_t Mp4Length(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkIsoMedia, s, c, kVideoMax, Mp4Trailer); }

int DetectRealMedia(ByteView s, CarvingContext&) { return s.size() >= 4 && s.matches(0, ".RMF") ? kRmvb : kNoType; }
uint64_t RealMediaIndex(ByteView, CarvingContext& context) {
    constexpr std::string_view kLastIndex =
        Bytes("INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00");
    ReadAhead walk(context, kVideoMax);
    ByteView block;
    while (walk.Next(block))
        if (auto at = FindFirst(block, kLastIndex)) return walk.BlockOffset() + *at + kLastIndex.size();
    return CountedWithoutEnd(context, walk);
}
uint64_t RealMediaLength(ByteView s, CarvingContext& c) {
    return WalkOrFallback(WalkRealMedia, s, c, kVideoMax, RealMediaIndex);
}

constexpr std::string_view kAsfHeaderId =
    Bytes("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C");
int DetectAsf(ByteView s, CarvingContext&) { return s.size() >= 24 && s.matches(0, kAsfHeaderId) ? kWmv : kNoType; }
// The file properties object of the header tells the file size, unless the file was
// still being written (broadcast flag).
uint64_t AsfHeaderSize(ByteView s, CarvingContext& context) {
    constexpr std::string_view kFileProperties =
        Bytes("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65");
    constexpr uint64_t kMax = 256 * MiB;
    auto at = FindFirst(s, kFileProperties, 30);
    if (!at || !s.has(*at + 88, 4) || (s.le32(*at + 88) & 1) != 0) return OneSector(context);
    const uint64_t size = s.le64(*at + 40);
    return (size >> 32) != 0 ? kMax : std::min(size, kMax);
}
uint64_t AsfLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkAsf, s, c, kVideoMax, AsfHeaderSize); }

// Any version, uncompressed or zlib-compressed, with a frame size, rate and count a
// real movie has (the old test took only uncompressed files below version 6, and every
// tool of the last twenty years writes later versions).
int DetectSwf(ByteView s, CarvingContext&) { return IsSwfHeader(s) ? kSwf : kNoType; }
uint64_t SwfHeaderSize(ByteView s, CarvingContext& context) {
    if (s.matches(0, "FWS")) return std::min<uint64_t>(s.le32(4), 256 * MiB);
    return OneSector(context);  // compressed: the stored size is the uncompressed one
}
// A compressed file ends with its zlib stream.
uint64_t SwfLength(ByteView s, CarvingContext& c) {
    if (!s.matches(0, "CWS")) return SwfHeaderSize(s, c);
    return WalkOrFallback(WalkCompressedSwf, s, c, 256 * MiB, SwfHeaderSize);
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

// MP4, 3GP and QuickTime share the atom walk; FLV, Matroska and MXF have their own.
uint64_t IsoMediaLength(ByteView s, CarvingContext& c) {
    return WalkOrFallback(WalkIsoMedia, s, c, kVideoMax, VideoUntilForeign);
}
uint64_t FlvLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkFlv, s, c, kVideoMax, VideoUntilForeign); }
uint64_t MatroskaLength(ByteView s, CarvingContext& c) {
    return WalkOrFallback(WalkMatroska, s, c, 64 * GiB, MatroskaUntilForeign);
}
uint64_t MxfLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkMxf, s, c, kVideoMax, VideoUntilForeign); }
// The size field of an AVI, checked by its chunks, with the OpenDML chunks after it.
uint64_t AviLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkAvi, s, c, 64 * GiB, RiffLength); }

constexpr Anchor kZeroAnchors[] = {{0, 0x00}};
constexpr Anchor kFtypAnchors[] = {{4, 'f'}};
constexpr Anchor kRealMediaAnchors[] = {{0, '.'}};
constexpr Anchor kAsfAnchors[] = {{0, 0x30}};
constexpr Anchor kSwfAnchors[] = {{0, 'C'}, {0, 'F'}};
constexpr Anchor kAviAnchors[] = {{0, 'R'}};
constexpr Anchor kFlvAnchors[] = {{0, 'F'}};
constexpr Anchor kMatroskaAnchors[] = {{0, 0x1A}};
constexpr Anchor kMxfAnchors[] = {{0, 0x06}};
constexpr Anchor kQuickTimeAnchors[] = {{0, 'm'}, {4, 'f'}};

}  // namespace

const Signature kMpegSignature{"MPEG", DetectMpeg, MpegLength, kZeroAnchors};
const Signature kMp4Signature{"MP4", DetectMp4, Mp4Length, kFtypAnchors};
const Signature kRealMediaSignature{"RealMedia", DetectRealMedia, RealMediaLength, kRealMediaAnchors};
const Signature kAsfSignature{"ASF", DetectAsf, AsfLength, kAsfAnchors};
const Signature kSwfSignature{"SWF", DetectSwf, SwfLength, kSwfAnchors};
const Signature kAviSignature{"AVI", DetectAvi, AviLength, kAviAnchors};
const Signature kFlvSignature{"FLV", DetectFlv, FlvLength, kFlvAnchors};
const Signature k3gpSignature{"3GP", Detect3gp, IsoMediaLength, kFtypAnchors};
const Signature kMatroskaSignature{"Matroska", DetectMatroska, MatroskaLength, kMatroskaAnchors};
const Signature kMxfSignature{"MXF", DetectMxf, MxfLength, kMxfAnchors};
const Signature kQuickTimeSignature{"QuickTime", DetectQuickTime, IsoMediaLength, kQuickTimeAnchors};

}  // namespace kestrune::carve
