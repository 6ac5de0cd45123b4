#include "engines/exfat/pro_exfat_recovery.h"

#include <algorithm>
#include <unordered_set>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/text_encoding.h"
#include "engines/carve/signature_table.h"
#include "engines/exfat/exfat_data.h"
#include "engines/exfat/exfat_volume.h"
#include "engines/fat/fat_data.h"
#include "engines/fat/layout.h"
#include "engines/found_data.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

namespace {

// The root's key in the log: no folder has cluster 0.
constexpr uint32_t kRoot = 0;

}  // namespace

CProfessionalExfatRecovery::CProfessionalExfatRecovery() = default;

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() = default;

int CProfessionalExfatRecovery::Attach(const EngineArea& area) {
    areaStart_ = area.start;
    areaSectors_ = area.sectors;
    bytesPerSector_ = area.sectorBytes;
    return kOk;
}

int CProfessionalExfatRecovery::StartPass(const std::string* logName) {
    runs_.clear();
    keptBytes_ = 0;
    bootHeaps_.clear();
    bootVolumes_.clear();
    chosen_.reset();
    if (logName && !logName->empty()) return log_.Open(*logName, false);
    return log_.Open(MakeLogName(kExfatFormattedLogPrefix, areaStart_), true);
}

void CProfessionalExfatRecovery::Prepare() {
    ExfatGeometry volume;
    std::string why;
    if (bytesPerSector_ != 512 || !ReadExfatGeometry(source_, areaStart_, areaSectors_, volume, why)) return;
    // The pass counts in 512-byte sectors; a volume of larger sectors is placed in those.
    const uint32_t unit = volume.bytesPerSector / 512;
    bootHeaps_.push_back({areaStart_ + uint64_t{volume.heapOffset} * unit, volume.sectorsPerCluster * unit});
    bootVolumes_.push_back(areaStart_);
}

bool CProfessionalExfatRecovery::AlreadyListed(uint64_t sector) const {
    const auto after = std::upper_bound(listedSectors_.begin(), listedSectors_.end(), std::pair{sector, UINT64_MAX});
    return after != listedSectors_.begin() && sector < std::prev(after)->second;
}

bool CProfessionalExfatRecovery::OfferSector(ByteView sector, uint64_t sectorNumber) {
    const bool follows = !runs_.empty() && runs_.back().firstSector + runs_.back().bytes.size() / bytesPerSector_ ==
                                               sectorNumber;
    if (follows ? !ContinuesExfatDirectory(sector) : !IsExfatDirectorySector(sector)) return false;
    // Claimed either way: directory data is no file to carve. What the quick scan listed
    // already, or what would pass the limits, is not kept.
    if (AlreadyListed(sectorNumber) || keptBytes_ + sector.size() > kMaxKeptBytes) return true;
    if (!follows) {
        if (runs_.size() >= kMaxRuns) return true;
        runs_.push_back({sectorNumber, {}});
    }
    runs_.back().bytes.insert(runs_.back().bytes.end(), sector.data(), sector.data() + sector.size());
    keptBytes_ += sector.size();
    return true;
}

void CProfessionalExfatRecovery::BootSector(ByteView sector, uint64_t sectorNumber) {
    const std::vector<ExfatHeap> heaps = HeapsFromBootSector(sector, sectorNumber);
    for (const ExfatHeap& heap : heaps)
        if (bootHeaps_.size() < kMaxHeaps && std::find(bootHeaps_.begin(), bootHeaps_.end(), heap) == bootHeaps_.end())
            bootHeaps_.push_back(heap);
    if (heaps.empty()) return;
    // A main boot sector begins its volume; a backup lies twelve sectors in.
    std::vector<uint64_t> starts{sectorNumber};
    if (sectorNumber >= exfat::kBootRegionSectors) starts.push_back(sectorNumber - exfat::kBootRegionSectors);
    for (uint64_t start : starts)
        if (bootVolumes_.size() < kMaxHeaps &&
            std::find(bootVolumes_.begin(), bootVolumes_.end(), start) == bootVolumes_.end())
            bootVolumes_.push_back(start);
}

