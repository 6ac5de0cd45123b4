// CProfessionalFatRecovery: files of FAT volumes whose boot sector and FAT are gone.
//
// The formatted-recovery pass hands it every sector that looks like a directory. From
// the cluster numbers of "." entries and the sectors they lie in it works out each former
// volume's geometry (cluster size and where cluster 2 begins) and, with it, turns the
// directory entries into files and folders. Every file entry is recorded, live or
// deleted: on a formatted volume none of them can be reached any more.
#pragma once

#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engines/engine_base.h"
#include "engines/fat/fat_volume.h"
#include "engines/pass_state.h"

namespace kestrune {

// One former FAT volume as the pass has worked it out.
struct FatGeometry {
    uint32_t sectorsPerCluster = 0;
    int64_t firstDataSector = 0;  // relative to the area start
    uint64_t areaStart = 0;

    // Wraps rather than overflows on a damaged or crafted geometry: the caller's bounds
    // checks then refuse the sector.
    uint64_t DataStart() const { return areaStart + static_cast<uint64_t>(firstDataSector); }
    // The absolute first sector of cluster n (cluster 0: the 32 sectors before the data).
    uint64_t ClusterSector(uint32_t n) const;
    bool operator==(const FatGeometry&) const = default;
};

// The geometry two "." observations imply, if any: clusters c1 != c2 first seen at s1, s2.
std::optional<FatGeometry> GeometryFromObservations(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2,
                                                    uint64_t areaStart);

class CProfessionalFatRecovery final : public RecoveryEngineBase {
public:
    // Hostile areas must not make the pass hold unbounded state: beyond these limits new
    // observations, pending sectors and pending files are dropped.
    static constexpr size_t kMaxObservations = 4096;
    static constexpr size_t kMaxGeometries = 64;
    static constexpr size_t kMaxPendingSectors = 16384;  // 8 MiB of 512-byte sectors
    static constexpr size_t kMaxPendingFiles = 200000;

    CProfessionalFatRecovery();
    ~CProfessionalFatRecovery() override;

    // The pass.
    int StartPass(const std::string* logName);
    void Prepare();
    void DirectoryCluster(ByteView sector, uint64_t sectorNumber);
    void DirectorySector(ByteView sector, uint64_t sectorNumber);
    int Finish();
    // What the pass holds in memory, for a checkpoint, and back: false (and an empty
    // state) when the bytes are not a whole state.
    void SavePassState(PassStateWriter& out) const;
    bool LoadPassState(PassStateReader& in);
    // Absolute sector ranges [first, end) of folder clusters the quick scan already listed
    // (sorted): their entries are not listed again, here under a "LostFolder". Kept until
    // the next call; a "." entry in them still tells the volume's geometry.
    void SetListedFolderSectors(std::vector<std::pair<uint64_t, uint64_t>> ranges) { listedSectors_ = std::move(ranges); }

    const std::vector<FatGeometry>& Geometries() const { return geometries_; }

private:
    struct FolderEntry {
        ScanRecord record;
        size_t geometry;
        uint32_t parent;
    };
    struct Ancestor {
        size_t geometry;
        uint64_t sector;
    };
    struct PendingFile {
        ScanRecord record;
        uint32_t parent;
    };
    struct SplitName {
        uint8_t checksum;
        std::vector<uint8_t> bytes;
        uint32_t folder;
        std::optional<size_t> geometry;
        uint64_t nextSector;  // where the name goes on
    };
    struct Context {
        size_t geometry;
        uint32_t cluster;
        uint64_t firstSector;
    };

    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;
    void Clear();
    bool AlreadyListed(uint64_t sector) const;
    std::optional<size_t> GeometryPlacing(uint32_t cluster, uint64_t sector) const;
    void Observe(uint32_t cluster, uint64_t sector);
    // Walks the entries of directory data whose first sector is firstSector.
    void Walk(ByteView data, uint64_t firstSector, uint32_t folder, std::optional<size_t> geometry);
    bool ContinueSplitName(ByteView sector, uint64_t sectorNumber);
    bool PlaceSector(ByteView sector, uint64_t sectorNumber);
    void RecordFile(ScanRecord record, uint32_t folder, size_t geometry);
    void ClimbFrom(uint32_t folder, size_t geometry);
    uint32_t ParentFromDirectoryData(uint32_t cluster, const FatGeometry& geometry);
    uint32_t DepthOf(uint32_t cluster, const FatGeometry& geometry);
    uint32_t ProbeFirstCluster(ByteView entry, const std::string& name, bool isFolder, const FatGeometry& geometry);
    uint32_t ContentCheck(const ScanRecord& record);
    void CompleteRecord(ScanRecord& record, const FatGeometry& geometry) const;
    void Append(const ScanRecord& record, uint32_t parent, const FatGeometry& geometry, const std::string* folderName);

    uint64_t areaStart_ = 0;
    uint64_t areaSectors_ = 0;
    uint32_t bytesPerSector_ = 512;
    uint32_t rootCluster_ = 2;
    std::vector<FatGeometry> geometries_;
    std::vector<std::pair<uint32_t, uint64_t>> observations_;
    std::unordered_map<uint32_t, FolderEntry> folderMap_;
    std::vector<uint32_t> ancestorOrder_;
    std::unordered_map<uint32_t, Ancestor> ancestors_;
    std::vector<PendingFile> pendingFiles_;
    std::map<uint64_t, std::vector<uint8_t>> pendingSectors_;
    std::vector<SplitName> splitNames_;
    std::optional<Context> context_;
    std::unordered_map<uint64_t, uint32_t> depthCache_;
    std::vector<std::pair<uint64_t, uint64_t>> listedSectors_;
};

}  // namespace kestrune
