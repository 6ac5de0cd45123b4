#include "engines/exfat/fast_exfat_recovery.h"

#include <algorithm>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "disk/text_encoding.h"
#include "engines/carve/signature_table.h"
#include "engines/exfat/exfat_data.h"
#include "engines/fat/continuation_search.h"
#include "engines/found_data.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

CFastExfatRecovery::CFastExfatRecovery() { topLevel_ = TopLevel::ZeroIdIsRoot; }

CFastExfatRecovery::~CFastExfatRecovery() = default;

int CFastExfatRecovery::Attach(const EngineArea& area) {
    // The volume is read in 512-byte units, whatever the disk's sectors.
    const uint64_t perUnit = area.sectorBytes / 512 ? area.sectorBytes / 512 : 1;
    std::string why;
    if (!ReadExfatGeometry(source_, area.start * perUnit, area.sectors * perUnit, volume_, why)) return kErrInvalidData;
    fat_.Attach(&volume_, &source_);
    tree_ = std::make_unique<ExfatTree>(source_, volume_, fat_);
    treeLoaded_ = false;
    contentContext_.sectorSize = volume_.bytesPerSector;
    return kOk;
}

int CFastExfatRecovery::BuildAllocationMap() {
    if (!Ready()) return kErrInvalidHandle;
    std::string why;
    if (!treeLoaded_) treeLoaded_ = tree_->LoadRoot(why);
    return treeLoaded_ ? kOk : kErrInvalidData;
}

int CFastExfatRecovery::Scan(const std::string* logName) {
    log_.Reset();
    claims_.reset();
    chosen_.clear();
    folders_.clear();
    pending_.clear();
    pendingSet_.clear();
    deletedExtents_.clear();
    if (logName) {
        BuildAllocationMap();  // what reading the files again needs
        return log_.Open(*logName, false);
    }
    if (!Ready()) return kErrInvalidHandle;
    if (int rc = BuildAllocationMap(); rc != kOk) return rc;
    if (int rc = log_.Open(MakeLogName(kQuickLogPrefix, volume_.partitionStart), true); rc != kOk) return rc;
    if (int stop = reporter_.Scanned(1); stop != 0) return stop;
    lastReport_ = SteadyMilliseconds();
    if (int stop = tree_->Walk([this](const ExfatFound& found) { return Visit(found); }); stop != 0) return stop;
    treeWalked_ = true;
    MarkFilesWrittenOverByNewer();
    if (int stop = reporter_.Scanned(80, 10); stop != 0) return stop;
    for (uint32_t cluster : pending_) {
        const FolderInfo& folder = folders_[cluster];
        const uint32_t recordId = log_.get()->AppendCopy(folder.record);
        const std::string name(RecordName(folder.record));
        log_.get()->LinkRecord(folder.parent, folder.depth - 1, recordId, cluster, &name);
    }
    int result = reporter_.Scanned(100, 0);
    // Records lost to a failed write are an error even when the scan itself went well.
    if (int rc = log_.get()->Flush(); rc != kOk && result == kOk) result = rc;
    return result;
}

std::vector<std::pair<uint64_t, uint64_t>> CFastExfatRecovery::WalkedFolderSectors(uint32_t unitBytes) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (!Ready() || unitBytes == 0 || volume_.bytesPerSector % unitBytes != 0) return ranges;
    // A scan read back from its log did not walk the tree: walk it now, recording nothing.
    if (!treeWalked_ && BuildAllocationMap() == kOk) treeWalked_ = tree_->Walk([](const ExfatFound&) { return 0; }) == 0;
    const uint64_t unit = volume_.bytesPerSector / unitBytes;
    std::vector<uint64_t> firsts = tree_->WalkedClusterSectors();
    std::sort(firsts.begin(), firsts.end());
    for (uint64_t first : firsts) {
        const uint64_t start = first * unit, end = (first + volume_.sectorsPerCluster) * unit;
        if (!ranges.empty() && ranges.back().second >= start) ranges.back().second = std::max(ranges.back().second, end);
        else ranges.emplace_back(start, end);
    }
    return ranges;
}

