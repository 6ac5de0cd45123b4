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

bool HoldsEndMark(ByteView entries) {
    for (size_t at = 0; at + exfat::kEntryBytes <= entries.size(); at += exfat::kEntryBytes)
        if (entries.u8(at) == exfat::kEndOfDirectory) return true;
    return false;
}

}  // namespace

void ExfatTree::FollowCutFolder(std::vector<uint8_t>& bytes, std::vector<uint64_t>& clusterSectors,
                                const std::function<bool(uint32_t)>& isFolderStart) {
    // Some drivers shrink a folder as its files are deleted, so a deleted folder's entry
    // may give one cluster while its entries ran on through more. A folder whose last
    // slot is used goes on in a later free cluster that holds entries only: each is
    // looked for past the one before, as a folder grows into the next free cluster.
    const uint32_t clusterBytes = static_cast<uint32_t>(volume_.ClusterBytes());
    const uint32_t bps = volume_.bytesPerSector;
    if (clusterSectors.empty() || bps == 0 || clusterBytes == 0) return;
    uint64_t cluster = (clusterSectors.back() - volume_.ClusterSector(2)) / volume_.sectorsPerCluster + 2;
    std::vector<uint8_t> sector(bps), next(clusterBytes);
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
                read != volume_.sectorsPerCluster)
                continue;
            found = true;
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
    struct Folder {
        uint32_t first;
        uint64_t length;
        bool contiguous, deleted, insideDeleted;
        uint32_t depth;
    };
    std::vector<Folder> queue{{volume_.rootCluster, kMaxFolderBytes, false, false, false, 0}};
    // Two folder entries naming one first cluster: one folder was deleted and another made
    // in its cluster. The one made later owns it; of two made at once, the entry met later.
    std::unordered_map<uint32_t, std::pair<size_t, uint64_t>> queued;  // first -> place, made at
    std::unordered_set<uint32_t> entered;
    std::vector<uint64_t> clusterSectors;
    walked_.clear();
    taken_.clear();
    cutSearchLeft_ = kCutSearchClusters;
    const size_t clusterBytes = static_cast<size_t>(volume_.ClusterBytes());
    for (size_t head = 0; head < queue.size(); ++head) {
        const Folder folder = queue[head];
        if (!entered.insert(folder.first).second) continue;  // two entries, one folder: a loop
        clusterSectors.clear();
        std::vector<uint8_t> bytes = ReadExfatClusters(
            source_, volume_,
            ExfatStreamClusters(volume_, fat_, bitmap_, folder.first, std::min(folder.length, kMaxFolderBytes),
                                folder.contiguous, folder.deleted),
            &clusterSectors);
        if (folder.deleted)
            FollowCutFolder(bytes, clusterSectors,
                            [&](uint32_t c) { return entered.count(c) != 0 || queued.count(c) != 0; });
        walked_.insert(walked_.end(), clusterSectors.begin(), clusterSectors.end());
        const ByteView entries(bytes);
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
            at += found.set.entryCount * exfat::kEntryBytes;
            // A set whose checksum fails is damage, or a newer set written over part of it.
            if (!found.set.checksumOk) continue;
            if (int stop = visit(found); stop != 0) return stop;
            const ExfatEntrySet& set = found.set;
            if (!set.IsFolder() || !volume_.IsHeapCluster(set.firstCluster) || set.dataLength == 0) continue;
            const Folder inner{set.firstCluster, set.dataLength, set.Contiguous(), set.deleted, found.insideDeleted,
                               folder.depth + 1};
            const uint64_t madeAt = set.createTime ? set.createTime : set.writeTime;
            const auto known = queued.find(set.firstCluster);
            if (known == queued.end() || known->second.first <= head) {
                queued[set.firstCluster] = {queue.size(), madeAt};
                queue.push_back(inner);
            } else if (madeAt >= known->second.second) {
                queue[known->second.first] = inner;  // not entered yet: the newer folder takes its place
                known->second.second = madeAt;
            }
        }
    }
    return 0;
}

}  // namespace kestrune
