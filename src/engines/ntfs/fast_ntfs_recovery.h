// CFastNtfsRecovery: the quick scan of an intact NTFS volume.
//
// Every MFT record that is neither in use nor a directory is a deleted file; the folders
// above it are rebuilt by following parent references; a folder whose record no longer
// holds a directory becomes "LostFolder<n>". The $Bitmap gives the free clusters the
// formatted and deep scans read.
#pragma once

#include <unordered_set>

#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_engine.h"
#include "engines/ntfs/ntfs_structures.h"

namespace kestrune {

class CFastNtfsRecovery final : public NtfsEngine {
public:
    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;

    int Scan(const std::string* logName) override;
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int BuildAllocationMap() override;

    // The absolute sector where a found file's data begins (0 for resident data).
    uint64_t DataStartSector(const ScanRecord& record) override;
    FsKind Kind() const override { return FsKind::Ntfs; }

    const NtfsVolumeGeometry& Geometry() const { return reader_.geometry; }
    const NtfsReader& Reader() const { return reader_; }

private:
    int Attach(const EngineArea& area) override;
    NtfsDataReader DataOf(const ScanRecord& record) const override;
    // An encrypted file's stored bytes are kept beside it.
    bool Ready() const override { return source_.IsOpen() && reader_.geometry.clusterBytes != 0; }
    ParentKey RootKey() const override;
    int ScanRecords();
    int ScanFolders();
    // The record step of the first pass (and, for folders, of the second); false when the
    // record gave no file or folder.
    bool ExamineRecord(std::span<uint8_t> record, bool asFolder);
    uint32_t ClimbParents(uint32_t parent);
    void AddLostFolder(uint32_t number);
    // A deleted file whose names are gone: listed by record number in "$OrphanFiles".
    bool AddOrphan(ByteView record, uint32_t number, const DataAttribute& data);
    uint32_t ContentCheck(ByteView record, uint64_t entrySector, std::string_view name);
    int ReportProgress(int percent);
    // Extension records named by attribute lists are found through this volume's MFT.
    ListFollower ListFollowerOf() const;
    // The absolute sector of a record's first data cluster; 0 when resident, sparse or unknown.
    uint64_t FirstDataSector(uint64_t entrySector) const;

    std::vector<uint8_t> scanBuffer_;
    std::vector<uint32_t> folderQueue_;
    std::unordered_set<uint32_t> queued_;
    std::vector<uint8_t> bitmap_;
    int secondsRemaining_ = -1;
    bool orphanFolderWritten_ = false;
    // The key of "$OrphanFiles": past any record number a volume's MFT can hold.
    static constexpr uint32_t kOrphanFolderKey = 0xFFFFFFF0;
};

}  // namespace kestrune
