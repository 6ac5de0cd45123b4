#include "cli/scan_command.h"

#include <functional>
#include <ostream>
#include <sstream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/list_command.h"
#include "cli/progress_line.h"
#include "cli/record_json.h"
#include "cli/scan_session.h"
#include "cli/terminal_text.h"
#include "disk/block_devices.h"
#include "scanlog/file_types.h"
#include "session/destination.h"
#include "session/dfxml_report.h"
#include "session/search_pattern.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

namespace {

int ListTarget(const ScanOptions& options, ScanRun& run, int code, std::ostream& out, std::ostream& err) {
    if (code != kExitOk && code != kExitInterrupted) return code;
    std::string error;
    const uint64_t files = ListFindings(run, SearchPatternFor({}, {}, error), out,
                                        options.json ? Listing::Json : Listing::None);
    std::ostream& summary = options.json ? err : out;
    summary << files << " files found in " << options.source << "\n"
            << "scan folder: " << run.runFolder() << "\n";
    return code;
}

// What a recovery would write, and whether it fits: nothing is written, not even the
// destination folder.
int DryRun(const ScanOptions& options, ScanRun& run, const std::vector<ScanRecord>& found, std::ostream& out) {
    const RecoveryPlan plan = PlanRecovery(run, found, options.destination, options.keepFolders);
    for (const PlannedFile& file : plan.files)
        out << "would write " << TerminalText(file.target.string()) << "\t" << FormatSize(file.bytes) << "\n";
    const bool tooMuch = plan.freeKnown && plan.freeBytes < plan.bytes;
    out << "would recover " << plan.files.size() << " files (" << FormatSize(plan.bytes) << ", " << plan.bytes
        << (plan.bytes == UINT64_MAX ? " bytes or more" : " bytes") << ") into "
        << fs::absolute(options.destination).string();
    if (plan.freeKnown) out << ", which has " << FormatSize(plan.freeBytes) << " free" << (tooMuch ? ": NOT ENOUGH ROOM" : "");
    out << "\n";
    return tooMuch ? kExitSomeFailed : kExitOk;
}

// One recovery of the files a scan of each target finds, into one destination.
class TargetRecovery {
public:
    TargetRecovery(const ScanOptions& options, std::ostream& out, std::ostream& err, std::ostream& report)
        : options_(options), out_(out), err_(err), report_(report) {}

