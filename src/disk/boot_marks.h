// The marks file systems write into their boot sectors, where they write them: the one
// place these texts stand, for every test that looks for a file system.
#pragma once

#include <cstddef>
#include <string_view>

#include "disk/byte_view.h"

namespace kestrune {

struct BootMark {
    size_t offset;
    std::string_view text;

    bool In(ByteView sector) const { return sector.matches(offset, text); }
};

inline constexpr BootMark kNtfsMark{3, "NTFS    "};
inline constexpr BootMark kExfatMark{3, "EXFAT   "};
inline constexpr BootMark kFat32Mark{82, "FAT32   "};
// "FAT12   " or "FAT16   " in the 16-bit layout's boot sector.
inline constexpr BootMark kFat1xMark{54, "FAT1"};
// BitLocker's, over what is otherwise a FAT boot sector.
inline constexpr BootMark kBitLockerMark{3, "-FVE-FS-"};

}  // namespace kestrune
