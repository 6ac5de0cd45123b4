#include "engines/ntfs/ntfs_data.h"

#include <algorithm>
#include <cstring>

#include "base/result_codes.h"
#include "engines/ntfs/lznt1.h"

namespace kestrune {

using namespace ntfs;

namespace {

// NTFS units are 16 clusters of at most 4 KiB; anything past these is not a unit.
constexpr uint8_t kLargestUnitShift = 8;
constexpr uint64_t kLargestUnitBytes = 4u << 20;

}  // namespace

NtfsDataReader::NtfsDataReader(const NtfsReader& reader, uint64_t entrySector, std::string stream)
    : reader_(reader), entrySector_(entrySector), stream_(std::move(stream)) {}

NtfsDataReader NtfsDataReader::ForFormerVolume(const NtfsReader& reader, uint64_t entrySector, uint64_t volumeStart,
                                               uint32_t clusterBytes, ListFollower follow, std::string stream) {
    NtfsDataReader data(reader, entrySector, std::move(stream));
    data.formerVolume_ = true;
    data.volumeStart_ = volumeStart;
    data.clusterBytes_ = clusterBytes;
    data.formerFollow_ = std::move(follow);
    return data;
}

uint64_t NtfsDataReader::ClusterBytes() const {
    if (!formerVolume_) return reader_.geometry.clusterBytes;
    const uint32_t bps = reader_.geometry.bytesPerSector;
    return std::max<uint64_t>(1, clusterBytes_ / bps) * bps;
}

int NtfsDataReader::Prepare() {
    if (prepared_) return prepareResult_;
    prepared_ = true;
    const NtfsVolumeGeometry& g = reader_.geometry;
    ListFollower follow{[this](uint64_t number) { return reader_.RecordSector(number); }, g.partitionStart,
                        g.sectorsPerCluster};
    const ListFollower* through = formerVolume_ ? (formerFollow_.locate ? &formerFollow_ : nullptr) : &follow;
    prepareResult_ =
        ReadDataAttribute(reader_, entrySector_, formerVolume_ ? g.recordSize : kRecordReadBytes, through, data_, {},
                          stream_);
    // Resident data longer than a record cannot have come from one.
    if (prepareResult_ == kOk && data_.resident && !data_.runsWhole) prepareResult_ = kErrInvalidParameter;
    return prepareResult_;
}

uint64_t NtfsDataReader::StoredSize() const {
    if (data_.resident) return data_.residentBytes.size();
    return std::min(data_.allocatedSize, data_.ClustersCovered() * ClusterBytes());
}

int NtfsDataReader::ReadPiece(std::vector<uint8_t>& piece) {
    piece.clear();
    if (int rc = Prepare(); rc != kOk) return rc;
    if (data_.Encrypted() && !storedBytes_) return kErrFileEncrypted;
    if (data_.resident) {
        if (!residentDelivered_) piece = data_.residentBytes;
        residentDelivered_ = true;
        return kOk;
    }
    if (data_.Compressed() && !storedBytes_) return ReadCompressionUnit(piece);
    return ReadRuns(piece);
}

size_t NtfsDataReader::RunAt(uint64_t vcn) const {
    const auto& runs = data_.runs;
    auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](uint64_t v, const DataRun& r) { return v < r.vcn; });
    if (it == runs.begin()) return runs.size();
    --it;
    return vcn < it->vcn + it->clusters ? static_cast<size_t>(it - runs.begin()) : runs.size();
}

int NtfsDataReader::EndOfRuns() const {
    if (storedBytes_) return kOk;
    return produced_ >= data_.dataSize ? kOk : kErrFileCorrupt;
}

int NtfsDataReader::Map(uint64_t fileSize, DataMap& map) {
    if (int rc = Prepare(); rc != kOk) return rc;
    if (data_.resident || data_.Compressed() || data_.Encrypted()) return kErrNotSupported;
    const NtfsVolumeGeometry& g = reader_.geometry;
    const uint64_t clusterBytes = ClusterBytes();
    const uint64_t start = (formerVolume_ ? volumeStart_ : g.partitionStart) * g.bytesPerSector;
    for (const DataRun& run : data_.runs) {
        if (run.sparse) continue;
        if (!AddMappedBytes(map, fileSize, run.vcn * clusterBytes, start + run.lcn * clusterBytes,
                            run.clusters * clusterBytes))
            break;
    }
    return kOk;
}

int NtfsDataReader::ReadClusters(uint64_t lcn, uint64_t count, uint8_t* out) const {
    const NtfsVolumeGeometry& g = reader_.geometry;
    const uint64_t spc = ClusterBytes() / g.bytesPerSector;
    const uint64_t start = formerVolume_ ? volumeStart_ : g.partitionStart;
    const uint64_t sectors = count * spc;
    if (sectors > UINT32_MAX) return kErrInvalidParameter;
    uint32_t read = 0;
    const int rc = ReadSectors(static_cast<uint32_t>(sectors), *reader_.source, out, start + lcn * spc,
                               static_cast<int>(g.bytesPerSector), read);
    if (rc != kOk) return rc;
    return read == sectors ? kOk : kErrReadFault;
}