bool CProfessionalExfatRecovery::FirstSectorMatches(const ExfatHeap& heap, const ExfatEntrySet& set, bool& checkable) {
    checkable = false;
    const std::string name = Utf16ToUtf8(set.name);
    const std::string_view extension = ExtensionOf(name);
    if (set.IsFolder() || set.firstCluster < 2 || set.dataLength == 0 || extension.empty() ||
        !carve::RowForExtension(extension))
        return false;
    const uint64_t at = heap.SectorOf(set.firstCluster);
    if (at < areaStart_ || at >= areaStart_ + areaSectors_) return false;
    checkable = true;
    std::vector<uint8_t> sector(bytesPerSector_);
    uint32_t read = 0;
    if (ReadSectors(1, source_, sector.data(), at, static_cast<int>(bytesPerSector_), read) != kOk || read != 1)
        return false;
    return carve::SignatureMatchesExtension(ByteView(sector), extension, contentContext_, at) == 1;
}

size_t CProfessionalExfatRecovery::Weigh(const ExfatHeap& heap, const std::vector<ExfatLeftover>& sets) {
    // Files whose first cluster holds what their names say, sampled across the sets.
    size_t score = 0, checked = 0;
    const size_t step = std::max<size_t>(1, sets.size() / (kSampleFiles * 4));
    for (size_t i = 0; i < sets.size() && checked < kSampleFiles; i += step) {
        bool checkable = false;
        if (FirstSectorMatches(heap, sets[i].set, checkable)) ++score;
        if (checkable) ++checked;
    }
    // Folders whose first cluster is where directory data was met.
    std::unordered_set<uint64_t> runStarts;
    for (const ExfatRun& run : runs_) runStarts.insert(run.firstSector);
    for (const ExfatLeftover& leftover : sets)
        if (leftover.set.IsFolder() && leftover.set.firstCluster >= 2 &&
            runStarts.count(heap.SectorOf(leftover.set.firstCluster)))
            ++score;
    return score;
}

std::optional<ExfatHeap> CProfessionalExfatRecovery::ChooseHeap(const std::vector<ExfatLeftover>& sets) {
    std::vector<ExfatHeap> candidates = bootHeaps_;
    std::vector<ExfatHeap> inferred = HeapsFromFolders(sets, runs_, bytesPerSector_, areaStart_, 2, kMaxHeaps);
    // One folder alone gives each of its pairs one vote: all are weighed.
    if (inferred.empty()) inferred = HeapsFromFolders(sets, runs_, bytesPerSector_, areaStart_, 1, kMaxHeaps);
    for (const ExfatHeap& heap : inferred)
        if (std::find(candidates.begin(), candidates.end(), heap) == candidates.end()) candidates.push_back(heap);
    std::optional<ExfatHeap> best;
    size_t bestScore = 0;
    for (const ExfatHeap& heap : candidates) {
        const size_t score = Weigh(heap, sets);
        if (score > bestScore) {
            best = heap;
            bestScore = score;
        }
    }
    // With nothing to tell them apart, a boot sector that survived is trusted.
    if (!best && !bootHeaps_.empty()) best = bootHeaps_.front();
    return best;
}

ScanRecord CProfessionalExfatRecovery::RecordOf(const ExfatLeftover& leftover, const ExfatHeap& heap) const {
    const ExfatEntrySet& set = leftover.set;
    ScanRecord record{};
    record.driveLetter = driveLetter_;
    record.engineKind = ExfatFormatted;
    record.isFolder = set.IsFolder() ? 1 : 0;
    record.contentOk = 1;
    record.fsId = set.firstCluster;
    record.clusterBytes = heap.sectorsPerCluster * bytesPerSector_;
    record.createTime = set.createTime;
    record.accessTime = set.accessTime;
    record.writeTime = set.writeTime;
    record.fileSize = set.IsFolder() ? 0 : set.dataLength;
    record.entrySector = leftover.entrySector;
    record.partitionStart = chosenVolumeStart_;
    record.dataAreaSector = heap.clusterTwo - chosenVolumeStart_;
    SetRecordName(record, Utf16ToUtf8(set.name));
    // A former volume's heap ends, at the latest, where the scanned area does.
    const uint64_t first = set.firstCluster >= 2 ? heap.SectorOf(set.firstCluster) : UINT64_MAX;
    const uint64_t areaEnd = areaStart_ + areaSectors_;
    ClipSizeToRoom(record, first < areaEnd ? (areaEnd - first) * bytesPerSector_ : 0);
    return record;
}

