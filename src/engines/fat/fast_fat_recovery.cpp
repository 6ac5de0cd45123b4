#include "engines/fat/fast_fat_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>


#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "engines/boot_classifier.h"
#include "engines/carve/signature_table.h"
#include "engines/carve/structure_tests.h"
#include "engines/fat/fat_data.h"
#include "engines/fat/folder_continuation.h"
#include "engines/found_data.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

using namespace fat;

namespace {

constexpr uint32_t kProbeHighWords = 257;

}  // namespace

CFastFatRecovery::CFastFatRecovery() { topLevel_ = TopLevel::ZeroIdIsRoot; }

CFastFatRecovery::~CFastFatRecovery() = default;

int CFastFatRecovery::Attach(const EngineArea& area) {
    std::vector<uint8_t> boot;
    if (int rc = ReadVolumeStart(source_, area.start * area.sectorBytes, boot); rc != kOk) return rc;
    if (!volume_.FromBootSector(ByteView(boot), area.start, area.sectors)) return kErrInvalidData;
    table_.Attach(&volume_, &source_);
    contentContext_.sectorSize = volume_.bytesPerSector;
    return kOk;
}

int CFastFatRecovery::Scan(const std::string* logName) {
    log_.Reset();
    claims_.reset();
    chosen_.clear();
    walkedKnown_ = false;
    if (logName) return log_.Open(*logName, false);
    if (!source_.IsOpen() || volume_.fatCount == 0) return kErrInvalidHandle;
    if (int rc = log_.Open(MakeLogName(kQuickLogPrefix, volume_.partitionStart), true); rc != kOk) return rc;
    if (int stop = reporter_.Scanned(1); stop != 0) return stop;
    if (int stop = Walk(false); stop != 0) return stop;
    if (int stop = reporter_.Scanned(80, 10); stop != 0) return stop;

    for (uint32_t cluster : pending_) {
        const auto it = folderMap_.find(cluster);
        if (it == folderMap_.end()) continue;
        const uint32_t recordId = log_.get()->AppendCopy(it->second.record);
        const std::string name(RecordName(it->second.record));
        log_.get()->LinkRecord(it->second.parent, DepthOf(it->second.parent), recordId, cluster, &name);
    }
    int result = reporter_.Scanned(100, 0);
    // Records lost to a failed write are an error even when the scan itself went well.
    if (int rc = log_.get()->Flush(); rc != kOk && result == kOk) result = rc;
    return result;
}

int CFastFatRecovery::Walk(bool dry) {
    dry_ = dry;
    folderMap_.clear();
    pending_.clear();
    pendingSet_.clear();
    depthCache_.clear();
    queue_.clear();
    visited_.clear();
    continuing_.clear();
    walkedClusters_.clear();
    queue_.push_back(volume_.rootCluster);
    lastReport_ = lastStep_ = SteadyMilliseconds();
    reportStep_ = 0;
    int stop = WalkQueue();
    if (stop == 0) stop = ContinueDeletedFolders();
    for (FolderWalk& walk : continuing_) SettleLostLetters(walk);
    walkedKnown_ = stop == 0;
    dry_ = false;
    return stop;
}

int CFastFatRecovery::ReportStep() {
    // A report every 0.1 s, so that a cancel is noticed at once; the figure itself only
    // moves every 5 s, as the walk has no total to measure against.
    const uint64_t now = SteadyMilliseconds();
    if (dry_ || now - lastReport_ < 100) return 0;
    lastReport_ = now;
    if (now - lastStep_ >= 5000) {
        lastStep_ = now;
        ++reportStep_;
    }
    return reporter_.Scanned(1 + reportStep_, 100 - reportStep_);
}

int CFastFatRecovery::WalkQueue() {
    for (size_t next = 0; next < queue_.size(); ++next) {
        const uint32_t cluster = queue_[next];
        if (!visited_.insert(cluster).second) continue;
        WalkFolder(cluster);
        if (int stop = ReportStep(); stop != 0) return stop;
    }
    queue_.clear();
    return 0;
}

