// Byte offsets of the NTFS structures the engines read. Only layout, no behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::ntfs {

// Boot sector.
inline constexpr size_t kBootBytesPerSector = 0x0B;   // u16
inline constexpr size_t kBootSectorsPerCluster = 0x0D;  // u8
inline constexpr size_t kBootMftCluster = 0x30;       // u64

// MFT record header.
inline constexpr uint32_t kRecordSignature = 0x454C4946;  // "FILE"
inline constexpr size_t kRecordUpdateSequenceCount = 0x06;  // u16
inline constexpr size_t kRecordFirstAttribute = 0x14;  // u16
inline constexpr size_t kRecordFlags = 0x16;           // u16
inline constexpr size_t kRecordBytesInUse = 0x18;      // u32
inline constexpr size_t kRecordAllocatedBytes = 0x1C;  // u32
inline constexpr size_t kRecordBaseReference = 0x20;  // u64: 0 in a base record
inline constexpr size_t kRecordNumber = 0x2C;          // u32
inline constexpr size_t kRecordUpdateSequence = 0x30;  // u16
inline constexpr size_t kRecordUpdateArray = 0x32;     // u16 per protected stride
inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordIsDirectory = 0x0002;
// Every 512 bytes of a record end with the update sequence number; the true last two
// bytes of each stride are kept in the update array.
inline constexpr size_t kFixupStride = 512;
inline constexpr size_t kRecordReadBytes = 8192;

// Attribute header.
inline constexpr size_t kAttrType = 0x00;          // u32
inline constexpr size_t kAttrLength = 0x04;        // u32
inline constexpr size_t kAttrNonResident = 0x08;   // u8
inline constexpr size_t kAttrNameLength = 0x09;    // u8, UTF-16 units
inline constexpr size_t kAttrNameOffset = 0x0A;    // u16
inline constexpr size_t kAttrFlags = 0x0C;         // u16
inline constexpr size_t kAttrLowestVcn = 0x10;     // u64, non-resident: first cluster of this piece
inline constexpr size_t kAttrValueLength = 0x10;   // u32, resident
inline constexpr size_t kAttrValueOffset = 0x14;   // u16, resident
inline constexpr size_t kAttrRunListOffset = 0x20; // u16, non-resident
inline constexpr size_t kAttrCompressionUnit = 0x22;  // u8: log2 of the clusters per unit
inline constexpr size_t kAttrAllocatedSize = 0x28; // u64, non-resident
inline constexpr size_t kAttrDataSize = 0x30;      // u64, non-resident
inline constexpr size_t kAttrInitializedSize = 0x38;  // u64, non-resident
inline constexpr uint16_t kAttrCompressionMask = 0x00FF;  // 1 is LZNT1, the only method NTFS has
inline constexpr uint16_t kAttrCompressedLznt1 = 0x0001;
inline constexpr uint16_t kAttrEncrypted = 0x4000;
inline constexpr uint16_t kAttrSparse = 0x8000;
inline constexpr size_t kResidentFileNameValue = 0x18;

inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
inline constexpr uint32_t kAttrWalkLimit = 0xFDFDFDFD;

// $FILE_NAME value.
inline constexpr size_t kNameParent = 0x00;        // u64, low 32 bits used
inline constexpr size_t kNameCreated = 0x08;
inline constexpr size_t kNameModified = 0x10;
inline constexpr size_t kNameAccessed = 0x20;
inline constexpr size_t kNameDataSize = 0x30;
inline constexpr size_t kNameLength = 0x40;        // u8, UTF-16 units
inline constexpr size_t kNameNamespace = 0x41;     // u8
inline constexpr size_t kNameText = 0x42;
inline constexpr uint8_t kWin32Namespace = 1;

// $ATTRIBUTE_LIST entry.
inline constexpr size_t kListEntryType = 0x00;     // u32
inline constexpr size_t kListEntryLength = 0x04;   // u16
inline constexpr size_t kListEntryNameLength = 0x06;  // u8, UTF-16 units
inline constexpr size_t kListEntryNameOffset = 0x07;  // u8
inline constexpr size_t kListEntryLowestVcn = 0x08;   // u64
inline constexpr size_t kListEntryRecord = 0x10;   // u32 + u16 high bits

// $STANDARD_INFORMATION value.
inline constexpr size_t kStdFileAttributes = 0x20;  // u32
inline constexpr uint32_t kFileAttributeEncrypted = 0x4000;

// LZNT1: a compressed unit is a row of chunks, each a u16 header and what follows it,
// each giving back 4 KiB.
inline constexpr size_t kLznt1ChunkBytes = 4096;
inline constexpr uint16_t kLznt1ChunkCompressed = 0x8000;
inline constexpr uint16_t kLznt1ChunkSizeMask = 0x0FFF;

// Records with a fixed meaning.
inline constexpr uint32_t kMftRecord = 0;
inline constexpr uint32_t kRootRecord = 5;
inline constexpr uint32_t kBitmapRecord = 6;
inline constexpr uint32_t kLastSystemRecord = 11;
inline constexpr uint32_t kExtendRecord = 11;  // $Extend, the folder of the later system files

}  // namespace kestrune::ntfs
