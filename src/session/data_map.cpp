// Where a run's found files lie on the source, and how much of each is still there.
#include <algorithm>

#include "engines/carve/jpeg_scan.h"
#include "engines/carve/movie_frames.h"
#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"
#include "engines/found_data.h"
#include "engines/stored_pass.h"
#include "session/scan_run.h"

namespace kestrune {

namespace {

// A run with more deleted files than this is not mapped for their claims: a listing would
// wait on a read per file twice over, and hold every record meanwhile.
constexpr size_t kMostClaimingFiles = 200000;
constexpr uint64_t kClaimPieceBytes = 1 << 20;

// Files whose map comes from metadata of the volume as it is: what a former volume's files
// (read as one run from their first cluster) or carved ones seem to cover may never have
// been theirs.
bool MayClaim(const ScanRecord& record) {
    switch (record.engineKind) {
        case NtfsQuick:
        case FatQuick:
        case ExfatQuick:
        case ExtQuick: return !record.isFolder && record.fileSize != 0 && MadeAt(record) != 0;
        default: return false;
    }
}

}  // namespace

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
    // A pass over a disk whose volumes it found knows their free space itself.
    if (pass_ && !quick) quick = pass_;
    if (!quick || quick->BuildAllocationMap() != kOk) return;
    const uint64_t sectorBytes = source_.bytesPerSector ? source_.bytesPerSector : 512;
    const uint64_t areaStart = source_.startSector * sectorBytes;
    uint64_t position = 0, length = 0;
    while (quick->NextFreeExtent(position, length) && length != 0) {
        freeBytes_.emplace_back(areaStart + position * sectorBytes, areaStart + (position + length) * sectorBytes);
        position += length;
    }
    freeKnown_ = true;
    ReadClaims();
}

void ScanRun::ReadClaims() {
    std::vector<ScanRecord> files;
    uint64_t counted = 0;
    WalkAllFiles([&files](const ScanRecord& r) {
        if (MayClaim(r) && files.size() <= kMostClaimingFiles) files.push_back(r);
        return false;
    }, counted);
    if (files.size() > kMostClaimingFiles) files.clear();
    for (const ScanRecord& record : files) {
        if (Cancelled()) break;
        DataMap map;
        // A layout that is a guess says nothing sure of where the file lay.
        if (engine_->MapData(record, map) != kOk || map.layoutGuessed || map.runs.empty()) continue;
        // Long runs are kept in pieces, so that a look-up goes back at most one piece
        // before where it begins: one large video must not make every look-up read every
        // claim before it.
        for (const ByteRun& run : map.runs)
            for (uint64_t at = run.sourceOffset, end = run.sourceOffset + run.length; at < end; at += kClaimPieceBytes)
                claims_.push_back({at, std::min(end, at + kClaimPieceBytes), MadeAt(record), map.runs[0].sourceOffset});
    }
    std::sort(claims_.begin(), claims_.end(), [](const Claim& a, const Claim& b) { return a.begin < b.begin; });
}

uint64_t ScanRun::TakenByNewer(const ScanRecord& record, uint64_t fileStart, uint64_t begin, uint64_t end) const {
    const uint64_t made = MadeAt(record);
    if (made == 0) return 0;  // of unknown age: nothing is known to be newer
    std::vector<std::pair<uint64_t, uint64_t>> taken;
    const uint64_t from = begin > kClaimPieceBytes ? begin - kClaimPieceBytes : 0;
    auto at = std::lower_bound(claims_.begin(), claims_.end(), from,
                               [](const Claim& claim, uint64_t offset) { return claim.begin < offset; });
    for (; at != claims_.end() && at->begin < end; ++at)
        if (at->end > begin && at->madeAt > made && at->fileStart != fileStart)
            taken.emplace_back(std::max(at->begin, begin), std::min(at->end, end));
    std::sort(taken.begin(), taken.end());
    uint64_t bytes = 0, reached = begin;
    for (const auto& [first, last] : taken) {
        if (last <= reached) continue;
        bytes += last - std::max(first, reached);
        reached = last;
    }
    return bytes;
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
    // What the source cannot give of it is lost like what was written over.
    const uint64_t unreadable = rc == kOk && engine_ ? engine_->UnreadableBytes(record, map) : 0;
    uint64_t mapped = 0;
    for (const ByteRun& run : map.runs) mapped += run.length;
    // A file that exists holds its clusters still: they are allocated to it, not free.
    if (ExistingFile(record)) {
        if (rc != kOk) return 0;
        return mapped == 0 || unreadable == 0 ? 100 : static_cast<int>((mapped - std::min(mapped, unreadable)) * 100 / mapped);
    }
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
        for (; at != freeBytes_.end() && at->first < end; ++at) {
            if (at->second <= run.sourceOffset) continue;
            const uint64_t first = std::max(run.sourceOffset, at->first), last = std::min(end, at->second);
            free += last - first - TakenByNewer(record, map.runs[0].sourceOffset, first, last);
        }
    }
    if (total == 0) return record.fileSize == 0 || record.contentOk ? 100 : 0;
    free -= std::min(free, unreadable);
    // 100 only when every byte is free and no newer file took it: a file with one cluster
    // written over is not whole.
    return free == total ? 100 : static_cast<int>(free * 100 / total);
}