std::vector<std::pair<uint64_t, uint64_t>> CFastFatRecovery::WalkedFolderSectors(uint32_t) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (!walkedKnown_ && (!source_.IsOpen() || volume_.fatCount == 0 || Walk(true) != 0)) return ranges;
    std::vector<uint32_t> clusters(walkedClusters_.begin(), walkedClusters_.end());
    std::sort(clusters.begin(), clusters.end());
    for (uint32_t cluster : clusters) {
        const uint64_t first = volume_.ClusterSector(cluster);
        if (first == UINT64_MAX) continue;
        const uint64_t end = first + volume_.FolderReadBytes(cluster) / volume_.bytesPerSector;
        if (!ranges.empty() && ranges.back().second == first) ranges.back().second = end;
        else ranges.emplace_back(first, end);
    }
    return ranges;
}

ScanRecord CFastFatRecovery::EntryRecord(ByteView entry, const std::string& name, bool isFolder, bool deleted) {
    ScanRecord record{};
    record.driveLetter = driveLetter_;
    record.engineKind = FatQuick;
    record.isFolder = isFolder ? 1 : 0;
    record.contentOk = 1;
    record.clusterBytes = volume_.ClusterBytes();
    record.createTime = CreationTime(entry);
    record.accessTime = AccessTime(entry);
    record.writeTime = WriteTime(entry);
    record.fileSize = isFolder ? 0 : entry.le32(kEntrySize);
    record.dataAreaSector = volume_.firstDataSector;
    record.partitionStart = volume_.partitionStart;
    SetRecordName(record, name);
    // Deletion clears the high half of a FAT32 entry's first cluster.
    // An empty file has no cluster to look for.
    const bool probe =
        deleted && volume_.fat32 && entry.le16(kEntryClusterHigh) == 0 && entry.le16(kEntryClusterLow) != 0;
    record.fsId = probe ? ProbeFirstCluster(entry, name, isFolder) : FirstCluster(entry, volume_.fat32);
    if (probe && record.fsId == 0) {
        // No place the data could still be: the clusters the low half names are another
        // file's, so the record says its content is not there.
        record.fsId = entry.le16(kEntryClusterLow);
        record.contentOk = 0;
    }
    return record;
}

uint32_t CFastFatRecovery::ProbeFirstCluster(ByteView entry, const std::string& name, bool isFolder) {
    const uint32_t low = entry.le16(kEntryClusterLow);
    const std::string_view extension = ExtensionOf(name);
    const bool bySignature = isFolder || (!extension.empty() && carve::RowForExtension(extension));
    if (!bySignature) return FirstFreeCandidate(low);
    std::vector<uint8_t> sector(volume_.bytesPerSector);
    const uint64_t end = volume_.partitionStart + volume_.sectorCount;
    for (uint32_t high = 0; high < kProbeHighWords; ++high) {
        const uint32_t cluster = (high << 16) | low;
        const uint64_t at = volume_.ClusterSector(cluster);
        if (at >= end) break;
        uint32_t read = 0;
        if (ReadSectors(1, source_, sector.data(), at, static_cast<int>(volume_.bytesPerSector), read) != kOk || read != 1)
            break;
        const ByteView view(sector);
        if (isFolder ? BeginsWithDotPair(view)
                     : carve::SignatureMatchesExtension(view, extension, contentContext_, at) == 1)
            return cluster;
    }
    return isFolder ? low : FirstFreeCandidate(low);
}

uint32_t CFastFatRecovery::FirstFreeCandidate(uint32_t low) {
    // Without a signature to recognise, the data's own cluster is at least free: a
    // deleted file's clusters are, unless written over, and a cluster in use belongs to
    // a live file. Taking the first free candidate keeps files above cluster 65,535 from
    // being read out of another file's clusters.
    const uint32_t clusters = volume_.ClusterCount() + 2;
    for (uint32_t high = 0; high < kProbeHighWords; ++high) {
        const uint32_t cluster = (high << 16) | low;
        if (cluster >= clusters) break;
        uint32_t value = 0;
        if (cluster >= 2 && table_.Entry(cluster, value) && value == 0) return cluster;
    }
    return 0;
}

