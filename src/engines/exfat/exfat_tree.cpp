#include "engines/exfat/exfat_tree.h"

#include <unordered_map>
#include <unordered_set>

#include "base/result_codes.h"
#include "engines/exfat/exfat_leftovers.h"

namespace kestrune {

namespace {

// A folder can hold 256 MiB of entries at most; a larger length is damage.
constexpr uint64_t kMaxFolderBytes = 256ull << 20;
// The bitmap of the largest volume (2^32 clusters) is 512 MiB; anything past the size
// the cluster count needs is not read.
constexpr uint64_t kMaxBitmapBytes = 512ull << 20;

// Clusters examined past a cut folder's last one, without finding its next, before the
// search gives up: the next is handed out soon after, among the files written meanwhile.
constexpr uint64_t kNearFreeClusters = 4096;
// Clusters examined for all cut folders of one walk: a volume of many deleted folders that
// all seem to go on cannot make the walk read every free cluster again for each.
constexpr uint64_t kCutSearchClusters = 1 << 20;

bool EndsUnfinished(ByteView entries) {
    return entries.size() >= exfat::kEntryBytes &&
           entries.u8(entries.size() - exfat::kEntryBytes) != exfat::kEndOfDirectory;
}

// When the newest of the entry sets in these bytes was made (its creation stamp, else its
// write stamp), 0 when none parses.
uint64_t NewestSetStamp(ByteView entries) {
    uint64_t newest = 0;
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size();) {
        ExfatEntrySet set;
        if (!ParseEntrySet(entries, at, set) || !set.checksumOk) {
            at += exfat::kEntryBytes;
            continue;
        }
        newest = std::max(newest, set.createTime ? set.createTime : set.writeTime);
        at += set.entryCount * exfat::kEntryBytes;
    }
    return newest;
}

// When the first whole entry set in these bytes was made; 0 when none parses.
uint64_t FirstSetStamp(ByteView entries) {
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size(); at += exfat::kEntryBytes) {
        ExfatEntrySet set;
        if (ParseEntrySet(entries, at, set) && set.checksumOk) return set.createTime ? set.createTime : set.writeTime;
    }
    return 0;
}

bool HoldsEndMark(ByteView entries) {
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size(); at += exfat::kEntryBytes)
        if (entries.u8(at) == exfat::kEndOfDirectory) return true;
    return false;
}

}  // namespace

void ExfatTree::FollowCutFolder(std::vector<uint8_t>& bytes, std::vector<uint64_t>& clusterSectors,
                                const std::function<bool(uint32_t)>& isFolderStart, bool carriesOnInTime) {
    // Some drivers (exfat-fuse) shrink a folder as its files are deleted, so a folder's
    // entry or chain may give fewer clusters than its entries ran on through. A folder
    // whose last slot is used goes on in a later free cluster that holds entries only:
    // each is looked for past the one before, as a folder grows into the next free
    // cluster. carriesOnInTime: the cluster's first entries must be no older than the
    // newest before them, so that one folder does not take another's cut clusters.
    const uint32_t clusterBytes = static_cast<uint32_t>(volume_.ClusterBytes());
    const uint32_t bps = volume_.bytesPerSector;
    if (clusterSectors.empty() || bps == 0 || clusterBytes == 0) return;
    uint64_t cluster = (clusterSectors.back() - volume_.ClusterSector(2)) / volume_.sectorsPerCluster + 2;
    std::vector<uint8_t> sector(bps), next(clusterBytes);
    const size_t lastCluster = bytes.size() - std::min(bytes.size(), size_t{clusterBytes});
    uint64_t newest = carriesOnInTime ? NewestSetStamp(ByteView(bytes).from(lastCluster)) : 0;
    while (EndsUnfinished(ByteView(bytes)) && bytes.size() + clusterBytes <= kMaxFolderBytes) {
        uint64_t examined = 0;
        bool found = false;
        for (++cluster; volume_.IsHeapCluster(cluster) && examined < kNearFreeClusters && cutSearchLeft_ > 0 && !found;
             ++cluster) {
            const uint32_t c = static_cast<uint32_t>(cluster);
            if (bitmap_.InUse(c) || taken_.count(c) || isFolderStart(c)) continue;
            ++examined;
            --cutSearchLeft_;
            uint32_t read = 0;
            const uint64_t at = volume_.ClusterSector(c);
            if (ReadSectors(1, source_, sector.data(), at, static_cast<int>(bps), read) != kOk || read != 1 ||
                !ContinuesExfatDirectory(ByteView(sector)))
                continue;
            if (ReadSectors(volume_.sectorsPerCluster, source_, next.data(), at, static_cast<int>(bps), read) != kOk ||
                read != volume_.sectorsPerCluster || (newest != 0 && FirstSetStamp(ByteView(next)) < newest))
                continue;
            found = true;
            if (newest != 0) newest = std::max(newest, NewestSetStamp(ByteView(next)));
            taken_.insert(c);
            bytes.insert(bytes.end(), next.begin(), next.end());
            clusterSectors.push_back(at);
        }
        if (!found || HoldsEndMark(ByteView(next))) return;
        --cluster;  // the loop stepped past the cluster taken
    }
}