void CProfessionalExfatRecovery::PlaceClusters(const std::vector<ExfatChunk>& chunks,
                                               const std::vector<ExfatJoin>& joins) {
    clusterOwner_.clear();
    bool previousFull = false;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const ExfatChunk& chunk = chunks[i];
        const ByteView data = ByteView(runs_[chunk.run].bytes).sub(chunk.offset, chunk.length);
        uint32_t owner = chunk.cluster;
        const auto after =
            std::upper_bound(folderSpans_.begin(), folderSpans_.end(), std::pair{chunk.cluster, UINT32_MAX});
        if (HoldsBitmapEntry(data)) {
            owner = kRoot;
        } else if (after != folderSpans_.begin() && chunk.cluster - std::prev(after)->first < std::prev(after)->second) {
            // A cluster of a folder whose entry was found: its first, or a later one of a
            // folder kept in one piece.
            owner = std::prev(after)->first;
        } else if (previousFull && i > 0 && chunks[i - 1].run == chunk.run) {
            // The cluster before was filled to its last entry and no folder starts here:
            // the same folder went on into this one.
            owner = clusterOwner_[chunks[i - 1].cluster];
        }
        clusterOwner_[chunk.cluster] = owner;
        previousFull = data.size() >= exfat::kEntryBytes && data.u8(data.size() - exfat::kEntryBytes) != 0;
    }
    // A cluster that a set cut in two shows to go on with another's folder belongs to
    // that folder, and so does what was filed under it as a lost folder.
    std::unordered_map<uint32_t, uint32_t> goesOn;
    for (const ExfatJoin& join : joins) goesOn.emplace(join.to, join.from);
    const auto resolve = [&](uint32_t owner) {
        std::unordered_set<uint32_t> met;
        for (auto earlier = goesOn.find(owner); earlier != goesOn.end() && met.insert(owner).second;
             earlier = goesOn.find(owner)) {
            const auto known = clusterOwner_.find(earlier->second);
            owner = known != clusterOwner_.end() ? known->second : earlier->second;
        }
        return owner;
    };
    for (auto& [cluster, owner] : clusterOwner_)
        if (owner != kRoot && !folders_.count(owner)) owner = resolve(owner);
}

uint32_t CProfessionalExfatRecovery::OwnerOf(uint64_t entrySector, const ExfatHeap& heap) const {
    const std::optional<uint32_t> cluster = heap.ClusterOf(entrySector);
    const auto owner = cluster ? clusterOwner_.find(*cluster) : clusterOwner_.end();
    return owner != clusterOwner_.end() ? owner->second : kRoot;
}

uint32_t CProfessionalExfatRecovery::DepthOf(uint32_t folder) {
    uint32_t depth = 0;
    std::unordered_set<uint32_t> met;
    for (uint32_t c = folder; c != kRoot && met.insert(c).second; ++depth) {
        const auto known = folders_.find(c);
        c = known != folders_.end() ? known->second.parent : kRoot;
    }
    return depth;
}

uint32_t CProfessionalExfatRecovery::ContentCheck(const ScanRecord& record) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (record.fsId < 2 || record.clusterBytes == 0) return 1;
    const uint64_t at = record.partitionStart + record.dataAreaSector +
                        uint64_t{record.fsId - 2} * (record.clusterBytes / bytesPerSector_);
    // Data the area does not hold cannot be what the name says.
    if (at >= areaStart_ + areaSectors_) return 0;
    if (extension.empty()) return 1;
    return ContentAt(at, bytesPerSector_, extension);
}

