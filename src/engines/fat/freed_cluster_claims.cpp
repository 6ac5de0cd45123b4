#include "engines/fat/freed_cluster_claims.h"

#include "engines/carve/jpeg_scan.h"
#include "engines/fat/continuation_search.h"

#include <algorithm>
#include <tuple>

#include "base/result_codes.h"
#include "engines/carve/signature_table.h"
#include "scanlog/file_types.h"

namespace kestrune {

void FreedClusterClaims::AddFile(uint32_t first, uint32_t clusters, uint64_t newness) {
    if (clusters == 0) return;
    files_.push_back({first, clusters, newness});
}

void FreedClusterClaims::Hold(uint32_t first, uint32_t count) { Claim(first, count); }

void FreedClusterClaims::Claim(uint32_t first, uint32_t count) {
    if (count == 0) return;
    uint32_t end = first + count < first ? UINT32_MAX : first + count;
    // Merge with every range that touches [first, end).
    auto at = claimed_.upper_bound(first);
    if (at != claimed_.begin() && std::prev(at)->second >= first) --at;
    while (at != claimed_.end() && at->first <= end) {
        first = std::min(first, at->first);
        end = std::max(end, at->second);
        at = claimed_.erase(at);
    }
    claimed_.emplace(first, end);
}

uint32_t FreedClusterClaims::ClaimedUntil(uint32_t cluster) const {
    auto at = claimed_.upper_bound(cluster);
    if (at == claimed_.begin()) return 0;
    --at;
    return at->second > cluster ? at->second : 0;
}

bool FreedClusterClaims::Walk(const File& file, const NextFreeFn& nextFree, std::vector<ClusterRun>& out) {
    out.clear();
    out.push_back({file.first, 1});
    uint32_t cluster = file.first;
    for (uint32_t need = file.clusters - 1; need > 0; --need) {
        uint32_t next = 0;
        if (!nextFree(cluster, next) || next <= cluster) return false;
        // Claimed stretches are jumped whole: a file written round a long run of another
        // file's clusters costs one step, not one per cluster.
        for (uint32_t until; (until = ClaimedUntil(next)) != 0;)
            if (!nextFree(until - 1, next) || next < until) return false;
        const uint64_t step = next - cluster;
        if (step > stepsLeft_) return false;
        stepsLeft_ -= step;
        if (out.back().first + out.back().count == next) ++out.back().count;
        else out.push_back({next, 1});
        cluster = next;
    }
    return true;
}

void FreedClusterClaims::Keep(File& file, const std::vector<ClusterRun>& runs, ClaimSettled how) {
    file.settled = how;
    file.runsAt = runs_.size();
    file.runCount = runs.size();
    runs_.insert(runs_.end(), runs.begin(), runs.end());
    for (const ClusterRun& run : runs) Claim(run.first, run.count);
}

void FreedClusterClaims::Settle(const NextFreeFn& nextFree, uint64_t maxSteps) {
    stepsLeft_ = maxSteps;
    runs_.clear();
    // One entry per place and length: the same file listed twice (a copy of its entry in
    // another cluster of the folder) is one file.
    std::sort(files_.begin(), files_.end(), [](const File& a, const File& b) {
        return std::tie(a.first, a.clusters, b.newness) < std::tie(b.first, b.clusters, a.newness);
    });
    files_.erase(std::unique(files_.begin(), files_.end(),
                             [](const File& a, const File& b) { return a.first == b.first && a.clusters == b.clusters; }),
                 files_.end());
    // Files that start in the same cluster: the newest was written over the others' place,
    // so it is laid out and the older ones (whose data is gone) claim nothing more. Of
    // two equally new, neither is trusted.
    for (size_t i = 0; i < files_.size();) {
        size_t end = i;
        uint64_t newest = 0;
        size_t newestCount = 0;
        for (; end < files_.size() && files_[end].first == files_[i].first; ++end) {
            if (files_[end].newness > newest || newestCount == 0) {
                newest = files_[end].newness;
                newestCount = 0;
            }
            newestCount += files_[end].newness == newest;
        }
        Claim(files_[i].first, 1);
        if (end - i > 1)
            for (size_t k = i; k < end; ++k)
                if (files_[k].newness != newest || newestCount > 1) files_[k].settled = ClaimSettled::Contradicted;
        i = end;
    }

    // Every file read over the clusters nobody claims yet; a file none of whose clusters
    // another reading takes is laid out for sure.
    std::vector<std::vector<ClusterRun>> readings(files_.size());
    std::vector<std::pair<uint32_t, int>> edges;  // +1 where a reading's run starts, -1 past it
    for (size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].settled == ClaimSettled::Contradicted) continue;
        if (!Walk(files_[i], nextFree, readings[i])) {
            files_[i].settled = ClaimSettled::Contradicted;
            readings[i].clear();
            continue;
        }
        for (const ClusterRun& run : readings[i]) {
            edges.emplace_back(run.first, 1);
            edges.emplace_back(run.first + run.count, -1);
        }
    }
    std::sort(edges.begin(), edges.end());
    std::vector<ClusterRun> wanted;  // stretches two readings or more take
    int depth = 0;
    for (size_t i = 0; i < edges.size();) {
        const uint32_t at = edges[i].first;
        for (; i < edges.size() && edges[i].first == at; ++i) depth += edges[i].second;
        if (depth >= 2 && (wanted.empty() || wanted.back().count != 0)) wanted.push_back({at, 0});
        else if (depth < 2 && !wanted.empty() && wanted.back().count == 0) wanted.back().count = at - wanted.back().first;
    }
    auto contested = [&wanted](const std::vector<ClusterRun>& reading) {
        for (const ClusterRun& run : reading) {
            auto at = std::upper_bound(wanted.begin(), wanted.end(), run.first,
                                       [](uint32_t c, const ClusterRun& w) { return c < w.first; });
            if (at != wanted.begin() && std::prev(at)->first + std::prev(at)->count > run.first) return true;
            if (at != wanted.end() && at->first < run.first + run.count) return true;
        }
        return false;
    };
    std::vector<size_t> disputed;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].settled == ClaimSettled::Contradicted) continue;
        if (contested(readings[i])) disputed.push_back(i);
        else Keep(files_[i], readings[i], ClaimSettled::Alone);
        readings[i] = {};
    }

    // The rest, newest first: a file written later went where it found room, round the
    // clusters older files still held, or over those of files deleted before it.
    std::stable_sort(disputed.begin(), disputed.end(),
                     [this](size_t a, size_t b) { return files_[a].newness > files_[b].newness; });
    std::vector<ClusterRun> reading;
    for (size_t i : disputed) {
        if (Walk(files_[i], nextFree, reading)) Keep(files_[i], reading, ClaimSettled::ByAge);
        else files_[i].settled = ClaimSettled::Contradicted;
    }
}