int CFastExfatRecovery::Visit(const ExfatFound& found) {
    const ExfatEntrySet& set = found.set;
    if (set.IsFolder()) {
        // Of two folder entries naming one cluster, the folder made later owns it (as the
        // walk decides too).
        const ScanRecord record = RecordOf(found);
        const auto known = folders_.find(set.firstCluster);
        if (known == folders_.end() || MadeAt(record) >= MadeAt(known->second.record))
            folders_[set.firstCluster] = {record, found.folderCluster, found.depth + 1};
    } else if (set.deleted || found.insideDeleted || listExisting_) {
        ScanRecord record = RecordOf(found);
        if (!set.deleted && !found.insideDeleted) record.folderDeleted |= kExistingFile;
        // A deleted file whose first cluster a live file holds now: its data is gone.
        const bool reused = set.deleted && volume_.IsHeapCluster(set.firstCluster) &&
                            tree_->Bitmap().InUse(set.firstCluster);
        record.contentOk = reused ? 0 : ContentCheck(record);
        const uint32_t recordId = AddFileRecord(record, found.folderCluster, found.depth);
        if (!ExistingFile(record) && set.Contiguous() && volume_.IsHeapCluster(set.firstCluster) && record.fileSize > 0)
            deletedExtents_.push_back({set.firstCluster, ClusterCountOf(record), MadeAt(record),
                                       record.contentOk ? recordId : 0});
    }
    // A report every 0.1 s, so that a cancel is noticed at once.
    const uint64_t now = SteadyMilliseconds();
    if (now - lastReport_ < 100) return 0;
    lastReport_ = now;
    return reporter_.Scanned(50);
}

ScanRecord CFastExfatRecovery::RecordOf(const ExfatFound& found) const {
    const ExfatEntrySet& set = found.set;
    ScanRecord record{};
    record.driveLetter = driveLetter_;
    record.engineKind = ExfatQuick;
    record.isFolder = set.IsFolder() ? 1 : 0;
    record.folderDeleted = set.IsFolder() && (set.deleted || found.insideDeleted) ? 1 : 0;
    record.contentOk = 1;
    record.fsId = set.firstCluster;
    record.clusterBytes = static_cast<uint32_t>(volume_.ClusterBytes());
    record.createTime = set.createTime;
    record.accessTime = set.accessTime;
    record.writeTime = set.writeTime;
    record.fileSize = set.IsFolder() ? 0 : set.dataLength;
    record.dataAreaSector = volume_.heapOffset;
    record.entrySector = found.entrySector;
    record.partitionStart = volume_.partitionStart;
    SetRecordName(record, Utf16ToUtf8(set.name));
    ClipSizeToRoom(record, volume_.HeapBytesFrom(set.firstCluster));
    return record;
}

uint32_t CFastExfatRecovery::AddFileRecord(ScanRecord record, uint32_t parent, uint32_t parentDepth) {
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, parentDepth, recordId, record.fsId, nullptr);
    // Every folder above a recorded file gets its own record at the end of the scan.
    std::unordered_set<uint32_t> climbed;
    for (uint32_t cluster = parent; cluster != volume_.rootCluster && climbed.insert(cluster).second;) {
        const auto it = folders_.find(cluster);
        if (it == folders_.end()) break;
        if (pendingSet_.insert(cluster).second) pending_.push_back(cluster);
        cluster = it->second.parent;
    }
    return recordId;
}

