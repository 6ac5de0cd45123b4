// Byte offsets of the FAT structures the engines read. Only layout, no behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::fat {

// Boot sector.
inline constexpr size_t kBootBytesPerSector = 11;    // u16
inline constexpr size_t kBootSectorsPerCluster = 13; // u8
inline constexpr size_t kBootReservedSectors = 14;   // u16
inline constexpr size_t kBootFatCount = 16;          // u8
inline constexpr size_t kBootRootEntries = 17;       // u16, the fixed root area's entries
inline constexpr size_t kBootFatSize16 = 22;         // u16
inline constexpr size_t kBootTotalSectors32 = 32;    // u32
inline constexpr size_t kBootFatSize32 = 36;         // u32
inline constexpr size_t kBootRootCluster = 44;       // u32, FAT32

// The fixed root area as the 16-bit layout traditionally has it: 512 entries in
// 512-byte sectors.
inline constexpr uint32_t kTraditionalRootSectors = 32;

// 32-byte directory entry.
inline constexpr size_t kEntryBytes = 32;
inline constexpr size_t kEntryName = 0;             // 8 + 3 bytes
inline constexpr size_t kEntryAttributes = 11;
inline constexpr size_t kEntryCaseFlags = 12;       // u8: which parts of an 8.3 name are lower case
inline constexpr size_t kEntryCreateTenMs = 13;
inline constexpr size_t kEntryCreateTime = 14;
inline constexpr size_t kEntryCreateDate = 16;
inline constexpr size_t kEntryAccessDate = 18;
inline constexpr size_t kEntryClusterHigh = 20;
inline constexpr size_t kEntryWriteTime = 22;
inline constexpr size_t kEntryWriteDate = 24;
inline constexpr size_t kEntryClusterLow = 26;
inline constexpr size_t kEntrySize = 28;

inline constexpr uint8_t kDeletedMark = 0xE5;
inline constexpr uint8_t kAttrLongName = 0x0F;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrArchive = 0x20;

// Case flags of an 8.3 name, as Windows NT writes them for a name that needs no long name
// only because of its case ("readme.txt").
inline constexpr uint8_t kLowerCaseBase = 0x08;
inline constexpr uint8_t kLowerCaseExtension = 0x10;

// A long-name entry's checksum of the 11 name bytes of its short entry.
inline constexpr size_t kLongNameChecksum = 13;

// A long-name entry holds 13 UTF-16 units at these places.
inline constexpr size_t kLongNameUnits = 13;
inline constexpr size_t kLongNameBufferUnits = 260;

inline constexpr uint32_t kMaxClusterBytes = 0x6400000;  // 100 MiB

}  // namespace kestrune::fat
