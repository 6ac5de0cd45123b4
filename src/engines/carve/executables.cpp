// Programs and disk images: recognised so that they end the file before them. A program
// is carved when its headers, sections and signature give its whole length; one whose
// structure cannot be followed is left out, as is every disk image (no length rule).
#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/program_walks.h"

namespace kestrune::carve {

namespace {

int DetectPeImage(ByteView s, CarvingContext&) {
    if (s.size() < 512 || !s.matches(0, "MZ")) return kNoType;
    const uint32_t header = s.le32(60);
    if (header > 488 || !s.matches(header, Bytes("PE\x00\x00"))) return kNoType;
    const uint16_t characteristics = s.le16(header + 22);
    if ((characteristics & 0x0002) == 0) return kNoType;  // not an executable image
    if (characteristics & 0x1000) return kSys;
    if (characteristics & 0x2000) return kDll;
    return kExe;
}

// A program's headers and section data give its end; a program whose sections cannot be
// followed on the disk is not carved (0), since everything up to the next file would be
// a guess at its length.
uint64_t NotCarved(ByteView, CarvingContext&) { return 0; }
uint64_t PeImageLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkPeImage, s, c, 2 * GiB, NotCarved); }

int DetectDiskImage(ByteView s, CarvingContext&) {
    return s.size() >= 2 && s.matches(0, Bytes("\xFE\xEF\x00\x00")) ? kGho : kNoType;
}

constexpr Anchor kPeAnchors[] = {{0, 'M'}};
constexpr Anchor kDiskImageAnchors[] = {{0, 0xFE}};

}  // namespace

const Signature kPeImageSignature{"PE image", DetectPeImage, PeImageLength, kPeAnchors};
const Signature kDiskImageSignature{"disk image", DetectDiskImage, nullptr, kDiskImageAnchors};

}  // namespace kestrune::carve