int NtfsDataReader::ReadRuns(std::vector<uint8_t>& piece) {
    const size_t index = RunAt(nextVcn_);
    if (index == data_.runs.size()) return EndOfRuns();
    const DataRun& run = data_.runs[index];
    const uint64_t clusterBytes = ClusterBytes();
    const uint64_t perPiece = std::max<uint64_t>(1, kReadPieceBytes / clusterBytes);
    const uint64_t count = std::min(perPiece, run.vcn + run.clusters - nextVcn_);
    piece.assign(static_cast<size_t>(count * clusterBytes), 0);
    // A sparse run holds no clusters: its zeros are written without reading the volume.
    if (!run.sparse) {
        if (int rc = ReadClusters(run.lcn + (nextVcn_ - run.vcn), count, piece.data()); rc != kOk) {
            piece.clear();
            return rc;
        }
    }
    // What lies past the initialized size was never written: the file reads zeros there.
    if (!storedBytes_ && produced_ + piece.size() > data_.initializedSize) {
        const uint64_t keep = data_.initializedSize > produced_ ? data_.initializedSize - produced_ : 0;
        std::fill(piece.begin() + static_cast<long>(keep), piece.end(), uint8_t{0});
    }
    nextVcn_ += count;
    produced_ += piece.size();
    return kOk;
}

int NtfsDataReader::ReadCompressionUnit(std::vector<uint8_t>& piece) {
    if ((data_.flags & kAttrCompressionMask) != kAttrCompressedLznt1) return kErrUnsupportedCompression;
    const uint8_t shift = data_.compressionUnit;
    const uint64_t clusterBytes = ClusterBytes();
    if (shift == 0 || shift > kLargestUnitShift || (clusterBytes << shift) > kLargestUnitBytes) return kErrFileCorrupt;
    const uint64_t unitClusters = uint64_t{1} << shift;
    if (nextVcn_ >= data_.ClustersCovered()) return EndOfRuns();
    // The unit's clusters: those stored on the volume come first, then a sparse tail.
    std::vector<uint8_t> stored;
    uint64_t storedClusters = 0, holeClusters = 0;
    for (uint64_t vcn = nextVcn_; vcn < nextVcn_ + unitClusters;) {
        const size_t index = RunAt(vcn);
        if (index == data_.runs.size()) {
            // Runs ending inside a unit leave it short; only a whole list may do that.
            if (!data_.runsWhole) return kErrFileCorrupt;
            holeClusters += nextVcn_ + unitClusters - vcn;
            break;
        }
        const DataRun& run = data_.runs[index];
        const uint64_t count = std::min(run.vcn + run.clusters, nextVcn_ + unitClusters) - vcn;
        if (run.sparse) {
            holeClusters += count;
        } else {
            if (holeClusters) return kErrFileCorrupt;  // stored clusters after the hole
            stored.resize(static_cast<size_t>((storedClusters + count) * clusterBytes));
            if (int rc = ReadClusters(run.lcn + (vcn - run.vcn), count, stored.data() + storedClusters * clusterBytes);
                rc != kOk)
                return rc;
            storedClusters += count;
        }
        vcn += count;
    }
    piece.assign(static_cast<size_t>(unitClusters * clusterBytes), 0);
    if (storedClusters == unitClusters) {
        // A unit that did not shrink is kept as it was.
        std::memcpy(piece.data(), stored.data(), piece.size());
    } else if (storedClusters > 0 && !DecompressLznt1Unit(ByteView(stored), piece)) {
        piece.clear();
        return kErrFileCorrupt;
    }
    nextVcn_ += unitClusters;
    produced_ += piece.size();
    return kOk;
}

int WriteNtfsFile(NtfsDataReader& data, uint64_t fileSize, const std::filesystem::path& target,
                  const CopyProgress& progress, const ReadAround* around) {
    if (data.Prepare() == kOk && data.Encrypted()) {
        data.DeliverStoredBytes();
        std::filesystem::path stored = target;
        stored += kEncryptedDataSuffix;
        const int rc = WriteFoundFile(data, data.StoredSize(), stored, progress);
        return rc == kOk ? kErrFileEncrypted : rc;
    }
    return WriteFoundFile(data, fileSize, target, progress, around);
}

std::vector<uint8_t> FirstContentBytes(NtfsDataReader& data) {
    std::vector<uint8_t> piece;
    if (data.Prepare() != kOk || !data.NeedsTranslation()) return piece;
    if (data.ReadPiece(piece) != kOk) piece.clear();
    return piece;
}

}  // namespace kestrune
