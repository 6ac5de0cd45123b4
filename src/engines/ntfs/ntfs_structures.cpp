#include "engines/ntfs/ntfs_structures.h"

#include <algorithm>

#include "base/result_codes.h"
#include "disk/text_encoding.h"

namespace kestrune {

using namespace ntfs;

namespace {

constexpr int kMaxListDepth = 4;            // attribute lists naming records with lists
constexpr uint64_t kMaxListBytes = 1 << 20;  // a real attribute list is a few KiB

}  // namespace

bool NtfsVolumeGeometry::FromBootSector(ByteView boot, uint64_t start, uint64_t sectors) {
    if (!boot.has(0, 512)) return false;
    partitionStart = start;
    volumeSectors = sectors;
    bytesPerSector = boot.le16(kBootBytesPerSector);
    if (bytesPerSector == 0) bytesPerSector = 512;
    sectorsPerCluster = boot.u8(kBootSectorsPerCluster);
    if (sectorsPerCluster == 0 || bytesPerSector % 512 != 0 || bytesPerSector > 4096) return false;
    clusterBytes = sectorsPerCluster * bytesPerSector;
    const uint64_t mftCluster = boot.le64(kBootMftCluster);
    if (mftCluster > (UINT64_MAX - start) / sectorsPerCluster) return false;
    mftStartSector = start + mftCluster * sectorsPerCluster;
    recordSize = bytesPerSector == 512 ? 1024 : bytesPerSector;
    sectorsPerRecord = bytesPerSector == 512 ? 2 : 1;
    mftRuns.clear();
    return true;
}

void ApplyFixups(std::span<uint8_t> record, uint32_t recordSize) {
    const ByteView view(record.data(), record.size());
    const size_t size = std::min<size_t>(recordSize, record.size());
    const uint16_t count = view.le16(kRecordUpdateSequenceCount);
    // The count includes the sequence number itself, then one entry per 512-byte stride.
    const size_t strides = std::min<size_t>(count > 0 ? count - 1u : 0u, size / kFixupStride);
    for (size_t i = 0; i < strides; ++i) {
        const size_t entry = kRecordUpdateArray + 2 * i;
        const size_t end = kFixupStride * (i + 1) - 2;
        if (!view.has(entry, 2) || entry + 2 > end) break;
        record[end] = record[entry];
        record[end + 1] = record[entry + 1];
    }
}

void DecodeRuns(ByteView attribute, uint32_t bytesPerSector, std::vector<FileRun>& runs) {
    const uint32_t length = attribute.le32(kAttrLength);
    if (length >= bytesPerSector) return;
    const ByteView bytes = attribute.sub(0, std::min<size_t>(length, attribute.size()));
    uint16_t position = attribute.le16(kAttrRunListOffset);
    while (position < bytes.size() && position < bytesPerSector) {
        const uint8_t header = bytes.u8(position);
        if (header == 0) return;
        const size_t lengthSize = header & 0x0F, offsetSize = header >> 4;
        if (lengthSize > 7 || offsetSize > 7) return;
        if (!bytes.has(position + 1u, lengthSize + offsetSize)) return;
        FileRun run;
        run.clusterCount = bytes.le(position + 1u, lengthSize) & 0xFFFFFFFF;
        if (offsetSize > 0) {
            uint64_t delta = bytes.le(position + 1u + lengthSize, offsetSize);
            // The top bit of the last byte is the sign.
            if (delta & (uint64_t{1} << (8 * offsetSize - 1))) delta |= ~uint64_t{0} << (8 * offsetSize);
            run.lcnDelta = static_cast<int64_t>(delta);
        }
        runs.push_back(run);
        position = static_cast<uint16_t>(position + 1 + lengthSize + offsetSize);
    }
}

ByteView AttributeRef::ResidentValue() const {
    const uint32_t length = bytes.le32(kAttrValueLength);
    const uint16_t offset = bytes.le16(kAttrValueOffset);
    return bytes.sub(offset, length);
}

void WalkAttributes(ByteView record, size_t bound, const std::function<bool(const AttributeRef&)>& visit) {
    bound = std::min(bound, record.size());
    size_t offset = record.le16(kRecordFirstAttribute);
    while (offset + 8 <= bound) {
        const uint32_t type = record.le32(offset + kAttrType);
        const uint32_t length = record.le32(offset + kAttrLength) & 0xFFFF;
        if (type == 0 || type >= kAttrWalkLimit || length == 0) return;
        const AttributeRef attribute{offset, type, record.sub(offset, std::min<size_t>(length, record.size() - offset))};
        if (!visit(attribute)) return;
        offset += length;
    }
}

int NtfsReader::ReadMftRecord(uint64_t sector, std::vector<uint8_t>& buffer) const {
    buffer.assign(kRecordReadBytes, 0);
    if (!source || !source->IsOpen()) return kErrInvalidHandle;
    const uint32_t count = static_cast<uint32_t>(kRecordReadBytes / geometry.bytesPerSector);
    uint32_t read = 0;
    int rc = ReadSectors(count, *source, buffer.data(), sector, static_cast<int>(geometry.bytesPerSector), read);
    // A record near the end of the source: what follows it is not needed.
    if (rc == kErrInvalidParameter && sector < source->totalSectors) {
        const uint32_t left = static_cast<uint32_t>(std::min<uint64_t>(count, source->totalSectors - sector));
        rc = ReadSectors(left, *source, buffer.data(), sector, static_cast<int>(geometry.bytesPerSector), read);
        if (rc == kOk && read * geometry.bytesPerSector < geometry.recordSize) rc = kErrReadFault;
    }
    if (rc == kOk) rc = ReadRecordTail(sector, buffer);
    return rc;
}

int NtfsReader::ReadRecordTail(uint64_t sector, std::vector<uint8_t>& buffer) const {
    // With clusters smaller than a record, a record can begin at the end of one MFT run
    // and go on at the start of the next.
    const uint64_t spc = geometry.sectorsPerCluster;
    int64_t cluster = 0;
    for (size_t i = 0; i < geometry.mftRuns.size(); ++i) {
        const FileRun& run = geometry.mftRuns[i];
        cluster += run.lcnDelta;
        const uint64_t first = geometry.partitionStart + static_cast<uint64_t>(cluster) * spc;
        const uint64_t end = first + run.clusterCount * spc;
        if (sector < first || sector >= end) continue;
        const uint64_t inRun = end - sector;
        if (inRun >= geometry.sectorsPerRecord || i + 1 == geometry.mftRuns.size()) return kOk;
        const uint64_t next =
            geometry.partitionStart + static_cast<uint64_t>(cluster + geometry.mftRuns[i + 1].lcnDelta) * spc;
        const uint32_t rest = static_cast<uint32_t>(geometry.sectorsPerRecord - inRun);
        uint32_t read = 0;
        return ReadSectors(rest, *source, buffer.data() + inRun * geometry.bytesPerSector, next,
                           static_cast<int>(geometry.bytesPerSector), read);
    }
    return kOk;
}

uint64_t NtfsReader::RecordSector(uint64_t n) const {
    const uint64_t wanted = n * geometry.sectorsPerRecord;
    uint64_t before = 0;
    int64_t cluster = 0;
    for (const FileRun& run : geometry.mftRuns) {
        cluster += run.lcnDelta;
        const uint64_t length = run.clusterCount * geometry.sectorsPerCluster;
        if (wanted >= before && wanted - before < length)
            return geometry.partitionStart + static_cast<uint64_t>(cluster) * geometry.sectorsPerCluster +
                   (wanted - before);
        before += length;
    }
    return geometry.partitionStart;
}

int NtfsReader::FindAttributeRuns(uint64_t sector, uint32_t type, std::vector<FileRun>& runs) const {
    return FindAttributeRunsAt(sector, type, runs, 0);
}

int NtfsReader::FindAttributeRunsAt(uint64_t sector, uint32_t type, std::vector<FileRun>& runs, int depth) const {
    std::vector<uint8_t> record;
    if (int rc = ReadMftRecord(sector, record); rc != kOk) return rc > 0 ? rc : kErrAttributeNotFound;
    if (!HasRecordSignature(ByteView(record))) return kErrNotMftRecord;
    ApplyFixups(record, geometry.recordSize);
    std::vector<uint8_t> listCopy;
    bool found = false;
    WalkAttributes(ByteView(record), kRecordReadBytes, [&](const AttributeRef& a) {
        if (a.type == kAttrAttributeList) listCopy.assign(a.bytes.data(), a.bytes.data() + a.bytes.size());
        if (a.type != type) return true;
        DecodeRuns(a.bytes, geometry.bytesPerSector, runs);
        found = true;
        return false;
    });
    if (found) return kOk;
    if (listCopy.empty() || depth >= kMaxListDepth) return kErrAttributeNotFound;
    const ByteView list(listCopy);
    if (list.u8(kAttrNonResident) == 0) return RunsThroughResidentList(list, runs, depth);
    return RunsThroughNonResidentList(list, runs);
}

int NtfsReader::RunsThroughResidentList(ByteView list, std::vector<FileRun>& runs, int depth) const {
    const size_t end = std::min<size_t>(list.le32(kAttrLength), list.size());
    for (size_t at = kResidentFileNameValue; at + 0x18 <= end;) {
        const uint32_t type = list.le32(at + kListEntryType);
        const uint16_t length = list.le16(at + kListEntryLength);
        if (type == kAttrData || type == kAttrIndexAllocation) {
            const uint64_t number = list.le32(at + kListEntryRecord) |
                                    (uint64_t{list.le16(at + kListEntryRecord + 4)} << 32);
            return FindAttributeRunsAt(RecordSector(number), type, runs, depth + 1);
        }
        if (length == 0) break;
        at += length;
    }
    return kErrAttributeNotFound;
}

int NtfsReader::RunsThroughNonResidentList(ByteView list, std::vector<FileRun>& runs) const {
    std::vector<FileRun> listRuns;
    DecodeRuns(list, geometry.bytesPerSector, listRuns);
    int result = kOk;
    int64_t cluster = 0;
    std::vector<uint8_t> bytes, record;
    for (const FileRun& run : listRuns) {
        cluster += run.lcnDelta;
        const uint64_t wanted = std::min<uint64_t>(run.clusterCount * geometry.clusterBytes, kMaxListBytes);
        const uint32_t sectors = static_cast<uint32_t>(wanted / geometry.bytesPerSector);
        bytes.assign(size_t{sectors} * geometry.bytesPerSector, 0);
        uint32_t read = 0;
        const uint64_t first = geometry.partitionStart + static_cast<uint64_t>(cluster) * geometry.sectorsPerCluster;
        if (ReadSectors(sectors, *source, bytes.data(), first, static_cast<int>(geometry.bytesPerSector), read) != kOk)
            continue;
        const ByteView entries(bytes);
        for (size_t at = 0; at + 0x18 <= entries.size();) {
            const uint32_t type = entries.le32(at + kListEntryType);
            const uint16_t length = entries.le16(at + kListEntryLength);
            if (type == 0 || type == kAttrEnd || length == 0) break;
            if (type == kAttrData || type == kAttrIndexAllocation) {
                if (int rc = ReadMftRecord(RecordSector(entries.le32(at + kListEntryRecord)), record); rc != kOk) {
                    result = rc;
                } else {
                    ApplyFixups(record, geometry.recordSize);
                    WalkAttributes(ByteView(record), kRecordReadBytes, [&](const AttributeRef& a) {
                        if (a.type != kAttrData && a.type != kAttrIndexAllocation) return true;
                        DecodeRuns(a.bytes, geometry.bytesPerSector, runs);
                        return false;
                    });
                }
            }
            at += length;
        }
    }
    return result;
}

ByteView FileNameValue(const AttributeRef& a) {
    const ByteView value = a.bytes.from(kResidentFileNameValue);
    if (!value.has(0, kNameText)) return {};
    const size_t nameBytes = 2u * value.u8(kNameLength);
    return value.has(kNameText, nameBytes) ? value.sub(0, kNameText + nameBytes) : ByteView();
}

std::string NameOf(ByteView fileName) {
    return Utf16LeToUtf8(fileName, kNameText, fileName.u8(kNameLength), false);
}

bool FirstNamedParent(ByteView record, size_t bound, uint32_t& parent) {
    bool found = false;
    WalkAttributes(record, bound, [&](const AttributeRef& a) {
        if (a.type != kAttrFileName) return true;
        const ByteView value = FileNameValue(a);
        if (value.empty()) return true;
        parent = value.le32(kNameParent);
        found = true;
        return false;
    });
    return found;
}

bool ReadFileIdentity(ByteView record, ScanRecord& found, std::string& firstName, uint32_t& parent) {
    bool named = false;
    WalkAttributes(record, record.le32(kRecordBytesInUse), [&](const AttributeRef& a) {
        if (a.type == kAttrFileName) {
            const ByteView value = FileNameValue(a);
            if (value.empty()) return true;
            if (!named) {
                named = true;
                parent = value.le32(kNameParent);
                found.createTime = value.le64(kNameCreated);
                found.writeTime = value.le64(kNameModified);
                found.accessTime = value.le64(kNameAccessed);
                found.fileSize = value.le64(kNameDataSize);
                firstName = NameOf(value);
                SetRecordName(found, firstName);
            } else if (value.u8(kNameNamespace) == kWin32Namespace) {
                SetRecordName(found, NameOf(value));
            }
        } else if (a.type == kAttrData && named && !a.Named()) {
            if (!a.NonResident())
                found.fileSize = a.bytes.le32(kAttrValueLength);
            else if (a.Length() > kAttrDataSize && a.bytes.has(kAttrDataSize, 8))
                found.fileSize = a.bytes.le64(kAttrDataSize);
        }
        return true;
    });
    return named;
}

}  // namespace kestrune