void CFastExfatRecovery::MarkFilesWrittenOverByNewer() {
    std::vector<DeletedExtent>& extents = deletedExtents_;
    std::sort(extents.begin(), extents.end(), [](const DeletedExtent& a, const DeletedExtent& b) { return a.first < b.first; });
    // The furthest end of the extents up to each one, so that the search for extents
    // covering a cluster stops as soon as none before can reach it.
    std::vector<uint64_t> reach(extents.size());
    uint64_t furthest = 0;
    for (size_t i = 0; i < extents.size(); ++i) reach[i] = furthest = std::max(furthest, uint64_t{extents[i].first} + extents[i].count);
    // Extents that contradict each other in bulk (a damaged folder) must not make this
    // quadratic: past this many looks a file is left as it is.
    constexpr int kMostLooks = 64;
    for (size_t i = 0; i < extents.size(); ++i) {
        const DeletedExtent& file = extents[i];
        if (file.recordId == 0) continue;
        bool writtenOver = false;
        int looks = 0;
        for (size_t j = i; j-- > 0 && !writtenOver && looks < kMostLooks && reach[j] > file.first; ++looks) {
            const DeletedExtent& other = extents[j];
            writtenOver = other.madeAt > file.madeAt && uint64_t{other.first} + other.count > file.first;
        }
        // Extents before the file start at or before its first cluster; those that start at
        // the same cluster may also sort after it.
        for (size_t j = i + 1; !writtenOver && j < extents.size() && extents[j].first == file.first; ++j)
            writtenOver = extents[j].madeAt > file.madeAt;
        if (!writtenOver) continue;
        ScanRecord record;
        if (log_.get()->ReadRecord(file.recordId, record) != kOk) continue;
        record.contentOk = 0;
        log_.get()->RewriteRecord(record);
    }
}

uint32_t CFastExfatRecovery::ContentCheck(const ScanRecord& record) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (extension.empty() || !volume_.IsHeapCluster(record.fsId)) return 1;
    const uint64_t at = volume_.ClusterSector(record.fsId);
    return ContentAt(at, volume_.bytesPerSector, extension);
}

bool CFastExfatRecovery::StreamState(const ScanRecord& record, bool& deleted, bool& contiguous) {
    // The File entry lies in the record's sector; its Stream Extension right after it,
    // in the next sector when the File entry ends the first.
    deleted = true;
    contiguous = false;
    std::vector<uint8_t> sectors(2 * size_t{volume_.bytesPerSector});
    uint32_t read = 0;
    ReadSectors(2, source_, sectors.data(), record.entrySector, static_cast<int>(volume_.bytesPerSector), read);
    const ByteView view = ByteView(sectors).sub(0, size_t{read} * volume_.bytesPerSector);
    for (size_t at = 0; at + 2 * exfat::kEntryBytes <= view.size() && at < volume_.bytesPerSector;
         at += exfat::kEntryBytes) {
        const ByteView stream = view.sub(at + exfat::kEntryBytes, exfat::kEntryBytes);
        if ((view.u8(at) | exfat::kInUse) != exfat::kFileEntry || (stream.u8(0) | exfat::kInUse) != exfat::kStreamEntry ||
            stream.le32(20) != record.fsId || stream.le64(24) != record.fileSize)
            continue;
        deleted = (view.u8(at) & exfat::kInUse) == 0;
        contiguous = (stream.u8(1) & exfat::kNoFatChain) != 0;
        return true;
    }
    return false;  // the folder was written over since the scan: read as a deleted file
}

uint32_t CFastExfatRecovery::ClusterCountOf(const ScanRecord& record) const {
    const uint64_t clusterBytes = volume_.ClusterBytes();
    return static_cast<uint32_t>(
        std::min<uint64_t>((record.fileSize + clusterBytes - 1) / clusterBytes, volume_.clusterCount));
}

