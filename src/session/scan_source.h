// What a scan, a recovery or an image reads: an image file, a partitioned image, a disk, a
// partition or an area of a disk, resolved and named the same way for every front end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "disk/partition_table.h"

namespace kestrune {

struct ScanSource {
    bool isImage = false;
    std::filesystem::path image;  // when isImage
    int disk = -1;                // otherwise: disk number, area start and length
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    uint32_t bytesPerSector = 512;
    std::string text;  // as the user named it
    // An image file holding a partition table is opened as a disk of its own (and so is a
    // whole disk whose partitions are read from its own table); these are its partitions,
    // and partition the one picked (0: the whole disk).
    bool partitioned = false;
    int partition = 0;
    std::vector<PartitionEntry> partitions;
    // The file system to read where the area holds the marks of two ("--fs": "ntfs",
    // "fat", "exfat" or "ext"); empty: the one found first.
    std::string chosenFileSystem;
};

// Whether a user's name for a file system is one a quick scan can be told to read.
bool IsFileSystemChoice(const std::string& name);

// Resolves text (an image file, a block device, "disk:N" or "disk:N:START:COUNT") into a
// source, with partition picked when it is not 0. Returns 0; kErrInvalidParameter when the
// text is malformed or names a partition that is not there (error says which); another
// code when the source cannot be opened or read.
int ResolveScanSource(const std::string& text, int partition, ScanSource& out, std::string& error);

// The block device a disk source reads; empty for an image.
std::filesystem::path DevicePathOf(const ScanSource& source);

// What a user who may not read a disk can do about it: run as root, or join the group the
// device belongs to. Empty when the source is an image or can be opened.
std::string AccessAdvice(const ScanSource& source);

// What encryption the source's area holds: "LUKS1", "LUKS2", "BitLocker", or empty.
std::string EncryptionOfSource(const ScanSource& source);

// Opens the LUKS volume the source is with passphrase: source becomes its decrypted
// payload, read as an image of its own for as long as the program runs. 0; or
// kErrAccessDenied for a passphrase no key slot takes, another code when the volume cannot
// be opened, with error saying why.
int UnlockSource(ScanSource& source, const std::string& passphrase, std::string& error);

// "image disk.img, 2880 sectors of 512 bytes" and the like.
std::string DescribeSource(const ScanSource& source);

// The areas a source is scanned as, one after another: each partition of a partitioned
// source when none is picked, otherwise the source itself.
std::vector<ScanSource> TargetsOf(const ScanSource& source);

// The number that marks every record found on a source: 1001 for an image, 1 otherwise.
uint16_t DriveLetterOf(const ScanSource& source);

// Which file system the area holds, for people (the chosen one, when the user chose),
// and the geometry its boot sector or superblock gives; others (when given) gets any
// second file system whose marks the area holds too. 0, or why the area could not be read.
int ProbeSource(const ScanSource& source, std::string& fileSystem,
                std::vector<std::pair<std::string, std::string>>& geometry,
                std::vector<std::string>* others = nullptr);

// The bytes the area's file system says it spans, and the bytes the source holds for it;
// spanned > held when the source is cut short. 0 and 0 when unknown.
void VolumeExtent(const ScanSource& source, uint64_t& spanned, uint64_t& held);

}  // namespace kestrune
