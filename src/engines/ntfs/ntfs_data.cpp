#include "engines/ntfs/ntfs_data.h"

#include <algorithm>

#include "disk/result_codes.h"

namespace kestrune {

using namespace ntfs;

NtfsDataReader::NtfsDataReader(const NtfsReader& reader, uint64_t entrySector)
    : reader_(reader), entrySector_(entrySector) {}

NtfsDataReader NtfsDataReader::ForFormerVolume(const NtfsReader& reader, uint64_t entrySector, uint64_t volumeStart,
                                               uint32_t clusterBytes) {
    NtfsDataReader data(reader, entrySector);
    data.formerVolume_ = true;
    data.volumeStart_ = volumeStart;
    data.clusterBytes_ = clusterBytes;
    return data;
}

int NtfsDataReader::Start() {
    started_ = true;
    std::vector<uint8_t> record;
    if (int rc = reader_.ReadMftRecord(entrySector_, record); rc != kOk) return rc;
    if (!HasRecordSignature(ByteView(record))) return kErrNotMftRecord;
    const uint32_t recordSize = reader_.geometry.recordSize;
    ApplyFixups(record, recordSize);
    if (formerVolume_ && ByteView(record).le16(kRecordFirstAttribute) >= recordSize) return kErrInvalidParameter;
    int result = kOk;
    bool residentFound = false, nonResidentFound = false, listFirst = false;
    WalkAttributes(ByteView(record), formerVolume_ ? recordSize : kRecordReadBytes, [&](const AttributeRef& a) {
        if (formerVolume_ && a.type == kAttrAttributeList) {
            listFirst = true;
            return false;
        }
        if (a.type != kAttrData) return true;
        if (formerVolume_ && a.NonResident()) {
            nonResidentFound = true;
            DecodeRuns(a.bytes, reader_.geometry.bytesPerSector, runs_);
            return false;
        }
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
    if (formerVolume_) return listFirst || !nonResidentFound ? kErrAttributeNotFound : kOk;
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
    const uint64_t volumeStart = formerVolume_ ? volumeStart_ : g.partitionStart;
    const uint64_t sectorsPerCluster =
        formerVolume_ ? std::max<uint64_t>(1, clusterBytes_ / g.bytesPerSector) : g.sectorsPerCluster;
    while (runIndex_ < runs_.size()) {
        const FileRun& run = runs_[runIndex_];
        if (sectorsReadInRun_ == 0) runCluster_ += run.lcnDelta;
        const uint64_t runSectors = run.clusterCount * sectorsPerCluster;
        if (sectorsReadInRun_ >= runSectors) {
            ++runIndex_;
            sectorsReadInRun_ = 0;
            continue;
        }
        const uint64_t perPiece = std::max<uint64_t>(1, kReadPieceBytes / g.bytesPerSector);
        const uint32_t count = static_cast<uint32_t>(std::min(perPiece, runSectors - sectorsReadInRun_));
        const uint64_t first = volumeStart + static_cast<uint64_t>(runCluster_) * sectorsPerCluster + sectorsReadInRun_;
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
