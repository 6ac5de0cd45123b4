#include "session/scan_source.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/encrypted_volumes.h"
#include "disk/image_containers.h"
#include "disk/partition_table.h"
#include "disk/sector_source.h"
#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"

namespace kestrune {

namespace {

bool ParseNumber(std::string_view text, uint64_t& out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t begin = 0;
    for (;;) {
        const size_t at = text.find(separator, begin);
        parts.push_back(text.substr(begin, at == std::string_view::npos ? std::string_view::npos : at - begin));
        if (at == std::string_view::npos) return parts;
        begin = at + 1;
    }
}

int ResolveDiskForm(const std::string& text, ScanSource& out, std::string& error) {
    const auto parts = Split(std::string_view(text).substr(5), ':');
    uint64_t disk = 0;
    if ((parts.size() != 1 && parts.size() != 3) || !ParseNumber(parts[0], disk) ||
        disk > static_cast<uint64_t>(kLastDiskNumber)) {
        error = "expected disk:N or disk:N:START:COUNT, got \"" + text + "\"";
        return kErrInvalidParameter;
    }
    out.disk = static_cast<int>(disk);
    SectorSource source;
    if (int rc = OpenDiskSource(source, out.disk); rc != kOk) {
        error = "cannot open disk " + std::to_string(disk) + ": " + ResultText(rc);
        return rc;
    }
    DiskGeometry geometry;
    if (DiskGeometryOf(out.disk, geometry) == kOk) out.bytesPerSector = geometry.bytesPerSector;
    if (parts.size() == 1) {
        out.startSector = 0;
        out.sectorCount = source.totalSectors;
        return kOk;
    }
    if (!ParseNumber(parts[1], out.startSector) || !ParseNumber(parts[2], out.sectorCount)) {
        error = "expected disk:N:START:COUNT with decimal numbers, got \"" + text + "\"";
        return kErrInvalidParameter;
    }
    if (out.startSector > source.totalSectors || out.sectorCount > source.totalSectors - out.startSector) {
        error = "the area " + text + " runs past the end of disk " + std::to_string(disk) + " (" +
                std::to_string(source.totalSectors) + " sectors)";
        return kErrHandleEof;
    }
    return kOk;
}

}  // namespace

namespace {

// The partitions of the disk out names, read from its own partition table (the kernel may
// show none: a loop device attached without -P, a container without partition nodes),
// with partition picked when it is not 0.
int PickFromPartitionTable(ScanSource& out, int partition, std::string& error) {
    SectorSource source;
    if (OpenDiskSource(source, out.disk) != kOk) {
        error = "cannot open " + out.text + " as a disk";
        return kErrNotReady;
    }
    out.partitions.clear();
    ReadPartitionTable(source, out.bytesPerSector, source.totalSectors, out.partitions);
    out.partitioned = true;
    out.isImage = false;
    out.partition = partition;
    if (partition == 0) return kOk;
    for (const PartitionEntry& e : out.partitions) {
        if (static_cast<int>(e.number) != partition) continue;
        out.startSector = e.startSector;
        out.sectorCount = e.sectorCount;
        return kOk;
    }
    error = out.text + " has no partition " + std::to_string(partition);
    return kErrInvalidParameter;
}

// An image whose first sector is a partition table: a disk of its own, its partitions
// scanned like a disk's.
int ResolvePartitionedImage(ScanSource& out, int partition, std::string& error) {
    out.disk = RegisterVirtualDisk(out.image);
    if (out.disk >= 0) out.bytesPerSector = SectorBytesOf(out.disk);
    if (out.disk < 0) {
        error = "cannot open " + out.text + " as a disk";
        return kErrNotReady;
    }
    return PickFromPartitionTable(out, partition, error);
}

}  // namespace

int ResolveScanSource(const std::string& text, int partition, ScanSource& out, std::string& error) {
    out = ScanSource{};
    out.text = text;
    if (text.rfind("disk:", 0) == 0) {
        if (int rc = ResolveDiskForm(text, out, error); rc != kOk || partition == 0) return rc;
        return PickFromPartitionTable(out, partition, error);
    }

    struct stat st {};
    if (::stat(text.c_str(), &st) != 0) {
        const int rc = FromErrno(errno);
        error = "cannot open " + text + ": " + ResultText(rc);
        return rc;
    }
    if (S_ISBLK(st.st_mode)) {
        DiskArea area;
        if (int rc = LocateBlockDevice(text, area); rc != kOk) {
            error = "cannot find " + text + " among the disks: " + ResultText(rc);
            return rc;
        }
        out.disk = area.disk;
        out.startSector = area.startSector;
        out.sectorCount = area.sectorCount;
        out.bytesPerSector = area.bytesPerSector;
        if (partition == 0) return kOk;
        if (area.isPartition) {
            error = text + " is a partition already; --partition picks one of a whole disk";
            return kErrInvalidParameter;
        }
        return PickFromPartitionTable(out, partition, error);
    }
    out.isImage = true;
    out.image = text;
    std::unique_ptr<Medium> medium;
    std::string why;
    if (int rc = OpenImageMedium(out.image, medium, &why); rc != kOk) {
        error = why.empty() ? "cannot open " + text + ": " + ResultText(rc) : why;
        return rc;
    }
    SectorSource source = SourceOverMedium(std::move(medium), kImageSectorBytes);
    out.sectorCount = source.totalSectors;
    std::vector<uint8_t> first(512);
    uint32_t read = 0;
    if (ReadSectors(1, source, first.data(), 0, 512, read) == kOk && HoldsPartitionTable(ByteView(first)))
        return ResolvePartitionedImage(out, partition, error);
    if (partition != 0) {
        error = text + " holds no partition table";
        return kErrInvalidParameter;
    }
    return kOk;
}

std::string DescribeSource(const ScanSource& source) {
    // An image in a container says which: what is read is the disk inside it.
    const ImageFormat format = source.image.empty() ? ImageFormat::Raw : DetectImageFormat(source.image);
    const std::string container = format == ImageFormat::Raw ? "" : std::string(" (") + ImageFormatName(format) + ")";
    if (source.partitioned && source.partition == 0)
        return "partitioned image " + source.text + container + ", " + std::to_string(source.partitions.size()) +
               " partitions";
    const std::string size = std::to_string(source.sectorCount) + " sectors of " +
                             std::to_string(source.bytesPerSector) + " bytes";
    if (source.isImage) return "image " + source.image.string() + container + ", " + size;
    return "disk " + std::to_string(source.disk) + " from sector " +
           std::to_string(source.startSector) + ", " + size;
}

std::vector<ScanSource> TargetsOf(const ScanSource& source) {
    if (!source.partitioned || source.partition != 0) return {source};
    std::vector<ScanSource> targets;
    for (const PartitionEntry& entry : source.partitions) {
        ScanSource one = source;
        one.partition = static_cast<int>(entry.number);
        one.startSector = entry.startSector;
        one.sectorCount = entry.sectorCount;
        targets.push_back(std::move(one));
    }
    return targets;
}

bool IsFileSystemChoice(const std::string& name) { return FsKindNamed(name) != FsKind::Other; }

uint16_t DriveLetterOf(const ScanSource& source) { return source.isImage ? 1001 : 1; }

namespace {

int ReadBootAreaOf(const ScanSource& source, std::vector<uint8_t>& area) {
    return source.isImage ? EngineFactory::ReadBootAreaOfImage(source.image, area)
                          : EngineFactory::ReadBootAreaOfDisk(source.disk, source.startSector, area);
}

}  // namespace

std::filesystem::path DevicePathOf(const ScanSource& source) {
    DiskLocation location;
    if (source.isImage || ResolveDisk(source.disk, location) != kOk || !location.isBlockDevice) return {};
    return location.path;
}

std::string AccessAdvice(const ScanSource& source) {
    DiskLocation location;
    if (source.isImage || ResolveDisk(source.disk, location) != kOk || !location.isBlockDevice ||
        HasAdoptedDescriptor(location.path))
        return {};
    const int fd = ::open(location.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    if (errno != EACCES && errno != EPERM) return {};
    // Root refused: a container or a security policy keeps the device from everyone here.
    if (::geteuid() == 0)
        return "The system does not let even root read " + location.path.string() +
               " here (a container or a security policy forbids it).";
    std::string advice = "This user may not read " + location.path.string() + ": run kestrune as root (sudo kestrune ...)";
    // The group that may read the disk, where it is not root's own ("disk" on most systems).
    struct stat info {};
    const struct group* owner = ::stat(location.path.c_str(), &info) == 0 && info.st_gid != 0 && (info.st_mode & S_IRGRP)
                                    ? ::getgrgid(info.st_gid)
                                    : nullptr;
    if (owner)
        advice += std::string(", or join the group \"") + owner->gr_name + "\" that may read it (sudo usermod -aG " +
                  owner->gr_name + " $USER, then log in again)";
    return advice + ", or scan it in kestrune-gui, which asks the system for the right.";
}

std::string EncryptionOfSource(const ScanSource& source) {
    std::vector<uint8_t> area;
    return ReadBootAreaOf(source, area) == kOk ? EncryptionOf(ByteView(area)) : std::string();
}

int UnlockSource(ScanSource& source, const std::string& passphrase, std::string& error) {
    std::shared_ptr<Medium> volume;
    if (source.isImage) {
        std::unique_ptr<Medium> image;
        if (int rc = OpenImageMedium(source.image, image, &error); rc != kOk) return rc;
        volume = std::move(image);
    } else {
        SectorSource disk;
        if (int rc = OpenDiskSource(disk, source.disk); rc != kOk) {
            error = "cannot open " + source.text + ": " + ResultText(rc);
            return rc;
        }
        volume = std::make_shared<AreaMedium>(disk.medium, source.startSector * source.bytesPerSector,
                                              source.sectorCount * source.bytesPerSector);
    }
    const std::string kind = EncryptionOfSource(source);
    std::unique_ptr<Medium> plain;
    if (int rc = UnlockLuks(volume, passphrase, plain, error); rc != kOk) return rc;
    // Named by where it lies, whole: a stored pass of it is found again only for the same volume.
    std::error_code ec;
    const std::filesystem::path origin =
        !source.image.empty() ? std::filesystem::absolute(source.image, ec) : DevicePathOf(source);
    const std::string partition = source.partition ? " partition " + std::to_string(source.partition) : "";
    const std::string where = source.partition || source.startSector == 0
                                  ? partition
                                  : " from sector " + std::to_string(source.startSector);
    ScanSource unlocked;
    unlocked.isImage = true;
    unlocked.text = source.text + partition;
    unlocked.sectorCount = plain->SizeBytes() / kImageSectorBytes;
    unlocked.image = RegisterUnlockedVolume(std::shared_ptr<Medium>(std::move(plain)),
                                            kind + " volume of " + origin.string() + where, origin);
    unlocked.chosenFileSystem = source.chosenFileSystem;
    source = std::move(unlocked);
    return kOk;
}

int ProbeSource(const ScanSource& source, std::string& fileSystem,
                std::vector<std::pair<std::string, std::string>>& geometry, std::vector<std::string>* others) {
    std::vector<uint8_t> area;
    if (int rc = ReadBootAreaOf(source, area); rc != kOk) return rc;
    const ByteView view(area);
    // An encrypted volume is named as such: what it holds is read once it is unlocked.
    if (const std::string encryption = EncryptionOf(view); !encryption.empty()) {
        fileSystem = encryption;
        geometry.clear();
        return kOk;
    }
    fileSystem = FileSystemNameOf(view);
    const FsKind second = SecondFileSystemOf(view);
    const FsKind chosen = FsKindNamed(source.chosenFileSystem);
    if (chosen != FsKind::Other && chosen != ClassifyBootArea(view)) {
        fileSystem = FileSystemNameAs(view, chosen);
    } else if (second != FsKind::Other && others) {
        // Both may be valid: the user picks which is read; the first is read unless told.
        others->push_back(FileSystemNameAs(view, second));
    }
    geometry = DescribeBootArea(view);
    return kOk;
}

void VolumeExtent(const ScanSource& source, uint64_t& spanned, uint64_t& held) {
    spanned = held = 0;
    std::vector<uint8_t> area;
    if (ReadBootAreaOf(source, area) != kOk) return;
    if (source.isImage) {
        uint64_t fileBytes = 0;
        if (FileSizeOf(source.image, fileBytes) != kOk) return;
        // A partition of an image holds what the file holds from the partition on.
        const uint64_t start = source.startSector * source.bytesPerSector;
        held = fileBytes > start ? fileBytes - start : 0;
        if (source.partition != 0) held = std::min(held, source.sectorCount * source.bytesPerSector);
    } else {
        held = source.sectorCount * source.bytesPerSector;
    }
    spanned = VolumeBytesOf(ByteView(area));
}

}  // namespace kestrune
