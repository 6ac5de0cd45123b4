// What a formatted FAT pass keeps between checkpoints: the former volumes it worked out
// and everything it holds back until the pass ends (folders, files and sectors that
// wait for a volume, long names cut at a sector's end).
#include "engines/fat/pro_fat_recovery.h"

namespace kestrune {

namespace {

constexpr uint32_t kStateVersion = 1;
constexpr uint64_t kNoGeometry = UINT64_MAX;

}  // namespace

void CProfessionalFatRecovery::SavePassState(PassStateWriter& out) const {
    out.U32(kStateVersion);
    out.U32(rootCluster_);
    out.U32(static_cast<uint32_t>(geometries_.size()));
    for (const FatGeometry& g : geometries_) {
        out.U32(g.sectorsPerCluster);
        out.I64(g.firstDataSector);
        out.U64(g.areaStart);
    }
    out.U32(static_cast<uint32_t>(observations_.size()));
    for (const auto& [cluster, sector] : observations_) {
        out.U32(cluster);
        out.U64(sector);
    }
    out.U32(static_cast<uint32_t>(folderMap_.size()));
    for (const auto& [cluster, folder] : folderMap_) {
        out.U32(cluster);
        out.Record(folder.record);
        out.U64(folder.geometry == SIZE_MAX ? kNoGeometry : folder.geometry);
        out.U32(folder.parent);
    }
    out.U32(static_cast<uint32_t>(ancestorOrder_.size()));
    for (uint32_t cluster : ancestorOrder_) {
        const Ancestor& a = ancestors_.at(cluster);
        out.U32(cluster);
        out.U64(a.geometry);
        out.U64(a.sector);
    }
    out.U32(static_cast<uint32_t>(pendingFiles_.size()));
    for (const PendingFile& file : pendingFiles_) {
        out.Record(file.record);
        out.U32(file.parent);
    }
    out.U32(static_cast<uint32_t>(pendingSectors_.size()));
    for (const auto& [sector, bytes] : pendingSectors_) {
        out.U64(sector);
        out.Blob(bytes);
    }
    out.U32(static_cast<uint32_t>(splitNames_.size()));
    for (const SplitName& split : splitNames_) {
        out.U8(split.checksum);
        out.Blob(split.bytes);
        out.U32(split.folder);
        out.U64(split.geometry ? *split.geometry : kNoGeometry);
        out.U64(split.nextSector);
    }
    out.U8(context_ ? 1 : 0);
    if (context_) {
        out.U64(context_->geometry);
        out.U32(context_->cluster);
        out.U64(context_->firstSector);
    }
}

bool CProfessionalFatRecovery::LoadPassState(PassStateReader& in) {
    Clear();
    if (in.U32() != kStateVersion) return false;
    rootCluster_ = in.U32();
    bool sound = true;
    for (uint32_t n = in.Count(20); n > 0 && in.ok(); --n) {
        FatGeometry g;
        g.sectorsPerCluster = in.U32();
        g.firstDataSector = in.I64();
        g.areaStart = in.U64();
        // Cluster sizes divide sector distances later: only one a boot sector can give.
        if (g.sectorsPerCluster == 0 || g.sectorsPerCluster > 255) sound = false;
        geometries_.push_back(g);
    }
    // Every index into the volumes must name one of them: the file is read back after
    // a crash and is not trusted further than that.
    const auto geometryIndex = [&](uint64_t v, bool mayBeNone) -> std::optional<size_t> {
        if (v == kNoGeometry && mayBeNone) return SIZE_MAX;
        if (v < geometries_.size()) return static_cast<size_t>(v);
        return std::nullopt;
    };
    for (uint32_t n = in.Count(12); n > 0 && in.ok(); --n) {
        const uint32_t cluster = in.U32();
        observations_.emplace_back(cluster, in.U64());
    }
    for (uint32_t n = in.Count(4 + kScanRecordBytes + 12); n > 0 && in.ok(); --n) {
        const uint32_t cluster = in.U32();
        FolderEntry folder{in.Record(), 0, 0};
        const auto geometry = geometryIndex(in.U64(), true);
        folder.parent = in.U32();
        sound &= geometry.has_value();
        folder.geometry = geometry.value_or(SIZE_MAX);
        folderMap_[cluster] = folder;
    }
    for (uint32_t n = in.Count(20); n > 0 && in.ok(); --n) {
        const uint32_t cluster = in.U32();
        const auto geometry = geometryIndex(in.U64(), false);
        const uint64_t sector = in.U64();
        sound &= geometry.has_value();
        if (geometry && ancestors_.emplace(cluster, Ancestor{*geometry, sector}).second) ancestorOrder_.push_back(cluster);
    }
    for (uint32_t n = in.Count(kScanRecordBytes + 4); n > 0 && in.ok(); --n) {
        PendingFile file{in.Record(), 0};
        file.parent = in.U32();
        pendingFiles_.push_back(file);
    }
    for (uint32_t n = in.Count(16); n > 0 && in.ok(); --n) {
        const uint64_t sector = in.U64();
        pendingSectors_[sector] = in.Blob();
    }
    for (uint32_t n = in.Count(29); n > 0 && in.ok(); --n) {
        SplitName split;
        split.checksum = in.U8();
        split.bytes = in.Blob();
        split.folder = in.U32();
        const uint64_t geometry = in.U64();
        split.nextSector = in.U64();
        if (geometry != kNoGeometry) {
            const auto index = geometryIndex(geometry, false);
            sound &= index.has_value();
            if (index) split.geometry = *index;
        }
        splitNames_.push_back(std::move(split));
    }
    if (in.U8() != 0) {
        const auto geometry = geometryIndex(in.U64(), false);
        const uint32_t cluster = in.U32();
        const uint64_t first = in.U64();
        sound &= geometry.has_value();
        if (geometry) context_ = Context{*geometry, cluster, first};
    }
    if (!in.ok() || !sound) {
        Clear();
        return false;
    }
    return true;
}

}  // namespace kestrune
