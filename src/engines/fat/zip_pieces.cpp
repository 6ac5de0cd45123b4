#include "engines/fat/zip_pieces.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kestrune {

namespace {

using carve::ZipMember;

constexpr size_t kLocalHeaderBytes = 30;
// Free clusters tried as the one holding a header a piece does not reach, and the most
// clusters an archive may have for the walk (one set of them per trial).
constexpr uint32_t kCandidatesPerHeader = 4096;
constexpr size_t kMostClusters = 1 << 16;

// A header the walk must find: where it lies in the file, and its signature.
struct Anchor {
    uint64_t offset = 0;
    std::string signature;
};

class PieceWalk {
public:
    explicit PieceWalk(const ZipPieceSearch& search) : search_(search), cb_(search.access.clusterBytes) {}

    std::optional<std::vector<uint32_t>> Run();

private:
    // A cluster's bytes, read whole once; null when it cannot be read or the budget is spent.
    const std::vector<uint8_t>* Cluster(uint32_t cluster);
    // Whether the cluster shows the signature at within (as much of it as it holds).
    bool Shows(uint32_t cluster, uint64_t within, const std::string& signature);
    // The file's bytes [at, at + length) along clusters.
    bool Bytes(const std::vector<uint32_t>& clusters, uint64_t at, uint64_t length, std::vector<uint8_t>& out);
    bool MemberHolds(const std::vector<uint32_t>& clusters, const ZipMember& member);
    // The clusters from index `from` on when the piece holding index at is at cluster c:
    // free clusters back from c, and on from it, never those the file took before `from`.
    std::optional<std::vector<uint32_t>> WithPieceAt(const std::vector<uint32_t>& clusters, size_t from, size_t at,
                                                     uint32_t c);

