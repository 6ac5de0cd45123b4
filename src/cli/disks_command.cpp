#include "cli/disks_command.h"

#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "cli/scan_session.h"
#include "cli/source_argument.h"
#include "cli/terminal_text.h"
#include "disk/block_devices.h"
#include "disk/disk_copy.h"
#include "disk/disk_inventory.h"
#include "disk/link_free_paths.h"
#include "disk/result_codes.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

int RunDisks(bool json, const std::vector<std::string>& images, std::ostream& out) {
    for (const std::string& image : images) RegisterVirtualDisk(image);
    DiskInventory inventory;
    inventory.Refresh();
    nlohmann::ordered_json disks = nlohmann::ordered_json::array();
    for (const auto& [number, volumes] : inventory.Disks()) {
        const std::string device = volumes.empty() ? "" : volumes.front().devicePath;
        uint64_t length = 0;
        DiskLengthBytes(length, number);
        const bool removable = !volumes.empty() && volumes.front().removable;
        nlohmann::ordered_json disk = {{"number", number}, {"device", device}, {"size", length},
                                       {"sizeText", FormatSize(length)}, {"removable", removable},
                                       {"areas", nlohmann::ordered_json::array()}};
        if (!json)
            out << "disk " << number << "  " << device << "  " << FormatSize(length) << (removable ? "  removable" : "")
                << "\n";
        for (const VolumeRecord& v : volumes) {
            const std::string kind = v.partitionType == 0 ? (v.partitionNumber == 0 && v.startSector == 0 &&
                                                                     volumes.size() == 1 ? "disk" : "gap")
                                                          : "volume";
            disk["areas"].push_back({{"position", v.letter}, {"kind", kind}, {"partition", v.partitionNumber},
                                     {"device", v.volumePath}, {"start", v.startSector}, {"sectors", v.sectorCount},
                                     {"sizeText", FormatSize(v.totalBytes)}, {"fileSystem", v.fileSystemName},
                                     {"label", v.volumeLabel}, {"mountPoint", v.mountPoint},
                                     {"partitionType", v.partitionType}});
            if (json) continue;
            out << "  " << std::setw(3) << v.letter << "  " << std::left << std::setw(6) << kind << std::right
                << "  start " << std::setw(12) << v.startSector << "  " << std::setw(12) << v.sectorCount << " sectors  "
                << std::setw(10) << FormatSize(v.totalBytes) << "  " << std::left << std::setw(6) << v.fileSystemName
                << std::right;
            if (!v.volumePath.empty()) out << "  " << v.volumePath;
            if (!v.volumeLabel.empty()) out << "  \"" << TerminalText(v.volumeLabel) << "\"";
            if (!v.mountPoint.empty()) out << "  on " << TerminalText(v.mountPoint);
            out << "\n";
        }
        disks.push_back(disk);
    }
    if (json) out << disks.dump(1) << "\n";
    else if (inventory.Disks().empty()) out << "no disks\n";
    return kExitOk;
}

namespace {

int ImageProgress(void*, int percent, uint64_t done, uint64_t total, int secondsRemaining) {
    if (Interrupted()) return CancelCode;
    DrawProgress(std::to_string(percent) + "%  " + std::to_string(done) + "/" + std::to_string(total) + " sectors  " +
                 (secondsRemaining < 0 ? std::string("estimating time left")
                                       : FormatDuration(static_cast<uint64_t>(secondsRemaining)) + " left"));
    return 0;
}

// What keeps an image from going where it was asked to: the source's own volume, a FAT
// file system too small for the file, or too little free space. Empty when it may go.
std::string DestinationProblem(const fs::path& destination, const ResolvedSource& source, uint64_t bytes,
                               bool withMap) {
    // Someone else's link in our place would have us write over the file it points at.
    if (IsSymbolicLink(destination))
        return destination.string() + " is a symbolic link; name the image file itself, not a link to it";
    if (withMap && IsSymbolicLink(destination.string() + ".map"))
        return destination.string() + ".map is a symbolic link; remove it or choose another image name";
    const fs::path folder = fs::absolute(destination).parent_path();
    if (DestinationOnSource(folder, source)) return "the image cannot be written on the volume it is copied from";
    std::string fileSystem;
    if (VolumeFileSystemName(fileSystem, folder) == kOk) {
        if (fileSystem.find("FAT32") != std::string::npos && bytes > (4ULL << 30))
            return "the destination is FAT32, which holds no file above 4 GiB";
        if (fileSystem.find("FAT") != std::string::npos && fileSystem.find("FAT32") == std::string::npos &&
            bytes > (2ULL << 30))
            return "the destination is FAT, which holds no file above 2 GiB";
    }
    uint64_t free = 0;
    if (VolumeFreeBytes(folder, free) == kOk && free <= bytes) return "there is not enough free space for the image";
    return {};
}

}  // namespace

