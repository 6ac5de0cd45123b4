#include "cli/scan_command.h"

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <ostream>
#include <set>

#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "cli/list_command.h"
#include "cli/record_json.h"
#include "cli/scan_session.h"
#include "cli/source_argument.h"
#include "cli/terminal_text.h"
#include "disk/link_free_paths.h"
#include "disk/result_codes.h"
#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"
#include "output/recovery_job.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"
#include "scanlog/scan_catalogue.h"
#include "scanlog/scan_log_file.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

std::string SearchPatternFor(const std::vector<std::string>& types, const std::vector<std::string>& extensions,
                             std::string& error) {
    // Nothing chosen means every file, those of no known type too.
    if (types.empty() && extensions.empty())
        return SearchPatternFor({"photo", "audio", "video", "document", "archive", "other"}, {}, error);
    std::set<std::string> registered;
    auto addList = [&registered](std::string_view list) {
        size_t begin = 0;
        while (begin < list.size()) {
            size_t end = list.find('|', begin);
            if (end == std::string_view::npos) end = list.size();
            registered.insert(std::string(list.substr(begin + 2, end - begin - 2)));  // after "*."
            begin = end + 1;
        }
    };
    for (const std::string& type : types) {
        const std::string t = AsciiLower(type);
        if (t == "photo") addList(PhotoExtensions);
        else if (t == "audio") addList(AudioExtensions);
        else if (t == "video") addList(VideoExtensions);
        else if (t == "document") addList(DocumentExtensions);
        else if (t == "archive") addList(ArchiveExtensions);
        else if (t == "other") registered.insert("other");
        else {
            error = "unknown type \"" + type + "\" (photo, audio, video, document, archive, other)";
            return {};
        }
    }
    for (const std::string& extension : extensions) {
        std::string e = AsciiLower(extension);
        if (!e.empty() && e[0] == '.') e.erase(0, 1);
        if (!e.empty()) registered.insert(e);
    }
    return BuildSearchPattern(registered);
}

namespace {

// A partitioned image without a partition named is scanned one partition after another,
// as a disk row is; anything else is one area.
int ForEachArea(const ScanOptions& options, std::ostream& err, const std::function<int(const ScanOptions&)>& run) {
    if (options.partition != 0) return run(options);
    ResolvedSource source;
    std::string error;
    if (int code = ResolveSource(options.source, source, error, options.partition); code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    if (!source.partitioned) return run(options);
    if (source.partitions.empty()) {
        err << "kestrune: " << options.source << " holds a partition table without partitions\n";
        return kExitSourceError;
    }
    int worst = kExitOk;
    for (const PartitionEntry& entry : source.partitions) {
        ScanOptions one = options;
        one.partition = static_cast<int>(entry.number);
        err << "partition " << entry.number << " (from sector " << entry.startSector << ", " << entry.sectorCount
            << " sectors):\n";
        const int code = run(one);
        if (code == kExitInterrupted) return code;
        worst = std::max(worst, code);
    }
    return worst;
}

int RunScanArea(const ScanOptions& options, std::ostream& out, std::ostream& err);
int RunRecoverArea(const ScanOptions& options, std::ostream& out, std::ostream& err);

}  // namespace

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    return ForEachArea(options, err, [&](const ScanOptions& one) { return RunScanArea(one, out, err); });
}

int RunRecover(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    return ForEachArea(options, err, [&](const ScanOptions& one) { return RunRecoverArea(one, out, err); });
}

namespace {

int RunScanArea(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    ScanSession session;
    const int code = StartScan(options, session, err);
    if (code != kExitOk && code != kExitInterrupted) return code;
    std::string error;
    const std::string everything =
        SearchPatternFor({}, {}, error);
    const uint64_t files = ListFindings(*session.engine, everything, out, options.json ? Listing::Json : Listing::None);
    std::ostream& summary = options.json ? err : out;
    summary << files << " files found in " << options.source << "\n"
            << "scan folder: " << session.runFolder << "\n";
    return code;
}

int RunRecoverArea(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    std::string error;
    const std::string pattern = SearchPatternFor(options.types, options.extensions, error);
    if (!error.empty()) {
        err << "kestrune: " << error << "\n";
        return kExitUsage;
    }
    fs::path destination;
    if (int rc = ResolveDestination(options.destination, destination); rc != kOk) {
        err << "kestrune: cannot use " << options.destination << " as the destination folder: " << ResultText(rc)
            << "\n";
        return kExitUsage;
    }
    if (::access(destination.c_str(), W_OK) != 0) {
        err << "kestrune: cannot write into " << destination.string() << ": " << ResultText(FromErrno(errno)) << "\n";
        return kExitUsage;
    }
    ResolvedSource source;
    if (int code = ResolveSource(options.source, source, error, options.partition); code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    if (DestinationOnSource(destination, source)) {
        err << "kestrune: " << destination.string() << " is on the volume being recovered from; writing there "
            << "could overwrite the files to recover. Choose a folder on another disk.\n";
        return kExitUsage;
    }
    ScanSession session;
    if (int code = StartScan(options, session, err); code != kExitOk) return code;

    std::vector<ScanRecord> found;
    if (int rc = session.engine->SearchByExtension(pattern, found); rc != kOk) {
        err << "kestrune: the search failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    IFileRecoveryParse* engine = session.engine.get();
    const uint16_t letter = session.driveLetter;
    RecoveryJob job(destination, [engine, letter](uint16_t driveLetter) {
        return driveLetter == letter ? engine : nullptr;
    });
    job.onProgress = [](int percent, const std::string& target) {
        DrawProgress(std::to_string(percent) + "%  " + TerminalText(target));
    };
    job.onFile = [&out](const RecoveredFile& file) {
        EndProgress();
        out << TerminalText(file.target.string()) << ": " << TerminalText(file.status) << "\n";
    };
    const int rc = job.Run(found);
    EndProgress();
    if (rc != kOk && rc != CancelCode) {
        err << "kestrune: cannot write into " << destination.string() << ": " << ResultText(rc) << "\n";
        return kExitUsage;
    }
    out << "recovered " << job.processed() - job.failed() << " of " << job.total() << " files into "
        << destination.string();
    if (job.failed()) {
        out << " (" << job.failed() << " failed";
        if (job.partial()) out << "; " << job.partial() << " of them kept in part as \"NAME.partial.EXT\"";
        out << ")";
    }
    out << "\n";
    if (rc == CancelCode) return kExitInterrupted;
    return job.failed() ? kExitSomeFailed : kExitOk;
}

}  // namespace

}  // namespace kestrune::cli
