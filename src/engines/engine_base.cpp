#include "engines/engine_base.h"

#include <algorithm>

#include "base/result_codes.h"
#include "disk/bad_areas.h"
#include "disk/block_devices.h"
#include "engines/carve/signature_table.h"
#include "output/found_item.h"
#include "scanlog/log_names.h"

namespace kestrune {

RecoveryEngineBase::RecoveryEngineBase() { contentContext_.source = &source_; }

RecoveryEngineBase::~RecoveryEngineBase() = default;

int RecoveryEngineBase::Open(SectorSource source, const EngineArea& area, uint16_t driveLetter) {
    driveLetter_ = driveLetter;
    source_ = std::move(source);
    if (!source_.IsOpen()) return kErrInvalidHandle;
    contentContext_.sectorSize = area.sectorBytes;
    return Attach(area);
}

int RecoveryEngineBase::OpenImage(const std::filesystem::path& image, uint16_t driveLetter) {
    SectorSource source;
    if (int rc = OpenImageSource(image, source); rc != kOk) return rc;
    const uint64_t sectors = source.totalSectors;
    return Open(std::move(source), {0, sectors, kImageSectorBytes}, driveLetter);
}

int RecoveryEngineBase::OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
    SectorSource source;
    if (int rc = OpenDiskSource(source, disk); rc != kOk) return rc;
    return Open(std::move(source), {startSector, sectorCount, SectorBytesOf(disk)}, driveLetter);
}

void RecoveryEngineBase::SetReporter(Reporter reporter) {
    reporter_ = reporter;
    contentContext_.reporter = reporter;
    log_.SetSearchReporter(std::move(reporter));
}

const ScanRecord* RecoveryEngineBase::FolderKey(const ScanRecord* folder, int& depth) const {
    if (topLevel_ != TopLevel::ZeroIdIsRoot || !folder || folder->fsId != 0) return folder;
    depth = 0;
    return nullptr;
}

int RecoveryEngineBase::ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) {
    // Carved files lie side by side at the top; nothing is filed below them.
    if (topLevel_ == TopLevel::FlatList && (folder || depth != 0)) return kOk;
    folder = FolderKey(folder, depth);
    return log_.ListChildren(folder, depth, RootKey(), out);
}

int RecoveryEngineBase::CountFiles(const ScanRecord* folder, int depth, int& count) {
    count = 0;
    if (topLevel_ == TopLevel::FlatList && (folder || depth != 0)) return kOk;
    folder = FolderKey(folder, depth);
    return log_.CountFiles(folder, depth, RootKey(), count);
}

uint32_t RecoveryEngineBase::ContentAt(uint64_t sector, uint32_t sectorBytes, std::string_view extension) {
    std::vector<uint8_t> bytes(sectorBytes);
    uint32_t read = 0;
    if (ReadSectors(1, source_, bytes.data(), sector, static_cast<int>(sectorBytes), read) != kOk || read != 1) return 1;
    return carve::SignatureMatchesExtension(ByteView(bytes), extension, contentContext_, sector) == 0 ? 0 : 1;
}

int RecoveryEngineBase::WriteFile(const ScanRecord& file, const std::filesystem::path& target) {
    std::unique_ptr<PieceReader> data;
    if (int rc = OpenData(file, data, nullptr); rc != kOk) {
        FileEnded(rc);
        return rc;
    }
    if (file.fileSize == 0) {
        if (int rc = CreateEmptyFile(target); rc != kOk) return rc;
        FileEnded(kOk);
        return kOk;
    }
    const ReadAround around = AroundBadSectors(file);
    return WriteFoundFile(*data, file.fileSize, target, copyProgress_, &around);
}

ReadAround RecoveryEngineBase::AroundBadSectors(const ScanRecord& file) {
    ReadAround around;
    around.medium = source_.medium.get();
    around.sectorBytes = contentContext_.sectorSize;
    around.map = [this, &file](DataMap& map) { return MapData(file, map); };
    around.unreadable = unreadableNotice_;
    return around;
}

int RecoveryEngineBase::Recover(const ScanRecord& record, const std::filesystem::path& destination, int) {
    if (!Ready()) return kErrInvalidHandle;
    return RecoverFoundItem(
        record, destination,
        [this](const ScanRecord& file, const std::filesystem::path& target) { return WriteFile(file, target); },
        [this](const ScanRecord& folder, std::vector<ScanRecord>& children) {
            return log_.ChildrenOfFolder(folder, children);
        });
}

int RecoveryEngineBase::ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                                          uint32_t& delivered, const CopyProgress& progress) {
    delivered = 0;
    int rc = !record ? kErrInvalidParameter : !Ready() ? kErrInvalidHandle : kOk;
    std::unique_ptr<PieceReader> data;
    if (rc == kOk) rc = OpenData(*record, data, nullptr);
    if (rc != kOk) {
        if (progress) progress(100, rc);
        return rc;
    }
    return ExtractFoundData(*data, record->fileSize, RecordName(*record), tempPath, buffer, delivered, progress,
                            previewRoute_);
}

int RecoveryEngineBase::MapData(const ScanRecord& record, DataMap& map) {
    if (!Ready()) return kErrInvalidHandle;
    std::unique_ptr<PieceReader> data;
    if (int rc = OpenData(record, data, &map.layoutGuessed); rc != kOk) return rc;
    return data->Map(record.fileSize, map);
}

uint64_t RecoveryEngineBase::UnreadableBytes(const ScanRecord&, const DataMap& map) {
    if (!source_.IsOpen()) return 0;
    uint64_t bytes = 0;
    for (const ByteRun& run : map.runs) bytes += KnownUnreadableBytes(*source_.medium, run.sourceOffset, run.length);
    return bytes;
}

int RecoveryEngineBase::ReadData(const ScanRecord& record, uint64_t limit, std::vector<uint8_t>& out) {
    out.clear();
    if (!Ready()) return kErrInvalidHandle;
    std::unique_ptr<PieceReader> data;
    if (int rc = OpenData(record, data, nullptr); rc != kOk) return rc;
    const uint64_t wanted = std::min(limit, record.fileSize);
    std::vector<uint8_t> piece;
    while (out.size() < wanted) {
        if (int rc = data->ReadPiece(piece); rc != kOk) return rc;
        if (piece.empty()) break;
        const uint64_t take = std::min<uint64_t>(piece.size(), wanted - out.size());
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<long>(take));
    }
    return kOk;
}

}  // namespace kestrune