ClaimSettled FreedClusterClaims::LayoutOf(uint32_t first, uint32_t clusters, std::vector<ClusterRun>& runs) const {
    runs.clear();
    auto at = std::lower_bound(files_.begin(), files_.end(), std::pair{first, clusters},
                               [](const File& f, const std::pair<uint32_t, uint32_t>& key) {
                                   return std::tie(f.first, f.clusters) < std::tie(key.first, key.second);
                               });
    if (at == files_.end() || at->first != first || at->clusters != clusters) return ClaimSettled::Unknown;
    runs.assign(runs_.begin() + static_cast<long>(at->runsAt), runs_.begin() + static_cast<long>(at->runsAt + at->runCount));
    return at->settled;
}

FreedLayout ChooseFreedLayout(ClaimSettled settled, std::vector<ClusterRun> claimed,
                              const std::vector<ClusterRun>& plain,
                              const std::function<bool(const std::vector<ClusterRun>&)>& structureHolds,
                              bool searchable, bool writtenInPieces) {
    if (settled == ClaimSettled::Unknown) return {};
    const bool contradicted = settled == ClaimSettled::Contradicted;
    if (!contradicted) {
        // One run from the first cluster is how most files lie; a reading that steps over
        // other files' clusters, or a file known to have been written in pieces, is tested
        // where the type can be followed to its end.
        if (plain == claimed && (!searchable || (plain.size() <= 1 && !writtenInPieces)))
            return {std::move(claimed), false};
        // A claim may be stale (an older file deleted before this one was written over its
        // place), so where the readings differ, the bytes decide where they can.
        if (structureHolds(claimed)) return {std::move(claimed), false};
    }
    if ((contradicted || plain != claimed) && !plain.empty() && structureHolds(plain)) return {plain, false};
    // Nothing better is known; the claims' layout is the likelier, but a guess.
    FreedLayout guess{contradicted ? std::vector<ClusterRun>{} : std::move(claimed), true};
    if (searchable) guess.plain = plain;
    return guess;
}

