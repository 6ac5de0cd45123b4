// CProfessionalExfatRecovery: files of former exFAT volumes, from the directory data a
// formatted or deep pass meets in free space.
//
// A card formatted again (in the camera, or as FAT32 or NTFS on a computer) keeps most
// of its old folders in what is now free space. The pass hands this engine every sector
// that looks like exFAT directory data; at the pass's end it works out the former
// volume's geometry (exfat_leftovers.h) and records every entry set, live or deleted,
// under its folder. Data is read as one run of clusters from the first, since the
// former FAT and bitmap are usually gone; where a boot region of the former volume
// survived with its FAT (a partition table wiped, the volume itself untouched), a file
// kept along the FAT is read along its chain, when that chain is whole.
#pragma once

#include <map>
#include <memory>
#include <unordered_map>

#include "engines/engine_base.h"
#include "engines/exfat/exfat_leftovers.h"
#include "engines/exfat/exfat_volume.h"
#include "engines/pass_state.h"

namespace kestrune {

class CProfessionalExfatRecovery final : public RecoveryEngineBase {
public:
    // A hostile area must not make the pass hold unbounded state.
    static constexpr size_t kMaxRuns = 65536;
    static constexpr size_t kMaxKeptBytes = 256u << 20;
    static constexpr size_t kMaxHeaps = 64;
    // Files whose first sector is checked against their name when weighing a geometry.
    static constexpr size_t kSampleFiles = 48;

    CProfessionalExfatRecovery();
    ~CProfessionalExfatRecovery() override;

    // The pass.
    int StartPass(const std::string* logName);
    // Takes the area's own boot region as a candidate geometry, when it is exFAT.
    void Prepare();
    // Keeps the sector when it is exFAT directory data, or goes on with the data of the
    // sector before it; false when it is neither (the pass offers it elsewhere).
    bool OfferSector(ByteView sector, uint64_t sectorNumber);
    // A boot sector met in the pass: its geometry becomes a candidate.
    void BootSector(ByteView sector, uint64_t sectorNumber);
    // Works out the geometry and records what the kept directory data holds.
    int Finish();
    void SavePassState(PassStateWriter& out) const;
    bool LoadPassState(PassStateReader& in);
    // Absolute sector ranges [first, end) of folders the quick scan listed (sorted): their
    // entries are not listed twice.
    void SetListedFolderSectors(std::vector<std::pair<uint64_t, uint64_t>> ranges) { listedSectors_ = std::move(ranges); }

    // The geometry the last Finish chose, if any.
    const std::optional<ExfatHeap>& ChosenHeap() const { return chosen_; }

private:
    // A former volume whose boot region reads well, and its FAT.
    struct FormerVolume {
        ExfatGeometry geometry;
        ExfatFat fat;
    };
    struct Folder {
        size_t set;            // index into the leftovers
        uint32_t parent = 0;   // first cluster of the folder holding its entry; 0: the root
    };

    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;
    bool AlreadyListed(uint64_t sector) const;
    std::optional<ExfatHeap> ChooseHeap(const std::vector<ExfatLeftover>& sets);
    size_t Weigh(const ExfatHeap& heap, const std::vector<ExfatLeftover>& sets);
    bool FirstSectorMatches(const ExfatHeap& heap, const ExfatEntrySet& set, bool& checkable);
    ScanRecord RecordOf(const ExfatLeftover& leftover, const ExfatHeap& heap) const;
    // Which folder each cluster of directory data belongs to (clusterOwner_): the root,
    // a folder whose entry was found, or a lost folder named by its first cluster.
    void PlaceClusters(const std::vector<ExfatChunk>& chunks, const std::vector<ExfatJoin>& joins);
    uint32_t OwnerOf(uint64_t entrySector, const ExfatHeap& heap) const;
    uint32_t DepthOf(uint32_t folder);
    void WriteFolder(uint32_t cluster, const ExfatHeap& heap, const std::vector<ExfatLeftover>& sets);
    uint32_t ContentCheck(const ScanRecord& record);
    // The former volume whose boot region lies at `start`, or null; read once.
    FormerVolume* VolumeAt(uint64_t start);
    // The entry set a record was made from, read again from its sector.
    bool EntrySetOf(const ScanRecord& record, ExfatEntrySet& set);

    uint64_t areaStart_ = 0;
    uint64_t areaSectors_ = 0;
    uint32_t bytesPerSector_ = 512;
    std::vector<ExfatRun> runs_;
    size_t keptBytes_ = 0;
    std::vector<ExfatHeap> bootHeaps_;
    std::vector<uint64_t> bootVolumes_;  // where the boot regions met may begin
    std::map<uint64_t, std::unique_ptr<FormerVolume>> formerVolumes_;  // readers keep references
    std::vector<std::pair<uint64_t, uint64_t>> listedSectors_;
    std::optional<ExfatHeap> chosen_;
    // The first sector of the chosen heap's volume when its boot region survived, else
    // the area's: records count their data area from it.
    uint64_t chosenVolumeStart_ = 0;
    // Built by Finish.
    std::unordered_map<uint32_t, Folder> folders_;
    std::vector<std::pair<uint32_t, uint32_t>> folderSpans_;  // (first cluster, clusters), sorted
    std::unordered_map<uint32_t, uint32_t> clusterOwner_;
};

}  // namespace kestrune
