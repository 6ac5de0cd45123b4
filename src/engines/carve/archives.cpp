// Archives: GZIP, 7-Zip, ZIP, RAR and CAB.
#include <algorithm>

#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/program_walks.h"
#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

int DetectGzip(ByteView s, CarvingContext&) {
    if (s.size() < 16 || !s.matches(0, "\x1F\x8B\x08")) return kNoType;
    const uint8_t flags = s.u8(3), extraFlags = s.u8(8), system = s.u8(9);
    if ((flags & 0xE0) != 0 || !(system < 14 || system == 255)) return kNoType;
    // The header with the flags and compression levels the old test knew; any other
    // header is believed when its deflate data starts well. The extra flags are 2 (best
    // compression) or 4 (fastest) or 0 (any other level, gzip's default among them);
    // writers put nothing else there, and leaving them free would let random data in.
    if (extraFlags != 0 && extraFlags != 2 && extraFlags != 4) return kNoType;
    const bool known = (flags == 0 || flags == 8) && (extraFlags == 2 || extraFlags == 4);
    return known || GzipStartInflates(s) ? kGz : kNoType;
}
uint64_t GzipUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, 6 * GiB); }
uint64_t GzipLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkGzip, s, c, 6 * GiB, GzipUntilForeign); }

int Detect7zip(ByteView s, CarvingContext&) {
    return s.size() >= 2 && s.matches(0, "7z\xBC\xAF\x27") ? k7z : kNoType;
}
// The header at the end of the archive describes how it was packed; its fixed opening
// (one folder, LZMA with the usual properties) is followed by 15 more bytes.
uint64_t SevenZipEndHeader(ByteView, CarvingContext& context) {
    constexpr std::string_view kEndHeader = Bytes("\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D");
    ReadAhead walk(context, 4 * GiB);
    ByteView block;
    while (walk.Next(block))
        if (auto at = FindLast(block, kEndHeader)) return walk.BlockOffset() + *at + 27;
    return CountedWithoutEnd(context, walk);
}
uint64_t SevenZipLength(ByteView s, CarvingContext& c) { return WalkOrFallback(Walk7zip, s, c, 4 * GiB, SevenZipEndHeader); }

int DetectZip(ByteView s, CarvingContext&) { return s.size() >= 48 && s.matches(0, "PK\x03\x04") ? kZip : kNoType; }
uint64_t ZipLength(ByteView s, CarvingContext& c) { return ZipEndRecordLength(s, c, 4 * GiB); }

// RAR 5 archives, which WinRAR writes by default since version 7, have a mark of their
// own.
int DetectRar(ByteView s, CarvingContext&) { return IsRarStart(s) ? kRar : kNoType; }
uint64_t RarEndBlock(ByteView, CarvingContext& context) {
    constexpr std::string_view kEndBlock = Bytes("\xC4\x3D\x7B\x00\x40\x07\x00");
    ReadAhead walk(context, 4 * GiB);
    ByteView block;
    while (walk.Next(block))
        if (auto end = FindPaddedEnd(block, walk.BlockOffset(), kEndBlock, context.sectorSize)) return *end;
    return CountedWithoutEnd(context, walk);
}
uint64_t RarLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkRar, s, c, 4 * GiB, RarEndBlock); }

int DetectCab(ByteView s, CarvingContext&) { return s.size() >= 36 && s.matches(0, "MSCF") ? kCab : kNoType; }
uint64_t CabHeaderSize(ByteView s, CarvingContext& context) {
    if (s.size() < 36) return OneSector(context);
    return std::min<uint64_t>(s.le32(8), 1 * GiB);
}
uint64_t CabLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkCab, s, c, 1 * GiB, CabHeaderSize); }

constexpr Anchor kGzipAnchors[] = {{0, 0x1F}};
constexpr Anchor k7zipAnchors[] = {{0, '7'}};
constexpr Anchor kZipAnchors[] = {{0, 'P'}};
constexpr Anchor kRarAnchors[] = {{0, 'R'}};
constexpr Anchor kCabAnchors[] = {{0, 'M'}};

}  // namespace

uint64_t ZipEndRecordLength(ByteView sector, CarvingContext& context, uint64_t maxBytes) {
    FileReader file(sector, context, maxBytes);
    if (auto end = WalkZip(file); end && *end <= maxBytes && file.Reaches(*end)) return *end;
    if (file.Cancelled()) return std::max<uint64_t>(file.CountedBytes(), context.sectorSize);
    return LastEndRecordLength(context, maxBytes);
}

uint64_t LastEndRecordLength(CarvingContext& context, uint64_t maxBytes) {
    ReadAhead walk(context, maxBytes);
    ByteView block;
    while (walk.Next(block))
        if (auto at = FindLast(block, Bytes("PK\x05\x06"))) return walk.BlockOffset() + *at + 22;
    return CountedWithoutEnd(context, walk);
}

const Signature kGzipSignature{"GZIP", DetectGzip, GzipLength, kGzipAnchors};
const Signature k7zipSignature{"7-Zip", Detect7zip, SevenZipLength, k7zipAnchors};
const Signature kZipSignature{"ZIP", DetectZip, ZipLength, kZipAnchors};
const Signature kRarSignature{"RAR", DetectRar, RarLength, kRarAnchors};
const Signature kCabSignature{"CAB", DetectCab, CabLength, kCabAnchors};

}  // namespace kestrune::carve
