#include "engines/fat/pro_fat_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "engines/boot_classifier.h"
#include "engines/carve/signature_table.h"
#include "engines/carve/structure_tests.h"
#include "engines/fat/fat_data.h"
#include "engines/found_data.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

using namespace fat;

namespace {

constexpr uint32_t kProbeHighWords = 257;

bool IsClusterSize(int64_t v) { return v >= 1 && v <= 128 && (v & (v - 1)) == 0; }

}  // namespace

uint64_t FatGeometry::ClusterSector(uint32_t n) const {
    if (n == 0) return DataStart() >= kTraditionalRootSectors ? DataStart() - kTraditionalRootSectors : UINT64_MAX;
    if (n < 2) return UINT64_MAX;
    return DataStart() + uint64_t{n - 2} * sectorsPerCluster;
}

std::optional<FatGeometry> GeometryFromObservations(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2,
                                                    uint64_t areaStart) {
    if (c1 == c2 || c1 < 2 || c2 < 2) return std::nullopt;
    const int64_t sectors = static_cast<int64_t>(s1) - static_cast<int64_t>(s2);
    const int64_t clusters = int64_t{c1} - int64_t{c2};
    if (sectors % clusters != 0) return std::nullopt;
    const int64_t spc = sectors / clusters;
    if (!IsClusterSize(spc)) return std::nullopt;
    const int64_t start = static_cast<int64_t>(s2) - spc * (int64_t{c2} - 2);
    if (start < 0 || start != static_cast<int64_t>(s1) - spc * (int64_t{c1} - 2)) return std::nullopt;
    return FatGeometry{static_cast<uint32_t>(spc), start - static_cast<int64_t>(areaStart), areaStart};
}

CProfessionalFatRecovery::CProfessionalFatRecovery() = default;

CProfessionalFatRecovery::~CProfessionalFatRecovery() = default;

int CProfessionalFatRecovery::Attach(const EngineArea& area) {
    areaStart_ = area.start;
    areaSectors_ = area.sectors;
    bytesPerSector_ = area.sectorBytes;
    context_.reset();
    return kOk;
}

void CProfessionalFatRecovery::Clear() {
    geometries_.clear();
    observations_.clear();
    folderMap_.clear();
    ancestorOrder_.clear();
    ancestors_.clear();
    pendingFiles_.clear();
    pendingSectors_.clear();
    splitNames_.clear();
    context_.reset();
    depthCache_.clear();
}

int CProfessionalFatRecovery::StartPass(const std::string* logName) {
    Clear();
    rootCluster_ = 2;
    if (logName && !logName->empty()) return log_.Open(*logName, false);
    return log_.Open(MakeLogName(kFatFormattedLogPrefix, areaStart_), true);
}

void CProfessionalFatRecovery::Prepare() {
    std::vector<uint8_t> boot;
    if (ReadVolumeStart(source_, areaStart_ * bytesPerSector_, boot) != kOk) return;
    FatVolumeInfo volume;
    if (!IsFatBootSector(ByteView(boot)) || !volume.FromBootSector(ByteView(boot), areaStart_, areaSectors_)) return;
    geometries_.push_back({volume.sectorsPerCluster, volume.firstDataSector, areaStart_});
    rootCluster_ = volume.fat32 ? volume.rootCluster : 0;
}

std::optional<size_t> CProfessionalFatRecovery::GeometryPlacing(uint32_t cluster, uint64_t sector) const {
    for (size_t i = 0; i < geometries_.size(); ++i)
        if (geometries_[i].ClusterSector(cluster) == sector) return i;
    return std::nullopt;
}

void CProfessionalFatRecovery::Observe(uint32_t cluster, uint64_t sector) {
    if (observations_.size() >= kMaxObservations) return;
    for (const auto& [c, s] : observations_) {
        if (geometries_.size() >= kMaxGeometries) break;
        const auto geometry = GeometryFromObservations(cluster, sector, c, s, areaStart_);
        if (geometry && std::find(geometries_.begin(), geometries_.end(), *geometry) == geometries_.end())
            geometries_.push_back(*geometry);
    }
    observations_.emplace_back(cluster, sector);
}

bool CProfessionalFatRecovery::AlreadyListed(uint64_t sector) const {
    const auto after = std::upper_bound(listedSectors_.begin(), listedSectors_.end(), std::pair{sector, UINT64_MAX});
    return after != listedSectors_.begin() && sector < std::prev(after)->second;
}

