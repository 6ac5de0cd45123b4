#include "engines/fat/lost_letter.h"

#include <algorithm>
#include <string_view>

namespace kestrune {

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsDcfCharacter(uint8_t c) { return (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_'; }

// The letter every sibling that shares the rest of the name begins with: the same
// extension, the same second to fourth characters, and digits where the name has digits
// ("IMG_0002.JPG" for "?MG_0001.JPG"). Siblings that disagree leave it open.
uint8_t FromSiblings(const ShortNameBytes& name, const std::vector<ShortNameBytes>& siblings) {
    uint8_t agreed = 0;
    for (const ShortNameBytes& sibling : siblings) {
        if (!std::equal(name.begin() + 8, name.end(), sibling.begin() + 8) ||
            !std::equal(name.begin() + 1, name.begin() + 4, sibling.begin() + 1))
            continue;
        bool sameShape = true;
        for (size_t i = 4; i < 8 && sameShape; ++i)
            sameShape = IsDigit(name[i]) == IsDigit(sibling[i]) && (name[i] == ' ') == (sibling[i] == ' ');
        if (!sameShape) continue;
        if (agreed && agreed != sibling[0]) return 0;
        agreed = sibling[0];
    }
    return agreed;
}

// The prefixes cameras give their DCF files, each told apart by its last three letters.
struct CameraPrefix {
    std::string_view rest;
    uint8_t first;
};
constexpr CameraPrefix kCameraPrefixes[] = {
    {"MG_", 'I'},  // IMG_: Canon, Apple and most phones
    {"VI_", 'M'},  // MVI_: Canon films
    {"SC_", 'D'},  // DSC_: Nikon
    {"SCN", 'D'},  // DSCN: Nikon compacts
    {"SCF", 'D'},  // DSCF: Fujifilm
    {"AM_", 'S'},  // SAM_: Samsung
    {"OPR", 'G'},  // GOPR: GoPro
    {"ICT", 'P'},  // PICT: Minolta, Sanyo
    {"JI_", 'D'},  // DJI_: drones
};

uint8_t FromCameraPrefix(const ShortNameBytes& name) {
    for (size_t i = 4; i < 8; ++i)
        if (!IsDigit(name[i])) return 0;
    // Sony numbers from DSC0: the fourth character is already a digit.
    if (name[1] == 'S' && name[2] == 'C' && IsDigit(name[3])) return 'D';
    // GoPro's chapters: GH (H.264), GX (H.265) or GP, the chapter's two digits, the number.
    if ((name[1] == 'H' || name[1] == 'X' || name[1] == 'P') && IsDigit(name[2]) && IsDigit(name[3])) return 'G';
    for (const CameraPrefix& prefix : kCameraPrefixes)
        if (std::equal(prefix.rest.begin(), prefix.rest.end(), name.begin() + 1)) return prefix.first;
    return 0;
}

// The hundreds digit of a DCF folder: the one the other DCF folders share, else 1 (the
// first folder a camera makes is 100).
uint8_t DcfFolderDigit(const std::vector<ShortNameBytes>& siblings) {
    uint8_t agreed = 0;
    for (const ShortNameBytes& sibling : siblings) {
        if (!IsDcfFolderName(sibling)) continue;
        if (agreed && agreed != sibling[0]) return '1';
        agreed = sibling[0];
    }
    return agreed ? agreed : '1';
}

}  // namespace

bool IsDcfFolderName(const ShortNameBytes& name) {
    if (name[0] < '1' || name[0] > '9' || !IsDigit(name[1]) || !IsDigit(name[2])) return false;
    for (size_t i = 3; i < 8; ++i)
        if (!IsDcfCharacter(name[i])) return false;
    return std::all_of(name.begin() + 8, name.end(), [](uint8_t c) { return c == ' '; });
}

uint8_t GuessLostLetter(const ShortNameBytes& name, bool isFolder, const LetterContext& context) {
    if (const uint8_t letter = FromSiblings(name, context.siblings)) return letter;
    static constexpr std::string_view kDcimRest = "CIM       ";
    if (isFolder && context.atRoot && std::equal(kDcimRest.begin(), kDcimRest.end(), name.begin() + 1)) return 'D';
    if (isFolder && context.inDcim) {
        ShortNameBytes candidate = name;
        candidate[0] = '1';
        if (IsDcfFolderName(candidate)) return DcfFolderDigit(context.siblings);
    }
    if (!isFolder && context.inDcfFolder) return FromCameraPrefix(name);
    return 0;
}

}  // namespace kestrune
