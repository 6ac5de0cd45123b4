// Pictures: GIF, BMP, JPEG, PNG, PSD, TIFF and ICO.
#include "engines/carve/detectors.h"
#include "engines/carve/layered_picture_walks.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

constexpr uint64_t kPictureMax = 128 * MiB;

// An end marker that must end its data: first in the first sector, then in each block;
// the first one found ends the file.
uint64_t FirstPaddedMarker(ByteView sector, CarvingContext& context, std::string_view marker) {
    if (auto end = FindPaddedEnd(sector, 0, marker, context.sectorSize)) return *end;
    ReadAhead walk(context, kPictureMax);
    ByteView block;
    while (walk.Next(block))
        if (auto end = FindPaddedEnd(block, walk.BlockOffset(), marker, context.sectorSize)) return *end;
    return CountedWithoutEnd(context, walk);
}

int DetectGif(ByteView s, CarvingContext&) {
    if (s.size() < 8 || !s.matches(0, "GIF")) return kNoType;
    auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    const bool ok = digit(s.u8(3)) && digit(s.u8(4)) && s.u8(5) >= 'a' && s.u8(5) <= 'z';
    return ok ? kGif : kNoType;
}
uint64_t GifTrailer(ByteView s, CarvingContext& c) { return FirstPaddedMarker(s, c, Bytes("\x00\x3B")); }
uint64_t GifLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkGif, s, c, kPictureMax, GifTrailer); }

int DetectBmp(ByteView s, CarvingContext&) { return IsBmpHeader(s) ? kBmp : kNoType; }
// The size field, unless the pixel data the header describes says otherwise: a field
// a few bytes longer than the pixels is padding some writers add.
uint64_t BmpLength(ByteView s, CarvingContext&) {
    const uint64_t stated = s.le32(2);
    const auto described = BmpStructureLength(s);
    if (!described || (stated >= *described && stated - *described < 4)) return std::min(stated, kPictureMax);
    return std::min(*described, kPictureMax);
}

int DetectJpeg(ByteView s, CarvingContext&) {
    if (s.size() < 16) return kNoType;
    if (s.matches(0, "\xFF\xD8\xFF\xE0") && s.matches(6, "JFIF")) return kJpg;
    if (s.matches(0, "\xFF\xD8\xFF\xE1") && s.matches(6, "Exif")) return kJpg;
    return kNoType;
}
// A JPEG may hold a thumbnail with its own end marker: the last marker found before the
// file is cut off wins, one per block.
uint64_t JpegLastEndMarker(ByteView s, CarvingContext& context) {
    constexpr std::string_view kEnd = "\xFF\xD9";
    if (auto end = FindPaddedEnd(s, 0, kEnd, context.sectorSize)) return *end;
    ReadAhead walk(context, kPictureMax);
    ByteView block;
    std::optional<uint64_t> candidate;
    while (walk.Next(block))
        if (auto end = FindPaddedEnd(block, walk.BlockOffset(), kEnd, context.sectorSize)) candidate = end;
    const uint64_t counted = walk.CountedBytes();
    return candidate && *candidate <= counted ? *candidate : CountedWithoutEnd(context, walk);
}
uint64_t JpegLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkJpeg, s, c, kPictureMax, JpegLastEndMarker); }

int DetectPng(ByteView s, CarvingContext&) {
    return s.size() >= 8 && s.matches(0, "\x89PNG\r\n\x1A\n") ? kPng : kNoType;
}
uint64_t PngEndChunk(ByteView s, CarvingContext& c) { return FirstPaddedMarker(s, c, "IEND\xAE\x42\x60\x82"); }
uint64_t PngLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkPng, s, c, kPictureMax, PngEndChunk); }

int DetectPsd(ByteView s, CarvingContext&) { return s.size() >= 40 && s.matches(0, "8BPS") ? kPsd : kNoType; }
int DetectTiff(ByteView s, CarvingContext&) {
    if (s.size() < 4) return kNoType;
    return s.matches(0, Bytes("MM\x00\x2A")) || s.matches(0, Bytes("II\x2A\x00")) ? kTif : kNoType;
}
uint64_t PictureUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, kPictureMax); }
uint64_t PsdLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkPsd, s, c, kPictureMax, PictureUntilForeign); }
uint64_t TiffLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkTiff, s, c, kPictureMax, PictureUntilForeign); }

int DetectIco(ByteView s, CarvingContext&) {
    if (s.size() < 16 || !s.matches(0, Bytes("\x00\x00\x01\x00"))) return kNoType;
    const uint32_t count = s.le16(4);
    if (count == 0 || 6 + 16ULL * count > s.size()) return kNoType;
    // The images follow the directory in order, each right after the one before.
    uint64_t expected = 6 + 16ULL * count;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = 6 + 16 * i;
        if (s.u8(entry + 3) != 0 || s.le32(entry + 12) != expected) return kNoType;
        expected += s.le32(entry + 8);
    }
    return kIco;
}
uint64_t IcoLastImage(ByteView s, CarvingContext& context) {
    const uint32_t count = s.le16(4);
    const ByteView directory = DirectoryBytes(s, context, 6 + 16ULL * count);
    const size_t last = 6 + 16 * (count - 1);
    if (count == 0 || !directory.has(last, 16)) return OneSector(context);
    return uint64_t{directory.le32(last + 12)} + directory.le32(last + 8);
}
uint64_t IcoLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkIco, s, c, kPictureMax, IcoLastImage); }

constexpr Anchor kGifAnchors[] = {{0, 'G'}};
constexpr Anchor kBmpAnchors[] = {{0, 'B'}};
constexpr Anchor kJpegAnchors[] = {{0, 0xFF}};
constexpr Anchor kPngAnchors[] = {{0, 0x89}};
constexpr Anchor kPsdAnchors[] = {{0, '8'}};
constexpr Anchor kTiffAnchors[] = {{0, 'M'}, {0, 'I'}};
constexpr Anchor kIcoAnchors[] = {{0, 0x00}};

}  // namespace

ByteView DirectoryBytes(ByteView sector, CarvingContext& context, uint64_t needed) {
    if (needed <= sector.size()) return sector;
    const uint32_t sectors = static_cast<uint32_t>(kReadAheadBytes / context.sectorSize);
    if (!context.ReadSectorsAt(context.position, sectors, context.readAhead)) return sector;
    return ByteView(context.readAhead);
}

const Signature kGifSignature{"GIF", DetectGif, GifLength, kGifAnchors};
const Signature kBmpSignature{"BMP", DetectBmp, BmpLength, kBmpAnchors};
const Signature kJpegSignature{"JPEG", DetectJpeg, JpegLength, kJpegAnchors};
const Signature kPngSignature{"PNG", DetectPng, PngLength, kPngAnchors};
const Signature kPsdSignature{"PSD", DetectPsd, PsdLength, kPsdAnchors};
const Signature kTiffSignature{"TIFF", DetectTiff, TiffLength, kTiffAnchors};
const Signature kIcoSignature{"ICO", DetectIco, IcoLength, kIcoAnchors};

}  // namespace kestrune::carve
