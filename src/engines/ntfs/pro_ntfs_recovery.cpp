#include "engines/ntfs/pro_ntfs_recovery.h"

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "engines/boot_classifier.h"
#include "engines/carve/signature_table.h"
#include "engines/found_data.h"
#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_data.h"
#include "engines/ntfs/stream_records.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

using namespace ntfs;

namespace {

const ParentKey kRootKey = MakeParentKey(0, kRootRecord);
constexpr uint32_t kLargestClusterSectors = 4096;

// The cluster size a former volume of this size most likely had, in sectors.
uint32_t DefaultSectorsPerCluster(uint64_t sectors, uint32_t bytesPerSector) {
    const uint64_t mib = sectors * bytesPerSector / (1024 * 1024);
    const uint64_t k = bytesPerSector / 512;
    if (mib <= 7 * k) return 8;
    if (mib <= 512 * k) return 1;
    if (mib <= 1024 * k) return 2;
    if (mib <= 2048 * k) return 4;
    return 8;
}

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() = default;

int CProfessionalNtfsRecovery::Attach(const EngineArea& area) {
    const uint64_t start = area.start, sectors = area.sectors;
    const uint32_t bytesPerSector = area.sectorBytes;
    NtfsVolumeGeometry& g = reader_.geometry;
    g.partitionStart = start;
    g.volumeSectors = sectors;
    g.bytesPerSector = bytesPerSector;
    g.recordSize = bytesPerSector == 512 ? 1024 : bytesPerSector;
    g.sectorsPerRecord = bytesPerSector == 512 ? 2 : 1;
    contentContext_.sectorSize = bytesPerSector;
    clusterGuess_ = DefaultSectorsPerCluster(sectors, bytesPerSector);
    std::vector<uint8_t> boot;
    if (int rc = ReadVolumeStart(source_, start * bytesPerSector, boot); rc != kOk) return rc;
    mftCatalogue_.clear();
    // A boot sector that is still whole names the area's current MFT.
    if (IsNtfsBootSector(ByteView(boot))) {
        const uint64_t mft = start + ByteView(boot).le64(kBootMftCluster) * ByteView(boot).u8(kBootSectorsPerCluster);
        std::vector<FileRun> runs;
        if (FormerMftRuns(mft, ByteView(boot).u8(kBootSectorsPerCluster), runs) == kOk) mftCatalogue_[mft] = std::move(runs);
    }
    return kOk;
}

int CProfessionalNtfsRecovery::MftRunsAt(uint64_t sector, std::vector<FileRun>& runs) const {
    DataAttribute data;
    const int rc = ReadDataAttribute(reader_, sector, reader_.geometry.recordSize, nullptr, data);
    if (rc != kOk) return rc;
    if (data.resident) return kErrAttributeNotFound;
    const std::vector<FileRun> decoded = ToFileRuns(data.runs);
    runs.insert(runs.end(), decoded.begin(), decoded.end());
    return kOk;
}

int CProfessionalNtfsRecovery::FormerMftRuns(uint64_t sector, uint32_t spc, std::vector<FileRun>& runs) const {
    // A very fragmented $MFT keeps the later pieces of its run list in extension records,
    // which lie in the part of that MFT its first pieces already place.
    Placement sofar{0, spc, {}};
    ListFollower follow{[&](uint64_t number) { return sofar.runs.empty() ? UINT64_MAX : MapRecord(number, sofar); },
                        0, spc};
    DataAttribute data;
    const int rc = ReadDataAttribute(reader_, sector, reader_.geometry.recordSize, &follow, data,
                                     [&](const DataAttribute& pieces) {
                                         sofar.runs = ToFileRuns(pieces.runs);
                                         if (sofar.runs.empty()) return;
                                         const int64_t base = static_cast<int64_t>(sector) - sofar.runs[0].lcnDelta * spc;
                                         sofar.base = base > 0 ? static_cast<uint64_t>(base) : 0;
                                         follow.volumeStart = sofar.base;
                                     });
    if (rc != kOk) return rc;
    if (data.resident) return kErrAttributeNotFound;
    runs = ToFileRuns(data.runs);
    return kOk;
}

int CProfessionalNtfsRecovery::StartFormattedLog(const std::string* logName) {
    folderQueue_.clear();
    queued_.clear();
    if (logName && !logName->empty()) return log_.Open(*logName, false);
    return log_.Open(MakeLogName(kNtfsFormattedLogPrefix, reader_.geometry.partitionStart), true);
}

bool CProfessionalNtfsRecovery::SaneHeader(ByteView record) const {
    const uint32_t inUse = record.le32(kRecordBytesInUse);
    const uint16_t first = record.le16(kRecordFirstAttribute);
    const uint32_t size = reader_.geometry.recordSize;
    return inUse <= size && first <= size && first <= inUse;
}

void CProfessionalNtfsRecovery::EstimateClusterSize(ByteView record) {
    const uint32_t bps = reader_.geometry.bytesPerSector;
    size_t offset = record.le16(kRecordFirstAttribute);
    while (offset + 8 <= reader_.geometry.recordSize) {
        const uint32_t type = record.le32(offset);
        const uint32_t length = record.le32(offset + kAttrLength);
        if (type >= kAttrWalkLimit || length == 0 || type == kAttrAttributeList) return;
        if (type == kAttrData) {
            const ByteView attribute = record.sub(offset, std::min<size_t>(length, record.size() - offset));
            if (attribute.u8(kAttrNonResident) == 0) return;
            std::vector<FileRun> runs;
            DecodeRuns(attribute, bps, runs);
            uint64_t clusters = 0;
            for (const FileRun& run : runs) clusters += run.clusterCount;
            if (clusters == 0) return;
            const uint64_t estimate = attribute.le64(kAttrAllocatedSize) / bps / clusters;
            // Only a size NTFS can have: one record's damage must not mislead the rest.
            if (estimate != 0 && estimate <= kLargestClusterSectors && (estimate & (estimate - 1)) == 0)
                clusterGuess_ = static_cast<uint32_t>(estimate);
            return;
        }
        offset += length;
    }
}

bool CProfessionalNtfsRecovery::FindOwningMft(uint32_t number, uint64_t sector, uint32_t spc, uint64_t& owner,
                                              std::vector<FileRun>& runs) const {
    const int64_t wanted = int64_t{number} * reader_.geometry.sectorsPerRecord;
    for (const auto& [mft, mftRuns] : mftCatalogue_) {
        if (mftRuns.empty()) continue;
        int64_t before = 0, cluster = 0;
        const int64_t origin = static_cast<int64_t>(mft) - mftRuns[0].lcnDelta * spc;
        for (const FileRun& run : mftRuns) {
            cluster += run.lcnDelta;
            const int64_t length = static_cast<int64_t>(run.clusterCount) * spc;
            if (wanted >= before && wanted < before + length) {
                if (origin + cluster * spc + (wanted - before) == static_cast<int64_t>(sector)) {
                    owner = mft;
                    runs = mftRuns;
                    return true;
                }
                break;
            }
            before += length;
        }
    }
    return false;
}

CProfessionalNtfsRecovery::Placement CProfessionalNtfsRecovery::RecordBase(uint32_t number, uint64_t sector,
                                                                         uint32_t spc) const {
    Placement placement{reader_.geometry.partitionStart, spc, {}};
    uint64_t owner = 0;
    if (FindOwningMft(number, sector, spc, owner, placement.runs)) {
        const int64_t offset = placement.runs[0].lcnDelta * spc;
        if (offset != 0) placement.base = static_cast<uint64_t>(static_cast<int64_t>(owner) - offset);
        return placement;
    }
    // An MFT nobody registered: taken as contiguous around the record.
    const int64_t distance = static_cast<int64_t>(sector) - int64_t{number} * reader_.geometry.sectorsPerRecord -
                             static_cast<int64_t>(reader_.geometry.partitionStart);
    placement.runs = {FileRun{0, distance / spc}};
    return placement;
}

uint64_t CProfessionalNtfsRecovery::MapRecord(uint64_t number, const Placement& p) const {
    // Wide arithmetic: a placement read back from a damaged checkpoint or found on a
    // damaged volume may hold any numbers, and must give "nowhere", not an overflow.
    using Wide = __int128;
    const Wide wanted = Wide{number} * reader_.geometry.sectorsPerRecord;
    const Wide base = p.base, spc = p.sectorsPerCluster;
    Wide before = 0, cluster = 0;
    auto sector = [](Wide at) { return at >= 0 && at <= Wide{UINT64_MAX - 1} ? static_cast<uint64_t>(at) : UINT64_MAX; };
    for (const FileRun& run : p.runs) {
        cluster += run.lcnDelta;
        const Wide length = Wide{run.clusterCount} * spc;
        if (run.clusterCount == 0) return sector(base + cluster * spc + wanted);
        if (wanted >= before && wanted < before + length) return sector(base + cluster * spc + (wanted - before));
        before += length;
    }
    return p.base;
}

uint32_t CProfessionalNtfsRecovery::Climb(uint32_t parent, const Placement& placement) {
    uint32_t level = 0;
    std::unordered_set<uint32_t> visited;
    std::vector<uint8_t> buffer;
    while (parent != kRootRecord && visited.insert(parent).second) {
        if (queued_.insert(parent).second)
            folderQueue_.push_back({parent, placement.sectorsPerCluster, placement.base, placement.runs});
        ++level;
        if (reader_.ReadMftRecord(MapRecord(parent, placement), buffer) != kOk) break;
        const ByteView record(buffer);
        if (!HasRecordSignature(record)) break;
        ApplyFixups(buffer, reader_.geometry.recordSize);
        const uint32_t size = reader_.geometry.recordSize;
        if ((record.le16(kRecordFlags) & kRecordIsDirectory) == 0 || record.le32(kRecordNumber) != parent ||
            record.le16(kRecordFirstAttribute) >= size || record.le32(kRecordBytesInUse) >= size ||
            record.le32(kRecordBytesInUse) < record.le16(kRecordFirstAttribute))
            break;
        bool found = FirstNamedParent(record, record.le32(kRecordBytesInUse), parent);
        std::vector<uint8_t> extension;
        if (!found && NameExtension(record, placement, extension)) {
            const ByteView moved(extension);
            found = FirstNamedParent(moved, std::min<size_t>(moved.le32(kRecordBytesInUse), size), parent);
        }
        if (!found) break;
    }
    return level;
}

bool CProfessionalNtfsRecovery::NameExtension(ByteView record, const Placement& placement,
                                              std::vector<uint8_t>& extension) const {
    const ListFollower follow{[this, placement](uint64_t number) { return MapRecord(number, placement); },
                              placement.base, placement.sectorsPerCluster};
    return ReadNameExtension(reader_, record, follow, extension);
}

ListFollower CProfessionalNtfsRecovery::FollowerFor(const ScanRecord& record) const {
    const uint32_t bps = reader_.geometry.bytesPerSector;
    const uint32_t spc = std::max<uint32_t>(1, record.clusterBytes / bps);
    const Placement placement = RecordBase(record.fsId, record.entrySector, spc);
    return {[this, placement](uint64_t number) { return MapRecord(number, placement); }, placement.base, spc};
}

NtfsDataReader CProfessionalNtfsRecovery::DataOf(const ScanRecord& record) const {
    return NtfsDataReader::ForFormerVolume(reader_, record.entrySector, record.partitionStart, record.clusterBytes,
                                           FollowerFor(record), std::string(DataStreamOf(record)));
}

int CProfessionalNtfsRecovery::ProcessFoundRecord(std::span<const uint8_t> bytes, uint64_t sector) {
    if (!log_) return kErrInvalidHandle;
    const uint32_t size = reader_.geometry.recordSize;
    std::vector<uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<long>(std::min<size_t>(bytes.size(), size)));
    copy.resize(size, 0);
    const ByteView record(copy);
    if (!HasRecordSignature(record)) return kErrNotMftRecord;
    ApplyFixups(copy, size);
    if (!SaneHeader(record)) return kErrInvalidParameter;
    const uint32_t number = record.le32(kRecordNumber);
    if (number == kMftRecord) {
        // A former volume's $MFT: its runs place the records of that volume.
        bool isMft = false;
        WalkAttributes(record, record.le32(kRecordBytesInUse), [&](const AttributeRef& a) {
            if (a.type != kAttrFileName) return true;
            const ByteView value = FileNameValue(a);
            isMft = !value.empty() && AsciiLower(NameOf(value)) == "$mft";
            return false;
        });
        std::vector<FileRun> runs;
        if (isMft && FormerMftRuns(sector, clusterGuess_, runs) == kOk) mftCatalogue_[sector] = std::move(runs);
        return kOk;
    }
    if (number <= kLastSystemRecord) return kOk;
    // An extension record is part of its base record's file, not a file of its own.
    if ((record.le64(kRecordBaseReference) & 0xFFFFFFFFFFFF) != 0) return kOk;
    EstimateClusterSize(record);
    AddRecord(copy, sector, RecordBase(number, sector, clusterGuess_), false);
    return kOk;
}

