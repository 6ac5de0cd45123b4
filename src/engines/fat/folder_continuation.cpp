#include "engines/fat/folder_continuation.h"

#include <fcntl.h>

#include <algorithm>

#include "disk/result_codes.h"
#include "engines/carve/structure_tests.h"

namespace kestrune {

using namespace fat;

namespace {

// FAT write times have two-second steps, and a camera may stamp a photo before the entry
// of the one taken just before it is written.
constexpr uint64_t kStampSlack = 10ULL * 10'000'000;  // 10 s in FILETIME units
constexpr size_t kMaxStems = 8;
// Bounds what a hostile volume full of entry-like clusters can make the scan hold.
constexpr size_t kMaxCandidates = 262144;
constexpr uint32_t kRunReadBytes = 64 * 1024;
constexpr uint32_t kRunReadClusterLimit = 4096;  // clusters up to this size are read in runs

bool StemsMeet(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    return n >= 2 && a.compare(0, n, b, 0, n) == 0;
}

void AddStem(std::vector<std::string>& stems, const std::string& name) {
    const std::string stem = NameStem(name);
    if (stem.empty() || stems.size() >= kMaxStems) return;
    if (std::find(stems.begin(), stems.end(), stem) == stems.end()) stems.push_back(stem);
}

bool IsFolderStart(ByteView sector) { return BeginsWithDotPair(sector); }

// One sector of each cluster is wanted, not the clusters after it: without this the
// kernel's read-ahead would read (or, in an image's holes, zero-fill) the whole volume.
class NoReadAhead {
public:
    explicit NoReadAhead(SectorSource& source) {
        if (auto* file = dynamic_cast<FileMedium*>(source.medium.get())) fd_ = file->fd();
        if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
    }
    ~NoReadAhead() {
        if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_NORMAL);
    }
    NoReadAhead(const NoReadAhead&) = delete;
    NoReadAhead& operator=(const NoReadAhead&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

uint64_t EntryStamp(ByteView e) {
    const uint64_t created = CreationTime(e);
    return created != 0 ? created : WriteTime(e);
}

std::string NameStem(const std::string& name) {
    std::string stem;
    for (size_t i = 1; i < name.size(); ++i) {
        const char c = name[i];
        if ((c >= '0' && c <= '9') || c == '~' || c == '.') break;
        stem.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return stem.size() >= 2 ? stem : std::string();
}

void FolderTrail::Note(ByteView shortEntry, const std::string& name) {
    lastStamp = std::max(lastStamp, EntryStamp(shortEntry));
    AddStem(stems, name);
}

bool ContinuationCluster::Summarise(ByteView view) {
    if (view.size() < kEntryBytes || view.u8(0) == 0) return false;
    startsWithLongName = view.u8(kEntryAttributes) == kAttrLongName;
    if (startsWithLongName) leadingChecksum = view.u8(13);
    LongNameCollector longName;
    bool leadingRun = startsWithLongName;
    bool firstShort = true;
    for (size_t at = 0; at + kEntryBytes <= view.size(); at += kEntryBytes) {
        const ByteView e = view.sub(at, kEntryBytes);
        if (e.u8(0) == 0) break;
        if (!carve::IsPlausibleFatEntry(e, view.sub(at + kEntryBytes, kEntryBytes))) {
            longName.Clear();
            leadingRun = false;
            continue;
        }
        if (e.u8(kEntryAttributes) == kAttrLongName) {
            longName.Add(e);
            continue;
        }
        const bool isFolder = (e.u8(kEntryAttributes) & kAttrDirectory) != 0;
        if (firstShort) {
            firstStamp = EntryStamp(e);
            if (!startsWithLongName) leadingChecksum = carve::ShortNameChecksum(e);
            firstShort = false;
        }
        // The name the cluster begins with started in the folder's previous cluster.
        const std::string name = longName.Pending() ? longName.Take() : ShortName(e, isFolder);
        if (!leadingRun) AddStem(stems, name);
        leadingRun = false;
    }
    return !firstShort;
}

std::vector<ContinuationCluster> FindContinuationClusters(const FatVolumeInfo& volume, FatTable& table,
                                                          SectorSource& source,
                                                          const std::vector<uint32_t>& walked) {
    std::vector<ContinuationCluster> found;
    const uint32_t bps = volume.bytesPerSector;
    const uint32_t clusterBytes = volume.ClusterBytes();
    if (bps == 0 || clusterBytes == 0 || clusterBytes > kMaxClusterBytes) return found;
    const uint64_t end = volume.partitionStart + volume.sectorCount;
    const uint64_t last = uint64_t{volume.ClusterCount()} + 2;
    auto isCandidate = [&](uint32_t n) {
        uint32_t value = 0;
        return table.Entry(n, value) && value == 0 && !std::binary_search(walked.begin(), walked.end(), n);
    };
    auto keep = [&](uint32_t n, const uint8_t* bytes) {
        ContinuationCluster c;
        c.cluster = n;
        if (c.Summarise(ByteView(bytes, clusterBytes))) found.push_back(std::move(c));
    };
    std::vector<uint8_t> buffer;
    const NoReadAhead sectorsOnly(source);
    for (uint64_t n = 2; n < last && found.size() < kMaxCandidates;) {
        if (!isCandidate(static_cast<uint32_t>(n))) {
            ++n;
            continue;
        }
        const uint64_t at = volume.ClusterSector(static_cast<uint32_t>(n));
        if (at >= end) break;
        if (clusterBytes <= kRunReadClusterLimit) {
            // Small clusters: the run of free clusters is read in pieces, a sector per
            // cluster costing as much as the whole cluster.
            uint64_t run = 1;
            const uint64_t most = kRunReadBytes / clusterBytes;
            while (run < most && n + run < last && isCandidate(static_cast<uint32_t>(n + run))) ++run;
            run = std::min<uint64_t>(run, (end - at) / volume.sectorsPerCluster);
            if (run == 0) break;
            buffer.assign(static_cast<size_t>(run) * clusterBytes, 0);
            uint32_t read = 0;
            ReadSectors(static_cast<uint32_t>(run * volume.sectorsPerCluster), source, buffer.data(), at,
                        static_cast<int>(bps), read);
            for (uint64_t k = 0; k < run && (k + 1) * volume.sectorsPerCluster <= read; ++k) {
                const uint8_t* cluster = buffer.data() + k * clusterBytes;
                const ByteView sector(cluster, bps);
                if (carve::IsFatDirectorySector(sector) && !IsFolderStart(sector)) keep(static_cast<uint32_t>(n + k), cluster);
            }
            n += run;
            continue;
        }
        buffer.assign(bps, 0);
        uint32_t read = 0;
        if (ReadSectors(1, source, buffer.data(), at, static_cast<int>(bps), read) == kOk && read == 1) {
            const ByteView sector(buffer);
            if (carve::IsFatDirectorySector(sector) && !IsFolderStart(sector) &&
                at + volume.sectorsPerCluster <= end) {
                buffer.assign(clusterBytes, 0);
                if (ReadSectors(volume.sectorsPerCluster, source, buffer.data(), at, static_cast<int>(bps), read) ==
                        kOk &&
                    read == volume.sectorsPerCluster)
                    keep(static_cast<uint32_t>(n), buffer.data());
            }
        }
        ++n;
    }
    return found;
}

bool CanContinue(const FolderTrail& trail, const ContinuationCluster& cluster) {
    if (trail.lastStamp != 0 && cluster.firstStamp != 0 && cluster.firstStamp + kStampSlack < trail.lastStamp)
        return false;
    // A long name cut by the end of the folder's cluster goes on in the next one: that
    // cluster begins with entries of the same checksum.
    if (trail.nameOpen && cluster.startsWithLongName) return cluster.leadingChecksum == trail.openChecksum;
    return true;
}

size_t BestOwner(const std::vector<const FolderTrail*>& trails, const ContinuationCluster& cluster) {
    auto openNameGoesOn = [&](const FolderTrail& t) {
        return t.nameOpen && cluster.startsWithLongName && cluster.leadingChecksum == t.openChecksum;
    };
    auto namesAlike = [&](const FolderTrail& t) {
        for (const std::string& a : t.stems)
            for (const std::string& b : cluster.stems)
                if (StemsMeet(a, b)) return true;
        return false;
    };
    auto gap = [&](const FolderTrail& t) {
        if (t.lastStamp == 0 || cluster.firstStamp == 0) return UINT64_MAX;
        return cluster.firstStamp > t.lastStamp ? cluster.firstStamp - t.lastStamp : t.lastStamp - cluster.firstStamp;
    };
    size_t best = 0;
    for (size_t i = 1; i < trails.size(); ++i) {
        const FolderTrail& a = *trails[i];
        const FolderTrail& b = *trails[best];
        const auto rank = [&](const FolderTrail& t) { return std::tuple(!openNameGoesOn(t), !namesAlike(t), gap(t)); };
        if (rank(a) < rank(b)) best = i;
    }
    return best;
}

}  // namespace kestrune
