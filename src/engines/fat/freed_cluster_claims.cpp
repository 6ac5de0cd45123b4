#include "engines/fat/freed_cluster_claims.h"

#include "engines/carve/jpeg_scan.h"
#include "engines/carve/movie_frames.h"
#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"

#include <algorithm>
#include <tuple>

#include "base/result_codes.h"
#include "engines/carve/signature_table.h"
#include "scanlog/file_types.h"

namespace kestrune {

void FreedClusterClaims::AddFile(uint32_t first, uint32_t clusters, FileFacts facts) {
    if (clusters == 0) return;
    files_.push_back({first, clusters, facts});
}

void FreedClusterClaims::Hold(uint32_t first, uint32_t count) {
    Claim(first, count);
    AddRange(known_, first, count);
}

void FreedClusterClaims::Claim(uint32_t first, uint32_t count) { AddRange(claimed_, first, count); }

void FreedClusterClaims::AddRange(std::map<uint32_t, uint32_t>& ranges, uint32_t first, uint32_t count) {
    if (count == 0) return;
    uint32_t end = first + count < first ? UINT32_MAX : first + count;
    // Merge with every range that touches [first, end).
    auto at = ranges.upper_bound(first);
    if (at != ranges.begin() && std::prev(at)->second >= first) --at;
    while (at != ranges.end() && at->first <= end) {
        first = std::min(first, at->first);
        end = std::max(end, at->second);
        at = ranges.erase(at);
    }
    ranges.emplace(first, end);
}

uint32_t FreedClusterClaims::RangeEndHolding(const std::map<uint32_t, uint32_t>& ranges, uint32_t cluster) {
    auto at = ranges.upper_bound(cluster);
    if (at == ranges.begin()) return 0;
    --at;
    return at->second > cluster ? at->second : 0;
}

uint32_t FreedClusterClaims::ClaimedUntil(uint32_t cluster) const { return RangeEndHolding(claimed_, cluster); }

bool FreedClusterClaims::ThereWhenWritten(const File& other, const File& file) {
    if (other.facts.startSeen) return true;
    const uint64_t made = file.facts.newness, written = file.facts.lastWritten;
    return made != 0 && made < other.facts.newness && other.facts.newness < written;
}

const FreedClusterClaims::File* FreedClusterClaims::FileAt(uint32_t first, uint32_t clusters) const {
    auto at = std::lower_bound(files_.begin(), files_.end(), std::pair{first, clusters},
                               [](const File& f, const std::pair<uint32_t, uint32_t>& key) {
                                   return std::tie(f.first, f.clusters) < std::tie(key.first, key.second);
                               });
    return at == files_.end() || at->first != first || at->clusters != clusters ? nullptr : &*at;
}

size_t FreedClusterClaims::FirstStartingFrom(uint32_t cluster) const {
    return static_cast<size_t>(std::lower_bound(files_.begin(), files_.end(), cluster,
                                                [](const File& f, uint32_t c) { return f.first < c; }) -
                               files_.begin());
}

bool FreedClusterClaims::StepsRoundKnownData(uint32_t first, uint32_t clusters,
                                             const std::vector<ClusterRun>& plain) const {
    const File* file = FileAt(first, clusters);
    if (!file || file->settled == ClaimSettled::Contradicted) return false;
    const auto claimed = runs_.begin() + static_cast<long>(file->runsAt);
    const size_t claimedCount = file->runCount;
    auto knownIn = [this, file](uint32_t from, uint32_t end) {  // whether [from, end) meets known data
        auto at = known_.upper_bound(from);
        if ((at != known_.begin() && std::prev(at)->second > from) || (at != known_.end() && at->first < end))
            return true;
        for (size_t i = FirstStartingFrom(from); i < files_.size() && files_[i].first < end; ++i)
            if (ThereWhenWritten(files_[i], *file)) return true;
        return false;
    };
    // Both readings go forward from the same first cluster, so their runs ascend: the
    // clusters stepped round are the plain runs less the claimed runs, found in one merge.
    size_t j = 0;
    for (const ClusterRun& run : plain) {
        uint32_t at = run.first;
        const uint32_t end = run.first + run.count;
        while (at < end) {
            while (j < claimedCount && claimed[j].first + claimed[j].count <= at) ++j;
            if (j < claimedCount && claimed[j].first <= at) {
                at = std::min(end, claimed[j].first + claimed[j].count);
                continue;
            }
            const uint32_t steppedEnd = j < claimedCount ? std::min(end, claimed[j].first) : end;
            if (knownIn(at, steppedEnd)) return true;
            at = steppedEnd;
        }
    }
    return false;
}

bool FreedClusterClaims::Walk(const File& file, const NextFreeFn& nextFree, std::vector<ClusterRun>& out,
                              std::vector<ClusterRun>* steppedRound) {
    out.clear();
    if (steppedRound) steppedRound->clear();
    out.push_back({file.first, 1});
    uint32_t cluster = file.first;
    for (uint32_t need = file.clusters - 1; need > 0; --need) {
        uint32_t next = 0;
        if (!nextFree(cluster, next) || next <= cluster) return false;
        // Claimed stretches are jumped whole: a file written round a long run of another
        // file's clusters costs one step, not one per cluster.
        for (uint32_t until; (until = ClaimedUntil(next)) != 0;) {
            if (steppedRound) steppedRound->push_back({next, until - next});
            if (!nextFree(until - 1, next) || next < until) return false;
        }
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
        return std::tie(a.first, a.clusters, b.facts.newness) < std::tie(b.first, b.clusters, a.facts.newness);
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
            if (files_[end].facts.newness > newest || newestCount == 0) {
                newest = files_[end].facts.newness;
                newestCount = 0;
            }
            newestCount += files_[end].facts.newness == newest;
        }
        Claim(files_[i].first, 1);
        if (end - i > 1)
            for (size_t k = i; k < end; ++k)
                if (files_[k].facts.newness != newest || newestCount > 1) files_[k].settled = ClaimSettled::Contradicted;
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
                     [this](size_t a, size_t b) { return files_[a].facts.newness > files_[b].facts.newness; });
    // Except where an older file was still there when a newer one was written (see
    // ThereWhenWritten): the newer file went round all of it, so it is laid out first.
    for (size_t i : disputed) LayOutDisputed(files_[i], nextFree, 0);
}

