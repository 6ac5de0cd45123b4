#include "engines/ntfs/ntfs_data.h"

#include <algorithm>

#include "disk/result_codes.h"

namespace kestrune {

using namespace ntfs;

NtfsDataReader::NtfsDataReader(const NtfsReader& reader, uint64_t entrySector)
    : reader_(reader), entrySector_(entrySector) {}

int NtfsDataReader::Start() {
    started_ = true;
    std::vector<uint8_t> record;
    if (int rc = reader_.ReadMftRecord(entrySector_, record); rc != kOk) return rc;
    if (!HasRecordSignature(ByteView(record))) return kErrNotMftRecord;
    ApplyFixups(record, reader_.geometry.recordSize);
    int result = kOk;
    bool residentFound = false;
    WalkAttributes(ByteView(record), kRecordReadBytes, [&](const AttributeRef& a) {
        if (a.type != kAttrData) return true;
        if (!a.NonResident()) {
            residentFound = true;
            const uint16_t offset = a.bytes.le16(kAttrValueOffset);
            const uint32_t length = a.Length();
            if (offset > length || length - offset >= reader_.geometry.recordSize || !a.bytes.has(offset, length - offset))
                result = kErrInvalidParameter;
            else
                residentData_.assign(a.bytes.data() + offset, a.bytes.data() + length);
        }
        return false;
    });
    if (residentFound) {
        resident_ = true;
        return result;
    }
    return reader_.FindAttributeRuns(entrySector_, kAttrData, runs_);
}

int NtfsDataReader::ReadPiece(std::vector<uint8_t>& piece) {
    piece.clear();
    if (!started_) {
        if (int rc = Start(); rc != kOk) return rc;
    }
    if (resident_) {
        if (!residentDelivered_) piece = residentData_;
        residentDelivered_ = true;
        return kOk;
    }
    const NtfsVolumeGeometry& g = reader_.geometry;
    while (runIndex_ < runs_.size()) {
        const FileRun& run = runs_[runIndex_];
        if (sectorsReadInRun_ == 0) runCluster_ += run.lcnDelta;
        const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
        if (sectorsReadInRun_ >= runSectors) {
            ++runIndex_;
            sectorsReadInRun_ = 0;
            continue;
        }
        const uint64_t perPiece = std::max<uint64_t>(1, kReadPieceBytes / g.bytesPerSector);
        const uint32_t count = static_cast<uint32_t>(std::min(perPiece, runSectors - sectorsReadInRun_));
        const uint64_t first = g.partitionStart + static_cast<uint64_t>(runCluster_) * g.sectorsPerCluster +
                               sectorsReadInRun_;
        piece.resize(size_t{count} * g.bytesPerSector);
        uint32_t read = 0;
        const int rc = ReadSectors(count, *reader_.source, piece.data(), first, static_cast<int>(g.bytesPerSector), read);
        piece.resize(size_t{read} * g.bytesPerSector);
        if (rc != kOk) return rc;
        if (read == 0) return kErrReadFault;
        sectorsReadInRun_ += read;
        if (sectorsReadInRun_ >= runSectors) {
            ++runIndex_;
            sectorsReadInRun_ = 0;
        }
        return kOk;
    }
    return kOk;  // the runs end here
}

}  // namespace kestrune
