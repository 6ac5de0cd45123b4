// CFileTypeRecovery: finds files by their content alone, sector by sector.
//
// It has no scan of its own: a pass (the formatted-recovery coordinator, or the carving
// pass below it) offers it every sector nothing else has claimed, and it lists the files
// it recognises as "<start sector>.<extension>" in a "File_Type_" log.
#pragma once

#include <memory>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/engine_base.h"

namespace kestrune {

class CFileTypeRecovery final : public RecoveryEngineBase {
public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;

    // Carved files have no folders: their path is always empty.
    int GetRecordPath(const ScanRecord&, std::string&) override { return kOk; }

    // Takes the open source of a stored pass and reopens its log by name.
    int OpenForPass(SectorSource source, uint32_t sectorSize, const std::string& logName, uint16_t driveLetter);

    // The carving step for the sector at startSector (absolute on the source). Returns 0
    // with skip set when a file was listed; 87 (skip 1) when none starts here; the
    // callback's stop value when a length rule was cancelled.
    int CarveAt(ByteView sector, uint64_t startSector, const carve::PassProgress& totals, uint32_t& skip,
                uint64_t& filesFound);

    SectorSource& Source() { return source_; }
    // The block the pass examines (sectors from firstSector on): the length rules take
    // what it holds from there. An empty block before the pass reads the next one.
    void SetPassBlock(ByteView block, uint64_t firstSector) {
        contentContext_.passBlock = block;
        contentContext_.passBlockFirst = firstSector;
    }
    uint32_t SectorSize() const { return sectorSize_; }

private:
    // The end (sector) of the last file carved that the pass looks into for others.
    uint64_t lookedIntoUntil_ = 0;
    // Opens a new log for the area.
    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;

    uint32_t sectorSize_ = 512;
    uint64_t partitionStart_ = 0;
    uint64_t sectorCount_ = 0;
};

}  // namespace kestrune
