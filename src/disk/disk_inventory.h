// DiskInventory: the disks of the machine with their volumes and the gaps between them,
// as the disk list shows them; also image files registered as virtual disks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr uint16_t kNoLetter = '*';
// The type byte of a GPT partition's row: GPT entries have none of their own.
inline constexpr uint8_t kGptPartitionType = 0xEE;

struct VolumeRecord {
    uint16_t letter = kNoLetter;  // Linux has no drive letters: the entry's position number
    uint8_t partitionType = 0;    // MBR type byte (0xEE for a GPT entry), or 7/11/6 by the file
                                  // system; 0 for gaps and whole disks
    int diskNumber = -1;
    int partitionNumber = -1;     // 0 for gap and whole-disk entries
    uint64_t totalBytes = 0;
    uint64_t usedBytes = 0;
    uint64_t freeBytes = 0;
    // Whether used and free are known: from the mounted file system, from the volume's own
    // metadata, or (for a gap) because nothing is there. An unreadable disk, or NTFS not
    // mounted, leaves them unknown rather than all used or all free.
    bool spaceKnown = false;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    std::string fileSystemName;   // "NTFS", "FAT32", "FAT", ...; empty for gaps, disks and unknown ones
    // Other file systems whose marks the same area holds (an NTFS boot sector and an ext
    // superblock both valid): the user says which to read.
    std::vector<std::string> otherFileSystems;
    std::string partitionName;    // a GPT entry's name
    bool found = false;           // found by a search for lost partitions, not in the table
    std::string volumePath;       // the partition's block device (or "" for a gap)
    std::string volumeLabel;
    std::string mountPoint;       // where it is mounted, if it is
    std::string devicePath;       // the disk's block device or image file
    bool removable = false;
};

// File system, label and any second file system of the area sizeBytes long (0: to the
// end) at offsetBytes of device, as libblkid finds them, into record; and its free space
// where the file system's metadata says it.
// Answers whether the area could be read at all.
bool ProbeVolume(const std::filesystem::path& device, uint64_t offsetBytes, uint64_t sizeBytes, VolumeRecord& record);

// Whether a row holds a file system the quick scan reads (NTFS, FAT, exFAT, ext2/3/4).
bool HoldsKnownFileSystem(const VolumeRecord& record);

class DiskInventory {
public:
    int bytesPerSector = 512;

    // Rebuilds the list. Returns 1 when it was rebuilt, 0 when the disks cannot be listed.
    int Refresh();
    // The records one by one: disks in ascending number, each in order of position.
    int NextEntry(VolumeRecord& out);
    void ListAll(std::vector<VolumeRecord>& out) const;
    // Refreshes, then appends every record of previous that no longer exists (same disk
    // number and first sector).
    void FindRemoved(const std::vector<VolumeRecord>& previous, std::vector<VolumeRecord>& out);

    const std::map<int, std::vector<VolumeRecord>>& Disks() const { return disks_; }

private:
    void AddGapsAndWholeDisks();

    std::map<int, std::vector<VolumeRecord>> disks_;
    int cursorDisk_ = 0;
    size_t cursorPosition_ = 0;
};

}  // namespace kestrune
