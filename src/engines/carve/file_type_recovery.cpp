#include "engines/carve/file_type_recovery.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "disk/block_devices.h"
#include "engines/carve/signature_table.h"
#include "engines/found_data.h"
#include "scanlog/log_names.h"

namespace kestrune {

namespace {

// Types whose inside is examined again sector by sector: containers that often hold
// other files (a picture inside a document), or whose size field may be wrong.
bool SkipsOneSector(int type) {
    using namespace carve;
    switch (type) {
        case kDoc: case kOle: case kXls: case kPpt: case kWav: case kAvi:
        case kWmv: case kSwf: case kBmp: case kCab: case kTtf: case kIco:
            return true;
        default:
            return false;
    }
}

constexpr uint32_t kNotAFileSystemCluster = 0xFFFFFFFF;

}  // namespace

CFileTypeRecovery::CFileTypeRecovery() { topLevel_ = TopLevel::FlatList; }

CFileTypeRecovery::~CFileTypeRecovery() = default;

int CFileTypeRecovery::Attach(const EngineArea& area) {
    partitionStart_ = area.start;
    sectorCount_ = area.sectors;
    sectorSize_ = area.sectorBytes;
    return log_.Open(MakeLogName(kSignatureLogPrefix, area.start), true);
}

int CFileTypeRecovery::OpenForPass(SectorSource source, uint32_t sectorSize, const std::string& logName,
                                   uint16_t driveLetter) {
    sectorSize_ = sectorSize;
    driveLetter_ = driveLetter;
    source_ = std::move(source);
    log_.Open(logName, false);
    return source_.IsOpen() ? kOk : kErrInvalidHandle;
}

int CFileTypeRecovery::CarveAt(ByteView sector, uint64_t startSector, const carve::PassProgress& totals,
                               uint32_t& skip, uint64_t& filesFound) {
    using namespace carve;
    skip = 1;
    contentContext_.sectorSize = sectorSize_;
    contentContext_.position = startSector;
    contentContext_.cursor = startSector;
    contentContext_.totals = totals;
    contentContext_.cancelValue = 0;

    const int type = DetectType(sector, contentContext_);
    // The stream flags follow every detection, a file found or not.
    contentContext_.transportStreamFlag = type == kTs || type == kNoType;
    contentContext_.m2tsFlag = type == kMts;
    const SignatureRow* row = type == kNoType ? nullptr : RowForType(type);
    if (!row || !row->signature->length) return kErrInvalidParameter;
    // The text inside a file that is looked into for others (a document's words) is that
    // file's, not a file of its own.
    if (type == kTxt && startSector < lookedIntoUntil_) return kErrInvalidParameter;

    contentContext_.endConfirmed = true;
    const uint64_t length = row->signature->length(sector, contentContext_);
    if (contentContext_.cancelValue != 0) return contentContext_.cancelValue;
    if (length == 0) return kErrInvalidParameter;
    if (!log_) return kErrInvalidHandle;

    ScanRecord& record = log_.get()->AppendRecord();
    record.driveLetter = driveLetter_;
    record.engineKind = EngineKind::Signature;
    record.contentOk = 1;
    record.folderDeleted = contentContext_.endConfirmed ? 0 : kCarvedEndGuessed;
    record.clusterBytes = kNotAFileSystemCluster;
    record.fileSize = length;
    record.entrySector = startSector;
    char name[64];
    std::snprintf(name, sizeof name, "%" PRIu64 ".%.*s", startSector, static_cast<int>(row->extension.size()),
                  row->extension.data());
    SetRecordName(record, name);
    log_.get()->LinkRecord(0, 0, record.recordId, 0, nullptr);

    const uint64_t sectors = (length + sectorSize_ - 1) / sectorSize_;
    if (!SkipsOneSector(type)) skip = static_cast<uint32_t>(std::clamp<uint64_t>(sectors, 1, UINT32_MAX));
    else lookedIntoUntil_ = std::max(lookedIntoUntil_, startSector + sectors);
    ++filesFound;
    return kOk;
}

int CFileTypeRecovery::OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool*) {
    data = std::make_unique<ContiguousReader>(source_, sectorSize_, record.entrySector, record.fileSize);
    return kOk;
}

}  // namespace kestrune