void CFastFatRecovery::WalkFolder(uint32_t cluster) {
    const auto listedEntry = folderMap_.find(cluster);
    const bool listed = listedEntry != folderMap_.end() && cluster != volume_.rootCluster;
    FolderWalk walk;
    walk.insideDeleted = listed && listedEntry->second.record.folderDeleted != 0;
    walk.parentKey = cluster;
    WalkFolderClusters(cluster, walk);
    // A folder that goes on elsewhere is settled once its last cluster is found.
    SettleLostLetters(walk);
}

void CFastFatRecovery::WalkFolderClusters(uint32_t cluster, FolderWalk& walk) {
    const auto listedEntry = folderMap_.find(cluster);
    const bool listed = listedEntry != folderMap_.end() && cluster != volume_.rootCluster;
    uint32_t current = cluster;
    bool first = true;
    std::unordered_set<uint32_t> walked;
    std::vector<uint8_t> buffer;
    const uint32_t bps = volume_.bytesPerSector;
    while (true) {
        const uint32_t bytes = volume_.FolderReadBytes(current);
        buffer.assign(bytes, 0);
        uint32_t read = 0;
        const uint64_t firstSector = volume_.ClusterSector(current);
        if (ReadSectors(bytes / bps, source_, buffer.data(), firstSector, static_cast<int>(bps), read) != kOk) return;
        const ByteView view(buffer);
        // A folder found through its entry must still start with "." and "..": otherwise
        // its clusters hold something else now.
        if (first && listed && !BeginsFolderCluster(view)) return;
        walked.insert(current);
        walkedClusters_.insert(current);
        if (WalkEntries(walk, view, firstSector)) return;
        walk.trail.nextFrom = std::max(walk.trail.nextFrom, current + 1);
        walk.trail.lastCluster = current;
        const bool rootArea = !volume_.fat32 && current == 0;
        if (rootArea) return;
        uint32_t value = 0;
        table_.Entry(current, value);  // an entry that cannot be read counts as free
        uint32_t next = 0;
        if (value == 0) {
            // A freed chain: the folder goes on in the next cluster only when that one
            // holds its entries; otherwise, for a deleted folder, somewhere else.
            if (!FreedFolderGoesOnAt(current + 1)) {
                if (walk.insideDeleted) continuing_.push_back(std::move(walk));
                return;
            }
            next = current + 1;
        } else if (table_.IsEndOfChain(value) || !table_.NextCluster(current, next)) {
            return;
        }
        if (next == current || walked.count(next)) return;
        current = next;
        first = false;
    }
}

bool CFastFatRecovery::FreedFolderGoesOnAt(uint32_t cluster) {
    uint32_t value = 0;
    if (cluster >= volume_.ClusterCount() + 2 || !table_.Entry(cluster, value) || value != 0) return false;
    if (walkedClusters_.count(cluster)) return false;
    std::vector<uint8_t> sector(volume_.bytesPerSector);
    uint32_t read = 0;
    if (ReadSectors(1, source_, sector.data(), volume_.ClusterSector(cluster), static_cast<int>(volume_.bytesPerSector),
                    read) != kOk ||
        read != 1)
        return false;
    const ByteView view(sector);
    return carve::IsFatDirectorySector(view) && !BeginsWithDotPair(view);
}