ExfatTree::ExfatTree(SectorSource& source, const ExfatGeometry& volume, ExfatFat& fat)
    : source_(source), volume_(volume), fat_(fat) {}

bool ExfatTree::LoadRoot(std::string& why) {
    const std::vector<uint8_t> root =
        ReadExfatStream(source_, volume_, fat_, volume_.rootCluster, kMaxFolderBytes, false, 1 << 20);
    const ByteView entries(root);
    bool haveBitmap = false;
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size(); at += exfat::kEntryBytes) {
        const ByteView e = entries.sub(at, exfat::kEntryBytes);
        const uint8_t type = e.u8(0);
        if (type == exfat::kEndOfDirectory) break;
        const uint32_t first = e.le32(20);
        const uint64_t length = e.le64(24);
        // Volumes with two FATs keep two bitmaps; the first one is the active one here.
        if (type == exfat::kBitmapEntry && !haveBitmap) {
            const uint64_t needed = (uint64_t{volume_.clusterCount} + 7) / 8;
            if (length < needed) continue;
            bitmap_.Assign(ReadExfatStream(source_, volume_, fat_, first, needed, false, kMaxBitmapBytes),
                           volume_.clusterCount);
            haveBitmap = bitmap_.Loaded();
        } else if (type == exfat::kUpcaseEntry) {
            upcase_.Assign(ByteView(ReadExfatStream(source_, volume_, fat_, first, std::min<uint64_t>(length, 1 << 18),
                                                    false, 1 << 18)));
        }
    }
    if (!haveBitmap) why = "the root folder names no allocation bitmap";
    return haveBitmap;
}

