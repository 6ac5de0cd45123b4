// exFAT directory entries: 32-byte entries grouped in sets, a File entry followed by its
// secondary entries (a Stream Extension with the size and first cluster, then File Name
// entries of 15 characters each). Deleting a file clears the in-use bit of every entry
// of its set and nothing else, so a deleted set still says everything a live one says;
// its checksum is that of the set as it was, with the bits set.
#pragma once

#include <cstdint>
#include <string>

#include "disk/byte_view.h"

namespace kestrune {

namespace exfat {
inline constexpr size_t kEntryBytes = 32;
inline constexpr uint8_t kInUse = 0x80;
inline constexpr uint8_t kEndOfDirectory = 0x00;
inline constexpr uint8_t kBitmapEntry = 0x81, kUpcaseEntry = 0x82, kLabelEntry = 0x83;
inline constexpr uint8_t kFileEntry = 0x85, kStreamEntry = 0xC0, kNameEntry = 0xC1;
inline constexpr uint16_t kDirectoryAttribute = 0x10;
inline constexpr uint8_t kAllocationPossible = 0x01, kNoFatChain = 0x02;
}  // namespace exfat

struct ExfatEntrySet {
    bool deleted = false;       // the in-use bits are cleared
    bool checksumOk = false;    // the set checksum matches (with the in-use bits set)
    bool hashOk = false;        // the stored name hash matches the name (needs the up-case table)
    size_t entryCount = 0;      // the File entry and its secondary entries
    uint16_t attributes = 0;
    uint64_t createTime = 0, writeTime = 0, accessTime = 0;  // FILETIME, UTC; 0 when no date
    uint8_t streamFlags = 0;    // AllocationPossible, NoFatChain
    uint16_t nameHash = 0;
    uint32_t firstCluster = 0;
    uint64_t validDataLength = 0;
    uint64_t dataLength = 0;
    std::u16string name;

    bool IsFolder() const { return (attributes & exfat::kDirectoryAttribute) != 0; }
    bool Contiguous() const { return (streamFlags & exfat::kNoFatChain) != 0; }
};

// The checksum of an entry set (its entries' bytes), counted with every entry's in-use
// bit set so that a deleted set checks against the value written when it was live.
uint16_t EntrySetChecksum(ByteView set);

// A FILETIME from an exFAT timestamp, its 10-ms part (0-199) and its UTC offset byte
// (bit 7 set: the low 7 bits are a signed count of 15 minutes); 0 for no date.
uint64_t ExfatTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset);

// Reads the entry set that starts at `at` in a folder's bytes: a File entry (live or
// deleted), a Stream Extension of the same state, and the File Name entries its name
// length needs. False when the entries there do not form such a set; then nothing of
// out is to be trusted.
bool ParseEntrySet(ByteView folder, size_t at, ExfatEntrySet& out);

}  // namespace kestrune