bool CFastFatRecovery::WalkEntries(FolderWalk& walk, ByteView view, uint64_t firstSector) {
    const uint32_t bps = volume_.bytesPerSector;
    LongNameCollector& longName = walk.longName;
    walk.trail.BeginCluster();
    for (size_t at = 0; at + kEntryBytes <= view.size(); at += kEntryBytes) {
        const ByteView entry = view.sub(at, kEntryBytes);
        const uint64_t entrySector = firstSector + at / bps;
        if (entry.u8(0) == 0) return true;
        if (!carve::IsPlausibleFatEntry(entry, view.sub(at + kEntryBytes, kEntryBytes))) {
            longName.Clear();
            continue;
        }
        const uint8_t attributes = entry.u8(kEntryAttributes);
        if (attributes == kAttrLongName) {
            if (!longName.Pending()) walk.trail.openChecksum = entry.u8(13);
            longName.Add(entry);
            continue;
        }
        const bool deleted = entry.u8(0) == kDeletedMark;
        bool letterLost = false;
        const std::string name = EntryName(longName, entry, (attributes & kAttrDirectory) != 0, &letterLost);
        if (attributes & kAttrDirectory) {
            if (IsDotEntry(entry)) {
                walk.parentKey = FirstCluster(entry, volume_.fat32);
                continue;
            }
            if (IsDotDotEntry(entry)) continue;
            walk.trail.Note(entry, name, volume_.ClusterBytes());
            ScanRecord record = EntryRecord(entry, name, true, deleted);
            record.folderDeleted = (deleted || walk.insideDeleted) ? 1 : 0;
            if (letterLost) record.folderDeleted |= kFirstLetterLost;
            record.entrySector = entrySector;
            const bool owns = record.fsId != 0 && record.fsId != walk.parentKey && OwnsFolderCluster(record);
            NoteShortName(walk, entry, name, true, owns ? record.fsId : 0);
            if (owns) {
                queue_.push_back(uint32_t{record.fsId});
                folderMap_[record.fsId] = {record, walk.parentKey};
            }
        } else if (attributes & kAttrArchive) {
            walk.trail.Note(entry, name, volume_.ClusterBytes());
            const bool existing = !deleted && !walk.insideDeleted;
            if ((existing && !listExisting_) || dry_) {
                NoteShortName(walk, entry, name, false, 0);
                continue;
            }
            ScanRecord record = EntryRecord(entry, name, false, deleted);
            record.entrySector = entrySector;
            if (existing) record.folderDeleted |= kExistingFile;
            if (letterLost) record.folderDeleted |= kFirstLetterLost;
            NoteShortName(walk, entry, name, false, AddFileRecord(record, walk.parentKey));
        }
    }
    walk.trail.nameOpen = longName.Pending();
    return false;
}

bool CFastFatRecovery::OwnsFolderCluster(const ScanRecord& folder) const {
    // Two folder entries naming one cluster: one folder was deleted and another made in
    // its cluster. The one made later owns it, and what the cluster holds is its own;
    // of two made at the same moment, the entry met later.
    const auto known = folderMap_.find(folder.fsId);
    if (known == folderMap_.end()) return true;
    return MadeAt(folder) >= MadeAt(known->second.record);
}

int CFastFatRecovery::ContinueDeletedFolders() {
    if (int stop = ContinueNearby(); stop != 0 || continuing_.empty()) return stop;
    // Some folder does not go on just past where it stopped: every free cluster is looked
    // at, and the clusters are given out in the order they were handed out.
    std::vector<uint32_t> walked(walkedClusters_.begin(), walkedClusters_.end());
    std::sort(walked.begin(), walked.end());
    std::map<uint32_t, ContinuationCluster> pool;
    for (ContinuationCluster& c : FindContinuationClusters(volume_, table_, source_, walked))
        pool.emplace(c.cluster, std::move(c));
    for (bool placed = true; placed && !continuing_.empty();) {
        placed = false;
        if (int stop = PlaceContinuations(pool, placed); stop != 0) return stop;
    }
    return 0;
}

int CFastFatRecovery::ContinueNearby() {
    // A camera's folder goes on in the first free cluster past its last photo: looking
    // there first spares reading a sector of every free cluster of the card.
    constexpr uint64_t kNearFreeClusters = 4096;
    // Many folders cut off together (a tree copied and deleted whole) are left to the
    // search of every cluster when a few rounds do not settle them.
    constexpr int kRounds = 16;
    std::vector<uint8_t> buffer(volume_.ClusterBytes());
    int round = 0;
    for (bool placed = true; placed && !continuing_.empty() && round < kRounds; ++round) {
        placed = false;
        std::vector<uint32_t> walked(walkedClusters_.begin(), walkedClusters_.end());
        std::sort(walked.begin(), walked.end());
        // A cluster goes to a folder only when it is the first that folder is the likeliest
        // owner of, of all folders that could own it: what the search of every free
        // cluster would decide too.
        std::vector<std::pair<size_t, uint32_t>> chosen;
        for (size_t i = 0; i < continuing_.size(); ++i) {
            const FolderTrail& trail = continuing_[i].trail;
            auto found = FindContinuationClusters(volume_, table_, source_, walked, trail.SearchFrom(), kNearFreeClusters,
                                                  [this, i](const ContinuationCluster& c) { return LikeliestOwner(c) == i; });
            if (found.empty() || LikeliestOwner(found.back()) != i) continue;
            const uint32_t cluster = found.back().cluster;
            if (std::none_of(chosen.begin(), chosen.end(), [cluster](const auto& c) { return c.second == cluster; }))
                chosen.emplace_back(i, cluster);
        }
        // From the last folder back, so that a folder that ends leaves the others' places.
        std::sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [owner, cluster] : chosen) placed |= TakeContinuation(owner, cluster, buffer);
        if (int stop = WalkQueue(); stop != 0) return stop;
    }
    return 0;
}