bool CProfessionalNtfsRecovery::AddRecord(std::span<uint8_t> bytes, uint64_t sector, const Placement& placement,
                                          bool asFolder) {
    const ByteView record(bytes.data(), bytes.size());
    const uint32_t number = record.le32(kRecordNumber);
    if (number <= kLastSystemRecord) return false;
    ScanRecord found{};
    std::string firstName;
    uint32_t parent = 0;
    if (!ReadFileIdentity(record, found, firstName, parent)) {
        // A record with a long attribute list may keep its name in an extension record.
        std::vector<uint8_t> extension;
        if (!NameExtension(record, placement, extension) || !ReadFileIdentity(ByteView(extension), found, firstName, parent))
            return false;
        const ListFollower follow{[this, placement](uint64_t n) { return MapRecord(n, placement); }, placement.base,
                                  placement.sectorsPerCluster};
        DataAttribute data;
        if (!asFolder && ReadDataAttribute(reader_, sector, reader_.geometry.recordSize, &follow, data) == kOk)
            found.fileSize = data.dataSize;
    }
    // The volume's own files under $Extend (its journal of changes, its quotas, its object
    // ids) are no user's files: written out they are empty or meaningless.
    if (parent == kExtendRecord) return false;
    const uint32_t level = Climb(parent, placement);
    found.driveLetter = driveLetter_;
    found.engineKind = NtfsFormatted;
    found.isFolder = asFolder ? 1 : 0;
    found.fsId = number;
    found.clusterBytes = placement.sectorsPerCluster * reader_.geometry.bytesPerSector;
    found.entrySector = sector;
    found.partitionStart = placement.base;
    if (asFolder)
        found.contentOk = 1;
    else if (RecordDataEncrypted(record, std::min<size_t>(record.le32(kRecordBytesInUse), reader_.geometry.recordSize)))
        found.contentOk = kContentEncrypted;
    else
        found.contentOk = ContentCheck(found);
    const uint32_t recordId = log_.get()->AppendCopy(found);
    log_.get()->LinkRecord(parent, level, recordId, number, asFolder ? &firstName : nullptr);
    const ListFollower follow{[this, placement](uint64_t n) { return MapRecord(n, placement); }, placement.base,
                              placement.sectorsPerCluster};
    AppendStreamRecords(*log_.get(), reader_,
                        record.sub(0, std::min<size_t>(record.le32(kRecordBytesInUse), reader_.geometry.recordSize)),
                        follow, found, parent, level);
    return true;
}

