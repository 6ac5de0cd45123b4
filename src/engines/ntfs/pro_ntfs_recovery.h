// CProfessionalNtfsRecovery: files of NTFS volumes whose MFT is gone as a whole.
//
// The formatted-recovery pass hands it every sector that looks like an MFT file record.
// Each file record becomes a found file; the engine keeps every former $MFT record it
// meets, with its runs, to place records of several former volumes, follows parent
// references through the MFT a record belongs to, and reports the folders it met once
// the pass is over.
#pragma once

#include <map>
#include <unordered_set>

#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_data.h"
#include "engines/ntfs/ntfs_engine.h"
#include "engines/ntfs/ntfs_structures.h"
#include "engines/pass_state.h"

namespace kestrune {

class CProfessionalNtfsRecovery final : public NtfsEngine {
public:
    CProfessionalNtfsRecovery();
    ~CProfessionalNtfsRecovery() override;

    // Counted from the root record, though the top level lists whatever key sorts first.
    int CountFiles(const ScanRecord* folder, int depth, int& count) override;

    // The pass: a log, every candidate record, then the folders met.
    int StartFormattedLog(const std::string* logName);
    int ProcessFoundRecord(std::span<const uint8_t> record, uint64_t sector);
    int ReportQueuedFolders();
    // What the pass holds in memory, for a checkpoint, and back: false (and no queued
    // folders) when the bytes are not a whole state.
    void SavePassState(PassStateWriter& out) const;
    bool LoadPassState(PassStateReader& in);

    // The absolute sector where a record's data begins (0 when unknown): what the pass
    // compares carved files with.
    uint64_t DataStartSector(const ScanRecord& record) override;

    uint32_t ClusterGuess() const { return clusterGuess_; }
    const std::map<uint64_t, std::vector<FileRun>>& MftCatalogue() const { return mftCatalogue_; }

private:
    struct FolderEntry {
        uint32_t number;
        uint32_t sectorsPerCluster;
        uint64_t base;
        std::vector<FileRun> runs;
    };
    // Where the records of one former volume are: its start and its MFT's runs.
    struct Placement {
        uint64_t base;
        uint32_t sectorsPerCluster;
        std::vector<FileRun> runs;
    };

    int Attach(const EngineArea& area) override;
    // An encrypted file's stored bytes are kept beside it.
    // The runs of the first unnamed $DATA of the record at sector.
    int MftRunsAt(uint64_t sector, std::vector<FileRun>& runs) const;
    // Every run of a former $MFT whose record is at sector, on a volume of spc sectors per
    // cluster, through its attribute list when it has one.
    int FormerMftRuns(uint64_t sector, uint32_t spc, std::vector<FileRun>& runs) const;
    void EstimateClusterSize(ByteView record);
    bool FindOwningMft(uint32_t number, uint64_t sector, uint32_t spc, uint64_t& owner,
                       std::vector<FileRun>& runs) const;
    Placement RecordBase(uint32_t number, uint64_t sector, uint32_t spc) const;
    // How extension records of a found record's volume are found, and its data read.
    ListFollower FollowerFor(const ScanRecord& record) const;
    NtfsDataReader DataOf(const ScanRecord& record) const override;
    // The extension record holding a record's name, placed as the record's volume places it.
    bool NameExtension(ByteView record, const Placement& placement, std::vector<uint8_t>& extension) const;
    uint64_t MapRecord(uint64_t number, const Placement& placement) const;
    uint32_t Climb(uint32_t parent, const Placement& placement);
    // The record step for pass 1 (files) and pass 2 (folders).
    // False when the record gave no file or folder.
    bool AddRecord(std::span<uint8_t> record, uint64_t sector, const Placement& placement, bool asFolder);
    void AddLostFolder(uint32_t number);
    uint32_t ContentCheck(const ScanRecord& record);
    bool SaneHeader(ByteView record) const;

    uint32_t clusterGuess_ = 8;
    std::map<uint64_t, std::vector<FileRun>> mftCatalogue_;
    std::vector<FolderEntry> folderQueue_;
    std::unordered_set<uint32_t> queued_;
};

}  // namespace kestrune