    const ZipPieceSearch& search_;
    const uint64_t cb_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> cache_;
};

const std::vector<uint8_t>* PieceWalk::Cluster(uint32_t cluster) {
    if (const auto known = cache_.find(cluster); known != cache_.end()) return known->second.empty() ? nullptr : &known->second;
    std::vector<uint8_t>& bytes = cache_[cluster];
    if (*search_.readBudget < cb_) return nullptr;
    *search_.readBudget -= cb_;
    if (!search_.access.read(cluster, static_cast<uint32_t>(cb_), bytes) || bytes.size() < cb_) bytes.clear();
    return bytes.empty() ? nullptr : &bytes;
}

bool PieceWalk::Shows(uint32_t cluster, uint64_t within, const std::string& signature) {
    const std::vector<uint8_t>* bytes = Cluster(cluster);
    if (!bytes) return false;
    const size_t compared = static_cast<size_t>(std::min<uint64_t>(signature.size(), cb_ - within));
    return std::equal(signature.begin(), signature.begin() + static_cast<long>(compared),
                      bytes->begin() + static_cast<long>(within),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

bool PieceWalk::Bytes(const std::vector<uint32_t>& clusters, uint64_t at, uint64_t length, std::vector<uint8_t>& out) {
    out.clear();
    length = std::min(length, search_.size > at ? search_.size - at : 0);
    while (out.size() < length) {
        const uint64_t offset = at + out.size();
        const size_t index = static_cast<size_t>(offset / cb_);
        if (index >= clusters.size() || clusters[index] == 0) return false;
        const std::vector<uint8_t>* bytes = Cluster(clusters[index]);
        if (!bytes) return false;
        const uint64_t within = offset % cb_;
        const uint64_t take = std::min<uint64_t>(cb_ - within, length - out.size());
        out.insert(out.end(), bytes->begin() + static_cast<long>(within), bytes->begin() + static_cast<long>(within + take));
    }
    return true;
}

bool PieceWalk::MemberHolds(const std::vector<uint32_t>& clusters, const ZipMember& member) {
    std::vector<uint8_t> header, data;
    if (!Bytes(clusters, member.headerAt, kLocalHeaderBytes + member.name.size() + 0xFFFF, header) &&
        header.size() < kLocalHeaderBytes + member.name.size())
        return false;
    const auto dataAt = carve::MemberDataAt(ByteView(header), member);
    if (!dataAt || *search_.checkBudget < member.packedSize) return false;
    *search_.checkBudget -= member.packedSize;
    return Bytes(clusters, *dataAt, member.packedSize, data) && data.size() == member.packedSize &&
           carve::MemberDataHolds(ByteView(data), member);
}

std::optional<std::vector<uint32_t>> PieceWalk::WithPieceAt(const std::vector<uint32_t>& clusters, size_t from,
                                                            size_t at, uint32_t c) {
    const ClusterAccess& access = search_.access;
    const std::unordered_set<uint32_t> taken(clusters.begin(), clusters.begin() + static_cast<long>(from));
    if (taken.count(c)) return std::nullopt;
    std::vector<uint32_t> out(clusters.begin(), clusters.begin() + static_cast<long>(from));
    out.resize(clusters.size(), 0);
    // Back from c: the free clusters before it, as many as the piece needs back to from.
    std::vector<uint32_t> back;
    for (uint32_t cluster = c; back.size() < at - from;) {
        uint32_t reach = cluster > 64 + access.firstCluster ? cluster - 64 : access.firstCluster;
        std::vector<uint32_t> between;
        for (uint32_t n = reach - 1, next = 0; access.nextFree(n, next) && next < cluster; n = next)
            if (!taken.count(next)) between.push_back(next);
        if (between.empty() && reach == access.firstCluster) return std::nullopt;
        back.insert(back.begin(), between.begin(), between.end());
        cluster = reach;
    }
    std::copy(back.end() - static_cast<long>(at - from), back.end(), out.begin() + static_cast<long>(from));
    out[at] = c;
    for (size_t i = at + 1; i < out.size(); ++i) {
        uint32_t next = out[i - 1];
        do {
            if (!access.nextFree(next, next)) return std::nullopt;
        } while (taken.count(next));
        out[i] = next;
    }
    return out;
}

std::optional<std::vector<uint32_t>> PieceWalk::Run() {
    const size_t clusters = search_.layout.size();
    if (cb_ == 0 || clusters < 3 || clusters > kMostClusters || search_.members.empty()) return std::nullopt;
    std::vector<ZipMember> members = search_.members;
    std::sort(members.begin(), members.end(), [](const ZipMember& a, const ZipMember& b) { return a.headerAt < b.headerAt; });
    if (members.front().headerAt != 0) return std::nullopt;
    // Each member's local header, then the directory: the data between two is the
    // member before.
    std::vector<Anchor> anchors;
    for (const ZipMember& member : members) anchors.push_back({member.headerAt, "PK\x03\x04"});
    anchors.push_back({search_.directoryAt, "PK\x01\x02"});

    std::vector<uint32_t> placed = search_.layout;
    for (size_t k = 1; k < anchors.size(); ++k) {
        const ZipMember& before = members[k - 1];
        const Anchor& anchor = anchors[k];
        const size_t at = static_cast<size_t>(anchor.offset / cb_);
        const uint64_t within = anchor.offset % cb_;
        const std::string& signature = anchor.signature;
        if (at >= clusters) return std::nullopt;
        if (placed[at] != 0 && Shows(placed[at], within, signature) && MemberHolds(placed, before)) continue;
        // A new piece holds this header: the tail's reading first, then free clusters on
        // from where the piece before stands.
        const size_t previous = static_cast<size_t>(anchors[k - 1].offset / cb_);
        std::vector<uint32_t> candidates;
        if (search_.tail.size() == clusters && search_.tail[at] != 0) candidates.push_back(search_.tail[at]);
        bool found = false;
        uint32_t cursor = placed[previous];
        for (uint32_t tried = 0; !found && tried < kCandidatesPerHeader && *search_.checkBudget > 0;) {
            uint32_t c = 0;
            if (!candidates.empty()) {
                c = candidates.back();
                candidates.pop_back();
            } else if (!search_.access.nextFree(cursor, c)) {
                break;
            } else {
                cursor = c;
            }
            ++tried;
            if (!Shows(c, within, signature)) continue;
            for (size_t boundary = at; boundary > previous && !found; --boundary) {
                auto trial = WithPieceAt(placed, boundary, at, c);
                if (!trial) break;
                if (MemberHolds(*trial, before)) {
                    placed = std::move(*trial);
                    found = true;
                }
            }
        }
        if (!found) return std::nullopt;
    }
    std::vector<uint8_t> whole;
    if (!Bytes(placed, 0, search_.size, whole) || !carve::ZipMembersHold(ByteView(whole)).value_or(false))
        return std::nullopt;
    return placed;
}

}  // namespace

std::optional<std::vector<uint32_t>> FollowZipPieces(const ZipPieceSearch& search) {
    if (!search.readBudget || !search.checkBudget) return std::nullopt;
    return PieceWalk(search).Run();
}

}  // namespace kestrune
