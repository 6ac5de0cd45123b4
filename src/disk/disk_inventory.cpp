#include "disk/disk_inventory.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/encrypted_volumes.h"
#include "disk/free_space.h"
#include "disk/image_containers.h"
#include "disk/partition_table.h"
#include "disk/probe_window.h"
#include "disk/sector_source.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

std::string FileSystemName(const std::string& type, const std::string& version) {
    if (type == "ntfs") return "NTFS";
    // Encrypted volumes, named so that the user knows they must be unlocked.
    if (type == "crypto_LUKS") return "LUKS" + version;
    if (type == "BitLocker") return "BitLocker";
    if (type == "vfat") return version == "FAT32" ? "FAT32" : "FAT";
    if (type == "exfat") return "exFAT";
    return type;
}

}  // namespace

bool ProbeVolume(const fs::path& device, uint64_t offsetBytes, uint64_t sizeBytes, VolumeRecord& record) {
    int fd = -1;
    std::error_code ec;
    if (UnlockedVolumeAt(device) || (fs::is_regular_file(device, ec) && DetectImageFormat(device) != ImageFormat::Raw)) {
        // An image in a container, or an unlocked volume: blkid reads a stand-in holding
        // the area's bytes.
        std::unique_ptr<Medium> image;
        if (OpenImageMedium(device, image) != kOk) return false;
        fd = ProbeWindowOf(*image, offsetBytes, sizeBytes);
        offsetBytes = 0;
    } else {
        fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0) return false;
    blkid_probe probe = blkid_new_probe();
    if (!probe || blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(offsetBytes),
                                         static_cast<blkid_loff_t>(sizeBytes)) != 0) {
        if (probe) blkid_free_probe(probe);
        ::close(fd);
        return false;
    }
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
    auto lookup = [probe](const char* name) {
        const char* value = nullptr;
        return blkid_probe_lookup_value(probe, name, &value, nullptr) == 0 ? std::string(value) : std::string();
    };
    const int result = blkid_do_safeprobe(probe);
    if (result == 0) {
        record.fileSystemName = FileSystemName(lookup("TYPE"), lookup("VERSION"));
        record.volumeLabel = lookup("LABEL");
    } else if (result == -2) {
        // Two file systems claim the area: each prober is asked in turn.
        blkid_reset_probe(probe);
        for (int found = 0; found < 8 && blkid_do_probe(probe) == 0; ++found) {
            const std::string name = FileSystemName(lookup("TYPE"), lookup("VERSION"));
            if (name.empty()) continue;
            if (record.fileSystemName.empty()) {
                record.fileSystemName = name;
                record.volumeLabel = lookup("LABEL");
            } else if (name != record.fileSystemName) {
                record.otherFileSystems.push_back(name);
            }
        }
    }
    blkid_free_probe(probe);
    const VolumeReader read = [fd, offsetBytes](uint64_t offset, size_t length, std::vector<uint8_t>& out) {
        out.assign(length, 0);
        return ::pread(fd, out.data(), length, static_cast<off_t>(offsetBytes + offset)) == static_cast<ssize_t>(length);
    };
    if (const std::optional<uint64_t> free = MetadataFreeBytes(record.fileSystemName, read)) {
        record.freeBytes = *free;
        record.spaceKnown = true;
    }
    // The area could be read when its first sector could.
    std::vector<uint8_t> first;
    const bool readable = read(0, 512, first);
    ::close(fd);
    return readable;
}

