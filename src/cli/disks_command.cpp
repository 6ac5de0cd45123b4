#include "cli/disks_command.h"

#include <sys/stat.h>

#include <cstdlib>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "cli/scan_session.h"
#include "cli/terminal_text.h"
#include "disk/block_devices.h"
#include "disk/disk_health.h"
#include "disk/disk_inventory.h"
#include "scanlog/file_types.h"
#include "session/image_run.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

namespace {

nlohmann::ordered_json HealthJson(const DiskHealth& health) {
    if (!health.known) return nullptr;
    const auto count = [](int64_t n) { return n < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(n); };
    return {{"from", health.from},
            {"failing", health.failing},
            {"worrying", health.Worrying()},
            {"pendingSectors", count(health.pendingSectors)},
            {"reallocatedSectors", count(health.reallocatedSectors)},
            {"uncorrectableSectors", count(health.uncorrectableSectors)},
            {"badSectors", count(health.badSectors)},
            {"temperatureC", health.temperatureC == DiskHealth::kNoTemperature ? nlohmann::ordered_json(nullptr)
                                                                              : nlohmann::ordered_json(health.temperatureC)}};
}

}  // namespace

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
        // Only a disk can say how it is; an image file has no health of its own.
        struct stat info {};
        const bool blockDevice = !device.empty() && ::stat(device.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
        const DiskHealth health = blockDevice ? ReadDiskHealth(device) : DiskHealth{};
        disk["health"] = HealthJson(health);
        if (!json) {
            out << "disk " << number << "  " << device << "  " << FormatSize(length) << (removable ? "  removable" : "")
                << "\n";
            if (blockDevice) out << "  health: " << HealthText(health) << "\n";
            if (health.Worrying())
                out << "  this disk is failing: copy it first (kestrune image --skip-bad " << device
                    << " DISK.img) and scan the copy\n";
        }
        for (const VolumeRecord& v : volumes) {
            const std::string kind = v.partitionType == 0 ? (v.partitionNumber == 0 && v.startSector == 0 &&
                                                                     volumes.size() == 1 ? "disk" : "gap")
                                                          : "volume";
            disk["areas"].push_back({{"position", v.letter}, {"kind", kind}, {"partition", v.partitionNumber},
                                     {"device", v.volumePath}, {"start", v.startSector}, {"sectors", v.sectorCount},
                                     {"sizeText", FormatSize(v.totalBytes)}, {"fileSystem", v.fileSystemName},
                                     {"otherFileSystems", v.otherFileSystems}, {"label", v.volumeLabel},
                                     {"partitionName", v.partitionName}, {"mountPoint", v.mountPoint},
                                     {"partitionType", v.partitionType}});
            if (json) continue;
            out << "  " << std::setw(3) << v.letter << "  " << std::left << std::setw(6) << kind << std::right
                << "  start " << std::setw(12) << v.startSector << "  " << std::setw(12) << v.sectorCount << " sectors  "
                << std::setw(10) << FormatSize(v.totalBytes) << "  " << std::left << std::setw(6)
                << (v.fileSystemName.empty() && kind == "volume" ? "unknown" : v.fileSystemName) << std::right;
            for (const std::string& other : v.otherFileSystems) out << "  also " << other;
            if (!v.volumePath.empty()) out << "  " << v.volumePath;
            if (!v.volumeLabel.empty()) out << "  \"" << TerminalText(v.volumeLabel) << "\"";
            else if (!v.partitionName.empty()) out << "  (" << TerminalText(v.partitionName) << ")";
            if (!v.mountPoint.empty()) out << "  on " << TerminalText(v.mountPoint);
            out << "\n";
        }
        disks.push_back(disk);
    }
    if (json) out << disks.dump(1) << "\n";
    else if (inventory.Disks().empty()) out << "no disks\n";
    return kExitOk;
}

int RunImage(const ImageOptions& options, std::ostream& out, std::ostream& err) {
    ImageRequest request;
    if (int code = ResolveOrExplain(options.source, options.partition, request.source, err); code != kExitOk)
        return code;
    request.destination = options.destination;
    // Resuming, retrying and a minimum rate are all ways of the rescuing copy.
    request.skipBad = options.skipBad || options.resume || options.retries > 0 || !options.minReadRate.empty();
    request.resume = options.resume;
    request.retries = std::max(0, options.retries);
    request.commandLine = options.commandLine;
    if (!options.minReadRate.empty()) {
        char* end = nullptr;
        const double rate = std::strtod(options.minReadRate.c_str(), &end);
        const std::string unit = end ? end : "";
        const double scale = unit.empty() ? 1 : unit == "k" || unit == "K" ? 1e3 : unit == "M" ? 1e6 : unit == "G" ? 1e9 : 0;
        if (!(rate > 0) || scale == 0) {
            err << "kestrune: --min-read-rate takes bytes a second, such as 500k or 2M\n";
            return kExitUsage;
        }
        request.minReadRate = static_cast<uint64_t>(rate * scale);
    }
    InstallInterruptHandler();
    ImageOutcome outcome;
    const int rc = CreateImage(request, DrawRunProgress, &InterruptToken(), outcome);
    EndProgress();
    if (outcome.openResult != kOk) {
        err << "kestrune: cannot open " << options.source << ": " << ResultText(outcome.openResult) << "\n";
        return kExitSourceError;
    }
    if (outcome.problem != DestinationProblem::None) {
        err << "kestrune: " << DestinationProblemText(outcome.problem, options.destination, rc) << "\n";
        return kExitUsage;
    }
    const std::string kept = outcome.keptAs.empty() ? "nothing was copied, so no image was left"
                                                    : "the part copied is in " + outcome.keptAs.string();
    if (rc == CancelCode && request.skipBad) {
        err << "kestrune: stopped; " << options.destination << ".map says what is copied: "
            << "kestrune image --resume " << options.source << " " << options.destination << " goes on from there\n";
        return kExitInterrupted;
    }
    if (rc == CancelCode) {
        err << "kestrune: cancelled after " << outcome.sectorsCopied << " of " << outcome.sectorsTotal << " sectors; "
            << kept << "\n";
        return kExitInterrupted;
    }
    if (rc != kOk) {
        err << "kestrune: the image could not be created: " << ResultText(rc) << " (" << outcome.sectorsCopied
            << " of " << outcome.sectorsTotal << " sectors copied; " << kept << ")\n";
        return kExitSourceError;
    }
    out << "copied " << outcome.sectorsTotal << " sectors (" << FormatSize(outcome.sectorsTotal * outcome.sectorBytes)
        << ") into " << options.destination;
    if (options.skipBad && outcome.mapResult == kOk)
        out << "; " << outcome.badRanges << " unreadable ranges listed in " << outcome.mapPath.string();
    out << "\n";
    if (outcome.mapResult != kOk) {
        err << "kestrune: the list of unreadable sectors could not be written to " << outcome.mapPath.string() << ": "
            << ResultText(outcome.mapResult) << " (" << outcome.badRanges << " unreadable ranges)\n";
        return kExitSomeFailed;
    }
    return kExitOk;
}

}  // namespace kestrune::cli
