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

CFileTypeRecovery::CFileTypeRecovery() { context_.source = &source_; }

CFileTypeRecovery::~CFileTypeRecovery() = default;

int CFileTypeRecovery::OpenNewLog(uint64_t startSector) {
    return OpenLog(MakeLogName(kSignatureLogPrefix, startSector), true);
}

int CFileTypeRecovery::OpenNamedLog(const std::string& logName) { return OpenLog(logName, false); }

int CFileTypeRecovery::OpenLog(const std::string& logName, bool fresh) {
    log_.reset();
    if (runFolder_.empty()) return kErrInvalidParameter;
    log_ = std::make_unique<ScanLogFile>();
    const int rc = fresh ? log_->CreateLog(runFolder_, logName) : log_->OpenLog(runFolder_, logName);
    if (rc != kOk) {
        log_.reset();
        return rc;
    }
    log_->SetSearchCallback(searchProgress_, searchUserData_);
    return kOk;
}

int CFileTypeRecovery::OpenImage(const std::filesystem::path& image, uint16_t driveLetter) {
    log_.reset();
    driveLetter_ = driveLetter;
    sectorSize_ = kImageSectorBytes;
    partitionStart_ = 0;
    const int rc = OpenImageSource(image, source_);
    sectorCount_ = source_.totalSectors;
    const int logRc = OpenNewLog(0);
    return rc != kOk ? rc : logRc;
}

int CFileTypeRecovery::OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
    log_.reset();
    driveLetter_ = driveLetter;
    partitionStart_ = startSector;
    sectorCount_ = sectorCount;
    DiskGeometry geometry;
    sectorSize_ = DiskGeometryOf(disk, geometry) == kOk ? geometry.bytesPerSector : 512;
    const int rc = OpenDiskSource(source_, disk);
    const int logRc = OpenNewLog(startSector);
    return rc != kOk ? rc : logRc;
}

int CFileTypeRecovery::OpenForPassOnDisk(uint32_t sectorSize, int disk, const std::string& logName,
                                         uint16_t driveLetter) {
    sectorSize_ = sectorSize;
    driveLetter_ = driveLetter;
    const int rc = OpenDiskSource(source_, disk);
    OpenNamedLog(logName);
    return rc;
}

int CFileTypeRecovery::OpenForPassOnImage(uint32_t sectorSize, const std::string& logName,
                                          uint16_t driveLetter, const std::filesystem::path& image) {
    sectorSize_ = sectorSize;
    driveLetter_ = driveLetter;
    const int rc = OpenImageSource(image, source_);
    OpenNamedLog(logName);
    return rc;
}

int CFileTypeRecovery::SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                                    void* userData, int weight) {
    recoverProgress_ = recoverProgress;
    userData_ = userData;
    context_.progress = scanProgress;
    context_.userData = userData;
    context_.weight = weight;
    return kOk;
}

int CFileTypeRecovery::CarveAt(ByteView sector, uint64_t startSector, const carve::PassProgress& totals,
                               uint32_t& skip, uint64_t& filesFound) {
    using namespace carve;
    skip = 1;
    context_.sectorSize = sectorSize_;
    context_.position = startSector;
    context_.cursor = startSector;
    context_.totals = totals;
    context_.cancelValue = 0;

    const int type = DetectType(sector, context_);
    // The stream flags follow every detection, a file found or not.
    context_.transportStreamFlag = type == kTs || type == kNoType;
    context_.m2tsFlag = type == kMts;
    const SignatureRow* row = type == kNoType ? nullptr : RowForType(type);
    if (!row || !row->signature->length) return kErrInvalidParameter;

    context_.endConfirmed = true;
    const uint64_t length = row->signature->length(sector, context_);
    if (context_.cancelValue != 0) return context_.cancelValue;
    if (length == 0) return kErrInvalidParameter;
    if (!log_) return kErrInvalidHandle;

    ScanRecord& record = log_->AppendRecord();
    record.driveLetter = driveLetter_;
    record.engineKind = EngineKind::Signature;
    record.contentOk = 1;
    record.folderDeleted = context_.endConfirmed ? 0 : kCarvedEndGuessed;
    record.clusterBytes = kNotAFileSystemCluster;
    record.fileSize = length;
    record.entrySector = startSector;
    char name[64];
    std::snprintf(name, sizeof name, "%" PRIu64 ".%.*s", startSector, static_cast<int>(row->extension.size()),
                  row->extension.data());
    SetRecordName(record, name);
    log_->LinkRecord(0, 0, record.recordId, 0, nullptr);

    if (!SkipsOneSector(type)) {
        const uint64_t sectors = (length + sectorSize_ - 1) / sectorSize_;
        skip = static_cast<uint32_t>(std::clamp<uint64_t>(sectors, 1, UINT32_MAX));
    }
    ++filesFound;
    return kOk;
}

int CFileTypeRecovery::ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) {
    if (!log_) return kOk;
    log_->Flush();
    if (folder || depth != 0) return kOk;
    return log_->ListUnderKey(0, out);
}

int CFileTypeRecovery::CountFiles(const ScanRecord* folder, int depth, int& count) {
    count = 0;
    if (!log_) return kOk;
    log_->Flush();
    if (folder || depth != 0) return kOk;
    return log_->CountFilesUnderKey(0, count);
}

uint64_t CFileTypeRecovery::GetRecordCount() { return log_ ? log_->RecordCount() : 0; }

int CFileTypeRecovery::SetLogCallback(SearchProgressFn callback, void* userData) {
    searchProgress_ = callback;
    searchUserData_ = userData;
    if (!log_) return kErrInvalidParameter;
    log_->SetSearchCallback(callback, userData);
    return kOk;
}

int CFileTypeRecovery::SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) {
    if (!log_) return kOk;
    return log_->SearchLog(pattern, out);
}

int CFileTypeRecovery::Recover(const ScanRecord& record, const std::filesystem::path& destination, int) {
    if (int rc = CreateParentFolder(destination); rc != kOk) return rc;
    ContiguousReader reader(source_, sectorSize_, record.entrySector, record.fileSize);
    return WriteFoundFile(reader, record.fileSize, destination, recoverProgress_, userData_);
}

int CFileTypeRecovery::ExtractForPreview(const ScanRecord* record, std::string& tempPath,
                                         std::span<uint8_t> buffer, uint32_t& delivered,
                                         PreviewProgressFn progress, void* userData) {
    delivered = 0;
    if (!record) return kErrInvalidParameter;
    ContiguousReader reader(source_, sectorSize_, record->entrySector, record->fileSize);
    return ExtractFoundData(reader, record->fileSize, RecordName(*record), tempPath, buffer, delivered,
                            progress, userData);
}

int CFileTypeRecovery::MapData(const ScanRecord& record, DataMap& map) {
    ContiguousReader reader(source_, sectorSize_, record.entrySector, record.fileSize);
    return reader.Map(record.fileSize, map);
}

}  // namespace kestrune
