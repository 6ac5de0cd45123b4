// Recognising the file system of an area from its first 16 KiB.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/recovery_engine.h"

namespace kestrune {

// How much of an area the factory reads to classify it.
inline constexpr size_t kBootAreaBytes = 16384;

// The tests look at the first 512 bytes (NTFS, FAT) and at the 1,024 bytes from byte
// 1,024 (ext); a shorter view simply fails the tests that need more.
// The first 4 KiB of a volume that starts at byteOffset of the source: what the engines
// read the boot sector (and a FAT32 backup's neighbours) from. 0 or a result code.
int ReadVolumeStart(const SectorSource& source, uint64_t byteOffset, std::vector<uint8_t>& out);

bool IsNtfsBootSector(ByteView sector);
bool IsFatBootSector(ByteView sector);
bool IsExtSuperblock(ByteView area);
// The boot sector's own marks only; the engine checks the boot region's checksum.
bool IsExfatBootSector(ByteView sector);

// How each file system an engine reads is told from the start of an area: one row per
// file system, in the order they are tried (NTFS first, then exFAT, FAT and ext: a FAT
// test alone would take some NTFS and exFAT boot sectors). A new file system adds a row.
struct FileSystemRecogniser {
    FsKind kind;
    bool (*recognises)(ByteView area);
};
std::span<const FileSystemRecogniser> FileSystemRecognisers();

// The first row whose test the area passes; none gives Other.
FsKind ClassifyBootArea(ByteView area);

// A second file system the area holds the marks of, beside the one ClassifyBootArea
// finds: an ext superblock at byte 1,024 behind an NTFS, exFAT or FAT boot sector (both
// may be valid: each leaves the other's place alone). Other when there is none.
FsKind SecondFileSystemOf(ByteView area);

// The kind a user names ("ntfs", "fat", "exfat", "ext", any case); Other for none of them.
FsKind FsKindNamed(std::string_view name);

// FAT12, FAT16 or FAT32 by the boot sector's cluster count (the same count the FAT test
// uses); 0 when the sector does not pass that test.
int FatBitsOf(ByteView sector);

// The bytes an NTFS or FAT boot sector says its volume covers; 0 for anything else.
uint64_t VolumeBytesOf(ByteView area);

const char* FsKindName(FsKind kind);
// The name probe gives the file system: FsKindName, with ext told apart as ext2, ext3 or
// ext4 by its features.
std::string FileSystemNameOf(ByteView area);
// The same for the area read as kind (one of two it holds the marks of).
std::string FileSystemNameAs(ByteView area, FsKind kind);

// Named values read from the boot area, for people: the file system's geometry.
std::vector<std::pair<std::string, std::string>> DescribeBootArea(ByteView area);

}  // namespace kestrune
