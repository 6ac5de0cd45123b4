#include "session/target_scans.h"

#include "base/result_codes.h"

namespace kestrune {

int ScanEachTarget(const std::vector<ScanSource>& targets, const TargetScanSettings& settings,
                   const BeforeTargetScan& before, const AfterTargetScan& after) {
    const int count = static_cast<int>(targets.size());
    for (int i = 0; i < count; ++i) {
        if (settings.cancel && settings.cancel->Cancelled()) return CancelCode;
        if (before && !before(i)) continue;
        auto run = std::make_unique<ScanRun>(targets[i], settings.mode);
        run->SetProgress(settings.sink, settings.cancel, i, count);
        if (settings.storedPassQuestion) run->SetStoredPassQuestion(settings.storedPassQuestion);
        if (settings.checkpointMs) run->SetCheckpointInterval(*settings.checkpointMs);
        run->SetExistingFiles(settings.existingFiles);
        const int rc = run->Start();
        if (after) after(i, std::move(run), rc);
        if (rc == CancelCode) return CancelCode;
    }
    return settings.cancel && settings.cancel->Cancelled() ? CancelCode : kOk;
}

}  // namespace kestrune
