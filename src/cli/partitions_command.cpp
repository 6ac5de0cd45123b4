#include "cli/partitions_command.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "cli/scan_session.h"
#include "cli/terminal_text.h"
#include "session/destination.h"
#include "session/volume_search.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

namespace {

// The script goes anywhere but onto what is searched: not over the image itself, and not
// onto the volume or disk read.
bool ScriptTargetAllowed(const std::string& file, const std::string& sourceText, std::ostream& err) {
    ScanSource source;
    std::string error;
    std::error_code ec;
    const fs::path target = fs::absolute(file, ec);
    if (ResolveScanSource(sourceText, 0, source, error) == kOk) {
        if (source.isImage && fs::exists(target, ec) && fs::equivalent(target, source.image, ec)) {
            err << "kestrune: " << file << " is the image being searched; the script goes elsewhere\n";
            return false;
        }
        if (!source.isImage && DestinationOnSource(target.parent_path(), source)) {
            err << "kestrune: " << file << " is on the disk being searched; the script goes elsewhere\n";
            return false;
        }
    }
    if (fs::exists(target, ec) && !fs::is_regular_file(target, ec)) {
        err << "kestrune: " << file << " is not a regular file\n";
        return false;
    }
    return true;
}

}  // namespace

int RunPartitions(const PartitionsOptions& options, std::ostream& out, std::ostream& err) {
    if (!options.label.empty() && options.label != "gpt" && options.label != "dos") {
        err << "kestrune: --label must be gpt or dos\n";
        return kExitUsage;
    }
    if (!options.sfdiskFile.empty() && !ScriptTargetAllowed(options.sfdiskFile, options.source, err))
        return kExitUsage;
    DiskSearch search;
    std::string error;
    InstallInterruptHandler();
    const int rc = SearchDiskVolumes(options.source, search, [](int percent) {
        DrawProgress("searching for volumes: " + std::to_string(percent) + " %");
        return !InterruptToken().Cancelled();
    }, error);
    EndProgress();
    if (rc != kOk) {
        err << "kestrune: " << error << "\n";
        return rc == kErrInvalidParameter ? kExitUsage : kExitSourceError;
    }
    if (options.json) {
        nlohmann::ordered_json volumes = nlohmann::ordered_json::array();
        for (const VolumeFinding& v : search.volumes)
            volumes.push_back({{"start", v.startSector}, {"sectors", v.sectorCount}, {"fileSystem", v.fileSystem},
                               {"label", v.label}, {"sure", v.sure}, {"fromBackup", v.fromBackup},
                               {"partition", v.partition}, {"sectorsPastEnd", v.cutShort}});
        out << nlohmann::ordered_json{{"source", search.name}, {"sectorSize", search.sectorSize},
                                      {"sectors", search.totalSectors},
                                      {"table", search.hasTable ? (search.gptTable ? "gpt" : "dos") : "none"},
                                      {"volumes", volumes}}
                   .dump(1)
            << "\n";
    } else {
        out << search.name << ": " << search.totalSectors << " sectors of " << search.sectorSize << " bytes ("
            << FormatSize(search.totalSectors * search.sectorSize) << "); partition table: "
            << (search.hasTable ? (search.gptTable ? "GPT" : "MBR") : "none") << ", " << search.table.size()
            << " partitions\n";
        if (search.volumes.empty()) out << "no volumes found\n";
        for (const VolumeFinding& v : search.volumes) {
            out << "  start " << std::setw(12) << v.startSector << "  " << std::setw(12) << v.sectorCount
                << " sectors  " << std::setw(10) << FormatSize(v.sectorCount * search.sectorSize) << "  " << std::left
                << std::setw(6) << v.fileSystem << std::right << "  "
                << (v.partition ? "partition " + std::to_string(v.partition) : std::string("lost")) << ", "
                << (v.sure ? "sure" : "likely");
            if (v.fromBackup) out << " (its first sector is gone; found by its backup)";
            if (v.cutShort) out << " (" << v.cutShort << " sectors of it lie past the end)";
            if (!v.label.empty()) out << "  \"" << TerminalText(v.label) << "\"";
            out << "\n";
        }
    }
    if (options.sfdiskFile.empty()) return kExitOk;
    std::ofstream file(options.sfdiskFile, std::ios::trunc);
    file << SfdiskScript(search, options.label);
    file.close();
    if (!file) {
        err << "kestrune: cannot write " << options.sfdiskFile << "\n";
        return kExitSomeFailed;
    }
    err << "an sfdisk script that restores these volumes is in " << options.sfdiskFile
        << " (read it, then: sfdisk DEVICE < " << options.sfdiskFile << ")\n";
    return kExitOk;
}

}  // namespace kestrune::cli
