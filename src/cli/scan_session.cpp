#include "cli/scan_session.h"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include "app/language_table.h"
#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "scanlog/file_types.h"

namespace kestrune::cli {

namespace {

// Asks on a terminal whether to continue a stored pass; without a terminal it is continued.
bool ContinueStoredPass(const ScanOptions& options, const StoredPassInfo& stored, std::ostream& err) {
    if (options.restart) return false;
    if (options.resume || !::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) return true;
    std::string question = LanguageTable::Instance().Message("MSG1206");
    if (question.empty()) question = "A stored scan of this source exists. Continue it?";
    err << question << " (" << stored.sectorsDone << " sectors done, " << stored.filesFound << " files found) [Y/n] ";
    err.flush();
    std::string answer;
    std::getline(std::cin, answer);
    return answer.empty() || answer[0] == 'y' || answer[0] == 'Y';
}

// Says so when the source holds less than its file system spans (an image cut short, a
// copy that stopped): files past its end cannot be found or recovered.
void WarnWhenCutShort(const ScanSource& source, std::ostream& err) {
    uint64_t spanned = 0, held = 0;
    VolumeExtent(source, spanned, held);
    if (spanned <= held) return;
    err << "kestrune: " << source.text << " is cut short: its file system spans " << FormatSize(spanned)
        << " but the source holds " << FormatSize(held) << "; what lay past the end cannot be found\n";
}

}  // namespace

int SourceExitCode(int result) { return result == kErrInvalidParameter ? kExitUsage : kExitSourceError; }

int ResolveOrExplain(const std::string& text, int partition, ScanSource& source, std::ostream& err) {
    std::string error;
    if (int rc = ResolveScanSource(text, partition, source, error); rc != kOk) {
        err << "kestrune: " << error << "\n";
        return SourceExitCode(rc);
    }
    return kExitOk;
}

int StartScan(const ScanOptions& options, const ScanSource& target, std::unique_ptr<ScanRun>& run,
              std::ostream& err) {
    ScanMode mode = ScanMode::Quick;
    if (!ParseScanMode(options.mode, mode)) {
        err << "kestrune: --mode must be quick, formatted or deep\n";
        return kExitUsage;
    }
    run = std::make_unique<ScanRun>(target, mode);
    run->SetProgress(DrawRunProgress, &InterruptToken());
    run->SetStoredPassQuestion(
        [&options, &err](const StoredPassInfo& stored) { return ContinueStoredPass(options, stored, err); });
    if (const auto interval = CheckpointIntervalSetting()) run->SetCheckpointInterval(*interval);
    InstallInterruptHandler();
    const int rc = run->Start();
    EndProgress();
    WarnWhenCutShort(target, err);
    if (const int quick = run->quickScanResult(); quick != kOk && quick != CancelCode && rc != CancelCode)
        err << "kestrune: the file system of " << target.text << " could not be read whole (" << ResultText(quick)
            << "); every sector was read and carved instead\n";
    if (rc == kOk) return kExitOk;
    err << "kestrune: " << run->problem() << "\n";
    return rc == CancelCode ? kExitInterrupted : kExitSourceError;
}

int ReopenScan(const std::string& folder, std::unique_ptr<ScanRun>& run, std::ostream& err) {
    std::string problem;
    const int rc = ScanRun::Reopen(folder, run, problem);
    if (rc == kOk) return kExitOk;
    err << "kestrune: " << problem << "\n";
    // A folder that holds no run is the user's mistake; a source gone is the source's.
    return rc == kErrFileNotFound || rc == kErrInvalidData || rc == kErrInvalidParameter ? kExitUsage
                                                                                         : kExitSourceError;
}

}  // namespace kestrune::cli