size_t CFastFatRecovery::LikeliestOwner(const ContinuationCluster& candidate) const {
    std::vector<const FolderTrail*> able;
    std::vector<size_t> owners;
    for (size_t i = 0; i < continuing_.size(); ++i) {
        if (!CanContinue(continuing_[i].trail, candidate)) continue;
        able.push_back(&continuing_[i].trail);
        owners.push_back(i);
    }
    return able.empty() ? SIZE_MAX : owners[BestOwner(able, candidate)];
}

bool CFastFatRecovery::TakeContinuation(size_t owner, uint32_t cluster, std::vector<uint8_t>& buffer) {
    // The cluster becomes the folder's next one: its entries are walked as the folder's,
    // and a folder whose entries end there is settled.
    const uint64_t firstSector = volume_.ClusterSector(cluster);
    uint32_t read = 0;
    if (ReadSectors(volume_.sectorsPerCluster, source_, buffer.data(), firstSector,
                    static_cast<int>(volume_.bytesPerSector), read) != kOk ||
        read != volume_.sectorsPerCluster)
        return false;
    walkedClusters_.insert(cluster);
    FolderWalk& walk = continuing_[owner];
    walk.trail.nextFrom = std::max(walk.trail.nextFrom, cluster + 1);
    walk.trail.lastCluster = cluster;
    if (WalkEntries(walk, ByteView(buffer), firstSector)) {
        SettleLostLetters(walk);
        continuing_.erase(continuing_.begin() + static_cast<long>(owner));
    }
    return true;
}

int CFastFatRecovery::PlaceContinuations(std::map<uint32_t, ContinuationCluster>& pool, bool& placed) {
    std::vector<uint8_t> buffer(volume_.ClusterBytes());
    // In the order they were handed out, each cluster goes to the folder it most likely
    // continues; folders found inside it are walked at once.
    for (auto& [cluster, candidate] : pool) {
        if (candidate.taken || continuing_.empty()) continue;
        if (walkedClusters_.count(cluster)) {
            candidate.taken = true;
            continue;
        }
        const size_t owner = LikeliestOwner(candidate);
        if (owner == SIZE_MAX) continue;
        candidate.taken = true;
        if (!TakeContinuation(owner, cluster, buffer)) continue;
        placed = true;
        if (int stop = WalkQueue(); stop != 0) return stop;
    }
    return 0;
}

uint32_t CFastFatRecovery::AddFileRecord(ScanRecord record, uint32_t parent) {
    record.contentOk = record.contentOk ? ContentCheck(record) : 0;
    const uint32_t depth = DepthOf(parent);
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, depth, recordId, record.fsId, nullptr);
    // Every folder above a recorded file gets its own record at the end of the scan.
    std::unordered_set<uint32_t> climbed;
    for (uint32_t cluster = parent; climbed.insert(cluster).second;) {
        if (pendingSet_.insert(cluster).second) pending_.push_back(cluster);
        const auto it = folderMap_.find(cluster);
        if (it == folderMap_.end()) break;
        const uint32_t up = it->second.parent;
        if (up == cluster || up <= volume_.rootCluster) break;
        cluster = up;
    }
    return recordId;
}

