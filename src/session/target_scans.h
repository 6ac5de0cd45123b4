// Several targets scanned as one operation: the partitions of a disk, or the volumes and
// images a user ticked, one after another, with one progress from 0 to 100 across them and
// one cancel for all. Both front ends scan this way; what they show around each target is
// their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/run_progress.h"
#include "session/scan_run.h"

namespace kestrune {

struct TargetScanSettings {
    ScanMode mode = ScanMode::Quick;
    ProgressSink sink;
    const CancelToken* cancel = nullptr;
    StoredPassQuestion storedPassQuestion;
    // How often a pass stores where it stands; the run's own default when none.
    std::optional<uint64_t> checkpointMs;
    // The files that exist on the volumes too (ScanRun::SetExistingFiles).
    bool existingFiles = false;
};

// Told before the scan of target index; false leaves that target unscanned.
using BeforeTargetScan = std::function<bool(size_t index)>;
// Told after it, with its run (the front end keeps it or lets it go) and what Start answered.
using AfterTargetScan = std::function<void(size_t index, std::unique_ptr<ScanRun> run, int result)>;

// Scans targets in order. Stops when the cancel token is set (during a scan, or during what
// after did with the run) and answers CancelCode then; 0 once every target had its turn.
int ScanEachTarget(const std::vector<ScanSource>& targets, const TargetScanSettings& settings,
                   const BeforeTargetScan& before, const AfterTargetScan& after);

}  // namespace kestrune