void CProfessionalExfatRecovery::WriteFolder(uint32_t cluster, const ExfatHeap& heap,
                                             const std::vector<ExfatLeftover>& sets) {
    const auto known = folders_.find(cluster);
    ScanRecord record{};
    uint32_t parent = kRoot;
    if (known != folders_.end()) {
        record = RecordOf(sets[known->second.set], heap);
        parent = known->second.parent;
    } else {
        // A folder whose own entry was never found.
        record.driveLetter = driveLetter_;
        record.engineKind = ExfatFormatted;
        record.isFolder = 1;
        record.contentOk = 1;
        record.fsId = cluster;
        record.clusterBytes = heap.sectorsPerCluster * bytesPerSector_;
        record.partitionStart = chosenVolumeStart_;
        record.dataAreaSector = heap.clusterTwo - chosenVolumeStart_;
        SetRecordName(record, "LostFolder" + std::to_string(cluster));
    }
    const std::string name(RecordName(record));
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, DepthOf(parent), recordId, cluster, &name);
}

int CProfessionalExfatRecovery::Finish() {
    if (!log_) return kErrInvalidHandle;
    std::vector<ExfatLeftover> sets = EntrySetsOf(runs_, bytesPerSector_);
    chosen_ = sets.empty() ? std::nullopt : ChooseHeap(sets);
    if (!chosen_) return log_.get()->Flush();
    const ExfatHeap heap = *chosen_;
    chosenVolumeStart_ = areaStart_;
    for (uint64_t start : bootVolumes_) {
        const FormerVolume* volume = VolumeAt(start);
        if (volume && volume->geometry.ClusterSector(2) == heap.clusterTwo &&
            volume->geometry.sectorsPerCluster == heap.sectorsPerCluster) {
            chosenVolumeStart_ = start;
            break;
        }
    }
    const uint64_t clusterBytes = uint64_t{heap.sectorsPerCluster} * bytesPerSector_;

    // Sets cut in two where their folder went on elsewhere, joined again.
    const std::vector<ExfatChunk> chunks = ChunksOf(runs_, heap, bytesPerSector_);
    const std::vector<ExfatJoin> joins = JoinSplitSets(runs_, chunks, bytesPerSector_);
    for (const ExfatJoin& join : joins) sets.push_back(join.leftover);

    folders_.clear();
    folderSpans_.clear();
    for (size_t i = 0; i < sets.size(); ++i) {
        const ExfatEntrySet& set = sets[i].set;
        if (!set.IsFolder() || set.firstCluster < 2 || folders_.count(set.firstCluster)) continue;
        folders_[set.firstCluster] = Folder{i};
        const uint64_t clusters = set.Contiguous() ? (set.dataLength + clusterBytes - 1) / clusterBytes : 1;
        folderSpans_.emplace_back(set.firstCluster, static_cast<uint32_t>(std::clamp<uint64_t>(clusters, 1, UINT32_MAX)));
    }
    std::sort(folderSpans_.begin(), folderSpans_.end());
    PlaceClusters(chunks, joins);
    for (auto& [cluster, folder] : folders_) {
        const uint32_t parent = OwnerOf(sets[folder.set].entrySector, heap);
        folder.parent = parent == cluster ? kRoot : parent;
    }

    // Every file is recorded, live or deleted: none can be reached on the volume now.
    std::vector<uint32_t> needed;
    std::unordered_set<uint32_t> neededSet;
    for (const ExfatLeftover& leftover : sets) {
        if (leftover.set.IsFolder()) continue;
        ScanRecord record = RecordOf(leftover, heap);
        record.contentOk = ContentCheck(record);
        const uint32_t parent = OwnerOf(leftover.entrySector, heap);
        const uint32_t recordId = log_.get()->AppendCopy(record);
        log_.get()->LinkRecord(parent, DepthOf(parent), recordId, record.fsId, nullptr);
        std::unordered_set<uint32_t> met;
        for (uint32_t c = parent; c != kRoot && met.insert(c).second;) {
            if (neededSet.insert(c).second) needed.push_back(c);
            const auto known = folders_.find(c);
            c = known != folders_.end() ? known->second.parent : kRoot;
        }
    }
    for (uint32_t cluster : needed) WriteFolder(cluster, heap, sets);
    folders_.clear();
    folderSpans_.clear();
    clusterOwner_.clear();
    return log_.get()->Flush();
}