void CProfessionalFatRecovery::DirectoryCluster(ByteView sector, uint64_t sectorNumber) {
    const uint32_t cluster = FirstCluster(sector, true);
    std::optional<size_t> geometry = GeometryPlacing(cluster, sectorNumber);
    if (!geometry) {
        Observe(cluster, sectorNumber);
        geometry = GeometryPlacing(cluster, sectorNumber);
    }
    if (AlreadyListed(sectorNumber)) return;
    if (geometry) context_ = Context{*geometry, cluster, sectorNumber};
    Walk(sector, sectorNumber, cluster, geometry);
    // A long name cut by the sector's end may go on in a sector kept earlier.
    const auto next = pendingSectors_.find(sectorNumber + 1);
    if (!splitNames_.empty() && next != pendingSectors_.end()) {
        const std::vector<uint8_t> bytes = std::move(next->second);
        pendingSectors_.erase(next);
        if (!ContinueSplitName(ByteView(bytes), sectorNumber + 1)) DirectorySector(ByteView(bytes), sectorNumber + 1);
    }
}

void CProfessionalFatRecovery::DirectorySector(ByteView sector, uint64_t sectorNumber) {
    if (AlreadyListed(sectorNumber)) return;
    if (ContinueSplitName(sector, sectorNumber) || PlaceSector(sector, sectorNumber)) return;
    if (pendingSectors_.size() < kMaxPendingSectors)
        pendingSectors_[sectorNumber].assign(sector.data(), sector.data() + sector.size());
}

bool CProfessionalFatRecovery::ContinueSplitName(ByteView sector, uint64_t sectorNumber) {
    for (auto it = splitNames_.begin(); it != splitNames_.end(); ++it) {
        const ByteView first = sector.sub(0, kEntryBytes);
        const uint8_t attributes = first.u8(kEntryAttributes);
        const uint32_t spc = it->geometry ? geometries_[*it->geometry].sectorsPerCluster : 1;
        bool continues = false;
        if (attributes == kAttrLongName)
            continues = first.u8(13) == it->checksum;
        else if (first.u8(0) == kDeletedMark)
            continues = sectorNumber >= it->nextSector && sectorNumber - it->nextSector < spc;
        else
            continues = carve::ShortNameChecksum(first) == it->checksum;
        if (!continues) continue;
        SplitName split = std::move(*it);
        splitNames_.erase(it);
        std::vector<uint8_t> joined = std::move(split.bytes);
        const size_t carried = joined.size();
        joined.insert(joined.end(), sector.data(), sector.data() + sector.size());
        const uint64_t carriedSectors = (carried + bytesPerSector_ - 1) / bytesPerSector_;
        Walk(ByteView(joined).from(0), sectorNumber - carriedSectors, split.folder, split.geometry);
        return true;
    }
    return false;
}

bool CProfessionalFatRecovery::PlaceSector(ByteView sector, uint64_t sectorNumber) {
    if (context_) {
        const uint32_t spc = geometries_[context_->geometry].sectorsPerCluster;
        if (sectorNumber >= context_->firstSector && sectorNumber - context_->firstSector < spc) {
            Walk(sector, sectorNumber, context_->cluster, context_->geometry);
            return true;
        }
    }
    for (size_t g = 0; g < geometries_.size(); ++g) {
        const FatGeometry& geometry = geometries_[g];
        if (sectorNumber < geometry.DataStart() || (sectorNumber - geometry.DataStart()) % geometry.sectorsPerCluster)
            continue;
        const uint32_t cluster =
            static_cast<uint32_t>((sectorNumber - geometry.DataStart()) / geometry.sectorsPerCluster + 2);
        context_ = Context{g, cluster, sectorNumber};
        Walk(sector, sectorNumber, cluster, g);
        return true;
    }
    return false;
}

void CProfessionalFatRecovery::CompleteRecord(ScanRecord& record, const FatGeometry& geometry) const {
    record.clusterBytes = geometry.sectorsPerCluster * bytesPerSector_;
    if (geometry.firstDataSector >= 0) {
        record.partitionStart = geometry.areaStart;
        record.dataAreaSector = static_cast<uint64_t>(geometry.firstDataSector);
    } else {
        record.partitionStart = geometry.DataStart();
        record.dataAreaSector = 0;
    }
}

