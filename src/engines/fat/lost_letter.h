// The first letter a deleted FAT short name lost to the deletion mark, guessed from what
// the folder around it still says when no long-name entry's checksum tells it.
//
// Cameras name their folders and files by the DCF rules: DCIM at the root, folders of a
// three-digit number (100 to 999) and five more characters ("100CANON"), files of four
// characters and a four-digit number ("IMG_0001.JPG"). A deleted "?MG_0001.JPG" beside a
// live "IMG_0002.JPG" lost an I; a folder "?00CANON" inside DCIM lost the hundreds digit;
// a photo of a folder whose every photo was deleted lost the first letter of the prefix
// its camera writes, when the three letters left name exactly one of the prefixes cameras
// use. A guess is a guess: the name shows it, and the record says it was guessed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace kestrune {

using ShortNameBytes = std::array<uint8_t, 11>;  // 8 + 3, as the entry holds them

// What the folder holding the entry says.
struct LetterContext {
    bool atRoot = false;
    bool inDcim = false;       // the folder is DCIM, at the root
    bool inDcfFolder = false;  // the folder is a DCF folder inside DCIM ("100CANON")
    // Short names of the folder's other entries whose first letter is known: live ones,
    // and deleted ones whose long name told it.
    std::vector<ShortNameBytes> siblings;
};

// The guessed first byte of a deleted entry's short name (its first byte is the deletion
// mark), or 0 when nothing in the folder points to one letter.
uint8_t GuessLostLetter(const ShortNameBytes& name, bool isFolder, const LetterContext& context);

// Whether a short name is a DCF folder name: three digits, the first 1 to 9, then five
// characters that are letters, digits or "_".
bool IsDcfFolderName(const ShortNameBytes& name);

}  // namespace kestrune