void SearchFreedLayout(FreedLayout& layout, const ContinuationFinder& findContinuation) {
    if (!layout.guessed || layout.searched || !findContinuation) return;
    layout.searched = true;
    for (const std::vector<ClusterRun>* tried : {&layout.runs, &layout.plain}) {
        if (tried->empty() || (tried == &layout.plain && layout.plain == layout.runs)) continue;
        if (auto found = findContinuation(*tried)) {
            layout.runs = std::move(*found);
            layout.guessed = false;
            return;
        }
    }
}

FreedFileKey FreedFileKeyOf(const ScanRecord& record) {
    return {record.fsId, record.fileSize, AsciiLower(ExtensionOf(RecordName(record)))};
}

bool LayoutRefuted(std::string_view name, uint64_t size, bool guessed) {
    return guessed && ContinuationSearchable(name) && HasTestableStructure(name, size);
}

bool FirstClusterWrittenOver(SectorSource& source, uint64_t clusterSector, uint32_t bytesPerSector,
                             uint32_t clusterBytes, const ScanRecord& record) {
    constexpr uint64_t kZeroEnd = 8;
    const uint32_t bps = bytesPerSector;
    const uint64_t size = record.fileSize;
    const bool oneCluster = size <= clusterBytes && size >= kZeroEnd;
    const bool text = carve::IsPlainTextExtension(ExtensionOf(RecordName(record)));
    if (bps == 0 || (!oneCluster && !text)) return false;
    const uint32_t sectors = oneCluster ? static_cast<uint32_t>((size + bps - 1) / bps) : 1;
    std::vector<uint8_t> bytes(size_t{sectors} * bps);
    uint32_t read = 0;
    if (ReadSectors(sectors, source, bytes.data(), clusterSector, static_cast<int>(bps), read) != kOk || read != sectors)
        return false;
    if (text && !carve::LooksLikeText(ByteView(bytes).sub(0, static_cast<size_t>(std::min<uint64_t>(size, bps)))))
        return true;
    if (!oneCluster) return false;
    const auto end = bytes.begin() + static_cast<long>(size);
    return std::any_of(end, bytes.end(), [](uint8_t b) { return b != 0; }) ||
           std::all_of(end - kZeroEnd, end, [](uint8_t b) { return b == 0; });
}

namespace {
// Files up to this size are read whole to test a layout; larger ones keep the likeliest.
constexpr uint64_t kMaxTestedBytes = 64ull << 20;
}  // namespace

bool HasTestableStructure(std::string_view name, uint64_t size) {
    const std::string_view extension = ExtensionOf(name);
    const carve::SignatureRow* row = extension.empty() ? nullptr : carve::RowForExtension(extension);
    return row && row->signature->length && size <= kMaxTestedBytes;
}

bool StructureHoldsAlong(PieceReader& reader, std::string_view name, uint64_t size) {
    if (!HasTestableStructure(name, size)) return false;
    std::vector<uint8_t> bytes, piece;
    while (bytes.size() < size && reader.ReadPiece(piece) == kOk && !piece.empty())
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    if (bytes.size() > size) bytes.resize(size);
    // A picture whose data decodes is followed block by block: a wrong cluster breaks it.
    if (ContinuationSearchable(name)) {
        const carve::JpegCheck check = carve::CheckJpegToEnd(ByteView(bytes), size);
        if (check != carve::JpegCheck::NotDecodable) return check == carve::JpegCheck::Holds;
    }
    // The end must fall on the file's last byte: a wrong cluster in the middle of a
    // picture still ends at some picture's end marker, but hardly ever at this size.
    return carve::StructureEndsNear(ByteView(bytes), ExtensionOf(name), size, 0);
}

}  // namespace kestrune