namespace {

constexpr int kDiskNumbers = 128;

uint64_t ReadNumber(const fs::path& path) {
    std::ifstream in(path);
    uint64_t value = 0;
    in >> value;
    return in ? value : 0;
}

// The type byte follows the file system when it is one the scans know.
void OverrideType(VolumeRecord& record) {
    const std::string& name = record.fileSystemName;
    if (name == "NTFS") record.partitionType = 7;
    else if (name == "FAT32") record.partitionType = 11;
    else if (name == "FAT") record.partitionType = 6;
}

void FillSizes(VolumeRecord& record, uint32_t sectorBytes) {
    const uint64_t length = record.sectorCount * sectorBytes;
    record.totalBytes = length;
    // A mounted volume's driver knows best; otherwise what the probe read from the volume's
    // own metadata stands, or nothing is known.
    if (!record.volumePath.empty()) {
        record.mountPoint = MountPointOf(record.volumePath).string();
        uint64_t free = 0;
        if (!record.mountPoint.empty() && VolumeFreeBytes(record.mountPoint, free) == kOk) {
            record.freeBytes = free;
            record.spaceKnown = true;
        }
    }
    if (!record.spaceKnown) record.freeBytes = 0;
    record.freeBytes = std::min(record.freeBytes, record.totalBytes);
    record.usedBytes = record.spaceKnown ? record.totalBytes - record.freeBytes : 0;
}

// The partitions of one disk, from sysfs (block devices) or from its own table.
std::vector<VolumeRecord> VolumesOf(int number, const DiskLocation& disk, uint32_t sectorBytes, bool removable) {
    std::vector<VolumeRecord> volumes;
    SectorSource source;
    std::vector<PartitionEntry> table;
    if (OpenDiskSource(source, number) == kOk)
        ReadPartitionTable(source, sectorBytes, source.totalSectors, table);
    auto add = [&](VolumeRecord record, const fs::path& probeDevice, uint64_t probeOffset) {
        record.diskNumber = number;
        record.devicePath = disk.path.string();
        record.removable = removable;
        // Every partition is listed, whatever it holds: one no scan knows is still an area
        // a formatted or deep scan can read.
        record.partitionType = kGptPartitionType;
        for (const PartitionEntry& e : table)
            if (e.startSector == record.startSector) {
                if (!e.gpt) record.partitionType = e.mbrType;
                record.partitionName = e.name;
            }
        ProbeVolume(probeDevice, probeOffset, probeOffset ? record.sectorCount * sectorBytes : 0, record);
        OverrideType(record);
        FillSizes(record, sectorBytes);
        volumes.push_back(record);
    };
    bool kernelShowsPartitions = false;
    if (disk.isBlockDevice) {
        const fs::path sysDisk = GetDeviceRoots().sys / "block" / disk.name;
        const uint64_t unitsPerSector = std::max<uint32_t>(1, sectorBytes / 512);
        std::error_code ec;
        for (fs::directory_iterator it(sysDisk, ec), end; !ec && it != end; it.increment(ec)) {
            if (!fs::exists(it->path() / "partition", ec)) continue;
            kernelShowsPartitions = true;
            VolumeRecord record;
            record.partitionNumber = static_cast<int>(ReadNumber(it->path() / "partition"));
            record.startSector = ReadNumber(it->path() / "start") / unitsPerSector;
            record.sectorCount = ReadNumber(it->path() / "size") / unitsPerSector;
            record.volumePath = (GetDeviceRoots().dev / it->path().filename()).string();
            add(record, record.volumePath, 0);
        }
    }
    // Images, and disks whose partitions the kernel does not show (a loop device attached
    // without -P, a container without partition nodes): the disk's own table.
    if (!kernelShowsPartitions) {
        for (const PartitionEntry& e : table) {
            VolumeRecord record;
            record.partitionNumber = static_cast<int>(e.number);
            record.startSector = e.startSector;
            record.sectorCount = e.sectorCount;
            add(record, disk.path, e.startSector * sectorBytes);
        }
    }
    return volumes;
}

// The disk's length in its sectors, to the last whole one: the geometry's cylinders stop
// short of the end on most disks (a 1 GiB card would lose 8,702 sectors to them).
uint64_t WholeSectors(int number, const DiskGeometry& geometry) {
    uint64_t length = 0;
    if (DiskLengthBytes(length, number) == kOk && geometry.bytesPerSector != 0 && length != 0)
        return length / geometry.bytesPerSector;
    return geometry.SectorsByGeometry();
}

}  // namespace

bool HoldsKnownFileSystem(const VolumeRecord& record) {
    static const std::vector<std::string> kKnown{"NTFS", "FAT32", "FAT", "exFAT", "ext2", "ext3", "ext4"};
    return record.partitionType != 0 &&
           std::find(kKnown.begin(), kKnown.end(), record.fileSystemName) != kKnown.end();
}

int DiskInventory::Refresh() {
    disks_.clear();
    cursorDisk_ = 0;
    cursorPosition_ = 0;
    std::error_code ec;
    if (!fs::is_directory(GetDeviceRoots().sys / "block", ec)) return 0;
    for (int number = 0; number < kDiskNumbers; ++number) {
        DiskLocation disk;
        if (ResolveDisk(number, disk) != kOk) continue;
        if (disk.isBlockDevice && disk.name.rfind("sr", 0) == 0) continue;  // optical drives
        DiskGeometry geometry;
        const uint32_t sectorBytes = DiskGeometryOf(number, geometry) == kOk ? geometry.bytesPerSector : 512;
        auto volumes = VolumesOf(number, disk, sectorBytes, IsRemovableDisk(number));
        if (!volumes.empty()) disks_[number] = std::move(volumes);
    }
    for (auto& [number, volumes] : disks_)
        std::sort(volumes.begin(), volumes.end(), [](const auto& a, const auto& b) { return a.startSector < b.startSector; });
    AddGapsAndWholeDisks();
    for (auto& [number, volumes] : disks_)
        std::sort(volumes.begin(), volumes.end(), [](const auto& a, const auto& b) { return a.startSector < b.startSector; });
    uint16_t position = 1;
    for (auto& [number, volumes] : disks_)
        for (VolumeRecord& record : volumes) {
            if (record.letter == kNoLetter) record.letter = position;
            ++position;
        }
    return 1;
}

