// RecoveryEngineBase: what every engine with one scan log does the same way.
//
// An engine reads one area of a source and writes what it finds into one scan log. Opening
// the source, the callbacks, every question answered from the log, and copying a found
// file out (for a recovery, a preview or a map of where its data lies) are the same for
// all; they live here. An engine fills in the hooks: Attach (read the volume's own
// structures from the open source), OpenData (a reader over one found file's data), and,
// where it has one, Scan, NextFreeExtent and BuildAllocationMap.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "disk/sector_source.h"
#include "engines/carve/carving_context.h"
#include "engines/engine_log.h"
#include "engines/found_data.h"
#include "engines/recovery_engine.h"

namespace kestrune {

// The area of a source an engine reads: [start, start + sectors), in sectors of sectorBytes
// (the disk's own sector size; 512 for an image file).
struct EngineArea {
    uint64_t start = 0;
    uint64_t sectors = 0;
    uint32_t sectorBytes = kImageSectorBytes;
};

class RecoveryEngineBase : public IFileRecoveryParse {
public:
    ~RecoveryEngineBase() override;

    int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) final;
    int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) final;
    // Binds the engine to an area of a source its owner opened, so that any kind of source
    // (a disk, an image file, a copy, a test's memory) is read the same way.
    int Open(SectorSource source, const EngineArea& area, uint16_t driveLetter);

    void SetRunFolder(const std::string& folder) override { log_.SetFolder(folder); }
    void SetListExisting(bool on) override { listExisting_ = on; }
    void SetReporter(Reporter reporter) override;
    void SetCopyProgress(CopyProgress progress) override { copyProgress_ = std::move(progress); }
    void SetUnreadableNotice(UnreadableNotice notice) override { unreadableNotice_ = std::move(notice); }
    int Scan(const std::string*) override { return kOk; }
    int ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) override;
    int CountFiles(const ScanRecord* folder, int depth, int& count) override;
    uint64_t GetRecordCount() override { return log_.RecordCount(); }
    int GetRecordPath(const ScanRecord& record, std::string& out) override { return log_.RecordPath(record, out); }
    int GetRecordPathOnDisk(const ScanRecord& record, std::string& out) override {
        return log_.RecordPath(record, out, PathUse::OnDisk);
    }
    int Recover(const ScanRecord& record, const std::filesystem::path& destination, int baseDepth) override;
    int NextFreeExtent(uint64_t&, uint64_t& length) override {
        length = 0;
        return 0;
    }
    int SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) override {
        return log_.Search(pattern, out);
    }
    int CountByExtension(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep,
                         uint64_t& count) override {
        return log_.Count(pattern, keep, count);
    }
    int BuildAllocationMap() override { return kOk; }
    int ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                          uint32_t& delivered, const CopyProgress& progress) override;
    int MapData(const ScanRecord& record, DataMap& map) override;
    uint64_t UnreadableBytes(const ScanRecord& record, const DataMap& map) override;
    int ReadData(const ScanRecord& record, uint64_t limit, std::vector<uint8_t>& out) override;

    ScanLogFile* Log() const { return log_.get(); }

    // What a formatted or deep pass over the same area asks of the quick engine before it.
    // The file system the engine reads (Other: none in particular).
    virtual FsKind Kind() const { return FsKind::Other; }
    // Sector ranges [first, end) of the folders the quick scan listed, in sectors of
    // unitBytes, sorted: the pass leaves their entries to the quick scan.
    virtual std::vector<std::pair<uint64_t, uint64_t>> WalkedFolderSectors(uint32_t unitBytes) {
        (void)unitBytes;
        return {};
    }
    // The absolute sector where a found file's data begins; 0 when unknown or kept in the
    // file system's own records.
    virtual uint64_t DataStartSector(const ScanRecord& record) {
        (void)record;
        return 0;
    }

protected:
    // How the log files its top level.
    enum class TopLevel {
        UnderRootKey,     // under RootKey()
        ZeroIdIsRoot,     // the same, and a folder record whose fsId is 0 stands for the root
        FlatList,         // every record under the root; no folders
    };

    RecoveryEngineBase();

    // Reads the volume's own structures from source_, just opened on area.
    virtual int Attach(const EngineArea& area) = 0;
    // A reader over a found file's data, as a recovery reads it; layoutGuessed (when asked)
    // tells that the metadata allowed other layouts. An error when where the data lay is
    // known no more: nothing is then written that could be wrong.
    virtual int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) = 0;
    // Whether the engine is bound to a volume it could read.
    virtual bool Ready() const { return source_.IsOpen(); }
    // The key the log files the root's children under.
    virtual ParentKey RootKey() const { return 0; }
    // Writes one found file into target: an empty file as it is, any other through OpenData.
    virtual int WriteFile(const ScanRecord& file, const std::filesystem::path& target);

    // The content flag of a file whose data begins at sector: 0 when that sector is not
    // what the name's extension promises, 1 when it is or cannot be read.
    // One found file is written (error 0) or given up (error says why).
    void FileEnded(int error) const {
        if (copyProgress_) copyProgress_(100, error);
    }

    uint32_t ContentAt(uint64_t sector, uint32_t sectorBytes, std::string_view extension);

    // How writing file goes on past the bad sectors of the source (through MapData).
    ReadAround AroundBadSectors(const ScanRecord& file);

    SectorSource source_;
    uint16_t driveLetter_ = 0;
    EngineLog log_;
    // List the files that exist on the volume too (SetListExisting).
    bool listExisting_ = false;
    Reporter reporter_;
    CopyProgress copyProgress_;
    UnreadableNotice unreadableNotice_;
    // The signature detectors' state for this engine's content checks.
    carve::CarvingContext contentContext_;
    TopLevel topLevel_ = TopLevel::UnderRootKey;
    PreviewFileRoute previewRoute_ = PreviewFileRoute::DocumentsAndArchives;

private:
    const ScanRecord* FolderKey(const ScanRecord* folder, int& depth) const;
};

}  // namespace kestrune