void FreedClusterClaims::LayOutDisputed(File& file, const NextFreeFn& nextFree, int depth) {
    // A long line of files each inside the last is cut short: the rest keep the age order.
    constexpr int kMaxDepth = 32;
    if (file.settled != ClaimSettled::Unknown) return;
    file.settled = ClaimSettled::ByAge;  // taken: a file met again further down is not laid out twice
    std::vector<ClusterRun> reading, steppedRound;
    bool walked = Walk(file, nextFree, reading, depth < kMaxDepth ? &steppedRound : nullptr);
    std::vector<File*> before;
    for (const ClusterRun& stretch : steppedRound) {
        const uint32_t end = stretch.first + stretch.count;
        for (size_t i = FirstStartingFrom(stretch.first); i < files_.size() && files_[i].first < end; ++i)
            if (files_[i].settled == ClaimSettled::Unknown && ThereWhenWritten(files_[i], file))
                before.push_back(&files_[i]);
    }
    if (walked && !before.empty()) {
        for (File* other : before) LayOutDisputed(*other, nextFree, depth + 1);
        walked = Walk(file, nextFree, reading);
    }
    if (walked) Keep(file, reading, ClaimSettled::ByAge);
    else file.settled = ClaimSettled::Contradicted;
}

ClaimSettled FreedClusterClaims::LayoutOf(uint32_t first, uint32_t clusters, std::vector<ClusterRun>& runs) const {
    runs.clear();
    const File* file = FileAt(first, clusters);
    if (!file) return ClaimSettled::Unknown;
    runs.assign(runs_.begin() + static_cast<long>(file->runsAt), runs_.begin() + static_cast<long>(file->runsAt + file->runCount));
    return file->settled;
}

FreedLayout ChooseFreedLayout(ClaimSettled settled, std::vector<ClusterRun> claimed,
                              const std::vector<ClusterRun>& plain,
                              const std::function<bool(const std::vector<ClusterRun>&)>& structureHolds,
                              const LayoutEvidence& evidence) {
    if (settled == ClaimSettled::Unknown) return {};
    const bool contradicted = settled == ClaimSettled::Contradicted;
    // One run from the first cluster is how most files lie; a reading that steps over
    // other files' clusters, or a file known to have been written in pieces, is tested
    // where the type can be followed to its end.
    if (!contradicted && plain == claimed &&
        (!evidence.searchable || (plain.size() <= 1 && !evidence.writtenInPieces))) {
        FreedLayout trusted{std::move(claimed), false};
        trusted.untested = evidence.searchable;
        return trusted;
    }
    // A claim may be stale (an older file deleted before this one was written over its
    // place), so where the readings differ, the bytes decide where they tell them apart: a
    // structure that only checks the file's length holds along both.
    const bool claimedHolds = !contradicted && structureHolds(claimed);
    if (!contradicted && plain == claimed && claimedHolds) return {std::move(claimed), false};
    const bool plainHolds = !plain.empty() && (contradicted || plain != claimed) && structureHolds(plain);
    if (claimedHolds && !plainHolds) return {std::move(claimed), false};
    if (plainHolds && !claimedHolds) return {plain, false};
    // The bytes do not choose. Stepping round another deleted file's claim is right only
    // if that file was still there when this one was written, which nothing records; the
    // plain reading is taken unless the claims' reading steps round data known to be
    // something else.
    const bool takeClaimed = !contradicted && evidence.stepsRoundKnownData;
    FreedLayout guess;
    guess.guessed = true;
    if (takeClaimed) {
        guess.runs = std::move(claimed);
        if (evidence.searchable) guess.other = plain;
    } else if (contradicted) {
        if (evidence.searchable) guess.other = plain;  // runs empty: the plain reading from the table
    } else {
        guess.runs = plain;
        if (evidence.searchable) guess.other = std::move(claimed);
    }
    return guess;
}

