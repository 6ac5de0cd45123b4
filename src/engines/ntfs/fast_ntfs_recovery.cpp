#include "engines/ntfs/fast_ntfs_recovery.h"

#include <algorithm>
#include <cstring>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "engines/boot_classifier.h"
#include "engines/carve/signature_table.h"
#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_data.h"
#include "engines/ntfs/stream_records.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

using namespace ntfs;

namespace {

constexpr uint32_t kRecordsPerChunk = 1024;
constexpr uint32_t kNoClusterSize = 0xFFFFFFFF;
const ParentKey kRootKey = MakeParentKey(0, kRootRecord);

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() = default;

int CFastNtfsRecovery::Attach(const EngineArea& area) {
    std::vector<uint8_t> boot;
    if (int rc = ReadVolumeStart(source_, area.start * area.sectorBytes, boot); rc != kOk) return rc;
    if (!reader_.geometry.FromBootSector(ByteView(boot), area.start, area.sectors)) return kErrInvalidData;
    const NtfsVolumeGeometry& g = reader_.geometry;
    // One chunk of records, and room for the start of a record carried over from the run before.
    scanBuffer_.assign(size_t{g.recordSize} * (kRecordsPerChunk + 1), 0);
    contentContext_.sectorSize = g.bytesPerSector;
    // Every run of the MFT, through its attribute list when it has one: a volume in use
    // for a while has its MFT in many pieces.
    if (LoadMftRuns(reader_) != kOk || reader_.geometry.mftRuns.empty()) {
        std::vector<FileRun> runs;
        reader_.FindAttributeRuns(g.mftStartSector, kAttrData, runs);
        reader_.geometry.mftRuns = std::move(runs);
    }
    return kOk;
}

ParentKey CFastNtfsRecovery::RootKey() const { return kRootKey; }

int CFastNtfsRecovery::Scan(const std::string* logName) {
    folderQueue_.clear();
    queued_.clear();
    orphanFolderWritten_ = false;
    log_.Reset();
    if (logName) return log_.Open(*logName, false);
    if (!source_.IsOpen() || reader_.geometry.clusterBytes == 0) return kErrInvalidHandle;
    if (int rc = log_.Open(MakeLogName(kQuickLogPrefix, reader_.geometry.partitionStart), true); rc != kOk)
        return rc;
    int result = ScanRecords();
    if (result == kOk) {
        ScanFolders();
        result = ReportProgress(100);
    }
    // Records lost to a failed write are an error even when the scan itself went well.
    if (int rc = log_.get()->Flush(); rc != kOk && result == kOk) result = rc;
    return result;
}

int CFastNtfsRecovery::ReportProgress(int percent) {
    return reporter_.Scanned(percent, secondsRemaining_);
}

int CFastNtfsRecovery::ScanRecords() {
    const NtfsVolumeGeometry& g = reader_.geometry;
    uint64_t total = 0;
    for (const FileRun& run : g.mftRuns) total += run.clusterCount * g.sectorsPerCluster;
    uint64_t done = 0;
    secondsRemaining_ = -1;
    const uint64_t started = SteadyMilliseconds();
    uint64_t lastEstimate = started;
    const uint64_t chunkSectors = uint64_t{g.recordSize} * kRecordsPerChunk / g.bytesPerSector;
    // The MFT is one stream of records across its runs: a record cut by the end of a run
    // (clusters smaller than a record) is completed from the next run before it is read.
    size_t carried = 0;
    int64_t cluster = 0;
    for (const FileRun& run : g.mftRuns) {
        cluster += run.lcnDelta;
        const uint64_t first = g.partitionStart + static_cast<uint64_t>(cluster) * g.sectorsPerCluster;
        const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
        for (uint64_t offset = 0; offset < runSectors;) {
            // A source cut short (an image that stopped, a copy of a failing disk) ends the
            // MFT where it ends: the records before are still read.
            if (first + offset >= source_.totalSectors) return kOk;
            const uint32_t count = static_cast<uint32_t>(
                std::min({chunkSectors, runSectors - offset, source_.totalSectors - (first + offset)}));
            uint32_t read = 0;
            if (int rc = ReadSectors(count, source_, scanBuffer_.data() + carried, first + offset,
                                     static_cast<int>(g.bytesPerSector), read);
                rc != kOk)
                return rc;
            const size_t bytes = carried + size_t{read} * g.bytesPerSector;
            const size_t records = bytes / g.recordSize;
            for (size_t i = 0; i < records; ++i)
                ExamineRecord(std::span<uint8_t>(scanBuffer_.data() + i * g.recordSize, g.recordSize), false);
            carried = bytes - records * g.recordSize;
            if (carried) std::memmove(scanBuffer_.data(), scanBuffer_.data() + records * g.recordSize, carried);
            offset += count;
            done += count;
            const uint64_t now = SteadyMilliseconds();
            if (now - lastEstimate >= 5000) {
                const uint64_t elapsed = (now - started) / 1000;
                uint64_t speed = elapsed ? done * g.bytesPerSector / elapsed : 0;
                if (speed == 0) speed = 1;
                secondsRemaining_ = static_cast<int>(std::min<uint64_t>((total - done) * g.bytesPerSector / speed, INT32_MAX));
                lastEstimate = now;
            }
            if (int stop = ReportProgress(static_cast<int>(total ? done * 100 / total : 100)); stop != 0) return stop;
        }
    }
    return kOk;
}

bool CFastNtfsRecovery::ExamineRecord(std::span<uint8_t> bytes, bool asFolder) {
    const ByteView record(bytes.data(), bytes.size());
    // A folder, or a file in use unless existing files are wanted too.
    const uint16_t flags = record.le16(kRecordFlags);
    const bool existing = !asFolder && flags == kRecordInUse;
    if (!asFolder && flags != 0 && !(existing && listExisting_)) return false;
    if (!HasRecordSignature(record)) return false;
    ApplyFixups(bytes, reader_.geometry.recordSize);
    const uint32_t number = record.le32(kRecordNumber);
    if (number <= kLastSystemRecord) return false;
    // An extension record is part of its base record's file, not a file of its own.
    if ((record.le64(kRecordBaseReference) & 0xFFFFFFFFFFFF) != 0) return false;

    ScanRecord found{};
    std::string firstName;
    uint32_t parent = 0;
    const NtfsVolumeGeometry& g = reader_.geometry;
    if (!ReadFileIdentity(record, found, firstName, parent)) {
        // A record with a long attribute list may keep its name in an extension record.
        std::vector<uint8_t> extension;
        const bool named = ReadNameExtension(reader_, record, ListFollowerOf(), extension) &&
                           ReadFileIdentity(ByteView(extension), found, firstName, parent);
        DataAttribute data;
        const ListFollower follow = ListFollowerOf();
        const bool hasData =
            !asFolder && ReadDataAttribute(reader_, reader_.RecordSector(number), kRecordReadBytes, &follow, data) == kOk;
        // ntfs-3g takes a deleted file's names out of its extension records: the base
        // record still holds its times and its data, an orphan without a name.
        if (!named) return !existing && hasData && AddOrphan(record, number, data);
        if (hasData) found.fileSize = data.dataSize;
    }

    // The volume's own files under $Extend (its journal of changes, its quotas) are no
    // user's files.
    if (existing && parent == kExtendRecord) return false;
    if (existing) found.folderDeleted |= kExistingFile;
    const uint32_t level = ClimbParents(parent);
    found.driveLetter = driveLetter_;
    found.engineKind = NtfsQuick;
    found.isFolder = asFolder ? 1 : 0;
    found.fsId = number;
    found.clusterBytes = g.clusterBytes;
    found.entrySector = reader_.RecordSector(number);
    found.partitionStart = g.partitionStart;
    // Checked once the whole record is read, so the check sees the long (Win32) name.
    if (asFolder)
        found.contentOk = 1;
    else if (RecordDataEncrypted(record, std::min<size_t>(record.le32(kRecordBytesInUse), g.recordSize)))
        found.contentOk = kContentEncrypted;
    else
        found.contentOk = ContentCheck(record.sub(0, g.recordSize), found.entrySector, RecordName(found));
    const uint32_t recordId = log_.get()->AppendCopy(found);
    log_.get()->LinkRecord(parent, level, recordId, number, asFolder ? &firstName : nullptr);
    AppendStreamRecords(*log_.get(), reader_,
                        record.sub(0, std::min<size_t>(record.le32(kRecordBytesInUse), g.recordSize)),
                        ListFollowerOf(), found, parent, level);
    return true;
}

uint32_t CFastNtfsRecovery::ClimbParents(uint32_t parent) {
    uint32_t level = 0;
    std::unordered_set<uint32_t> visited;
    std::vector<uint8_t> buffer;
    while (parent != kRootRecord && visited.insert(parent).second) {
        if (queued_.insert(parent).second) folderQueue_.push_back(parent);
        ++level;
        if (reader_.ReadMftRecord(reader_.RecordSector(parent), buffer) != kOk) break;
        const ByteView record(buffer);
        if (!HasRecordSignature(record)) break;
        ApplyFixups(buffer, reader_.geometry.recordSize);
        if ((record.le16(kRecordFlags) & kRecordIsDirectory) == 0) break;
        const size_t size = reader_.geometry.recordSize;
        bool found = FirstNamedParent(record, std::min<size_t>(record.le32(kRecordBytesInUse), size), parent);
        std::vector<uint8_t> extension;
        if (!found && ReadNameExtension(reader_, record, ListFollowerOf(), extension)) {
            const ByteView moved(extension);
            found = FirstNamedParent(moved, std::min<size_t>(moved.le32(kRecordBytesInUse), size), parent);
        }
        if (!found) break;
    }
    return level;
}

int CFastNtfsRecovery::ScanFolders() {
    std::vector<uint8_t> buffer;
    // The queue may grow while it is walked: folders above folders.
    for (size_t i = 0; i < folderQueue_.size(); ++i) {
        const uint32_t folder = folderQueue_[i];
        if (reader_.ReadMftRecord(reader_.RecordSector(folder), buffer) != kOk) continue;
        const ByteView record(buffer);
        if (!HasRecordSignature(record)) {
            AddLostFolder(folder);
            continue;
        }
        ApplyFixups(buffer, reader_.geometry.recordSize);
        if ((record.le16(kRecordFlags) & kRecordIsDirectory) == 0) {
            // The record was reused by a file: its files keep a folder of their own.
            AddLostFolder(record.le32(kRecordNumber));
            continue;
        }
        // A folder whose name cannot be read still keeps its files together.
        if (!ExamineRecord(std::span<uint8_t>(buffer.data(), reader_.geometry.recordSize), true) &&
            folder > kLastSystemRecord)
            AddLostFolder(folder);
    }
    return kOk;
}

bool CFastNtfsRecovery::AddOrphan(ByteView record, uint32_t number, const DataAttribute& data) {
    const NtfsVolumeGeometry& g = reader_.geometry;
    ScanRecord found{};
    found.driveLetter = driveLetter_;
    found.engineKind = NtfsQuick;
    found.fsId = number;
    found.clusterBytes = g.clusterBytes;
    found.entrySector = reader_.RecordSector(number);
    found.partitionStart = g.partitionStart;
    found.fileSize = data.dataSize;
    WalkAttributes(record, std::min<size_t>(record.le32(kRecordBytesInUse), g.recordSize), [&](const AttributeRef& a) {
        if (a.type != kAttrStandardInformation || a.NonResident()) return true;
        const ByteView times = a.ResidentValue();
        found.createTime = times.le64(0);
        found.writeTime = times.le64(8);
        found.accessTime = times.le64(24);
        return false;
    });
    // Named by its record, as The Sleuth Kit names orphans, with the extension of the type
    // its first sector shows, so that it is filed and previewed as what it is.
    std::string name = "OrphanFile-" + std::to_string(number);
    std::vector<uint8_t> first(g.bytesPerSector);
    uint32_t read = 0;
    const uint64_t sector =
        data.resident || data.runs.empty() || data.runs[0].sparse ? 0 : g.partitionStart + data.runs[0].lcn * g.sectorsPerCluster;
    if (data.resident)
        std::copy_n(data.residentBytes.begin(), std::min(data.residentBytes.size(), first.size()), first.begin());
    if (data.resident ||
        (sector && ReadSectors(1, source_, first.data(), sector, static_cast<int>(g.bytesPerSector), read) == kOk)) {
        contentContext_.position = sector;
        const carve::SignatureRow* row = carve::RowForType(carve::DetectType(ByteView(first), contentContext_));
        if (row && !row->extension.empty())
            name += "." + std::string(row->extension);
        else if (carve::LooksLikeText(ByteView(first).sub(0, static_cast<size_t>(std::min<uint64_t>(first.size(), data.dataSize)))))
            name += ".txt";
    }
    SetRecordName(found, name);
    found.contentOk = data.Encrypted() ? kContentEncrypted : 1;
    if (!orphanFolderWritten_) {
        ScanRecord folder{};
        folder.driveLetter = driveLetter_;
        folder.engineKind = NtfsQuick;
        folder.clusterBytes = kNoClusterSize;
        folder.isFolder = 1;
        folder.contentOk = 1;
        folder.fsId = kOrphanFolderKey;
        const std::string folderName = "$OrphanFiles";
        SetRecordName(folder, folderName);
        log_.get()->LinkRecord(kRootRecord, 0, log_.get()->AppendCopy(folder), kOrphanFolderKey, &folderName);
        orphanFolderWritten_ = true;
    }
    const uint32_t recordId = log_.get()->AppendCopy(found);
    log_.get()->LinkRecord(kOrphanFolderKey, 1, recordId, number, nullptr);
    AppendStreamRecords(*log_.get(), reader_, record.sub(0, std::min<size_t>(record.le32(kRecordBytesInUse), g.recordSize)),
                        ListFollowerOf(), found, kOrphanFolderKey, 1);
    return true;
}

void CFastNtfsRecovery::AddLostFolder(uint32_t number) {
    ScanRecord folder{};
    folder.driveLetter = driveLetter_;
    folder.engineKind = NtfsQuick;
    folder.clusterBytes = kNoClusterSize;
    AppendLostFolder(*log_.get(), folder, number);
}

uint32_t CFastNtfsRecovery::ContentCheck(ByteView record, uint64_t entrySector, std::string_view name) {
    const std::string_view extension = ExtensionOf(name);
    bool resident = false;
    uint32_t result = 1;
    // The record is at hand, fixed up: only the data is read from the volume.
    WalkAttributes(record, record.size(), [&](const AttributeRef& a) {
        if (a.type != kAttrData) return true;
        if (a.NonResident()) return false;
        resident = true;
        const uint16_t offset = a.bytes.le16(kAttrValueOffset);
        const ByteView data = a.bytes.from(offset);
        if (a.bytes.le32(kAttrValueLength) == 0 && offset <= a.Length())
            // An empty file lost nothing, unless its name promises a signature.
            result = extension.empty() || !carve::RowForExtension(extension) ? 1 : 0;
        else if (data.empty() || offset >= a.Length())
            result = 0;
        else if (!extension.empty() && carve::SignatureMatchesExtension(data, extension, contentContext_, 0) == 0)
            result = 0;
        return false;
    });
    // An extension no signature belongs to passes without a read.
    if (resident || extension.empty() || !carve::RowForExtension(extension)) return result;
    NtfsDataReader data(reader_, entrySector);
    if (data.Prepare() != kOk) return 1;
    // Compressed data, or data that begins with a hole, is checked as the file reads.
    const std::vector<uint8_t> content = FirstContentBytes(data);
    if (!content.empty()) {
        const ByteView first = ByteView(content).sub(0, reader_.geometry.bytesPerSector);
        return carve::SignatureMatchesExtension(first, extension, contentContext_, 0) == 0 ? 0 : 1;
    }
    const DataAttribute& attribute = data.Attribute();
    if (attribute.resident || attribute.runs.empty() || attribute.runs[0].sparse) return 1;
    const NtfsVolumeGeometry& g = reader_.geometry;
    const uint64_t sector = g.partitionStart + attribute.runs[0].lcn * g.sectorsPerCluster;
    return sector == 0 ? 1 : ContentAt(sector, g.bytesPerSector, extension);
}

ListFollower CFastNtfsRecovery::ListFollowerOf() const {
    const NtfsVolumeGeometry& g = reader_.geometry;
    return {[this](uint64_t number) { return reader_.RecordSector(number); }, g.partitionStart, g.sectorsPerCluster};
}

uint64_t CFastNtfsRecovery::FirstDataSector(uint64_t entrySector) const {
    // The whole run list: FindAttributeRuns gives nothing for an attribute of 512 bytes or more.
    DataAttribute data;
    const ListFollower follow = ListFollowerOf();
    if (ReadDataAttribute(reader_, entrySector, kRecordReadBytes, &follow, data) != kOk || data.runs.empty() ||
        data.runs[0].sparse)
        return 0;
    const NtfsVolumeGeometry& g = reader_.geometry;
    return g.partitionStart + data.runs[0].lcn * g.sectorsPerCluster;
}

uint64_t CFastNtfsRecovery::DataStartSector(const ScanRecord& record) {
    return FirstDataSector(record.entrySector);
}

NtfsDataReader CFastNtfsRecovery::DataOf(const ScanRecord& record) const {
    return NtfsDataReader(reader_, record.entrySector, std::string(DataStreamOf(record)));
}

int CFastNtfsRecovery::BuildAllocationMap() {
    const NtfsVolumeGeometry& g = reader_.geometry;
    if (g.clusterBytes == 0) return kErrInvalidHandle;
    const uint64_t bitmapSector = reader_.RecordSector(kBitmapRecord);
    std::vector<FileRun> runs;
    if (int rc = reader_.FindAttributeRuns(bitmapSector, kAttrData, runs); rc != kOk) return rc;
    std::vector<uint8_t> record;
    if (int rc = reader_.ReadMftRecord(bitmapSector, record); rc != kOk) return rc;
    ApplyFixups(record, g.recordSize);
    uint64_t dataSize = 0;
    bool found = false;
    WalkAttributes(ByteView(record), kRecordReadBytes, [&](const AttributeRef& a) {
        if (a.type != kAttrData) return true;
        found = true;
        dataSize = a.bytes.le64(kAttrDataSize);
        return false;
    });
    if (!found) return kErrInvalidParameter;
    // One bit per cluster of the volume is all a bitmap can meaningfully hold.
    const uint64_t volumeBytes = (g.volumeSectors / g.sectorsPerCluster + 7) / 8 + g.clusterBytes;
    uint64_t allocated = 0;
    for (const FileRun& run : runs) allocated += run.clusterCount * g.clusterBytes;
    allocated = std::min(allocated, (volumeBytes + g.clusterBytes - 1) / g.clusterBytes * g.clusterBytes);
    bitmap_.assign(static_cast<size_t>(allocated), 0xFF);
    size_t at = 0;
    int64_t cluster = 0;
    for (const FileRun& run : runs) {
        cluster += run.lcnDelta;
        const uint64_t first = g.partitionStart + static_cast<uint64_t>(cluster) * g.sectorsPerCluster;
        const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
        for (uint64_t done = 0; done < runSectors && at < bitmap_.size();) {
            const uint64_t room = (bitmap_.size() - at) / g.bytesPerSector;
            const uint32_t count = static_cast<uint32_t>(
                std::min<uint64_t>({runSectors - done, kReadPieceBytes / g.bytesPerSector, room}));
            if (count == 0) break;
            uint32_t read = 0;
            if (int rc = ReadSectors(count, source_, bitmap_.data() + at, first + done, static_cast<int>(g.bytesPerSector), read);
                rc != kOk) {
                bitmap_.clear();
                return rc;
            }
            at += size_t{count} * g.bytesPerSector;
            done += count;
        }
    }
    bitmap_.resize(static_cast<size_t>(std::min<uint64_t>(dataSize, bitmap_.size())));
    return kOk;
}

int CFastNtfsRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
    const NtfsVolumeGeometry& g = reader_.geometry;
    length = 0;
    if (position > g.volumeSectors) {
        position = g.volumeSectors;
        return 1;
    }
    const uint64_t spc = g.sectorsPerCluster ? g.sectorsPerCluster : 1;
    const uint64_t bits = uint64_t{bitmap_.size()} * 8;
    auto used = [this](uint64_t bit) { return (bitmap_[bit / 8] >> (bit % 8)) & 1; };
    uint64_t cluster = position / spc;
    if (cluster / 8 < bitmap_.size()) {
        uint64_t bit = cluster;
        while (bit < bits) {
            if (bit % 8 == 0 && bitmap_[bit / 8] == 0xFF) {
                bit += 8;
                continue;
            }
            if (!used(bit)) break;
            ++bit;
        }
        if (bit < bits) {
            position += (bit - cluster) * spc;
            cluster = bit;
            uint64_t end = cluster;
            while (end < bits) {
                if (end % 8 == 0 && bitmap_[end / 8] == 0x00) {
                    end += 8;
                    continue;
                }
                if (used(end)) break;
                ++end;
            }
            length = (std::min(end, bits) - cluster) * spc;
        }
    }
    if (position >= g.volumeSectors)
        length = 0;
    else if (position + length > g.volumeSectors)
        length = g.volumeSectors - position;
    return 1;
}

}  // namespace kestrune