bool ScanRun::FreeAt(uint64_t offset) {
    std::lock_guard use(engineUse_);
    if (!freeRead_) ReadFreeSpace();
    auto at = std::upper_bound(freeBytes_.begin(), freeBytes_.end(), std::pair{offset, UINT64_MAX});
    return at != freeBytes_.begin() && std::prev(at)->second > offset;
}

int ScanRun::CheckWhole(const ScanRecord& record, std::string& why) {
    if (!MayClaim(record)) return kOk;
    const std::string_view name = RecordName(record);
    // A picture whose data can be followed to its end is read first: reading it looks for
    // where it went on when its pieces are a guess, and its bytes then say whether it is
    // whole (the metadata of a later file written over it may be lost).
    std::vector<uint8_t> bytes;
    bool read = false;
    if (ContinuationSearchable(name) && HasTestableStructure(name, record.fileSize)) {
        std::lock_guard use(engineUse_);
        read = engine_ && engine_->ReadData(record, record.fileSize, bytes) == kOk;
    }
    DataMap map;
    const int mapped = MapData(record, map);
    const int share = RecoverableShare(record, mapped, map);
    // A FAT or exFAT file whose data begins in clusters the table still allocates is read
    // along the table's chain: its own, when its folder was deleted without freeing it.
    const bool ownChain = (record.engineKind == FatQuick || record.engineKind == ExfatQuick) && !map.runs.empty() &&
                          !FreeAt(map.runs[0].sourceOffset);
    if (mapped == kOk && share >= 0 && share < 100 && !ownChain) {
        uint64_t unreadable = 0;
        {
            std::lock_guard use(engineUse_);
            if (engine_) unreadable = engine_->UnreadableBytes(record, map);
        }
        why = unreadable ? "Part of it lies in sectors the source cannot read; " + std::to_string(share) +
                               " % of it can be read and is its own."
                         : "Later files were written over part of it; " + std::to_string(share) +
                               " % of it is still its own.";
        return kErrFileCorrupt;
    }
    if (LayoutRefuted(name, record.fileSize, map.layoutGuessed)) {
        why = "Where it went on after its first part was not found; what follows there is not its content.";
        return kErrFileCorrupt;
    }
    if (read && IsJpegName(name) && carve::CheckJpegToEnd(ByteView(bytes), record.fileSize) == carve::JpegCheck::Broken) {
        why = "Its content breaks off before its end: a later file was written over part of it.";
        return kErrFileCorrupt;
    }
    if (read && carve::IsZipFamilyName(name) && !carve::ZipMembersHold(ByteView(bytes)).value_or(true)) {
        why = "Some of its members do not match what its directory says: part of it is not its own content.";
        return kErrFileCorrupt;
    }
    if (read && carve::IsMovieName(name) && !carve::MovieFramesHold(ByteView(bytes)).value_or(true)) {
        why = "Some of its frames are not what its movie atom says lies there: part of it is not its own content.";
        return kErrFileCorrupt;
    }
    return kOk;
}

}  // namespace kestrune