void CProfessionalFatRecovery::Walk(ByteView data, uint64_t firstSector, uint32_t folder,
                                    std::optional<size_t> geometry) {
    LongNameCollector longName;
    size_t runStart = 0;
    uint8_t runChecksum = 0;
    uint32_t current = folder;
    for (size_t at = 0; at + kEntryBytes <= data.size(); at += kEntryBytes) {
        const ByteView entry = data.sub(at, kEntryBytes);
        if (entry.u8(0) == 0) return;
        if (!carve::IsPlausibleFatEntry(entry, data.sub(at + kEntryBytes, kEntryBytes))) {
            longName.Clear();
            continue;
        }
        const uint8_t attributes = entry.u8(kEntryAttributes);
        if (attributes == kAttrLongName) {
            if (!longName.Pending()) {
                runStart = at;
                runChecksum = entry.u8(13);
            }
            longName.Add(entry);
            continue;
        }
        const bool isFolder = (attributes & kAttrDirectory) != 0;
        bool letterLost = false;
        const std::string name = EntryName(longName, entry, isFolder, &letterLost);
        if (IsDotEntry(entry)) {
            current = FirstCluster(entry, true);
            continue;
        }
        if (IsDotDotEntry(entry)) continue;
        if (!isFolder && !(attributes & kAttrArchive)) continue;
        const bool deleted = entry.u8(0) == kDeletedMark;
        ScanRecord record{};
        record.driveLetter = driveLetter_;
        record.engineKind = FatFormatted;
        record.isFolder = isFolder ? 1 : 0;
        record.contentOk = 1;
        record.createTime = CreationTime(entry);
        record.accessTime = AccessTime(entry);
        record.writeTime = WriteTime(entry);
        record.fileSize = isFolder ? 0 : entry.le32(kEntrySize);
        record.entrySector = firstSector + at / bytesPerSector_;
        if (letterLost) record.folderDeleted |= kFirstLetterLost;
        SetRecordName(record, name);
        const bool probe = deleted && geometry && entry.le16(kEntryClusterHigh) == 0;
        record.fsId = probe ? ProbeFirstCluster(entry, name, isFolder, geometries_[*geometry]) : FirstCluster(entry, true);
        if (geometry) CompleteRecord(record, geometries_[*geometry]);
        if (isFolder) {
            if (record.fsId != 0 && record.fsId != current)
                folderMap_[uint32_t{record.fsId}] = {record, geometry.value_or(SIZE_MAX), current};
        } else if (geometry) {
            RecordFile(record, current, *geometry);
        } else if (pendingFiles_.size() < kMaxPendingFiles) {
            pendingFiles_.push_back({record, current});
        }
    }
    // The data ended inside a run of long-name entries: the name goes on in the next sector.
    if (longName.Pending() && runStart < data.size()) {
        splitNames_.push_back({runChecksum, std::vector<uint8_t>(data.data() + runStart, data.data() + data.size()),
                               current, geometry, firstSector + data.size() / bytesPerSector_});
    }
}

void CProfessionalFatRecovery::Append(const ScanRecord& record, uint32_t parent, const FatGeometry& geometry,
                                      const std::string* folderName) {
    const uint32_t depth = DepthOf(parent, geometry);
    const uint32_t recordId = log_.get()->AppendCopy(record);
    log_.get()->LinkRecord(parent, depth, recordId, record.fsId, folderName);
}

void CProfessionalFatRecovery::RecordFile(ScanRecord record, uint32_t folder, size_t geometry) {
    record.contentOk = ContentCheck(record);
    Append(record, folder, geometries_[geometry], nullptr);
    ClimbFrom(folder, geometry);
}

void CProfessionalFatRecovery::ClimbFrom(uint32_t folder, size_t geometry) {
    std::unordered_set<uint32_t> met;
    for (uint32_t cluster = folder; cluster > rootCluster_ && met.insert(cluster).second;) {
        if (!ancestors_.count(cluster)) {
            ancestors_[cluster] = {geometry, geometries_[geometry].ClusterSector(cluster)};
            ancestorOrder_.push_back(cluster);
        }
        const auto known = folderMap_.find(cluster);
        cluster = known != folderMap_.end() ? known->second.parent
                                            : ParentFromDirectoryData(cluster, geometries_[geometry]);
    }
}

uint32_t CProfessionalFatRecovery::ParentFromDirectoryData(uint32_t cluster, const FatGeometry& geometry) {
    const uint64_t sector = geometry.ClusterSector(cluster);
    if (sector >= areaStart_ + areaSectors_) return rootCluster_;
    std::vector<uint8_t> buffer(4096);
    uint32_t read = 0;
    if (ReadSectors(4096 / bytesPerSector_, source_, buffer.data(), sector, static_cast<int>(bytesPerSector_), read) !=
        kOk)
        return rootCluster_;
    const ByteView view(buffer);
    if (view.u8(kEntryAttributes) == kAttrVolumeLabel || view.u8(0) != '.' || !view.matches(32, "..")) return rootCluster_;
    const uint32_t parent = FirstCluster(view.sub(32, kEntryBytes), true);
    return parent == 0 ? rootCluster_ : parent;
}

