#include "engines/fat/folder_continuation.h"

#include <fcntl.h>

#include <algorithm>

#include "base/result_codes.h"
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
        if (source.medium) fd_ = source.medium->Descriptor();
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

void FolderTrail::Note(ByteView shortEntry, const std::string& name, uint32_t clusterBytes) {
    const uint64_t stamp = EntryStamp(shortEntry);
    lastStamp = std::max(lastStamp, stamp);
    if (stamp != 0) {
        slotsReused |= stamp + kStampSlack < clusterNewest;
        clusterOldest = clusterOldest == 0 ? stamp : std::min(clusterOldest, stamp);
        clusterNewest = std::max(clusterNewest, stamp);
    }
    AddStem(stems, name);
    const uint64_t first = FirstCluster(shortEntry, true);
    const uint64_t clusters = clusterBytes ? (uint64_t{shortEntry.le32(kEntrySize)} + clusterBytes - 1) / clusterBytes : 0;
    if (first >= 2) {
        const uint64_t end = std::min<uint64_t>(UINT32_MAX, first + std::max<uint64_t>(clusters, 1));
        nextFrom = static_cast<uint32_t>(std::max<uint64_t>(nextFrom, end));
        clusterDataEnd = static_cast<uint32_t>(std::max<uint64_t>(clusterDataEnd, end));
    }
}

uint32_t FolderTrail::SearchFrom() const {
    return slotsReused || clusterDataEnd == 0 ? lastCluster + 1 : std::max(lastCluster + 1, clusterDataEnd);
}

uint64_t FolderTrail::FilledBy() const {
    // Names are appended in time order, so the last cluster holds the newest unless a
    // slot was reused; reused slots in earlier clusters do not count either.
    if (clusterNewest == 0) return lastStamp;
    return slotsReused ? clusterOldest : clusterNewest;
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
        const std::string name = EntryName(longName, e, isFolder);
        if (!leadingRun) AddStem(stems, name);
        leadingRun = false;
    }
    return !firstShort;
}

std::vector<ContinuationCluster> FindContinuationClusters(const FatVolumeInfo& volume, FatTable& table,
                                                          SectorSource& source, const std::vector<uint32_t>& walked,
                                                          uint32_t from, uint64_t freeClusters,
                                                          const std::function<bool(const ContinuationCluster&)>& until) {
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
    bool done = false;
    auto keep = [&](uint32_t n, const uint8_t* bytes) {
        ContinuationCluster c;
        c.cluster = n;
        if (!c.Summarise(ByteView(bytes, clusterBytes))) return;
        done = until && until(c);
        found.push_back(std::move(c));
    };
    std::vector<uint8_t> buffer;
    const NoReadAhead sectorsOnly(source);
    uint64_t examined = 0;
    for (uint64_t n = std::max<uint32_t>(from, 2);
         n < last && !done && found.size() < kMaxCandidates && examined < freeClusters;) {
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
            while (run < most && n + run < last && examined + run < freeClusters && isCandidate(static_cast<uint32_t>(n + run)))
                ++run;
            run = std::min<uint64_t>(run, (end - at) / volume.sectorsPerCluster);
            if (run == 0) break;
            buffer.assign(static_cast<size_t>(run) * clusterBytes, 0);
            uint32_t read = 0;
            ReadSectors(static_cast<uint32_t>(run * volume.sectorsPerCluster), source, buffer.data(), at,
                        static_cast<int>(bps), read);
            for (uint64_t k = 0; k < run && !done && (k + 1) * volume.sectorsPerCluster <= read; ++k) {
                const uint8_t* cluster = buffer.data() + k * clusterBytes;
                const ByteView sector(cluster, bps);
                if (carve::IsFatDirectorySector(sector) && !IsFolderStart(sector)) keep(static_cast<uint32_t>(n + k), cluster);
            }
            n += run;
            examined += run;
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
        ++examined;
    }
    return found;
}

bool CanContinue(const FolderTrail& trail, const ContinuationCluster& cluster) {
    // Entries are added in time order, so the next cluster's are no older than those its
    // folder held when it filled up; slots reused later only make that folder younger.
    const uint64_t filledBy = trail.FilledBy();
    if (filledBy != 0 && cluster.firstStamp != 0 && cluster.firstStamp + kStampSlack < filledBy) return false;
    // A long name cut by the end of the folder's cluster goes on in the next one: that
    // cluster begins with entries of the same checksum.
    if (trail.nameOpen && cluster.startsWithLongName) return cluster.leadingChecksum == trail.openChecksum;
    return true;
}

size_t BestOwner(const std::vector<const FolderTrail*>& trails, const ContinuationCluster& cluster) {
    auto namesAlike = [&](const FolderTrail& t) {
        for (const std::string& a : t.stems)
            for (const std::string& b : cluster.stems)
                if (StemsMeet(a, b)) return true;
        return false;
    };
    // Stamps two seconds apart are the same moment to FAT; then the folder whose own
    // files end nearest before the cluster handed it out.
    constexpr uint64_t kStampStep = 2 * 10'000'000ULL;
    auto rank = [&](const FolderTrail& t) {
        const bool openNameGoesOn = t.nameOpen && cluster.startsWithLongName && cluster.leadingChecksum == t.openChecksum;
        uint64_t gap = UINT64_MAX;
        if (t.lastStamp != 0 && cluster.firstStamp != 0)
            gap = (cluster.firstStamp > t.lastStamp ? cluster.firstStamp - t.lastStamp : t.lastStamp - cluster.firstStamp) /
                  kStampStep;
        const uint64_t distance = cluster.cluster >= t.nextFrom ? cluster.cluster - t.nextFrom : UINT64_MAX;
        return std::tuple(!openNameGoesOn, !namesAlike(t), gap, distance);
    };
    size_t best = 0;
    auto bestRank = rank(*trails[0]);
    for (size_t i = 1; i < trails.size(); ++i) {
        const auto r = rank(*trails[i]);
        if (r < bestRank) {
            best = i;
            bestRank = r;
        }
    }
    return best;
}

}  // namespace kestrune
