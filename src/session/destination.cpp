#include "session/destination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/device_stack.h"
#include "disk/link_free_paths.h"
#include "output/recovery_job.h"
#include "session/scan_run.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

// Whether the block device name (a kernel name under /dev) holds sectors of source's area.
bool DeviceHoldsArea(const std::string& name, const ScanSource& source) {
    if (source.isImage) return false;
    DiskArea area;
    if (LocateBlockDevice(GetDeviceRoots().dev / name, area) != kOk || area.disk != source.disk) return false;
    if (!area.isPartition) return true;
    const uint64_t end = area.startSector + area.sectorCount;
    return area.startSector < source.startSector + source.sectorCount && source.startSector < end;
}

// The files whose bytes are the source: the image itself, or a loop device's backing file.
std::vector<std::pair<dev_t, ino_t>> FilesOfSource(const ScanSource& source) {
    std::vector<std::pair<dev_t, ino_t>> files;
    struct stat st {};
    if (source.isImage) {
        if (::stat(source.image.c_str(), &st) == 0) files.emplace_back(st.st_dev, st.st_ino);
        return files;
    }
    DiskLocation location;
    std::pair<dev_t, ino_t> backing;
    if (ResolveDisk(source.disk, location) != kOk) return files;
    if (!location.isBlockDevice) {
        if (::stat(location.path.c_str(), &st) == 0) files.emplace_back(st.st_dev, st.st_ino);
    } else if (LoopBackingFile(location.name, backing)) {
        files.push_back(backing);
    }
    return files;
}

}  // namespace

bool DestinationOnSource(const fs::path& folder, const ScanSource& source) {
    const MediaBelow below = MediaBelowPath(folder);
    for (const std::string& device : below.blockDevices)
        if (DeviceHoldsArea(device, source)) return true;
    for (const auto& file : FilesOfSource(source))
        if (std::find(below.files.begin(), below.files.end(), file) != below.files.end()) return true;
    return false;
}

DestinationProblem CheckRecoveryDestination(const std::string& folder, const ScanSource& source, fs::path& resolved,
                                            int& result) {
    result = kOk;
    // Asked before the folder is made: making it on the source would already be a write.
    if (DestinationOnSource(folder, source)) {
        resolved = fs::absolute(folder);
        return DestinationProblem::OnSource;
    }
    result = ResolveDestination(folder, resolved);
    if (result != kOk) return DestinationProblem::Unusable;
    if (::access(resolved.c_str(), W_OK) != 0) {
        result = FromErrno(errno);
        return DestinationProblem::NotWritable;
    }
    return DestinationOnSource(resolved, source) ? DestinationProblem::OnSource : DestinationProblem::None;
}

DestinationProblem CheckImageDestination(const fs::path& image, const ScanSource& source, uint64_t bytes,
                                         bool withMap) {
    // Someone else's link in our place would have us write over the file it points at.
    if (IsSymbolicLink(image)) return DestinationProblem::IsLink;
    if (withMap && IsSymbolicLink(image.string() + ".map")) return DestinationProblem::MapIsLink;
    const fs::path folder = fs::absolute(image).parent_path();
    if (DestinationOnSource(folder, source)) return DestinationProblem::ImageOnSource;
    // An image file copied onto itself would be overwritten while it is read.
    std::error_code ec;
    if (source.isImage && fs::equivalent(image, source.image, ec)) return DestinationProblem::ImageOnSource;
    std::string fileSystem;
    if (VolumeFileSystemName(fileSystem, folder) == kOk) {
        if (fileSystem.find("FAT32") != std::string::npos && bytes > (4ULL << 30))
            return DestinationProblem::Fat32TooSmall;
        if (fileSystem.find("FAT") != std::string::npos && fileSystem.find("FAT32") == std::string::npos &&
            fileSystem != "exFAT" && bytes > (2ULL << 30))
            return DestinationProblem::FatTooSmall;
    }
    uint64_t free = 0;
    if (VolumeFreeBytes(folder, free) == kOk && free <= bytes) return DestinationProblem::NoSpace;
    return DestinationProblem::None;
}

RecoveryPlan PlanRecovery(ScanRun& run, const std::vector<ScanRecord>& records, const fs::path& destination,
                          bool keepFolders) {
    RecoveryPlan plan;
    const fs::path absolute = fs::absolute(destination);
    const fs::path existing = NearestExistingPath(absolute);
    const NameRules rules = NameRulesFor(existing);
    plan.files.reserve(records.size());
    for (const ScanRecord& record : records) {
        std::string folder;
        if (keepFolders) run.RecordPath(record, folder);
        plan.files.push_back({TargetPathFor(absolute, record, rules, keepFolders ? &folder : nullptr), record.fileSize});
        plan.bytes = record.fileSize > UINT64_MAX - plan.bytes ? UINT64_MAX : plan.bytes + record.fileSize;
    }
    plan.freeKnown = VolumeFreeBytes(existing, plan.freeBytes) == kOk;
    return plan;
}

std::string DestinationProblemText(DestinationProblem problem, const std::string& path, int result) {
    switch (problem) {
        case DestinationProblem::None: return {};
        case DestinationProblem::Unusable:
            return "cannot use " + path + " as the destination folder: " + ResultText(result);
        case DestinationProblem::NotWritable: return "cannot write into " + path + ": " + ResultText(result);
        case DestinationProblem::OnSource:
            return path + " is on the volume being recovered from (directly, or through a loop device or a mount "
                          "of the image); writing there could overwrite the files to recover. Choose a folder on "
                          "another disk.";
        case DestinationProblem::ImageOnSource:
            return "the image cannot be written on the volume it is copied from (directly, or through a loop "
                   "device or a mount of it)";
        case DestinationProblem::IsLink:
            return path + " is a symbolic link; name the image file itself, not a link to it";
        case DestinationProblem::MapIsLink:
            return path + ".map is a symbolic link; remove it or choose another image name";
        case DestinationProblem::Fat32TooSmall: return "the destination is FAT32, which holds no file above 4 GiB";
        case DestinationProblem::FatTooSmall: return "the destination is FAT, which holds no file above 2 GiB";
        case DestinationProblem::NoSpace: return "there is not enough free space for the image";
    }
    return {};
}

}  // namespace kestrune
