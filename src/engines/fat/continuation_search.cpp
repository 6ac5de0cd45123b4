#include "engines/fat/continuation_search.h"

#include <algorithm>
#include <unordered_map>

#include "base/result_codes.h"
#include "engines/carve/jpeg_scan.h"
#include "engines/carve/movie_frames.h"
#include "engines/carve/zip_members.h"
#include "engines/fat/movie_continuation.h"
#include "engines/fat/zip_continuation.h"
#include "scanlog/file_types.h"

namespace kestrune {

namespace {

using carve::JpegScanDecoder;
using Outcome = JpegScanDecoder::Outcome;

// Cluster boundaries tried as the end of a piece, from the one before the break back; a
// wrong cluster breaks the decoding within a few hundred bytes, rarely later.
constexpr uint64_t kJoinsBack = 8;
// Pieces a file is followed through; readings that held for a cluster or more and broke
// again kept for the next round. A driver hands a file the free clusters near where it
// stopped, so the nearest free clusters after a join are tried (each one's first sector
// is read once for the whole search), and the candidates tried in all are bounded: a
// listing maps every deleted photo, and one whose rest was written over must not hold
// it up for long.
constexpr int kMostPieces = 8;
constexpr size_t kMostPartials = 32;
constexpr uint32_t kCandidatesPerJoin = 1024;
constexpr uint32_t kMostCandidates = 1 << 15;
// Bytes one file's search may read in all: a card of large clusters cannot make it read
// the whole free space for each photo.
constexpr uint64_t kMostBytesRead = 64ull << 20;
// A cluster met for the first time is read this far first: most wrong ones break there.
constexpr uint32_t kFirstTest = 512;
// The header (with an Exif thumbnail) lies in the file's first bytes.
constexpr uint64_t kMostHeaderBytes = 256 << 10;

// A reading of the file that decoded for a while and broke: the decoder's state at the
// cluster boundaries just before the break, where the piece may have ended.
struct Partial {
    std::vector<uint32_t> clusters;
    size_t from = 0;  // clusters of the pieces before the one that broke: joins lie past them
    std::vector<std::pair<size_t, JpegScanDecoder>> joins;  // boundary, state; latest last
};

class Search {
public:
    Search(const ClusterAccess& access, uint64_t size) : access_(access), size_(size) {}

    // The byte of cluster at within; -1 when it cannot be read or the budget is spent.
    int ByteOf(uint32_t cluster, uint32_t within);
    // The file's byte at offset along clusters, which may go on over the free clusters
    // after its last one, never through those in `before` (sorted): -1 past the size.
    int ByteAlong(std::vector<uint32_t>& clusters, bool goesOn, const std::vector<uint32_t>& before, uint64_t offset);
    // Decodes from decoder on, one MCU at a time, keeping its state at the last few
    // cluster boundaries past the first `from` clusters.
    Outcome Follow(JpegScanDecoder& decoder, const JpegScanDecoder::ByteAt& byteAt, size_t from, Partial& reading);
    // The clusters of the whole file, found from a reading along layout that breaks:
    // rests of one piece are tried after every join first, then of two, and so on.
    std::optional<std::vector<uint32_t>> Find(const JpegScanDecoder& start, std::vector<uint32_t> layout);
    bool Spent() const { return spent_; }

private:
    // Tries each free cluster as the start of the rest after piece (the decoder stood at
    // its end); a rest that holds to the end is returned, one that holds a cluster or
    // more and breaks is added to next.
    std::optional<std::vector<uint32_t>> TryRests(const std::vector<uint32_t>& piece, const JpegScanDecoder& atJoin,
                                                  uint32_t known, std::vector<Partial>& next);

