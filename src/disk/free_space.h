// How much of an unmounted volume is free, as its own metadata says: the FSInfo sector of
// FAT32, the table itself of FAT12 and FAT16 (small enough to count), the allocation
// bitmap of exFAT, the free-block count of an ext superblock. NTFS
// keeps its count only in a bitmap as large as a thousandth of the volume: not read for
// a listing. Nothing when the metadata does not say (the FSInfo count left unknown, a
// damaged boot sector).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrune {

// Reads length bytes at offset of the volume into out; false when they cannot be read.
using VolumeReader = std::function<bool(uint64_t offset, size_t length, std::vector<uint8_t>& out)>;

// fileSystem as the disk list names it ("FAT32", "FAT", "exFAT", "ext4", ...).
std::optional<uint64_t> MetadataFreeBytes(std::string_view fileSystem, const VolumeReader& read);

}  // namespace kestrune