void SearchFreedLayout(FreedLayout& layout, const ContinuationFinder& findContinuation,
                       const std::function<bool(const std::vector<ClusterRun>&)>& structureHolds) {
    if (layout.untested && findContinuation && structureHolds) {
        layout.untested = false;
        // The files in one run are most files: their content confirms them, or says the
        // one run is wrong.
        if (!structureHolds(layout.runs)) layout.guessed = true;
    }
    if (!layout.guessed || layout.searched || !findContinuation) return;
    layout.searched = true;
    for (const std::vector<ClusterRun>* tried : {&layout.runs, &layout.other}) {
        if (tried->empty() || (tried == &layout.other && layout.other == layout.runs)) continue;
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

FirstClusterHolds FirstClusterOf(SectorSource& source, uint64_t clusterSector, uint32_t bytesPerSector,
                                 uint32_t clusterBytes, const ScanRecord& record) {
    constexpr uint64_t kZeroEnd = 8;
    const uint32_t bps = bytesPerSector;
    const uint64_t size = record.fileSize;
    const bool oneCluster = size <= clusterBytes && size >= kZeroEnd;
    const std::string_view extension = ExtensionOf(RecordName(record));
    const bool text = carve::IsPlainTextExtension(extension);
    const carve::SignatureRow* row = extension.empty() ? nullptr : carve::RowForExtension(extension);
    const bool signed_ = !text && row && row->signature->detect && record.contentOk;
    if (bps == 0 || (!oneCluster && !text)) return signed_ ? FirstClusterHolds::ItsStart : FirstClusterHolds::Unknown;
    const uint32_t sectors = oneCluster ? static_cast<uint32_t>((size + bps - 1) / bps) : 1;
    std::vector<uint8_t> bytes(size_t{sectors} * bps);
    uint32_t read = 0;
    if (ReadSectors(sectors, source, bytes.data(), clusterSector, static_cast<int>(bps), read) != kOk || read != sectors)
        return FirstClusterHolds::Unknown;
    if (text && !carve::LooksLikeText(ByteView(bytes).sub(0, static_cast<size_t>(std::min<uint64_t>(size, bps)))))
        return FirstClusterHolds::OtherData;
    if (!oneCluster) return FirstClusterHolds::Unknown;
    const auto end = bytes.begin() + static_cast<long>(size);
    if (std::any_of(end, bytes.end(), [](uint8_t b) { return b != 0; }) ||
        std::all_of(end - kZeroEnd, end, [](uint8_t b) { return b == 0; }))
        return FirstClusterHolds::OtherData;
    // A size that fills its last sector leaves no tail to see the end by.
    return size % bps != 0 || signed_ ? FirstClusterHolds::ItsStart : FirstClusterHolds::Unknown;
}

namespace {
// Files up to this size are read whole to test a layout; larger ones keep the likeliest.
constexpr uint64_t kMaxTestedBytes = 64ull << 20;
}  // namespace

bool HasTestableStructure(std::string_view name, uint64_t size) {
    const std::string_view extension = ExtensionOf(name);
    const carve::SignatureRow* row = extension.empty() ? nullptr : carve::RowForExtension(extension);
    return ((row && row->signature->length) || carve::IsZipFamilyName(name) || carve::IsMovieName(name)) &&
           size <= kMaxTestedBytes;
}

bool StructureHoldsAlong(PieceReader& reader, std::string_view name, uint64_t size) {
    if (!HasTestableStructure(name, size)) return false;
    std::vector<uint8_t> bytes, piece;
    while (bytes.size() < size && reader.ReadPiece(piece) == kOk && !piece.empty())
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    if (bytes.size() > size) bytes.resize(size);
    // A picture whose data decodes is followed block by block: a wrong cluster breaks it.
    if (IsJpegName(name)) {
        const carve::JpegCheck check = carve::CheckJpegToEnd(ByteView(bytes), size);
        if (check != carve::JpegCheck::NotDecodable) return check == carve::JpegCheck::Holds;
    }
    // An archive's members are each checked against the directory: a wrong cluster in
    // the middle breaks the one it lands in, though the end record is right.
    if (carve::IsZipFamilyName(name))
        if (const std::optional<bool> holds = carve::ZipMembersHold(ByteView(bytes))) return *holds;
    // A movie's frames each lie where its movie atom says: a wrong cluster among the media
    // data breaks the frames in it, though the atoms around it are right.
    if (carve::IsMovieName(name))
        if (const std::optional<bool> holds = carve::MovieFramesHold(ByteView(bytes))) return *holds;
    // The end must fall on the file's last byte: a wrong cluster in the middle of a
    // picture still ends at some picture's end marker, but hardly ever at this size.
    return carve::StructureEndsNear(ByteView(bytes), ExtensionOf(name), size, 0);
}

}  // namespace kestrune
