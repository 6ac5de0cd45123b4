#include "cli/source_argument.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "cli/exit_codes.h"
#include "disk/block_devices.h"
#include "disk/result_codes.h"
#include "disk/partition_table.h"
#include "disk/sector_source.h"

namespace kestrune::cli {

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

int ResolveDiskForm(const std::string& text, ResolvedSource& out, std::string& error) {
    const auto parts = Split(std::string_view(text).substr(5), ':');
    uint64_t disk = 0;
    if ((parts.size() != 1 && parts.size() != 3) || !ParseNumber(parts[0], disk) ||
        disk > static_cast<uint64_t>(kLastDiskNumber)) {
        error = "expected disk:N or disk:N:START:COUNT, got \"" + text + "\"";
        return kExitUsage;
    }
    out.disk = static_cast<int>(disk);
    SectorSource source;
    if (int rc = OpenDiskSource(source, out.disk); rc != kOk) {
        error = "cannot open disk " + std::to_string(disk) + ": " + ResultText(rc);
        return kExitSourceError;
    }
    DiskGeometry geometry;
    if (DiskGeometryOf(out.disk, geometry) == kOk) out.bytesPerSector = geometry.bytesPerSector;
    if (parts.size() == 1) {
        out.startSector = 0;
        out.sectorCount = source.totalSectors;
        return kExitOk;
    }
    if (!ParseNumber(parts[1], out.startSector) || !ParseNumber(parts[2], out.sectorCount)) {
        error = "expected disk:N:START:COUNT with decimal numbers, got \"" + text + "\"";
        return kExitUsage;
    }
    if (out.startSector > source.totalSectors || out.sectorCount > source.totalSectors - out.startSector) {
        error = "the area " + text + " runs past the end of disk " + std::to_string(disk) + " (" +
                std::to_string(source.totalSectors) + " sectors)";
        return kExitSourceError;
    }
    return kExitOk;
}

}  // namespace

// An image whose first sector is a partition table: a disk of its own, its partitions
// scanned like a disk's.
int ResolvePartitionedImage(ResolvedSource& out, int partition, std::string& error) {
    const int disk = RegisterVirtualDisk(out.image);
    SectorSource source;
    if (disk < 0 || OpenDiskSource(source, disk) != kOk) {
        error = "cannot open " + out.text + " as a disk";
        return kExitSourceError;
    }
    ReadPartitionTable(source, kImageSectorBytes, source.totalSectors, out.partitions);
    out.partitioned = true;
    out.isImage = false;
    out.disk = disk;
    out.partition = partition;
    if (partition == 0) return kExitOk;
    for (const PartitionEntry& e : out.partitions) {
        if (static_cast<int>(e.number) != partition) continue;
        out.startSector = e.startSector;
        out.sectorCount = e.sectorCount;
        return kExitOk;
    }
    error = out.text + " has no partition " + std::to_string(partition);
    return kExitUsage;
}

int ResolveSource(const std::string& text, ResolvedSource& out, std::string& error, int partition) {
    out = ResolvedSource{};
    out.text = text;
    if (text.rfind("disk:", 0) == 0) return ResolveDiskForm(text, out, error);

    struct stat st {};
    if (::stat(text.c_str(), &st) != 0) {
        error = "cannot open " + text + ": " + ResultText(FromErrno(errno));
        return kExitSourceError;
    }
    if (S_ISBLK(st.st_mode)) {
        DiskArea area;
        if (int rc = LocateBlockDevice(text, area); rc != kOk) {
            error = "cannot find " + text + " among the disks: " + ResultText(rc);
            return kExitSourceError;
        }
        out.disk = area.disk;
        out.startSector = area.startSector;
        out.sectorCount = area.sectorCount;
        out.bytesPerSector = area.bytesPerSector;
        return kExitOk;
    }
    out.isImage = true;
    out.image = text;
    SectorSource source;
    if (int rc = OpenImageSource(out.image, source); rc != kOk) {
        error = "cannot open " + text + ": " + ResultText(rc);
        return kExitSourceError;
    }
    out.sectorCount = source.totalSectors;
    std::vector<uint8_t> first(512);
    uint32_t read = 0;
    if (ReadSectors(1, source, first.data(), 0, 512, read) == kOk && HoldsPartitionTable(ByteView(first)))
        return ResolvePartitionedImage(out, partition, error);
    if (partition != 0) {
        error = text + " holds no partition table";
        return kExitUsage;
    }
    return kExitOk;
}

std::string DescribeSource(const ResolvedSource& source) {
    if (source.partitioned && source.partition == 0)
        return "partitioned image " + source.text + ", " + std::to_string(source.partitions.size()) + " partitions";
    const std::string size = std::to_string(source.sectorCount) + " sectors of " +
                             std::to_string(source.bytesPerSector) + " bytes";
    if (source.isImage) return "image " + source.image.string() + ", " + size;
    return "disk " + std::to_string(source.disk) + " from sector " +
           std::to_string(source.startSector) + ", " + size;
}

}  // namespace kestrune::cli
