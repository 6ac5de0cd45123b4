#include "cli/scan_session.h"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include "app/language_table.h"
#include "base/display_text.h"
#include "base/result_codes.h"
#include "cli/encrypted_source.h"
#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "scanlog/file_types.h"
#include "session/target_scans.h"

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

namespace {

// What a finished scan of one target tells the user, and its exit code.
int ScanOutcome(const ScanSource& target, const ScanRun& run, int rc, std::ostream& err) {
    EndProgress();
    WarnWhenCutShort(target, err);
    if (const int quick = run.quickScanResult(); quick != kOk && quick != CancelCode && rc != CancelCode)
        err << "kestrune: the file system of " << target.text << " could not be read whole (" << ResultText(quick)
            << "); every sector was read and carved instead\n";
    if (rc == kOk) return kExitOk;
    err << "kestrune: " << run.problem() << "\n";
    return rc == CancelCode ? kExitInterrupted : kExitSourceError;
}

// Names the partition a scan of a partitioned source goes on with.
void SayPartition(const ScanSource& source, const ScanSource& target, std::ostream& err) {
    const PartitionEntry* entry = nullptr;
    for (const PartitionEntry& e : source.partitions)
        if (static_cast<int>(e.number) == target.partition) entry = &e;
    err << "partition " << target.partition << " (from sector " << (entry ? entry->startSector : 0) << ", "
        << (entry ? (entry->cutShort ? entry->claimedSectors : entry->sectorCount) : 0) << " sectors";
    if (entry && entry->cutShort)
        err << "; the source ends after " << entry->sectorCount << " of them: what lay past cannot be found";
    err << "):\n";
}

}  // namespace

int ScanTargets(const ScanOptions& options, std::ostream& err, const BeforeTarget& before, const AfterTarget& after) {
    ScanSource source;
    if (int code = ResolveOrExplain(options.source, options.partition, source, err); code != kExitOk) return code;
    if (!options.fileSystem.empty()) {
        if (!IsFileSystemChoice(options.fileSystem)) {
            err << "kestrune: --fs must be ntfs, fat, exfat or ext\n";
            return kExitUsage;
        }
        source.chosenFileSystem = AsciiLower(options.fileSystem);
    }
    std::vector<ScanSource> targets = TargetsOf(source);
    if (targets.empty()) {
        err << "kestrune: " << options.source << " holds a partition table without partitions\n";
        return kExitSourceError;
    }
    // Encrypted targets are read decrypted; one that cannot be opened is passed over.
    std::vector<int> refused(targets.size(), kExitOk);
    for (size_t i = 0; i < targets.size(); ++i) refused[i] = UnlockIfEncrypted(targets[i], options.keyFile, err);
    TargetScanSettings settings;
    if (!ParseScanMode(options.mode, settings.mode)) {
        err << "kestrune: --mode must be quick, formatted or deep\n";
        return kExitUsage;
    }
    settings.sink = DrawRunProgress;
    settings.cancel = &InterruptToken();
    settings.storedPassQuestion = [&options, &err](const StoredPassInfo& stored) {
        return ContinueStoredPass(options, stored, err);
    };
    settings.checkpointMs = CheckpointIntervalSetting();
    settings.existingFiles = options.existing;
    InstallInterruptHandler();
    const bool named = targets.size() > 1 || (source.partitioned && source.partition == 0);
    int worst = kExitOk;
    ScanEachTarget(
        targets, settings,
        [&](size_t i) {
            if (named) SayPartition(source, targets[i], err);
            const int code = refused[i] != kExitOk ? refused[i] : before ? before(targets[i]) : kExitOk;
            worst = std::max(worst, code);
            return code == kExitOk;
        },
        [&](size_t i, std::unique_ptr<ScanRun> run, int rc) {
            // A disk's partition that holds swap, an encrypted container or nothing yet is
            // not a failure of the disk's quick scan: it is passed over, and said so.
            if (named && rc == kErrNotSupported && settings.mode == ScanMode::Quick) {
                EndProgress();
                err << "kestrune: skipped: " << run->problem() << "\n";
                return;
            }
            const int code = ScanOutcome(targets[i], *run, rc, err);
            worst = std::max(worst, after ? after(targets[i], *run, code) : code);
        });
    return worst;
}

int ReopenScan(const std::string& folder, const std::string& keyFile, std::unique_ptr<ScanRun>& run,
               std::ostream& err) {
    std::string problem;
    bool told = false;
    const int rc = ScanRun::Reopen(folder, run, problem, [&](ScanSource& source, std::string&) {
        // UnlockIfEncrypted says why itself.
        told = UnlockIfEncrypted(source, keyFile, err) != kExitOk;
        return told ? kErrAccessDenied : kOk;
    });
    if (rc == kOk) return kExitOk;
    if (!told) err << "kestrune: " << problem << "\n";
    // A folder that holds no run is the user's mistake; a source gone is the source's.
    return rc == kErrFileNotFound || rc == kErrInvalidData || rc == kErrInvalidParameter ? kExitUsage
                                                                                         : kExitSourceError;
}

}  // namespace kestrune::cli
