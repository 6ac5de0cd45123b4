// The Linux device layer: disk numbers, block devices, geometry and volume queries.
//
// Disk N is the N-th whole-disk block device under /sys/block in name order (ram,
// zram and loop devices without a backing file are left out). Image files may be
// registered as virtual disks with numbers from kFirstVirtualDisk, so a disk number
// can stand for an image file exactly as it does for a device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <mutex>
#include <map>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr int kFirstVirtualDisk = 64;
inline constexpr int kLastDiskNumber = 127;

// Where sysfs and /dev live; tests point these at fixture trees.
struct DeviceRoots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path dev = "/dev";
};
void SetDeviceRoots(DeviceRoots roots);
DeviceRoots GetDeviceRoots();

// The first line of a small text file of sysfs or procfs, trailing blanks dropped; none
// when it cannot be read.
std::optional<std::string> ReadSysText(const std::filesystem::path& path);

struct DiskGeometry {
    uint64_t cylinders = 0;
    uint32_t tracksPerCylinder = 255;
    uint32_t sectorsPerTrack = 63;
    uint32_t bytesPerSector = 512;

    uint64_t SectorsByGeometry() const {
        return cylinders * tracksPerCylinder * sectorsPerTrack;
    }
};

// What a disk number stands for.
struct DiskLocation {
    std::filesystem::path path;  // /dev/NAME or the image file
    std::string name;            // kernel name ("sda", "loop3") or the image's file name
    bool isBlockDevice = false;
};

// Names of the whole-disk block devices, in the order that gives their numbers.
std::vector<std::string> WholeDiskNames();

// Image files given disk numbers of their own (from kFirstVirtualDisk), so that a disk
// number names an image as it names a block device. One table serves the process; it may
// be used from any thread.
class VirtualDiskTable {
public:
    // The image's number, or -1 when the table is full. Registering the same file again
    // (by any path that leads to it) returns the number it already has.
    int Register(const std::filesystem::path& image);
    void Unregister(int disk);
    // The image registered under disk, if any.
    std::optional<std::filesystem::path> ImageOf(int disk) const;

private:
    mutable std::mutex mutex_;
    std::map<int, std::filesystem::path> images_;
};
VirtualDiskTable& VirtualDisks();

inline int RegisterVirtualDisk(const std::filesystem::path& image) { return VirtualDisks().Register(image); }
inline void UnregisterVirtualDisk(int disk) { VirtualDisks().Unregister(disk); }

// Resolves a disk number; kErrFileNotFound when no disk has it.
int ResolveDisk(int disk, DiskLocation& out);

// Opens a regular file or a block device read-only and tells its size in bytes.
// Folders, character devices and pipes are refused. A path with an adopted descriptor
// (below) is read through a copy of that descriptor instead of being opened.
int OpenReadOnly(const std::filesystem::path& path, int& fd, uint64_t& sizeBytes);

// A read-only descriptor of a device that this user may not open, opened on its behalf
// by a service that may (UDisks2 on a desktop): every later open of the path reads
// through it. The registry keeps a copy of fd; the caller keeps its own. False when fd
// is not an open block device or regular file.
bool AdoptDescriptor(const std::filesystem::path& device, int fd);
// Whether a path has an adopted descriptor.
bool HasAdoptedDescriptor(const std::filesystem::path& device);

// Geometry of an open device: bytes per sector from the driver, heads and sectors per
// track when it answers (255 x 63 otherwise), cylinders from the length. Regular files
// get 512-byte sectors and the same synthetic geometry.
int QueryGeometry(int fd, uint64_t lengthBytes, DiskGeometry& out);
// The same for an image file opened as a medium (raw or in a container).
class Medium;
void GeometryOfImage(Medium& image, DiskGeometry& out);
int DiskGeometryOf(int disk, DiskGeometry& out);
// The bytes of a disk's sectors as its driver tells them; 512 when it cannot be asked.
uint32_t SectorBytesOf(int disk);

int DiskLengthBytes(uint64_t& out, int disk);
bool IsRemovableDisk(int disk);

// A block device path (/dev/sdb, /dev/sdb1, or a link to one) as disk number, first
// sector and sector count in the disk's own sector size.
struct DiskArea {
    int disk = -1;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    uint32_t bytesPerSector = 512;
    bool isPartition = false;
    std::string deviceName;
};
int LocateBlockDevice(const std::filesystem::path& device, DiskArea& out);

// The partition block device of disk whose first sector is startSector, if any.
std::filesystem::path PartitionDeviceAt(int disk, uint64_t startSector);

// Writes out what the system caches for a volume (the device and its mounted file
// system), so a raw read sees it. Best effort: failures are ignored.
void FlushVolume(const std::filesystem::path& volumeDevice);

// Where a block device is mounted, or empty.
std::filesystem::path MountPointOf(const std::filesystem::path& volumeDevice);

// Free bytes of a volume, given by its block device or by a folder on it.
int VolumeFreeBytes(const std::filesystem::path& volume, uint64_t& out);

// The volume's file system as the program shows it: "NTFS", "FAT32", "FAT" (FAT12 and
// FAT16), "exFAT", otherwise the name the probe reports ("ext4", ...).
int VolumeFileSystemName(std::string& out, const std::filesystem::path& volume);

}  // namespace kestrune
