// Where a run's found files lie on the source, and how much of each is still there.
#include <algorithm>

#include "engines/found_data.h"
#include "engines/stored_pass.h"
#include "session/scan_run.h"

namespace kestrune {

int ScanRun::MapData(const ScanRecord& record, DataMap& map) {
    map = {};
    std::lock_guard use(engineUse_);
    if (!engine_) return kErrInvalidHandle;
    if (record.isFolder) return kErrInvalidParameter;
    return engine_->MapData(record, map);
}

void ScanRun::ReadFreeSpace() {
    freeRead_ = true;
    IFileRecoveryParse* quick = pass_ ? pass_->QuickEngine() : engine_.get();
    if (!quick || quick->BuildAllocationMap() != kOk) return;
    const uint64_t sectorBytes = source_.bytesPerSector ? source_.bytesPerSector : 512;
    const uint64_t areaStart = source_.startSector * sectorBytes;
    uint64_t position = 0, length = 0;
    while (quick->NextFreeExtent(position, length) && length != 0) {
        freeBytes_.emplace_back(areaStart + position * sectorBytes, areaStart + (position + length) * sectorBytes);
        position += length;
    }
    freeKnown_ = true;
}

int ScanRun::RecoverableShare(const ScanRecord& record) {
    if (CarvedEndGuessed(record)) return -1;
    DataMap map;
    const int rc = MapData(record, map);
    return RecoverableShare(record, rc, map);
}

ScanRun::Recoverability ScanRun::AssessRecoverable(const ScanRecord& record) {
    DataMap map;
    const int share = RecoverableShare(record, MapData(record, map), map);
    return {share, map.layoutGuessed};
}

int ScanRun::RecoverableShare(const ScanRecord& record, int rc, const DataMap& map) {
    // A carved file whose end is a guess: how much of it is right is not known.
    if (CarvedEndGuessed(record)) return -1;
    std::lock_guard use(engineUse_);
    if (!freeRead_) ReadFreeSpace();
    if (rc == kErrNotSupported) return record.contentOk ? 100 : 0;
    if (rc != kOk) return 0;
    if (!freeKnown_) return -1;
    uint64_t total = 0, free = 0;
    for (const ByteRun& run : map.runs) {
        total += run.length;
        const uint64_t end = run.sourceOffset + run.length;
        // The free ranges that overlap the run, from the last one starting at or before it.
        auto at = std::upper_bound(freeBytes_.begin(), freeBytes_.end(), std::pair{run.sourceOffset, UINT64_MAX});
        if (at != freeBytes_.begin()) --at;
        for (; at != freeBytes_.end() && at->first < end; ++at)
            if (at->second > run.sourceOffset)
                free += std::min(end, at->second) - std::max(run.sourceOffset, at->first);
    }
    if (total == 0) return record.fileSize == 0 || record.contentOk ? 100 : 0;
    // 100 only when every byte is free: a file with one cluster written over is not whole.
    return free == total ? 100 : static_cast<int>(free * 100 / total);
}

}  // namespace kestrune
