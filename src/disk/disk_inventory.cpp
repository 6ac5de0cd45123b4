#include "disk/disk_inventory.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/partition_table.h"
#include "disk/sector_source.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

constexpr int kDiskNumbers = 128;

uint64_t ReadNumber(const fs::path& path) {
    std::ifstream in(path);
    uint64_t value = 0;
    in >> value;
    return in ? value : 0;
}

// File system type, version and label of a volume, as libblkid finds them.
void ProbeVolume(const fs::path& device, uint64_t offsetBytes, uint64_t sizeBytes, VolumeRecord& record) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    blkid_probe probe = blkid_new_probe();
    if (!probe || blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(offsetBytes),
                                         static_cast<blkid_loff_t>(sizeBytes)) != 0) {
        if (probe) blkid_free_probe(probe);
        ::close(fd);
        return;
    }
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe) == 0) {
        const char* value = nullptr;
        std::string type, version;
        if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0) type = value;
        if (blkid_probe_lookup_value(probe, "VERSION", &value, nullptr) == 0) version = value;
        if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0) record.volumeLabel = value;
        if (type == "ntfs") record.fileSystemName = "NTFS";
        else if (type == "vfat") record.fileSystemName = version == "FAT32" ? "FAT32" : "FAT";
        else if (type == "exfat") record.fileSystemName = "exFAT";
        else record.fileSystemName = type;
    }
    blkid_free_probe(probe);
    ::close(fd);
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
    record.freeBytes = 0;
    if (!record.volumePath.empty()) {
        record.mountPoint = MountPointOf(record.volumePath).string();
        uint64_t free = 0;
        if (!record.mountPoint.empty() && VolumeFreeBytes(record.mountPoint, free) == kOk) record.freeBytes = free;
    }
    record.usedBytes = record.totalBytes - std::min(record.freeBytes, record.totalBytes);
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
        for (const PartitionEntry& e : table)
            if (e.startSector == record.startSector) record.partitionType = e.mbrType;
        ProbeVolume(probeDevice, probeOffset, probeOffset ? record.sectorCount * sectorBytes : 0, record);
        OverrideType(record);
        FillSizes(record, sectorBytes);
        // Volumes whose type says nothing (GPT, or a file system no scan knows) show as gaps.
        if (record.partitionType != 0) volumes.push_back(record);
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

}  // namespace

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
            diskEnd = geometry.SectorsByGeometry();
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
        record.sectorCount = geometry.SectorsByGeometry();
        uint64_t length = 0;
        if (record.sectorCount == 0 && DiskLengthBytes(length, number) == kOk)
            record.sectorCount = length / geometry.bytesPerSector;
        record.totalBytes = record.freeBytes = record.sectorCount * geometry.bytesPerSector;
        record.devicePath = disk.path.string();
        record.removable = IsRemovableDisk(number);
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