std::vector<uint32_t> CFastExfatRecovery::ClustersOf(const ScanRecord& record, bool* guessed) {
    if (guessed) *guessed = false;
    BuildAllocationMap();
    bool deleted = true, contiguous = false;
    StreamState(record, deleted, contiguous);
    std::vector<uint32_t> clusters =
        ExfatStreamClusters(volume_, fat_, tree_->Bitmap(), record.fsId, record.fileSize, contiguous, deleted);
    if (!deleted || contiguous || record.fileSize == 0 || !ChainCleared(record.fsId, clusters)) return clusters;
    // A chain cleared by the deletion: read round the clusters the other deleted files claim.
    const FreedFileKey key = FreedFileKeyOf(record);
    auto known = chosen_.find(key);
    auto holds = [this, &record](const std::vector<ClusterRun>& layout) {
        ExfatDataReader data(source_, volume_, ClusterList(layout));
        return StructureHoldsAlong(data, RecordName(record), record.fileSize);
    };
    if (known == chosen_.end()) {
        std::vector<ClusterRun> runs;
        const ClaimSettled settled = Claims().LayoutOf(record.fsId, ClusterCountOf(record), runs);
        const std::vector<ClusterRun> plain = ClusterRuns(clusters);
        LayoutEvidence evidence;
        evidence.searchable = ContinuationSearchable(RecordName(record));
        // A stream without the no-FAT-chain flag was in pieces when it was written.
        evidence.writtenInPieces = true;
        evidence.stepsRoundKnownData = Claims().StepsRoundKnownData(record.fsId, ClusterCountOf(record), plain);
        known = chosen_.emplace(key, ChooseFreedLayout(settled, std::move(runs), plain, holds, evidence)).first;
    }
    // A map only tells what is known; reading the file looks for where it went on.
    if (!guessed)
        SearchFreedLayout(known->second, [this, &record](const std::vector<ClusterRun>& tried) {
            return FindContinuation(RecordName(record), record.fileSize, tried, FreeClusterAccess());
        }, holds);
    if (guessed) *guessed = known->second.guessed;
    return known->second.runs.empty() ? clusters : ClusterList(known->second.runs);
}

ClusterAccess CFastExfatRecovery::FreeClusterAccess() {
    ClusterAccess access;
    access.clusterBytes = static_cast<uint32_t>(volume_.ClusterBytes());
    access.read = ClusterReader(source_, volume_.bytesPerSector, [this](uint32_t cluster) -> std::optional<uint64_t> {
        if (!volume_.IsHeapCluster(cluster)) return std::nullopt;
        return volume_.ClusterSector(cluster);
    });
    access.nextFree = [this](uint32_t cluster, uint32_t& next) {
        const AllocationBitmap& bitmap = tree_->Bitmap();
        for (uint64_t c = uint64_t{cluster} + 1; c < uint64_t{volume_.clusterCount} + 2; ++c)
            if (c >= 2 && !bitmap.InUse(static_cast<uint32_t>(c))) {
                next = static_cast<uint32_t>(c);
                return true;
            }
        return false;
    };
    return access;
}

bool CFastExfatRecovery::ChainCleared(uint32_t first, const std::vector<uint32_t>& clusters) {
    // Whole and in chain order, the FAT still held the stream's chain.
    return clusters.size() < 2 || fat_.Entry(first) != clusters[1];
}

std::vector<uint32_t> CFastExfatRecovery::ClusterList(const std::vector<ClusterRun>& runs) {
    std::vector<uint32_t> list;
    for (const ClusterRun& run : runs)
        for (uint32_t i = 0; i < run.count; ++i) list.push_back(run.first + i);
    return list;
}

std::vector<ClusterRun> CFastExfatRecovery::ClusterRuns(const std::vector<uint32_t>& clusters) {
    std::vector<ClusterRun> runs;
    for (uint32_t c : clusters) {
        if (!runs.empty() && runs.back().first + runs.back().count == c) ++runs.back().count;
        else runs.push_back({c, 1});
    }
    return runs;
}