void CFastFatRecovery::NoteShortName(FolderWalk& walk, ByteView entry, const std::string& name, bool isFolder,
                                     uint32_t id) {
    if (dry_) return;
    ShortNameBytes bytes;
    std::copy(entry.data(), entry.data() + bytes.size(), bytes.begin());
    if (bytes[0] != kDeletedMark) {
        walk.knownNames.push_back(bytes);
        return;
    }
    // A deleted name whose long name, or the long name's checksum, gave its first letter.
    if (name.empty() || name[0] != '!') {
        if (const uint8_t first = static_cast<uint8_t>(name.empty() ? 0 : name[0]); first >= 'a' && first <= 'z')
            bytes[0] = static_cast<uint8_t>(first - 'a' + 'A');
        else
            bytes[0] = first;
        if (bytes[0] != 0) walk.knownNames.push_back(bytes);
        return;
    }
    // A long name would have been taken whole; only a bare short name waits for a guess.
    if (id == 0 || name.size() > 12) return;
    FolderWalk::LostLetter lost{};
    std::copy(entry.data(), entry.data() + lost.entry.size(), lost.entry.begin());
    lost.isFolder = isFolder;
    lost.id = id;
    walk.lostLetters.push_back(lost);
}

void CFastFatRecovery::SettleLostLetters(FolderWalk& walk) {
    if (walk.lostLetters.empty()) return;
    LetterContext context;
    context.atRoot = walk.parentKey == volume_.rootCluster;
    const auto self = folderMap_.find(walk.parentKey);
    if (self != folderMap_.end() && !context.atRoot) {
        const std::string name = AsciiLower(RecordName(self->second.record));
        const bool parentIsRoot = self->second.parent == volume_.rootCluster;
        context.inDcim = parentIsRoot && name == "dcim";
        const auto parent = folderMap_.find(self->second.parent);
        if (parent != folderMap_.end() && parent->second.parent == volume_.rootCluster &&
            AsciiLower(RecordName(parent->second.record)) == "dcim" && name.size() == 8) {
            ShortNameBytes folderName;
            folderName.fill(' ');
            for (size_t i = 0; i < 8; ++i)
                folderName[i] = static_cast<uint8_t>(name[i] >= 'a' && name[i] <= 'z' ? name[i] - 'a' + 'A' : name[i]);
            context.inDcfFolder = IsDcfFolderName(folderName);
        }
    }
    context.siblings = std::move(walk.knownNames);
    for (const FolderWalk::LostLetter& lost : walk.lostLetters) {
        ShortNameBytes bytes;
        std::copy(lost.entry.begin(), lost.entry.begin() + bytes.size(), bytes.begin());
        const uint8_t letter = GuessLostLetter(bytes, lost.isFolder, context);
        if (letter == 0) continue;
        const std::string name = ShortName(ByteView(lost.entry.data(), lost.entry.size()), lost.isFolder, letter);
        if (lost.isFolder) {
            const auto folder = folderMap_.find(lost.id);
            if (folder == folderMap_.end()) continue;
            SetRecordName(folder->second.record, name);
            folder->second.record.folderDeleted = (folder->second.record.folderDeleted & ~kFirstLetterLost) | kFirstLetterGuessed;
            continue;
        }
        ScanRecord record;
        if (log_.get()->ReadRecord(lost.id, record) != kOk) continue;
        SetRecordName(record, name);
        record.folderDeleted = (record.folderDeleted & ~kFirstLetterLost) | kFirstLetterGuessed;
        log_.get()->RewriteRecord(record);
    }
    walk.lostLetters.clear();
}

uint32_t CFastFatRecovery::DepthOf(uint32_t cluster) {
    if (const auto cached = depthCache_.find(cluster); cached != depthCache_.end()) return cached->second;
    uint32_t depth = 0;
    std::unordered_set<uint32_t> seen;
    std::vector<uint8_t> buffer(4096);
    const uint32_t bps = volume_.bytesPerSector;
    for (uint32_t c = cluster; seen.insert(c).second;) {
        if (c == volume_.rootCluster || c == 0) break;
        uint32_t read = 0;
        if (ReadSectors(4096 / bps, source_, buffer.data(), volume_.ClusterSector(c), static_cast<int>(bps), read) !=
            kOk)
            break;
        const ByteView view(buffer);
        if (view.u8(kEntryAttributes) == kAttrVolumeLabel || view.u8(0) != '.' || !view.matches(32, "..")) break;
        ++depth;
        c = FirstCluster(view.sub(32, kEntryBytes), volume_.fat32);
    }
    depthCache_[cluster] = depth;
    return depth;
}

