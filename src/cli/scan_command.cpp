#include "cli/scan_command.h"

#include <functional>
#include <ostream>
#include <sstream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/list_command.h"
#include "cli/progress_line.h"
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

// A partitioned source without a partition named is scanned one partition after
// another, as a disk row is; anything else is one target.
int ForEachTarget(const ScanOptions& options, std::ostream& err,
                  const std::function<int(const ScanSource&)>& run) {
    ScanSource source;
    if (int code = ResolveOrExplain(options.source, options.partition, source, err); code != kExitOk) return code;
    const std::vector<ScanSource> targets = TargetsOf(source);
    if (targets.empty()) {
        err << "kestrune: " << options.source << " holds a partition table without partitions\n";
        return kExitSourceError;
    }
    if (targets.size() == 1 && !(source.partitioned && source.partition == 0)) return run(targets.front());
    int worst = kExitOk;
    for (const ScanSource& target : targets) {
        const PartitionEntry* entry = nullptr;
        for (const PartitionEntry& e : source.partitions)
            if (static_cast<int>(e.number) == target.partition) entry = &e;
        err << "partition " << target.partition << " (from sector " << (entry ? entry->startSector : 0) << ", "
            << (entry ? (entry->cutShort ? entry->claimedSectors : entry->sectorCount) : 0) << " sectors";
        if (entry && entry->cutShort)
            err << "; the source ends after " << entry->sectorCount << " of them: what lay past cannot be found";
        err << "):\n";
        const int code = run(target);
        if (code == kExitInterrupted) return code;
        worst = std::max(worst, code);
    }
    return worst;
}

int ScanTarget(const ScanOptions& options, const ScanSource& target, std::ostream& out, std::ostream& err) {
    std::unique_ptr<ScanRun> run;
    const int code = StartScan(options, target, run, err);
    if (code != kExitOk && code != kExitInterrupted) return code;
    std::string error;
    const uint64_t files = ListFindings(*run, SearchPatternFor({}, {}, error), out,
                                        options.json ? Listing::Json : Listing::None);
    std::ostream& summary = options.json ? err : out;
    summary << files << " files found in " << options.source << "\n"
            << "scan folder: " << run->runFolder() << "\n";
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

int RecoverTarget(const ScanOptions& options, const ScanSource& target, std::ostream& out, std::ostream& err,
                  std::ostream& report) {
    std::string pattern;
    FindingFilter filter;
    if (int code = BuildSelection(options.types, options.extensions, options.filter, pattern, filter, err);
        code != kExitOk)
        return code;
    if (options.dryRun && DestinationOnSource(fs::absolute(options.destination), target)) {
        err << "kestrune: " << DestinationProblemText(DestinationProblem::OnSource, options.destination, kOk) << "\n";
        return kExitUsage;
    }
    fs::path destination;
    int reason = kOk;
    const DestinationProblem problem = options.dryRun  // checked above, without creating it
                                           ? DestinationProblem::None
                                           : CheckRecoveryDestination(options.destination, target, destination, reason);
    if (problem != DestinationProblem::None) {
        const std::string named = problem == DestinationProblem::OnSource ? destination.string() : options.destination;
        err << "kestrune: " << DestinationProblemText(problem, named, reason) << "\n";
        return kExitUsage;
    }
    std::unique_ptr<ScanRun> run;
    if (int code = StartScan(options, target, run, err); code != kExitOk) return code;

    std::vector<ScanRecord> found;
    if (int rc = run->Search(pattern, found); rc != kOk) {
        err << "kestrune: the search failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    std::erase_if(found, [&](const ScanRecord& r) {
        return !filter.Matches(r, filter.minRecoverable ? run->RecoverableShare(r) : -1);
    });
    if (options.dryRun) {
        if (!options.report.empty()) {
            DfxmlWriter writer(report);
            ReportVolume(writer, *run, found);
        }
        return DryRun(options, *run, found, out);
    }
    RecoverySummary summary;
    std::vector<RecoveredFile> written;
    const int rc = run->Recover(found, destination, [&](const RecoveredFile& file) {
        EndProgress();
        out << TerminalText(file.target.string()) << ": " << TerminalText(file.status) << "\n";
        if (!options.report.empty()) written.push_back(file);
    }, summary, options.keepFolders);
    EndProgress();
    if (!options.report.empty()) {
        DfxmlWriter writer(report);
        ReportVolume(writer, *run, found, written);
    }
    if (rc == kErrSharingViolation) {
        err << "kestrune: another recovery is writing into " << destination.string()
            << " now; wait for it to end, or choose another folder\n";
        return kExitUsage;
    }
    if (rc != kOk && rc != CancelCode) {
        err << "kestrune: cannot write into " << destination.string() << ": " << ResultText(rc) << "\n";
        return kExitUsage;
    }
    if (summary.leftoversRemoved)
        out << "removed " << summary.leftoversRemoved
            << " unfinished file(s) that an interrupted recovery into this folder had left\n";
    out << "recovered " << summary.processed - summary.failed << " of " << summary.total << " files into "
        << destination.string();
    if (summary.failed) {
        out << " (" << summary.failed << " failed";
        if (summary.partial) out << "; " << summary.partial << " of them kept in part as \"NAME.partial.EXT\"";
        out << ")";
    }
    out << "\n";
    if (summary.alreadyThere)
        out << summary.alreadyThere << " of them were already there, written whole by an earlier recovery of this "
            << "source into this folder, and were not written again\n";
    if (summary.partialsReplaced)
        out << summary.partialsReplaced << " partial copies that an earlier recovery kept were replaced by whole ones\n";
    if (rc == CancelCode) return kExitInterrupted;
    return summary.failed ? kExitSomeFailed : kExitOk;
}

}  // namespace

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    return ForEachTarget(options, err, [&](const ScanSource& target) { return ScanTarget(options, target, out, err); });
}

int RunRecover(const ScanOptions& options, std::ostream& out, std::ostream& err) {
    std::ostringstream volumes;
    ScanSource first;
    bool any = false;
    const int code = ForEachTarget(options, err, [&](const ScanSource& target) {
        if (!any) first = target;
        any = true;
        return RecoverTarget(options, target, out, err, volumes);
    });
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