void DiskInventory::AddGapsAndWholeDisks() {
    uint64_t sectorsPerCylinder = 255 * 63;
    for (auto& [number, volumes] : disks_) {
        DiskGeometry geometry;
        uint64_t previousEnd = 63, diskEnd = 0;
        if (DiskGeometryOf(number, geometry) == kOk) {
            bytesPerSector = static_cast<int>(geometry.bytesPerSector);
            sectorsPerCylinder = uint64_t{geometry.tracksPerCylinder} * geometry.sectorsPerTrack;
            diskEnd = WholeSectors(number, geometry);
            previousEnd = geometry.sectorsPerTrack;
        }
        const std::string device = volumes.empty() ? std::string() : volumes.front().devicePath;
        const bool removable = !volumes.empty() && volumes.front().removable;
        const int diskNumber = number;  // structured bindings cannot be captured portably
        auto gap = [&](uint64_t from, uint64_t to) {
            VolumeRecord record;
            record.partitionType = 0;
            record.diskNumber = diskNumber;
            record.partitionNumber = 0;
            record.startSector = from;
            record.sectorCount = to - from;
            record.totalBytes = record.freeBytes = record.sectorCount * static_cast<uint64_t>(bytesPerSector);
            record.spaceKnown = true;  // no partition holds it: all of it is free
            record.devicePath = device;
            record.removable = removable;
            return record;
        };
        std::vector<VolumeRecord> gaps;
        for (const VolumeRecord& v : volumes) {
            if (v.startSector > previousEnd && v.startSector - previousEnd > sectorsPerCylinder)
                gaps.push_back(gap(previousEnd, v.startSector));
            previousEnd = std::max(previousEnd, v.startSector + v.sectorCount);
        }
        if (diskEnd > previousEnd && diskEnd - previousEnd > sectorsPerCylinder) gaps.push_back(gap(previousEnd, diskEnd));
        volumes.insert(volumes.end(), gaps.begin(), gaps.end());
    }
    // Disks with no volume at all are listed whole.
    for (int number = 0; number < kDiskNumbers; ++number) {
        if (disks_.count(number)) continue;
        DiskLocation disk;
        DiskGeometry geometry;
        if (ResolveDisk(number, disk) != kOk || DiskGeometryOf(number, geometry) != kOk) continue;
        if (disk.isBlockDevice && disk.name.rfind("sr", 0) == 0) continue;
        VolumeRecord record;
        record.diskNumber = number;
        record.partitionNumber = 0;
        record.startSector = 0;
        record.sectorCount = WholeSectors(number, geometry);
        record.totalBytes = record.sectorCount * geometry.bytesPerSector;
        record.devicePath = disk.path.string();
        record.removable = IsRemovableDisk(number);
        // A disk formatted whole, or encrypted whole, says what it holds; a blank one is all
        // free; one that cannot be read says nothing of its space.
        if (ProbeVolume(disk.path, 0, 0, record) && record.fileSystemName.empty()) {
            record.freeBytes = record.totalBytes;
            record.spaceKnown = true;
        }
        record.usedBytes = record.spaceKnown ? record.totalBytes - std::min(record.freeBytes, record.totalBytes) : 0;
        disks_[number].push_back(record);
    }
}

int DiskInventory::NextEntry(VolumeRecord& out) {
    for (auto it = disks_.lower_bound(cursorDisk_); it != disks_.end(); ++it) {
        if (it->first != cursorDisk_) {
            cursorDisk_ = it->first;
            cursorPosition_ = 0;
        }
        if (cursorPosition_ < it->second.size()) {
            out = it->second[cursorPosition_++];
            return 1;
        }
        cursorDisk_ = it->first + 1;
        cursorPosition_ = 0;
    }
    return 0;
}

void DiskInventory::ListAll(std::vector<VolumeRecord>& out) const {
    for (const auto& [number, volumes] : disks_) out.insert(out.end(), volumes.begin(), volumes.end());
}

void DiskInventory::FindRemoved(const std::vector<VolumeRecord>& previous, std::vector<VolumeRecord>& out) {
    Refresh();
    std::vector<VolumeRecord> current;
    ListAll(current);
    for (const VolumeRecord& old : previous) {
        const bool present = std::any_of(current.begin(), current.end(), [&](const VolumeRecord& r) {
            return r.diskNumber == old.diskNumber && r.startSector == old.startSector;
        });
        if (!present) out.push_back(old);
    }
}

}  // namespace kestrune