void CProfessionalNtfsRecovery::AddLostFolder(uint32_t number) {
    ScanRecord folder{};
    folder.driveLetter = driveLetter_;
    folder.engineKind = NtfsFormatted;
    folder.clusterBytes = clusterGuess_ * reader_.geometry.bytesPerSector;
    AppendLostFolder(*log_.get(), folder, number);
}

int CProfessionalNtfsRecovery::ReportQueuedFolders() {
    if (!log_) return kErrInvalidHandle;
    std::vector<uint8_t> buffer;
    for (size_t i = 0; i < folderQueue_.size(); ++i) {
        const FolderEntry entry = folderQueue_[i];  // the queue grows while it is walked
        const Placement placement{entry.base, entry.sectorsPerCluster, entry.runs};
        const uint64_t sector = MapRecord(entry.number, placement);
        if (int rc = reader_.ReadMftRecord(sector, buffer); rc != kOk) return rc;
        const ByteView record(buffer);
        if (!HasRecordSignature(record)) {
            AddLostFolder(entry.number);
            continue;
        }
        ApplyFixups(buffer, reader_.geometry.recordSize);
        if ((record.le16(kRecordFlags) & kRecordIsDirectory) == 0) {
            AddLostFolder(entry.number);
            continue;
        }
        if (!SaneHeader(record)) continue;
        // A folder whose name cannot be read still keeps its files together.
        if (!AddRecord(std::span<uint8_t>(buffer.data(), reader_.geometry.recordSize), sector, placement, true) &&
            entry.number > kLastSystemRecord)
            AddLostFolder(entry.number);
    }
    return log_.get()->Flush();
}