uint32_t CFastFatRecovery::ContentCheck(const ScanRecord& record) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (extension.empty() || record.fsId < 2) return 1;
    const uint64_t at = record.partitionStart + record.dataAreaSector + uint64_t{record.fsId - 2} * volume_.sectorsPerCluster;
    return ContentAt(at, volume_.bytesPerSector, extension);
}

int CFastFatRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) {
    // A cluster no one should trust is not read.
    if (volume_.ClusterBytes() > kMaxClusterBytes && record.fileSize != 0) return kErrClusterTooLarge;
    data = std::make_unique<FatDataReader>(ReaderFor(record, layoutGuessed));
    return kOk;
}

int CFastFatRecovery::BuildAllocationMap() {
    if (volume_.fatCount == 0) return kErrInvalidHandle;
    const uint32_t total = volume_.totalSectors;
    const uint32_t spc = volume_.sectorsPerCluster;
    const uint32_t count = total > volume_.firstDataSector
                               ? (total - volume_.firstDataSector) / spc + (total % spc ? 1 : 0)
                               : 0;
    bitmap_.assign(count / 8, 0);
    const uint64_t bits = uint64_t{bitmap_.size()} * 8;
    auto mark = [this](uint64_t bit) { bitmap_[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8)); };
    for (uint32_t i = 2; i < count; ++i) {
        uint32_t value = 0;
        if (!table_.Entry(i, value) || value == 0) continue;
        if (i - 2u < bits) mark(i - 2u);
        if (table_.IsEndOfChain(value) || value < 2) continue;
        if (value - 2u >= bits) break;  // a chain pointing past the volume: the map ends here
        mark(value - 2u);
    }
    return kOk;
}

int CFastFatRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
    length = 0;
    if (position > volume_.sectorCount) {
        position = volume_.sectorCount;
        return 1;
    }
    const uint64_t spc = volume_.sectorsPerCluster ? volume_.sectorsPerCluster : 1;
    uint64_t relative = position > volume_.firstDataSector ? position - volume_.firstDataSector : 0;
    const uint64_t bits = uint64_t{bitmap_.size()} * 8;
    auto used = [this](uint64_t bit) { return (bitmap_[bit / 8] >> (bit % 8)) & 1; };
    const uint64_t k = relative / spc;
    if (k / 8 < bitmap_.size()) {
        uint64_t bit = k;
        while (bit < bits && used(bit)) ++bit;
        if (bit < bits) {
            relative += (bit - k) * spc;
            uint64_t end = bit;
            while (end < bits && !used(end)) ++end;
            length = (end - bit) * spc;
        }
    }
    position = relative + volume_.firstDataSector;
    if (position >= volume_.sectorCount)
        length = 0;
    else if (position + length > volume_.sectorCount)
        length = volume_.sectorCount - position;
    return 1;
}

FatDataReader CFastFatRecovery::ReaderFor(const ScanRecord& record, bool* guessed) {
    bool layoutGuessed = false;
    std::vector<ClusterRun> layout = LayoutOf(record, layoutGuessed, guessed == nullptr);
    if (guessed) *guessed = layoutGuessed;
    if (layout.empty()) return FatDataReader(volume_, table_, source_, record.fsId);
    return FatDataReader(volume_, table_, source_, std::move(layout));
}