int ExfatTree::Walk(const std::function<int(const ExfatFound&)>& visit) {
    WalkQueue queue;
    queue.folders.push_back({volume_.rootCluster, kMaxFolderBytes, false, false, false, 0});
    walked_.clear();
    taken_.clear();
    cutSearchLeft_ = kCutSearchClusters;
    auto isFolderStart = [&queue](uint32_t c) { return queue.entered.count(c) != 0 || queue.queued.count(c) != 0; };
    // Live folders whose last cluster is full: their last cluster, for the search below.
    struct FullFolder {
        QueuedFolder folder;
        std::vector<uint8_t> lastCluster;
        uint64_t lastSector;
    };
    std::vector<FullFolder> full;
    const size_t clusterBytes = static_cast<size_t>(volume_.ClusterBytes());
    for (;;) {
        for (; queue.head < queue.folders.size(); ++queue.head) {
            const QueuedFolder folder = queue.folders[queue.head];
            if (!queue.entered.insert(folder.first).second) continue;  // two entries, one folder: a loop
            std::vector<uint64_t> clusterSectors;
            std::vector<uint8_t> bytes = ReadExfatClusters(
                source_, volume_,
                ExfatStreamClusters(volume_, fat_, bitmap_, folder.first, std::min(folder.length, kMaxFolderBytes),
                                    folder.contiguous, folder.deleted),
                &clusterSectors);
            if (folder.deleted)
                FollowCutFolder(bytes, clusterSectors, isFolderStart, false);
            else if (EndsUnfinished(ByteView(bytes)) && bytes.size() >= clusterBytes && !clusterSectors.empty())
                full.push_back({folder, std::vector<uint8_t>(bytes.end() - static_cast<long>(clusterBytes), bytes.end()),
                                clusterSectors.back()});
            walked_.insert(walked_.end(), clusterSectors.begin(), clusterSectors.end());
            if (int stop = VisitEntries(folder, ByteView(bytes), clusterSectors, 0, queue, visit); stop != 0) return stop;
        }
        if (full.empty()) return 0;
        // A live folder cut short by its driver goes on where a deleted one would. The
        // newest folders look first, and a cluster carries on only a folder whose entries
        // are no newer than its own, so that an older folder does not take the clusters
        // cut from a newer one that lie past its end.
        std::vector<FullFolder> looking = std::move(full);
        full.clear();
        std::stable_sort(looking.begin(), looking.end(), [](const FullFolder& a, const FullFolder& b) {
            return NewestSetStamp(ByteView(a.lastCluster)) > NewestSetStamp(ByteView(b.lastCluster));
        });
        for (FullFolder& folder : looking) {
            std::vector<uint64_t> clusterSectors{folder.lastSector};
            FollowCutFolder(folder.lastCluster, clusterSectors, isFolderStart, true);
            if (clusterSectors.size() == 1) continue;
            walked_.insert(walked_.end(), clusterSectors.begin() + 1, clusterSectors.end());
            // Sets that begin in the folder's own last cluster were visited already.
            if (int stop = VisitEntries(folder.folder, ByteView(folder.lastCluster), clusterSectors, clusterBytes, queue,
                                        visit);
                stop != 0)
                return stop;
        }
    }
}

int ExfatTree::VisitEntries(const QueuedFolder& folder, ByteView entries, const std::vector<uint64_t>& clusterSectors,
                            size_t newFrom, WalkQueue& queue, const std::function<int(const ExfatFound&)>& visit) {
    const size_t clusterBytes = static_cast<size_t>(volume_.ClusterBytes());
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size();) {
        if (entries.u8(at) == exfat::kEndOfDirectory) break;
        ExfatFound found;
        if (!ParseEntrySet(entries, at, found.set)) {
            at += exfat::kEntryBytes;
            continue;
        }
        found.set.hashOk = upcase_.NameHash(found.set.name) == found.set.nameHash;
        found.folderCluster = folder.first;
        found.depth = folder.depth;
        found.insideDeleted = folder.deleted || folder.insideDeleted;
        found.entrySector = clusterSectors[at / clusterBytes] + (at % clusterBytes) / volume_.bytesPerSector;
        const size_t end = at + found.set.entryCount * exfat::kEntryBytes;
        const bool seen = end <= newFrom;
        at = end;
        // A set whose checksum fails is damage, or a newer set written over part of it.
        if (!found.set.checksumOk || seen) continue;
        if (int stop = visit(found); stop != 0) return stop;
        const ExfatEntrySet& set = found.set;
        if (!set.IsFolder() || !volume_.IsHeapCluster(set.firstCluster) || set.dataLength == 0) continue;
        const QueuedFolder inner{set.firstCluster, set.dataLength, set.Contiguous(), set.deleted, found.insideDeleted,
                                 folder.depth + 1};
        // Two folder entries naming one first cluster: one folder was deleted and another
        // made in its cluster. The one made later owns it; of two made at once, the entry
        // met later.
        const uint64_t madeAt = set.createTime ? set.createTime : set.writeTime;
        const auto known = queue.queued.find(set.firstCluster);
        if (known == queue.queued.end() || known->second.first <= queue.head) {
            queue.queued[set.firstCluster] = {queue.folders.size(), madeAt};
            queue.folders.push_back(inner);
        } else if (madeAt >= known->second.second) {
            queue.folders[known->second.first] = inner;  // not entered yet: the newer folder takes its place
            known->second.second = madeAt;
        }
    }
    return 0;
}

}  // namespace kestrune