void CProfessionalExfatRecovery::SavePassState(PassStateWriter& out) const {
    out.U32(static_cast<uint32_t>(runs_.size()));
    for (const ExfatRun& run : runs_) {
        out.U64(run.firstSector);
        out.Blob(run.bytes);
    }
    out.U32(static_cast<uint32_t>(bootHeaps_.size()));
    for (const ExfatHeap& heap : bootHeaps_) {
        out.U64(heap.clusterTwo);
        out.U32(heap.sectorsPerCluster);
    }
    // Last, so that the state of a pass begun before it was kept still reads.
    out.U32(static_cast<uint32_t>(bootVolumes_.size()));
    for (uint64_t start : bootVolumes_) out.U64(start);
}

bool CProfessionalExfatRecovery::LoadPassState(PassStateReader& in) {
    std::vector<ExfatRun> runs(in.Count(12));
    size_t kept = 0;
    for (ExfatRun& run : runs) {
        run.firstSector = in.U64();
        run.bytes = in.Blob();
        kept += run.bytes.size();
    }
    std::vector<ExfatHeap> heaps(in.Count(12));
    for (ExfatHeap& heap : heaps) {
        heap.clusterTwo = in.U64();
        heap.sectorsPerCluster = in.U32();
    }
    std::vector<uint64_t> volumes;
    if (!in.AtEnd()) {
        volumes.resize(in.Count(8));
        for (uint64_t& start : volumes) start = in.U64();
    }
    if (!in.ok()) return false;
    runs_ = std::move(runs);
    keptBytes_ = kept;
    bootHeaps_ = std::move(heaps);
    bootVolumes_ = std::move(volumes);
    return true;
}

CProfessionalExfatRecovery::FormerVolume* CProfessionalExfatRecovery::VolumeAt(uint64_t start) {
    const auto [known, added] = formerVolumes_.try_emplace(start);
    if (!added) return known->second.get();
    const uint64_t areaEnd = areaStart_ + areaSectors_;
    ExfatGeometry geometry;
    std::string why;
    if (start < areaStart_ || start >= areaEnd || !ReadExfatGeometry(source_, start, areaEnd - start, geometry, why) ||
        geometry.bytesPerSector != bytesPerSector_)
        return nullptr;
    auto volume = std::make_unique<FormerVolume>();
    volume->geometry = geometry;
    volume->fat.Attach(&volume->geometry, &source_);
    known->second = std::move(volume);
    return known->second.get();
}

bool CProfessionalExfatRecovery::EntrySetOf(const ScanRecord& record, ExfatEntrySet& set) {
    // A set is at most 19 entries: from any entry of the first sector it ends within the
    // two sectors after it.
    constexpr uint32_t kSectors = 3;
    if (record.entrySector < areaStart_ || record.entrySector + kSectors > areaStart_ + areaSectors_) return false;
    std::vector<uint8_t> bytes(size_t{kSectors} * bytesPerSector_);
    uint32_t read = 0;
    if (ReadSectors(kSectors, source_, bytes.data(), record.entrySector, static_cast<int>(bytesPerSector_), read) != kOk ||
        read != kSectors)
        return false;
    for (size_t at = 0; at < bytesPerSector_; at += exfat::kEntryBytes)
        if (ParseEntrySet(ByteView(bytes), at, set) && set.checksumOk && set.firstCluster == record.fsId &&
            set.dataLength == record.fileSize)
            return true;
    return false;
}

int CProfessionalExfatRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool*) {
    FormerVolume* volume = record.isFolder || record.fileSize == 0 ? nullptr : VolumeAt(record.partitionStart);
    ExfatEntrySet set;
    if (volume && volume->geometry.heapOffset == record.dataAreaSector &&
        volume->geometry.ClusterBytes() == record.clusterBytes && EntrySetOf(record, set) && !set.Contiguous()) {
        std::vector<uint32_t> chain = WholeFatChain(volume->geometry, volume->fat, set.firstCluster, set.dataLength);
        if (!chain.empty()) {
            data = std::make_unique<ExfatDataReader>(source_, volume->geometry, std::move(chain));
            return kOk;
        }
    }
    return OpenFormerVolumeData(source_, bytesPerSector_, record, data);
}

}  // namespace kestrune