const FreedClusterClaims& CFastFatRecovery::Claims() {
    if (claims_) return *claims_;
    claims_.emplace();
    ScanLogFile* log = log_.get();
    // A scan reopened from its log walks the folders once more to learn their clusters.
    if (!log || (!walkedKnown_ && Walk(true) != 0)) return *claims_;
    const uint32_t clusterBytes = volume_.ClusterBytes();
    const uint32_t clusterEnd = volume_.ClusterCount() + 2;
    auto isFree = [this](uint32_t cluster) {
        uint32_t value = 0;
        return table_.Entry(cluster, value) && value == 0;
    };
    log->ForEachRecord([&](const ScanRecord& record) {
        if (record.engineKind != FatQuick || record.isFolder || record.fileSize == 0 || !record.contentOk ||
            record.fsId < 2 || record.fsId >= clusterEnd)
            return;
        // A first cluster a live file holds now, one written over since, or one past the end
        // of a source cut short: the file's data is gone, it claims nothing.
        const uint64_t firstSector = volume_.ClusterSector(record.fsId);
        if (!isFree(record.fsId) || firstSector >= source_.totalSectors) return;
        const FirstClusterHolds first = FirstClusterOf(source_, firstSector, volume_.bytesPerSector, clusterBytes, record);
        if (first == FirstClusterHolds::OtherData) return;
        const uint64_t clusters = (record.fileSize + clusterBytes - 1) / clusterBytes;
        claims_->AddFile(record.fsId, static_cast<uint32_t>(std::min<uint64_t>(clusters, clusterEnd)),
                         {MadeAt(record), record.writeTime, first == FirstClusterHolds::ItsStart});
    });
    // A deleted folder's clusters are free but hold its entries, not file data.
    for (uint32_t cluster : walkedClusters_)
        if (cluster >= 2 && isFree(cluster)) claims_->Hold(cluster, 1);
    const uint64_t budget = 8 * uint64_t{clusterEnd} + (1u << 20);
    claims_->Settle([this](uint32_t cluster, uint32_t& next) { return table_.NextFreeCluster(cluster, next); }, budget);
    return *claims_;
}

ClusterAccess CFastFatRecovery::FreeClusterAccess() {
    ClusterAccess access;
    access.clusterBytes = volume_.ClusterBytes();
    access.read = ClusterReader(source_, volume_.bytesPerSector, [this](uint32_t cluster) -> std::optional<uint64_t> {
        if (cluster < 2 || cluster >= volume_.ClusterCount() + 2) return std::nullopt;
        return volume_.ClusterSector(cluster);
    });
    access.nextFree = [this](uint32_t cluster, uint32_t& next) { return table_.NextFreeCluster(cluster, next); };
    return access;
}

std::vector<ClusterRun> CFastFatRecovery::PlainReading(uint32_t first, uint32_t clusters) {
    std::vector<ClusterRun> runs{{first, 1}};
    uint32_t cluster = first;
    for (uint32_t taken = 1; taken < clusters; ++taken) {
        uint32_t next = 0;
        if (!table_.NextFreeCluster(cluster, next) || next <= cluster) break;
        if (runs.back().first + runs.back().count == next) ++runs.back().count;
        else runs.push_back({next, 1});
        cluster = next;
    }
    return runs;
}

std::vector<ClusterRun> CFastFatRecovery::LayoutOf(const ScanRecord& record, bool& guessed, bool reading) {
    guessed = false;
    const uint32_t clusterBytes = volume_.ClusterBytes();
    if (record.isFolder || record.fileSize == 0 || record.fsId < 2 || clusterBytes == 0) return {};
    const uint64_t clusters64 = (record.fileSize + clusterBytes - 1) / clusterBytes;
    const uint32_t clusters = static_cast<uint32_t>(std::min<uint64_t>(clusters64, volume_.ClusterCount() + 2));
    const FreedFileKey key = FreedFileKeyOf(record);
    auto known = chosen_.find(key);
    auto holds = [this, &record](const std::vector<ClusterRun>& layout) {
        FatDataReader data(volume_, table_, source_, layout);
        return StructureHoldsAlong(data, RecordName(record), record.fileSize);
    };
    if (known == chosen_.end()) {
        std::vector<ClusterRun> runs;
        const ClaimSettled settled = Claims().LayoutOf(record.fsId, clusters, runs);
        const std::vector<ClusterRun> plain =
            settled == ClaimSettled::Unknown ? std::vector<ClusterRun>{} : PlainReading(record.fsId, clusters);
        LayoutEvidence evidence;
        evidence.searchable = ContinuationSearchable(RecordName(record));
        evidence.stepsRoundKnownData = Claims().StepsRoundKnownData(record.fsId, clusters, plain);
        known = chosen_.emplace(key, ChooseFreedLayout(settled, std::move(runs), plain, holds, evidence)).first;
    }
    // A map only tells what is known; reading the file looks for where it went on.
    if (reading)
        SearchFreedLayout(known->second, [this, &record](const std::vector<ClusterRun>& tried) {
            return FindContinuation(RecordName(record), record.fileSize, tried, FreeClusterAccess());
        }, holds);
    guessed = known->second.guessed;
    return known->second.runs;
}

}  // namespace kestrune
