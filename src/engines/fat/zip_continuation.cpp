#include "engines/fat/zip_continuation.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "engines/carve/zip_members.h"
#include "engines/fat/zip_pieces.h"

namespace kestrune {

namespace {

using carve::ZipMember;

constexpr size_t kEndRecordBytes = 22;
constexpr size_t kLocalHeaderBytes = 30;
// Free clusters tried as the archive's last one, and bytes one archive's search may read
// and check in all: a listing maps every deleted archive, and one whose end was written
// over must not hold it up for long.
constexpr uint32_t kMostTailCandidates = 1 << 15;
constexpr uint64_t kMostBytesRead = 64ull << 20;
constexpr uint64_t kMostBytesChecked = 256ull << 20;

// The archive read along one layout, a cluster at a time as it is needed.
class ArchiveReading {
public:
    ArchiveReading(const ClusterAccess& access, uint64_t size, uint64_t& budget)
        : access_(access), size_(size), budget_(budget) {}

    // The bytes of the file's clusters [from, to) along clusters (indexed by the file's
    // cluster number), cut at the file's size; false when one cannot be read.
    bool Fill(const std::vector<uint32_t>& clusters, size_t from, size_t to) {
        const uint64_t cb = access_.clusterBytes;
        if (bytes_.size() < size_) bytes_.resize(size_);
        std::vector<uint8_t> cluster;
        for (size_t i = from; i < to; ++i) {
            if (i < filled_.size() && filled_[i]) continue;
            const uint64_t at = i * cb;
            const uint64_t length = std::min<uint64_t>(cb, size_ - at);
            if (budget_ < cb || !access_.read(clusters[i], static_cast<uint32_t>(cb), cluster) ||
                cluster.size() < length)
                return false;
            budget_ -= cb;
            std::copy(cluster.begin(), cluster.begin() + static_cast<long>(length), bytes_.begin() + static_cast<long>(at));
            if (filled_.size() <= i) filled_.resize(i + 1);
            filled_[i] = true;
        }
        return true;
    }
    ByteView View() const { return ByteView(bytes_); }

private:
    const ClusterAccess& access_;
    uint64_t size_;
    uint64_t& budget_;
    std::vector<uint8_t> bytes_;
    std::vector<bool> filled_;
};

// The end record in the archive's last `length` bytes, as they lie at the start of a
// cluster: where the directory it names begins and how long it is, when it reaches
// exactly to the record at lastAt (the file offset of that cluster).
std::optional<std::pair<uint64_t, uint64_t>> EndRecordIn(ByteView last, uint64_t lastAt) {
    for (size_t back = kEndRecordBytes; back <= last.size(); ++back) {
        const size_t at = last.size() - back;
        if (!last.matches(at, "PK\x05\x06") || kEndRecordBytes + last.le16(at + 20) != back) continue;
        const uint64_t directoryAt = last.le32(at + 16), directorySize = last.le32(at + 12);
        if (directoryAt + directorySize != lastAt + at) return std::nullopt;
        return std::pair{directoryAt, directorySize};
    }
    return std::nullopt;
}

// The file's bytes [at, at + length) when its first piece is split bytes long.
std::vector<uint8_t> JoinedBytes(const ArchiveReading& first, const ArchiveReading& rest, uint64_t split, uint64_t at,
                                 uint64_t length) {
    std::vector<uint8_t> out;
    const ByteView a = first.View(), b = rest.View();
    for (uint64_t i = at; i < at + length && i < a.size(); ++i) out.push_back(i < split ? a.u8(i) : b.u8(i));
    return out;
}

// Each member's header and data along one reading, checked once.
struct MemberChecks {
    std::vector<std::optional<uint64_t>> dataAt;
    std::vector<int> dataHolds;  // -1 not checked yet
};

class SplitFinder {
public:
    SplitFinder(const std::vector<ZipMember>& members, ArchiveReading& first, ArchiveReading& rest,
                uint64_t& checkBudget)
        : members_(members), first_(first), rest_(rest), checkBudget_(checkBudget) {
        for (MemberChecks* checks : {&alongFirst_, &alongRest_}) {
            checks->dataAt.assign(members.size(), std::nullopt);
            checks->dataHolds.assign(members.size(), -1);
        }
        for (size_t i = 0; i < members.size(); ++i) {
            alongFirst_.dataAt[i] = carve::MemberDataAt(first.View().from(members[i].headerAt), members[i]);
            alongRest_.dataAt[i] = carve::MemberDataAt(rest.View().from(members[i].headerAt), members[i]);
        }
    }