const FreedClusterClaims& CFastExfatRecovery::Claims() {
    if (claims_) return *claims_;
    claims_.emplace();
    ScanLogFile* log = log_.get();
    if (!log || BuildAllocationMap() != kOk) return *claims_;
    const AllocationBitmap& bitmap = tree_->Bitmap();
    log->ForEachRecord([&](const ScanRecord& record) {
        if (record.engineKind != ExfatQuick || record.isFolder || record.fileSize == 0 || !record.contentOk ||
            !volume_.IsHeapCluster(record.fsId) || bitmap.InUse(record.fsId))
            return;
        const FirstClusterHolds first = FirstClusterOf(source_, volume_.ClusterSector(record.fsId),
                                                       volume_.bytesPerSector,
                                                       static_cast<uint32_t>(volume_.ClusterBytes()), record);
        if (first == FirstClusterHolds::OtherData) return;
        bool deleted = true, contiguous = false;
        StreamState(record, deleted, contiguous);
        const std::vector<uint32_t> clusters =
            ExfatStreamClusters(volume_, fat_, bitmap, record.fsId, record.fileSize, contiguous, deleted);
        if (deleted && !contiguous && ChainCleared(record.fsId, clusters)) {
            claims_->AddFile(record.fsId, ClusterCountOf(record),
                             {MadeAt(record), record.writeTime, first == FirstClusterHolds::ItsStart});
            return;
        }
        // A stream whose clusters its entry or its chain gives: they are its own.
        for (const ClusterRun& run : ClusterRuns(clusters)) claims_->Hold(run.first, run.count);
    });
    // A deleted folder's clusters are free but hold its entries, not file data.
    for (const auto& [first, end] : WalkedFolderSectors(volume_.bytesPerSector))
        for (uint64_t sector = first; sector < end; sector += volume_.sectorsPerCluster) {
            const uint64_t cluster = (sector - volume_.ClusterSector(2)) / volume_.sectorsPerCluster + 2;
            if (volume_.IsHeapCluster(cluster)) claims_->Hold(static_cast<uint32_t>(cluster), 1);
        }
    const uint64_t budget = 8 * uint64_t{volume_.clusterCount} + (1u << 20);
    claims_->Settle(
        [this, &bitmap](uint32_t cluster, uint32_t& next) {
            for (uint64_t c = uint64_t{cluster} + 1; volume_.IsHeapCluster(c); ++c)
                if (!bitmap.InUse(static_cast<uint32_t>(c))) {
                    next = static_cast<uint32_t>(c);
                    return true;
                }
            return false;
        },
        budget);
    return *claims_;
}

int CFastExfatRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) {
    data = std::make_unique<ExfatDataReader>(source_, volume_, ClustersOf(record, layoutGuessed));
    return kOk;
}

int CFastExfatRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
    length = 0;
    const uint64_t sectors = volume_.volumeSectors;
    if (position > sectors) {
        position = sectors;
        return 1;
    }
    // Sectors are the volume's own; the boot regions and FATs before the heap are not
    // free space.
    const uint64_t spc = volume_.sectorsPerCluster;
    static const AllocationBitmap kNothingLoaded;  // every cluster in use: nothing free
    const AllocationBitmap& bitmap = tree_ ? tree_->Bitmap() : kNothingLoaded;
    uint64_t relative = position > volume_.heapOffset ? position - volume_.heapOffset : 0;
    const uint64_t count = volume_.clusterCount;
    const uint64_t k = relative / spc;
    uint64_t bit = k;
    while (bit < count && bitmap.InUse(static_cast<uint32_t>(bit + 2))) ++bit;
    if (bit < count) {
        relative += (bit - k) * spc;
        uint64_t end = bit;
        while (end < count && !bitmap.InUse(static_cast<uint32_t>(end + 2))) ++end;
        length = (end - bit) * spc;
    } else {
        relative = count * spc;
    }
    position = relative + volume_.heapOffset;
    if (position >= sectors)
        length = 0;
    else if (position + length > sectors)
        length = sectors - position;
    return 1;
}

}  // namespace kestrune