    // Before a target is scanned: whether the selection is sound and the destination can
    // take its files, so that nothing is scanned for a recovery that cannot be made.
    int Prepare(const ScanSource& target);
    int Recover(ScanRun& run, int code);
    // Removes the partitions' own folders that nothing was written into (a partition
    // passed over after its folder was made).
    void RemoveEmptyPartitionFolders();

private:
    const ScanOptions& options_;
    std::ostream &out_, &err_, &report_;
    std::string pattern_;
    FindingFilter filter_;
    fs::path destination_;
    std::vector<fs::path> partitionFolders_;
};

void TargetRecovery::RemoveEmptyPartitionFolders() {
    std::error_code ec;
    for (const fs::path& folder : partitionFolders_)
        if (fs::is_directory(folder, ec) && fs::is_empty(folder, ec)) fs::remove(folder, ec);
}

int TargetRecovery::Prepare(const ScanSource& target) {
    if (int code = BuildSelection(options_.types, options_.extensions, options_.filter, pattern_, filter_, err_);
        code != kExitOk)
        return code;
    if (options_.dryRun && DestinationOnSource(fs::absolute(options_.destination), target)) {
        err_ << "kestrune: " << DestinationProblemText(DestinationProblem::OnSource, options_.destination, kOk) << "\n";
        return kExitUsage;
    }
    int reason = kOk;
    // Each partition of a disk recovered whole keeps its folders apart: two volumes' trees
    // are never merged into one.
    std::string into = options_.destination;
    const bool ownFolder = options_.keepFolders && options_.partition == 0 && target.partition != 0;
    if (ownFolder) into = (fs::path(options_.destination) / ("partition " + std::to_string(target.partition))).string();
    const DestinationProblem problem = options_.dryRun  // checked above, without creating it
                                           ? DestinationProblem::None
                                           : CheckRecoveryDestination(into, target, destination_, reason);
    if (ownFolder && !options_.dryRun && problem == DestinationProblem::None) partitionFolders_.push_back(destination_);
    if (problem != DestinationProblem::None) {
        const std::string named = problem == DestinationProblem::OnSource ? destination_.string() : options_.destination;
        err_ << "kestrune: " << DestinationProblemText(problem, named, reason) << "\n";
        return kExitUsage;
    }
    return kExitOk;
}

int TargetRecovery::Recover(ScanRun& run, int code) {
    if (code != kExitOk) return code;
    std::vector<ScanRecord> found;
    if (int rc = run.Search(pattern_, found); rc != kOk) {
        err_ << "kestrune: the search failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    std::erase_if(found, [&](const ScanRecord& r) {
        return !filter_.Matches(r, filter_.minRecoverable ? run.RecoverableShare(r) : -1);
    });
    if (options_.dryRun) {
        if (!options_.report.empty()) {
            DfxmlWriter writer(report_);
            ReportVolume(writer, run, found);
        }
        return DryRun(options_, run, found, out_);
    }
    RecoverySummary summary;
    std::vector<RecoveredFile> written;
    uint64_t readAround = 0;
    const int rc = run.Recover(found, destination_, [&](const RecoveredFile& file) {
        EndProgress();
        if (options_.json) out_ << RecoveredJson(file) << "\n";
        else out_ << TerminalText(file.target.string()) << ": " << TerminalText(file.status) << "\n";
        if (!file.unreadable.empty()) ++readAround;
        if (!options_.report.empty()) written.push_back(file);
    }, summary, options_.keepFolders);
    EndProgress();
    if (!options_.report.empty()) {
        DfxmlWriter writer(report_);
        ReportVolume(writer, run, found, written);
    }
    if (rc == kErrSharingViolation) {
        err_ << "kestrune: another recovery is writing into " << destination_.string()
            << " now; wait for it to end, or choose another folder\n";
        return kExitUsage;
    }
    if (rc != kOk && rc != CancelCode) {
        err_ << "kestrune: cannot write into " << destination_.string() << ": " << ResultText(rc) << "\n";
        return kExitUsage;
    }
    // With --json the objects alone go to the output; what sums them up goes beside.
    std::ostream& said = options_.json ? err_ : out_;
    if (summary.leftoversRemoved)
        said << "removed " << summary.leftoversRemoved
            << " unfinished file(s) that an interrupted recovery into this folder had left\n";
    said << "recovered " << summary.processed - summary.failed << " of " << summary.total << " files into "
        << destination_.string();
    if (summary.failed) {
        said << " (" << summary.failed << " failed";
        if (summary.partial) said << "; " << summary.partial << " of them kept in part as \"NAME.partial.EXT\"";
        said << ")";
    }
    said << "\n";
    if (summary.alreadyThere)
        said << summary.alreadyThere << " of them were already there, written whole by an earlier recovery of this "
            << "source into this folder, and were not written again\n";
    if (readAround)
        said << readAround << " of the partial files were read around bad sectors: they have their whole size, "
             << "with zeros where the source could not be read\n";
    if (summary.partialsReplaced)
        said << summary.partialsReplaced << " partial copies that an earlier recovery kept were replaced by whole ones\n";
    if (rc == CancelCode) return kExitInterrupted;
    return summary.failed ? kExitSomeFailed : kExitOk;
}

}  // namespace

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    return ScanTargets(options, err, nullptr, [&](const ScanSource&, ScanRun& run, int code) {
        return ListTarget(options, run, code, out, err);
    });
}

int RunRecover(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    std::ostringstream volumes;
    ScanSource first;
    bool any = false;
    TargetRecovery recovery(options, out, err, volumes);
    const int code = ScanTargets(
        options, err,
        [&](const ScanSource& target) {
            if (!any) first = target;
            any = true;
            return recovery.Prepare(target);
        },
        [&](const ScanSource&, ScanRun& run, int scanned) { return recovery.Recover(run, scanned); });
    recovery.RemoveEmptyPartitionFolders();
    if (options.report.empty() || !any || code == kExitUsage) return code;
    const int rc = WriteReportFile(options.report, [&](std::ostream& file) {
        DfxmlWriter writer(file);
        writer.Begin(first, KESTRUNE_VERSION, options.commandLine);
        file << volumes.str();
        writer.End();
    });
    if (rc != kOk) {
        err << "kestrune: the report could not be written to " << options.report << ": " << ResultText(rc)
            << "; nothing of it was kept\n";
        return std::max(code, kExitSomeFailed);
    }
    return code;
}

}  // namespace kestrune::cli