int RunImage(const ImageOptions& options, std::ostream& out, std::ostream& err) {
    ResolvedSource source;
    std::string error;
    if (int code = ResolveSource(options.source, source, error, options.partition); code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    SectorSource reader;
    fs::path sourcePath;
    int sectorBytes = static_cast<int>(source.bytesPerSector);
    uint64_t start = source.startSector, count = source.sectorCount;
    if (source.isImage) {
        sourcePath = source.image;
        if (int rc = OpenImageSource(source.image, reader); rc != kOk) {
            err << "kestrune: cannot open " << source.text << ": " << ResultText(rc) << "\n";
            return kExitSourceError;
        }
        sectorBytes = 512;
        start = 0;
        count = reader.totalSectors;
    } else {
        DiskLocation location;
        ResolveDisk(source.disk, location);
        sourcePath = location.path;
        if (int rc = OpenDiskSource(reader, source.disk); rc != kOk) {
            err << "kestrune: cannot open " << source.text << ": " << ResultText(rc) << "\n";
            return kExitSourceError;
        }
        if (source.partitioned && source.partition == 0) count = reader.totalSectors;
    }
    if (const std::string problem = DestinationProblem(options.destination, source, count * sectorBytes, options.skipBad);
        !problem.empty()) {
        err << "kestrune: " << problem << "\n";
        return kExitUsage;
    }
    InstallInterruptHandler();
    DiskCopyJob job;
    job.skipBad = options.skipBad;
    const int rc = job.Copy(reader, sectorBytes, start, count, options.destination, sourcePath, ImageProgress, nullptr);
    EndProgress();
    const uint64_t copied = job.bytesWritten / static_cast<uint64_t>(sectorBytes);
    // The map goes beside whatever image is left, under that image's name.
    const std::string mapPath = job.keptAs.empty() ? std::string() : job.keptAs.string() + ".map";
    int mapResult = kOk;
    if (options.skipBad && !mapPath.empty()) mapResult = job.WriteBadSectorMap(mapPath);
    const std::string kept = job.keptAs.empty() ? "nothing was copied, so no image was left"
                                                : "the part copied is in " + job.keptAs.string();
    if (rc == CancelCode) {
        err << "kestrune: cancelled after " << copied << " of " << count << " sectors; " << kept << "\n";
        return kExitInterrupted;
    }
    if (rc != kOk) {
        err << "kestrune: the image could not be created: " << ResultText(rc) << " (" << copied << " of " << count
            << " sectors copied; " << kept << ")\n";
        return kExitSourceError;
    }
    out << "copied " << count << " sectors (" << FormatSize(count * sectorBytes) << ") into " << options.destination;
    if (options.skipBad && mapResult == kOk)
        out << "; " << job.badRanges.size() << " unreadable ranges listed in " << mapPath;
    out << "\n";
    if (mapResult != kOk) {
        err << "kestrune: the list of unreadable sectors could not be written to " << mapPath << ": "
            << ResultText(mapResult) << " (" << job.badRanges.size() << " unreadable ranges)\n";
        return kExitSomeFailed;
    }
    return kExitOk;
}

}  // namespace kestrune::cli