uint64_t CProfessionalNtfsRecovery::DataStartSector(const ScanRecord& record) {
    std::vector<FileRun> runs;
    if (MftRunsAt(record.entrySector, runs) != kOk || runs.empty()) return 0;
    const int64_t sector = static_cast<int64_t>(record.partitionStart) +
                           runs[0].lcnDelta * int64_t{record.clusterBytes} / reader_.geometry.bytesPerSector;
    return sector > 0 ? static_cast<uint64_t>(sector) : 0;
}

uint32_t CProfessionalNtfsRecovery::ContentCheck(const ScanRecord& record) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    std::vector<uint8_t> buffer;
    if (reader_.ReadMftRecord(record.entrySector, buffer) != kOk) return 1;
    ApplyFixups(buffer, reader_.geometry.recordSize);
    bool resident = false;
    uint32_t result = 1;
    WalkAttributes(ByteView(buffer), reader_.geometry.recordSize, [&](const AttributeRef& a) {
        if (a.type != kAttrData) return true;
        if (a.NonResident()) return false;
        resident = true;
        const uint16_t offset = a.bytes.le16(kAttrValueOffset);
        const ByteView data = a.bytes.from(offset);
        if (data.empty() || offset >= a.Length())
            result = 0;
        else if (!extension.empty() && carve::SignatureMatchesExtension(data, extension, contentContext_, 0) == 0)
            result = 0;
        return false;
    });
    if (resident || extension.empty()) return result;
    // Compressed data, or data that begins with a hole, is checked as the file reads.
    auto data = DataOf(record);
    const std::vector<uint8_t> content = FirstContentBytes(data);
    if (!content.empty()) {
        const ByteView first = ByteView(content).sub(0, reader_.geometry.bytesPerSector);
        return carve::SignatureMatchesExtension(first, extension, contentContext_, 0) == 0 ? 0 : 1;
    }
    const uint64_t sector = DataStartSector(record);
    return sector == 0 ? 1 : ContentAt(sector, reader_.geometry.bytesPerSector, extension);
}

int CProfessionalNtfsRecovery::CountFiles(const ScanRecord* folder, int depth, int& count) {
    count = 0;
    return log_.CountFiles(folder, depth, kRootKey, count);
}


}  // namespace kestrune