uint32_t CProfessionalFatRecovery::DepthOf(uint32_t cluster, const FatGeometry& geometry) {
    const uint64_t key = (uint64_t{geometry.sectorsPerCluster} << 56) ^ (geometry.DataStart() << 32) ^ cluster;
    if (const auto cached = depthCache_.find(key); cached != depthCache_.end()) return cached->second;
    uint32_t depth = 0;
    std::unordered_set<uint32_t> seen;
    std::vector<uint8_t> buffer(4096);
    for (uint32_t c = cluster; seen.insert(c).second;) {
        if (c == rootCluster_ || c == 0) break;
        const uint64_t sector = geometry.ClusterSector(c);
        uint32_t read = 0;
        if (sector >= areaStart_ + areaSectors_ ||
            ReadSectors(4096 / bytesPerSector_, source_, buffer.data(), sector, static_cast<int>(bytesPerSector_),
                        read) != kOk)
            break;
        const ByteView view(buffer);
        if (view.u8(kEntryAttributes) == kAttrVolumeLabel || view.u8(0) != '.' || !view.matches(32, "..")) break;
        ++depth;
        c = FirstCluster(view.sub(32, kEntryBytes), true);
    }
    depthCache_[key] = depth;
    return depth;
}

uint32_t CProfessionalFatRecovery::ProbeFirstCluster(ByteView entry, const std::string& name, bool isFolder,
                                                     const FatGeometry& geometry) {
    const uint32_t low = entry.le16(kEntryClusterLow);
    const std::string_view extension = ExtensionOf(name);
    if (!isFolder && (extension.empty() || !carve::RowForExtension(extension))) return low;
    std::vector<uint8_t> sector(bytesPerSector_);
    const uint64_t end = areaStart_ + areaSectors_;
    for (uint32_t high = 0; high < kProbeHighWords; ++high) {
        const uint32_t cluster = (high << 16) | low;
        const uint64_t at = geometry.ClusterSector(cluster);
        if (at >= end) break;
        uint32_t read = 0;
        if (ReadSectors(1, source_, sector.data(), at, static_cast<int>(bytesPerSector_), read) != kOk || read != 1) break;
        const ByteView view(sector);
        if (isFolder ? BeginsWithDotPair(view) : carve::SignatureMatchesExtension(view, extension, contentContext_, at) == 1)
            return cluster;
    }
    return low;
}

uint32_t CProfessionalFatRecovery::ContentCheck(const ScanRecord& record) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    if (extension.empty() || record.fsId < 2 || record.clusterBytes == 0) return 1;
    const uint64_t spc = record.clusterBytes / bytesPerSector_;
    const uint64_t at = record.partitionStart + record.dataAreaSector + uint64_t{record.fsId - 2} * spc;
    return ContentAt(at, bytesPerSector_, extension);
}

int CProfessionalFatRecovery::Finish() {
    if (!log_) return kErrInvalidHandle;
    // Sectors kept while their volume was unknown get one more chance.
    auto pending = std::move(pendingSectors_);
    pendingSectors_.clear();
    for (const auto& [number, bytes] : pending)
        if (!ContinueSplitName(ByteView(bytes), number)) PlaceSector(ByteView(bytes), number);
    pending.clear();

    for (uint32_t cluster : ancestorOrder_) {
        const Ancestor& ancestor = ancestors_[cluster];
        const FatGeometry& geometry = geometries_[ancestor.geometry];
        const auto known = folderMap_.find(cluster);
        if (known != folderMap_.end()) {
            ScanRecord record = known->second.record;
            CompleteRecord(record, geometry);
            const std::string name(RecordName(record));
            Append(record, known->second.parent, geometry, &name);
            continue;
        }
        // A folder whose own entry was never found.
        const std::string name = "LostFolder" + std::to_string(cluster);
        ScanRecord record{};
        record.driveLetter = driveLetter_;
        record.engineKind = FatFormatted;
        record.isFolder = 1;
        record.contentOk = 1;
        record.fsId = cluster;
        CompleteRecord(record, geometry);
        SetRecordName(record, name);
        Append(record, ParentFromDirectoryData(cluster, geometry), geometry, &name);
    }
    folderMap_.clear();
    ancestors_.clear();
    ancestorOrder_.clear();

    for (PendingFile& file : pendingFiles_) {
        // The volume under which the entry lies inside its own folder's cluster; failing
        // that, the first whose data area holds the entry.
        auto covering = std::find_if(geometries_.begin(), geometries_.end(), [&](const FatGeometry& g) {
            const uint64_t folderStart = g.ClusterSector(file.parent);
            return folderStart <= file.record.entrySector && file.record.entrySector - folderStart < g.sectorsPerCluster;
        });
        if (covering == geometries_.end())
            covering = std::find_if(geometries_.begin(), geometries_.end(), [&](const FatGeometry& g) {
                return g.DataStart() <= file.record.entrySector;
            });
        if (covering == geometries_.end()) continue;
        CompleteRecord(file.record, *covering);
        file.record.contentOk = ContentCheck(file.record);
        Append(file.record, file.parent, *covering, nullptr);
    }
    pendingFiles_.clear();
    return log_.get()->Flush();
}

int CProfessionalFatRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool*) {
    return OpenFormerVolumeData(source_, bytesPerSector_, record, data);
}

}  // namespace kestrune