    // Whether every member checks out when the first piece is `split` bytes long.
    bool HoldsAt(uint64_t split) {
        for (size_t i = 0; i < members_.size(); ++i) {
            const ZipMember& member = members_[i];
            const uint64_t nameEnd = member.headerAt + kLocalHeaderBytes + member.name.size();
            std::optional<uint64_t> dataAt;
            if (nameEnd <= split) dataAt = alongFirst_.dataAt[i];
            else if (member.headerAt >= split) dataAt = alongRest_.dataAt[i];
            else dataAt = carve::MemberDataAt(Joined(split, member.headerAt, nameEnd - member.headerAt + 4), member);
            if (!dataAt) return false;
            const uint64_t dataEnd = *dataAt + member.packedSize;
            const bool firstSide = dataEnd <= split, restSide = *dataAt >= split;
            // A header that straddles the split may still agree with one side's on where
            // the data begins; only then is that side's check the right one.
            if (firstSide && alongFirst_.dataAt[i] == dataAt) {
                if (!Holds(alongFirst_, first_, i)) return false;
            } else if (restSide && alongRest_.dataAt[i] == dataAt) {
                if (!Holds(alongRest_, rest_, i)) return false;
            } else {
                if (checkBudget_ < member.packedSize) return false;
                checkBudget_ -= member.packedSize;
                const std::vector<uint8_t> data = JoinedBytes(first_, rest_, split, *dataAt, member.packedSize);
                if (!carve::MemberDataHolds(ByteView(data), member)) return false;
            }
        }
        return true;
    }

private:
    bool Holds(MemberChecks& checks, ArchiveReading& reading, size_t i) {
        if (checks.dataHolds[i] < 0) {
            const ZipMember& member = members_[i];
            const ByteView data = reading.View().sub(*checks.dataAt[i], member.packedSize);
            checks.dataHolds[i] = data.size() == member.packedSize && carve::MemberDataHolds(data, member);
        }
        return checks.dataHolds[i] == 1;
    }
    ByteView Joined(uint64_t split, uint64_t at, uint64_t length) {
        joined_ = JoinedBytes(first_, rest_, split, at, length);
        return ByteView(joined_);
    }