    const ClusterAccess& access_;
    uint64_t size_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> cache_;  // a cluster's bytes, or its first ones
    uint32_t lastCluster_ = 0;
    const std::vector<uint8_t>* lastBytes_ = nullptr;  // in cache_, which never moves its values
    uint64_t bytesRead_ = 0;
    uint32_t candidates_ = 0;
    bool spent_ = false;
};

int Search::ByteOf(uint32_t cluster, uint32_t within) {
    // Bytes are asked for one by one, mostly from the cluster asked for last.
    if (cluster == lastCluster_ && lastBytes_ && within < lastBytes_->size()) return (*lastBytes_)[within];
    std::vector<uint8_t>& bytes = cache_[cluster];
    lastCluster_ = cluster;
    lastBytes_ = &bytes;
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
                       Partial& reading) {
    const uint64_t clusterBytes = access_.clusterBytes;
    reading.joins.clear();
    reading.from = from;
    size_t boundary = from + 1;
    Outcome outcome;
    do {
        const JpegScanDecoder before = decoder;
        outcome = decoder.Run(byteAt, decoder.Position() + 1);
        // A decoder that broke may have done so on the byte after its position (the one
        // after an FF), which may begin the next cluster.
        const uint64_t reached = decoder.Position() + (outcome == Outcome::Going ? 0 : 2);
        for (; reached > boundary * clusterBytes; ++boundary) {
            if (before.Position() > boundary * clusterBytes) continue;
            reading.joins.emplace_back(boundary, before);
            if (reading.joins.size() > kJoinsBack + 1) reading.joins.erase(reading.joins.begin());
        }
    } while (outcome == Outcome::Going);
    return outcome;
}

std::optional<std::vector<uint32_t>> Search::TryRests(const std::vector<uint32_t>& piece,
                                                      const JpegScanDecoder& atJoin, uint32_t known,
                                                      std::vector<Partial>& next) {
    const uint64_t clusterBytes = access_.clusterBytes;
    const uint64_t joinAt = piece.size() * clusterBytes;
    std::vector<uint32_t> before = piece;
    std::sort(before.begin(), before.end());
    DriverOrder order(access_, piece.back());
    uint32_t start = 0;
    for (uint32_t tried = 0; tried < kCandidatesPerJoin && candidates_ < kMostCandidates && !spent_ && order.Next(start);) {
        // The reading that broke went on at `known`: it is not tried again.
        if (start == known || std::binary_search(before.begin(), before.end(), start)) continue;
        ++tried;
        ++candidates_;
        std::vector<uint32_t> rest{start};
        const JpegScanDecoder::ByteAt byteAt = [&](uint64_t at) {
            if (at < joinAt) return ByteOf(piece[at / clusterBytes], static_cast<uint32_t>(at % clusterBytes));
            return at < size_ ? ByteAlong(rest, true, before, at - joinAt) : -1;
        };
        // Never-written or wiped clusters decode as long runs of one code: passed over.
        if (byteAt(joinAt) < 0) continue;
        const std::vector<uint8_t>& head = cache_[start];
        if (std::all_of(head.begin(), head.end(), [&head](uint8_t b) { return b == head[0]; })) continue;
        JpegScanDecoder decoder = atJoin;
        Partial reading;
        const Outcome outcome = Follow(decoder, byteAt, piece.size(), reading);
        auto whole = [&] {
            std::vector<uint32_t> clusters = piece;
            clusters.insert(clusters.end(), rest.begin(), rest.end());
            return clusters;
        };
        if (outcome == Outcome::Ended && carve::TailFitsPicture(decoder.EndOffset(), size_, byteAt)) {
            if (byteAt(size_ - 1) < 0) continue;
            return whole();
        }
        // The start held for a whole cluster: the file went on there, and broke off again
        // further on.
        if (outcome != Outcome::Ended && decoder.Position() + 1 >= joinAt + clusterBytes && next.size() < kMostPartials) {
            reading.clusters = whole();
            next.push_back(std::move(reading));
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> Search::Find(const JpegScanDecoder& start, std::vector<uint32_t> layout) {
    const JpegScanDecoder::ByteAt along = [&](uint64_t at) { return ByteAlong(layout, false, {}, at); };
    JpegScanDecoder decoder = start;
    Partial first;
    const Outcome outcome = Follow(decoder, along, 0, first);
    if (spent_) return std::nullopt;
    if (outcome == Outcome::Ended && carve::TailFitsPicture(decoder.EndOffset(), size_, along)) return layout;
    first.clusters = std::move(layout);
    // Every join is tried with a rest of one piece before any rest is followed through
    // more: a join past the true one (the decoder reads a little of another photo's data
    // before it breaks) sends the search down rests that never fit.
    std::vector<Partial> round{std::move(first)};
    for (int pieces = 2; pieces <= kMostPieces && !round.empty() && !spent_; ++pieces) {
        std::vector<Partial> next;
        for (const Partial& reading : round)
            for (auto join = reading.joins.rbegin(); join != reading.joins.rend() && !spent_; ++join) {
                if (join->first <= reading.from || join->first >= reading.clusters.size()) continue;
                const std::vector<uint32_t> piece(reading.clusters.begin(),
                                                  reading.clusters.begin() + static_cast<long>(join->first));
                if (auto found = TryRests(piece, join->second, reading.clusters[join->first], next)) return found;
            }
        round = std::move(next);
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

std::function<bool(uint32_t, uint32_t, std::vector<uint8_t>&)> ClusterReader(
    SectorSource& source, uint32_t sectorBytes, std::function<std::optional<uint64_t>(uint32_t)> clusterSector) {
    return [&source, sectorBytes, where = std::move(clusterSector)](uint32_t cluster, uint32_t bytes,
                                                                    std::vector<uint8_t>& out) {
        const std::optional<uint64_t> first = where(cluster);
        if (!first || sectorBytes == 0) return false;
        const uint32_t sectors = (bytes + sectorBytes - 1) / sectorBytes;
        out.assign(size_t{sectors} * sectorBytes, 0);
        uint32_t read = 0;
        return ReadSectors(sectors, source, out.data(), *first, static_cast<int>(sectorBytes), read) == kOk &&
               read == sectors;
    };
}

bool DriverOrder::Next(uint32_t& cluster) {
    for (;;) {
        uint32_t next = 0;
        if (!access_.nextFree(cursor_, next)) {
            if (wrapped_) return false;
            wrapped_ = true;
            cursor_ = access_.firstCluster - 1;
            continue;
        }
        cursor_ = next;
        if (wrapped_ && next >= from_) return false;
        cluster = next;
        return true;
    }
}

std::vector<uint32_t> FreeRunEndingAt(const ClusterAccess& access, uint32_t last, size_t count) {
    std::vector<uint32_t> run;
    for (uint64_t reach = count + 16;; reach *= 2) {
        const uint32_t from = last > reach + access.firstCluster ? static_cast<uint32_t>(last - reach) : access.firstCluster;
        run.clear();
        for (uint32_t c = from - 1, next = 0; access.nextFree(c, next) && next <= last; c = next) run.push_back(next);
        if (run.size() >= count || from == access.firstCluster || reach > (uint64_t{1} << 32)) break;
    }
    if (run.size() > count) run.erase(run.begin(), run.end() - static_cast<long>(count));
    return run;
}

bool IsJpegName(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    return extension == "jpg" || extension == "jpeg" || extension == "jpe";
}

bool ContinuationSearchable(std::string_view name) {
    return IsJpegName(name) || carve::IsZipFamilyName(name) || carve::IsMovieName(name);
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
    if (carve::IsZipFamilyName(name)) {
        if (auto found = FindZipContinuation(size, layout, access)) return RunsOf(*found);
        return std::nullopt;
    }
    if (carve::IsMovieName(name)) {
        if (auto found = FindMovieContinuation(size, layout, access)) return RunsOf(*found);
        return std::nullopt;
    }
    Search search(access, size);
    std::vector<uint8_t> head;
    for (uint64_t at = 0; at < std::min(size, kMostHeaderBytes); ++at) {
        const int byte = search.ByteAlong(layout, false, {}, at);
        if (byte < 0) return std::nullopt;
        head.push_back(static_cast<uint8_t>(byte));
    }
    carve::JpegScanHeader header;
    if (!carve::ReadJpegScanHeader(ByteView(head), header)) return std::nullopt;
    if (auto found = search.Find(JpegScanDecoder(header), std::move(layout))) return RunsOf(*found);
    return std::nullopt;
}

}  // namespace kestrune
