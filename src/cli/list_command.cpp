#include "cli/list_command.h"

#include <algorithm>
#include <ctime>
#include <ostream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/record_json.h"
#include "cli/scan_command.h"
#include "cli/scan_session.h"
#include "cli/terminal_text.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "session/dfxml_report.h"
#include "session/scan_run.h"

namespace kestrune::cli {

uint64_t ListFindings(ScanRun& run, const std::string& pattern, std::ostream& out, Listing listing,
                      const FindingFilter& filter) {
    // How much of each file is left is worked out only where it is shown or asked for.
    const bool shares = listing != Listing::None || filter.minRecoverable;
    if (listing == Listing::None && !shares) {  // a count: nothing to keep
        uint64_t count = 0;
        run.Count(pattern, [&filter](const ScanRecord& r) { return filter.Matches(r, -1); }, count);
        return count;
    }
    std::vector<ScanRecord> found;
    run.Search(pattern, found);
    std::vector<int> recoverable;
    std::vector<bool> guessed;
    std::vector<ScanRecord> kept;
    for (const ScanRecord& record : found) {
        const ScanRun::Recoverability state = shares ? run.AssessRecoverable(record) : ScanRun::Recoverability{};
        if (!filter.Matches(record, state.share)) continue;
        kept.push_back(record);
        recoverable.push_back(state.share);
        guessed.push_back(state.layoutGuessed);
    }
    if (listing == Listing::None) return kept.size();
    for (size_t i = 0; i < kept.size(); ++i) {
        const ScanRecord& record = kept[i];
        std::string folder;
        run.RecordPath(record, folder);
        if (listing == Listing::Json) {
            if (!folder.empty() && folder.back() == '/') folder.pop_back();
            out << RecordJson(record, folder, recoverable[i], guessed[i]) << "\n";
            continue;
        }
        out << TerminalText(folder + std::string(RecordName(record))) << "\t" << FormatSize(record.fileSize);
        if (record.contentOk == kContentEncrypted) out << "\t(EFS-encrypted: cannot be read without its keys)";
        else if (!record.contentOk || recoverable[i] == 0) out << "\t(content overwritten)";
        else if (CarvedEndGuessed(record)) out << "\t(end not confirmed)";
        else if (recoverable[i] > 0 && recoverable[i] < 100)
            out << "\t(partly overwritten: " << recoverable[i] << " % left)";
        if (FirstLetterGuessed(record)) out << "\t(first letter guessed)";
        if (ExistingFile(record)) out << "\t(exists: not deleted)";
        if (guessed[i]) out << "\t(layout guessed: deleted files were written round each other here)";
        out << "\n";
    }
    return kept.size();
}

namespace {

// The stored scan the options name, and which of its findings they select.
int OpenSelection(const ListOptions& options, std::string& pattern, FindingFilter& filter,
                  std::unique_ptr<ScanRun>& run, std::ostream& err) {
    if (int code = BuildSelection(options.types, options.extensions, options.filter, pattern, filter, err);
        code != kExitOk)
        return code;
    if (int code = ReopenScan(options.runFolder, options.keyFile, run, err); code != kExitOk) return code;
    run->SetExistingFiles(options.existing);
    return kExitOk;
}

}  // namespace

int RunList(const ListOptions& options, std::ostream& out, std::ostream& err) {
    std::string pattern;
    FindingFilter filter;
    std::unique_ptr<ScanRun> run;
    if (int code = OpenSelection(options, pattern, filter, run, err); code != kExitOk) return code;
    const uint64_t found = ListFindings(*run, pattern, out, options.json ? Listing::Json : Listing::Text, filter);
    (options.json ? err : out) << found << " files in " << run->runFolder() << " (" << run->source().text << ")\n";
    return kExitOk;
}

int RunReport(const ListOptions& options, std::ostream& out, std::ostream& err) {
    std::string pattern;
    FindingFilter filter;
    std::unique_ptr<ScanRun> run;
    if (int code = OpenSelection(options, pattern, filter, run, err); code != kExitOk) return code;
    std::vector<ScanRecord> found;
    run->Search(pattern, found);
    DfxmlWriter report(out);
    report.Begin(run->source(), KESTRUNE_VERSION, options.commandLine);
    const uint64_t reported = ReportVolume(report, *run, found, {}, [&filter](const ScanRecord& record, int share) {
        return filter.Matches(record, share);
    });
    report.End();
    out.flush();
    if (!out) {
        err << "kestrune: the report could not be written whole\n";
        return kExitSourceError;
    }
    err << reported << " files reported from " << run->runFolder() << "\n";
    return kExitOk;
}

int RunScans(std::ostream& out) {
    const auto& records = ScanCatalogue::Instance().Records();
    for (const ScanCatalogueRecord& r : records) {
        const std::string source = !r.imagePath.empty() ? r.imagePath
                                                        : "disk:" + std::to_string(r.diskIndex) + ":" +
                                                              std::to_string(r.startSector) + ":" +
                                                              std::to_string(r.sectorCount);
        const ResumeState& state = r.resumeState;
        out << source << "\t" << (state.Finished() ? "finished" : "stopped at sector " + std::to_string(state.NextSector()))
            << "\t" << state.sectorsDone << " sectors done\t" << state.filesFound << " files found\t" << r.scanFolder
            << "\n";
    }
    // The scans kept in the store: quick scans, and passes whose note tells their source.
    size_t quick = 0;
    for (const StoredRun& run : StoredRuns()) {
        if (run.mode != "quick") continue;
        ++quick;
        char started[32] = "unknown time";
        const std::time_t when = static_cast<std::time_t>(run.started);
        std::tm local{};
        if (run.started > 0 && ::localtime_r(&when, &local)) std::strftime(started, sizeof started, "%Y-%m-%d %H:%M", &local);
        out << TerminalText(run.source) << (run.partition ? " partition " + std::to_string(run.partition) : "")
            << "\tquick\t" << started << "\t"
            << (run.files >= 0 ? std::to_string(run.files) + " files found" : std::string("not ended")) << "\t"
            << TerminalText(run.folder) << "\n";
    }
    if (records.empty() && quick == 0) out << "no stored scans\n";
    return kExitOk;
}

}  // namespace kestrune::cli