    const std::vector<ZipMember>& members_;
    ArchiveReading& first_;
    ArchiveReading& rest_;
    uint64_t& checkBudget_;
    MemberChecks alongFirst_, alongRest_;
    std::vector<uint8_t> joined_;
};

}  // namespace

std::optional<std::vector<uint32_t>> FindZipContinuation(uint64_t size, const std::vector<uint32_t>& layout,
                                                         const ClusterAccess& access) {
    const uint64_t cb = access.clusterBytes;
    const size_t clusters = layout.size();
    if (cb == 0 || clusters < 2 || size > (clusters * cb) || size <= (clusters - 1) * cb) return std::nullopt;
    uint64_t readBudget = kMostBytesRead, checkBudget = kMostBytesChecked;
    ArchiveReading first(access, size, readBudget);
    if (!first.Fill(layout, 0, clusters)) return std::nullopt;
    if (carve::ZipMembersHold(first.View()).value_or(false)) return layout;

    // The end record lies in the last cluster, or (when the last holds fewer bytes than
    // the record) begins in the one before.
    const size_t endClusters = size - (clusters - 1) * cb < kEndRecordBytes ? 2 : 1;
    const uint64_t endAt = (clusters - endClusters) * cb;
    const std::unordered_set<uint32_t> inLayout(layout.begin(), layout.end());
    std::unordered_map<uint32_t, size_t> placeInLayout;
    for (size_t i = 0; i < clusters; ++i) placeInLayout.emplace(layout[i], i);
    std::vector<uint8_t> endBytes, cluster;
    DriverOrder order(access, layout.front());
    uint32_t tail = 0;
    for (uint32_t tried = 0; tried < kMostTailCandidates && order.Next(tail);) {
        if (inLayout.count(tail)) continue;
        ++tried;
        if (readBudget < endClusters * cb) break;
        const std::vector<uint32_t> endRun = endClusters == 1 ? std::vector<uint32_t>{tail} : FreeRunEndingAt(access, tail, 2);
        if (endRun.size() != endClusters) continue;
        readBudget -= size - endAt;
        endBytes.clear();
        for (const uint32_t c : endRun) {
            const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(cb, size - endAt - endBytes.size()));
            if (!access.read(c, wanted, cluster) || cluster.size() < wanted) break;
            endBytes.insert(endBytes.end(), cluster.begin(), cluster.begin() + wanted);
        }
        if (endBytes.size() != size - endAt) continue;
        const auto directory = EndRecordIn(ByteView(endBytes), endAt);
        if (!directory) continue;
        // The rest runs back from the tail over free clusters.
        const std::vector<uint32_t> run = FreeRunEndingAt(access, tail, clusters - 1);
        std::vector<uint32_t> alongRest(clusters, 0);
        const size_t restFrom = clusters - run.size();
        std::copy(run.begin(), run.end(), alongRest.begin() + static_cast<long>(restFrom));
        const size_t lowest = std::max<size_t>(restFrom, 1);
        ArchiveReading rest(access, size, readBudget);
        if (!rest.Fill(alongRest, lowest, clusters)) continue;
        // A split is possible only where no cluster of the rest is one the first piece
        // already took: for each split, the earliest first-piece place the rest reuses.
        std::vector<size_t> reusedFrom(clusters + 1, SIZE_MAX);
        for (size_t i = clusters; i-- > lowest;) {
            const auto place = placeInLayout.find(alongRest[i]);
            reusedFrom[i] = std::min(reusedFrom[i + 1], place == placeInLayout.end() ? SIZE_MAX : place->second);
        }
        // The directory read from the rest serves every split before it; one that the
        // split cuts is read joined.
        const auto restMembers = carve::ZipDirectory(rest.View().from(directory->first), size);
        std::optional<SplitFinder> restFinder;
        if (restMembers) restFinder.emplace(*restMembers, first, rest, checkBudget);
        // The first piece ends at a cluster boundary; the latest one that fits is taken,
        // as the file's clusters are as few pieces as the driver could give it.
        for (size_t split = clusters - 1; split >= lowest && checkBudget > 0; --split) {
            if (reusedFrom[split] < split) continue;
            bool holds = false;
            if (split * cb <= directory->first) {
                holds = restFinder && restFinder->HoldsAt(split * cb);
            } else {
                const std::vector<uint8_t> joined =
                    JoinedBytes(first, rest, split * cb, directory->first, size - directory->first);
                if (const auto members = carve::ZipDirectory(ByteView(joined), size))
                    holds = SplitFinder(*members, first, rest, checkBudget).HoldsAt(split * cb);
            }
            if (holds) {
                std::vector<uint32_t> found(layout.begin(), layout.begin() + static_cast<long>(split));
                found.insert(found.end(), alongRest.begin() + static_cast<long>(split), alongRest.end());
                return found;
            }
        }
        // No one boundary fits: the archive was written in more pieces.
        if (restMembers) {
            ZipPieceSearch pieces{access, size, layout, alongRest, *restMembers, directory->first, &readBudget,
                                  &checkBudget};
            if (auto found = FollowZipPieces(pieces)) return found;
        }
    }
    return std::nullopt;
}

}  // namespace kestrune
