#include "engines/fat/continuation_search.h"

#include <algorithm>
#include <unordered_map>

#include "engines/carve/jpeg_scan.h"
#include "scanlog/file_types.h"

namespace kestrune {

namespace {

using carve::JpegScanDecoder;
using Outcome = JpegScanDecoder::Outcome;

// Cluster boundaries tried as the end of a piece, from the one before the break back; a
// wrong cluster breaks the decoding within a few hundred bytes, rarely later.
constexpr uint64_t kJoinsBack = 8;
// Pieces a file is followed through, and free clusters tried in all as the start of one.
constexpr int kMostPieces = 8;
constexpr uint32_t kMostCandidates = 1 << 16;
// Bytes one file's search may read in all: a card of large clusters cannot make it read
// the whole free space for each photo.
constexpr uint64_t kMostBytesRead = 64ull << 20;
// A cluster met for the first time is read this far first: most wrong ones break there.
constexpr uint32_t kFirstTest = 512;
// The header (with an Exif thumbnail) lies in the file's first bytes.
constexpr uint64_t kMostHeaderBytes = 256 << 10;

class Search {
public:
    Search(const ClusterAccess& access, uint64_t size) : access_(access), size_(size) {}

    // The byte of cluster at within; -1 when it cannot be read or the budget is spent.
    int ByteOf(uint32_t cluster, uint32_t within);
    // The file's byte at offset along clusters, which may go on over the free clusters
    // after its last one, never through those in `before` (sorted): -1 past the size.
    int ByteAlong(std::vector<uint32_t>& clusters, bool goesOn, const std::vector<uint32_t>& before, uint64_t offset);
    // Decodes from decoder on, one MCU at a time, noting its state at each cluster
    // boundary past the first `from` clusters (see Boundaries).
    using Boundaries = std::vector<std::optional<JpegScanDecoder>>;
    Outcome Follow(JpegScanDecoder& decoder, const JpegScanDecoder::ByteAt& byteAt, size_t from, Boundaries& at);
    // Whether a picture ending at end fits the file: only fill, or a second picture, up
    // to its size.
    bool EndFits(uint64_t end, const JpegScanDecoder::ByteAt& byteAt) const;
    // The rest of the file after the clusters in piece, which the decoder stood at the end
    // of, in at most mostPieces pieces in all: the clusters of the whole file, or nothing.
    // The reading that broke went on at `known`, which is not tried again. A start that
    // holds for a whole cluster and breaks further on is followed to its next piece.
    std::optional<std::vector<uint32_t>> Continue(const std::vector<uint32_t>& piece, const JpegScanDecoder& atJoin,
                                                  uint32_t known, int pieces, int mostPieces);
    // From the break of a reading along clusters, the joins before it are tried in turn.
    std::optional<std::vector<uint32_t>> RetryBefore(const std::vector<uint32_t>& clusters, const Boundaries& at,
                                                     uint64_t brokeAt, size_t from, int pieces, int mostPieces);
    uint64_t ClusterCount() const { return (size_ + access_.clusterBytes - 1) / access_.clusterBytes; }
    bool Spent() const { return spent_; }

private:
    const ClusterAccess& access_;
    uint64_t size_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> cache_;  // a cluster's bytes, or its first ones
    uint64_t bytesRead_ = 0;
    uint32_t candidates_ = 0;
    bool spent_ = false;
};

int Search::ByteOf(uint32_t cluster, uint32_t within) {
    std::vector<uint8_t>& bytes = cache_[cluster];
    if (bytes.size() <= within) {
        const uint32_t wanted = within < kFirstTest ? std::min(kFirstTest, access_.clusterBytes) : access_.clusterBytes;
        if (bytesRead_ + wanted > kMostBytesRead) {
            spent_ = true;
            return -1;
        }
        bytesRead_ += wanted;
        if (!access_.read(cluster, wanted, bytes) || bytes.size() < wanted) {
            bytes.clear();
            return -1;
        }
    }
    return bytes[within];
}

int Search::ByteAlong(std::vector<uint32_t>& clusters, bool goesOn, const std::vector<uint32_t>& before,
                      uint64_t offset) {
    const uint64_t k = offset / access_.clusterBytes;
    if (offset >= size_) return -1;
    while (clusters.size() <= k) {
        uint32_t next = clusters.back();
        if (!goesOn) return -1;
        do {
            if (!access_.nextFree(next, next)) return -1;
        } while (std::binary_search(before.begin(), before.end(), next));
        clusters.push_back(next);
    }
    return ByteOf(clusters[k], static_cast<uint32_t>(offset % access_.clusterBytes));
}

Outcome Search::Follow(JpegScanDecoder& decoder, const JpegScanDecoder::ByteAt& byteAt, size_t from,
                       Boundaries& at) {
    const uint64_t clusterBytes = access_.clusterBytes;
    at.assign(ClusterCount(), std::nullopt);
    size_t boundary = from + 1;
    Outcome outcome;
    do {
        const JpegScanDecoder before = decoder;
        outcome = decoder.Run(byteAt, decoder.Position() + 1);
        // A decoder that broke may have done so on the byte after its position (the one
        // after an FF), which may begin the next cluster.
        const uint64_t reached = decoder.Position() + (outcome == Outcome::Going ? 0 : 2);
        for (; boundary < at.size() && reached > boundary * clusterBytes; ++boundary)
            if (before.Position() <= boundary * clusterBytes) at[boundary] = before;
    } while (outcome == Outcome::Going);
    return outcome;
}

bool Search::EndFits(uint64_t end, const JpegScanDecoder::ByteAt& byteAt) const {
    if (end > size_) return false;
    if (end == size_) return true;
    const int first = byteAt(end);
    if (first == 0xFF && byteAt(end + 1) == 0xD8) return true;
    if (first != 0x00 && first != 0xFF) return false;
    for (uint64_t at = end + 1; at < size_; ++at)
        if (byteAt(at) != first) return false;
    return true;
}

std::optional<std::vector<uint32_t>> Search::RetryBefore(const std::vector<uint32_t>& clusters, const Boundaries& at,
                                                         uint64_t brokeAt, size_t from, int pieces, int mostPieces) {
    if (pieces >= mostPieces) return std::nullopt;
    const uint64_t broken = std::min<uint64_t>(clusters.size(), ClusterCount()) - 1;
    // The decoder stops just past the bits that broke it, on the FF of a marker, or on an
    // FF whose next byte broke it: the cluster of the byte after brokeAt is the last that
    // may hold the join.
    const uint64_t last = std::min<uint64_t>(broken, (brokeAt + 1) / access_.clusterBytes);
    for (uint64_t join = last; join > from && join + kJoinsBack >= last && !spent_; --join) {
        if (!at[join]) continue;
        const std::vector<uint32_t> piece(clusters.begin(), clusters.begin() + static_cast<long>(join));
        if (auto found = Continue(piece, *at[join], clusters[join], pieces + 1, mostPieces)) return found;
    }
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> Search::Continue(const std::vector<uint32_t>& piece, const JpegScanDecoder& atJoin,
                                                      uint32_t known, int pieces, int mostPieces) {
    const uint64_t joinAt = piece.size() * uint64_t{access_.clusterBytes};
    std::vector<uint32_t> before = piece;
    std::sort(before.begin(), before.end());
    uint32_t cursor = piece.back();
    bool wrapped = false;
    while (candidates_ < kMostCandidates && !spent_) {
        uint32_t start = 0;
        if (!access_.nextFree(cursor, start)) {
            // Drivers hand out clusters on from where they last stopped, then from the start.
            if (wrapped) break;
            wrapped = true;
            cursor = access_.firstCluster - 1;
            continue;
        }
        cursor = start;
        if (wrapped && start >= piece.back()) break;
        if (start == known || std::binary_search(before.begin(), before.end(), start)) continue;
        ++candidates_;
        std::vector<uint32_t> clusters = piece;
        clusters.push_back(start);
        const JpegScanDecoder::ByteAt byteAt = [&](uint64_t at) { return ByteAlong(clusters, true, before, at); };
        // Never-written or wiped clusters decode as long runs of one code: passed over.
        if (byteAt(joinAt) < 0) continue;
        const std::vector<uint8_t>& head = cache_[start];
        if (std::all_of(head.begin(), head.end(), [&head](uint8_t b) { return b == head[0]; })) continue;
        JpegScanDecoder decoder = atJoin;
        Boundaries at;
        const Outcome outcome = Follow(decoder, byteAt, piece.size(), at);
        if (outcome == Outcome::Ended && EndFits(decoder.EndOffset(), byteAt)) {
            if (ByteAlong(clusters, true, before, size_ - 1) < 0) continue;
            return clusters;
        }
        // The candidate held for a whole cluster: the file went on there, and broke off
        // again further on.
        if (outcome != Outcome::Ended && decoder.Position() + 1 >= joinAt + access_.clusterBytes)
            if (auto found = RetryBefore(clusters, at, decoder.Position(), piece.size(), pieces, mostPieces))
                return found;
    }
    return std::nullopt;
}

std::vector<ClusterRun> RunsOf(const std::vector<uint32_t>& clusters) {
    std::vector<ClusterRun> runs;
    for (uint32_t c : clusters) {
        if (!runs.empty() && runs.back().first + runs.back().count == c) ++runs.back().count;
        else runs.push_back({c, 1});
    }
    return runs;
}

}  // namespace

bool ContinuationSearchable(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    return extension == "jpg" || extension == "jpeg" || extension == "jpe";
}

std::optional<std::vector<ClusterRun>> FindContinuation(std::string_view name, uint64_t size,
                                                        const std::vector<ClusterRun>& tried,
                                                        const ClusterAccess& access) {
    if (!ContinuationSearchable(name) || access.clusterBytes == 0 || !access.read || !access.nextFree) return std::nullopt;
    const uint64_t clusters = (size + access.clusterBytes - 1) / access.clusterBytes;
    std::vector<uint32_t> layout;
    for (const ClusterRun& run : tried)
        for (uint32_t i = 0; i < run.count && layout.size() < clusters; ++i) layout.push_back(run.first + i);
    if (clusters < 2 || layout.size() != clusters) return std::nullopt;
    Search search(access, size);
    const std::vector<uint32_t> none;
    const JpegScanDecoder::ByteAt along = [&](uint64_t at) { return search.ByteAlong(layout, false, none, at); };
    std::vector<uint8_t> head;
    for (uint64_t at = 0; at < std::min(size, kMostHeaderBytes); ++at) {
        const int byte = along(at);
        if (byte < 0) return std::nullopt;
        head.push_back(static_cast<uint8_t>(byte));
    }
    carve::JpegScanHeader header;
    if (!carve::ReadJpegScanHeader(ByteView(head), header)) return std::nullopt;
    JpegScanDecoder decoder(header);
    Search::Boundaries at;
    const Outcome outcome = search.Follow(decoder, along, 0, at);
    if (search.Spent()) return std::nullopt;
    if (outcome == Outcome::Ended && search.EndFits(decoder.EndOffset(), along)) return RunsOf(layout);
    // Layouts of fewer pieces first: a join past the true one (the decoder can read a
    // little of another photo's data before it breaks) sends the search down rests that
    // never fit, and their pieces must not use up the search before the true one is met.
    for (int mostPieces = 2; mostPieces <= kMostPieces && !search.Spent(); ++mostPieces)
        if (auto found = search.RetryBefore(layout, at, decoder.Position(), 0, 1, mostPieces)) return RunsOf(*found);
    return std::nullopt;
}

}  // namespace kestrune
