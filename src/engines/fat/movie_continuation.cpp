#include "engines/fat/movie_continuation.h"

#include <algorithm>
#include <unordered_map>

#include "engines/carve/movie_frames.h"

namespace kestrune {

namespace {

using carve::AtomType;
using carve::MovieBytes;
using carve::MovieFrame;
using carve::MovieFrames;
using carve::TopAtom;

constexpr uint32_t kUnknown = UINT32_MAX;
// Bytes one movie's search may read, and the candidates it tries: a listing maps every
// deleted movie, and one whose rest was written over must not hold it up for long.
constexpr uint64_t kMostBytesRead = 64ull << 20;
constexpr uint32_t kCandidatesPerJoin = 1024;
constexpr uint32_t kMostCandidates = 1 << 15;
// Frames checked over the rest besides those about the join, and how many past the join
// must hold for a rest to count as found rather than merely not refuted.
constexpr size_t kSpreadFrames = 48;
constexpr size_t kLeastFramesPastJoin = 2;

// Clusters read once for the whole search, within its budget.
class ClusterBytes {
public:
    explicit ClusterBytes(const ClusterAccess& access) : access_(access) {}

    // The cluster's bytes; nothing when it cannot be read or the budget is spent.
    const std::vector<uint8_t>* Of(uint32_t cluster) {
        if (const auto known = cache_.find(cluster); known != cache_.end())
            return known->second.empty() ? nullptr : &known->second;
        if (read_ + access_.clusterBytes > kMostBytesRead) {
            spent_ = true;
            return nullptr;
        }
        read_ += access_.clusterBytes;
        std::vector<uint8_t>& bytes = cache_[cluster];
        if (!access_.read(cluster, access_.clusterBytes, bytes) || bytes.size() < access_.clusterBytes) bytes.clear();
        return bytes.empty() ? nullptr : &bytes;
    }
    // The first bytes of a cluster, read past the cache: most candidates are looked at
    // only there.
    bool Head(uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out) {
        if (read_ + bytes > kMostBytesRead) {
            spent_ = true;
            return false;
        }
        read_ += bytes;
        return access_.read(cluster, bytes, out) && out.size() >= bytes;
    }
    bool Spent() const { return spent_; }

private:
    const ClusterAccess& access_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> cache_;
    uint64_t read_ = 0;
    bool spent_ = false;
};

// The file read along clusters, one per file cluster (kUnknown where none is known). One
// that goes on takes the free clusters after its last as it is read further, stepping
// over those in `before` (sorted).
class Reading {
public:
    Reading(ClusterBytes& clusters, const ClusterAccess& access, uint64_t size, std::vector<uint32_t> along,
            bool goesOn = false, std::vector<uint32_t> before = {})
        : clusters_(clusters), access_(access), size_(size), along_(std::move(along)), goesOn_(goesOn),
          before_(std::move(before)) {}

    ByteView Read(uint64_t at, size_t length) {
        const uint64_t cb = access_.clusterBytes;
        if (at > size_ || length > size_ - at) return {};
        scratch_.clear();
        while (scratch_.size() < length) {
            const uint64_t position = at + scratch_.size();
            const uint32_t cluster = ClusterAt(static_cast<size_t>(position / cb));
            const std::vector<uint8_t>* bytes = cluster == kUnknown ? nullptr : clusters_.Of(cluster);
            if (!bytes) return {};
            const size_t within = static_cast<size_t>(position % cb);
            const size_t count = std::min<size_t>(length - scratch_.size(), cb - within);
            scratch_.insert(scratch_.end(), bytes->begin() + static_cast<long>(within),
                            bytes->begin() + static_cast<long>(within + count));
        }
        return ByteView(scratch_);
    }
    MovieBytes Bytes() {
        return [this](uint64_t at, size_t length) { return Read(at, length); };
    }
    uint32_t ClusterAt(size_t k) {
        while (along_.size() <= k) {
            if (!goesOn_ || along_.empty() || along_.back() == kUnknown) return kUnknown;
            uint32_t next = along_.back();
            do {
                if (!access_.nextFree(next, next)) {
                    goesOn_ = false;
                    return kUnknown;
                }
            } while (std::binary_search(before_.begin(), before_.end(), next));
            along_.push_back(next);
        }
        return along_[k];
    }
    const std::vector<uint32_t>& Clusters() const { return along_; }

private:
    ClusterBytes& clusters_;
    const ClusterAccess& access_;
    uint64_t size_;
    std::vector<uint32_t> along_;
    bool goesOn_;
    std::vector<uint32_t> before_;
    std::vector<uint8_t> scratch_;
};

bool FrameHolds(Reading& reading, const MovieFrames& movie, size_t i, bool wholeUnits = false) {
    const MovieFrame& frame = movie.frames[i];
    return carve::FrameHolds(reading.Bytes(), frame, movie.tracks[frame.track], wholeUnits);
}

// The frames the movie atom of a reading lays out, when it finds one whole at `from`.
std::optional<MovieFrames> FramesAlong(Reading& reading, uint64_t size, uint64_t from) {
    bool complete = false;
    for (const TopAtom& atom : carve::TopAtoms(reading.Bytes(), size, complete, from)) {
        if (atom.type != AtomType("moov")) continue;
        if (atom.size > carve::kMostMovieAtomBytes) return std::nullopt;
        return carve::ReadMovieFrames(reading.Read(atom.offset, static_cast<size_t>(atom.size)), size);
    }
    return std::nullopt;
}

class MovieSearch {
public:
    MovieSearch(const ClusterAccess& access, uint64_t size, const std::vector<uint32_t>& layout)
        : access_(access), size_(size), layout_(layout), clusters_(access), first_(clusters_, access, size, layout) {}

    std::optional<std::vector<uint32_t>> Find();

private:
    // The first frame (by offset) that breaks along the first piece; frames.size() when
    // even the last holds. The frames hold up to the piece's end and break after it.
    size_t FirstBreak(const MovieFrames& movie);
    // The movie atom came first: each free cluster after a piece is tried as the rest.
    // Without frames (the piece ends inside the movie atom), each rest's own reading of
    // the atom at movieAt gives them.
    std::optional<std::vector<uint32_t>> TryRestStarts(const MovieFrames* frames, uint64_t movieAt, size_t lowest,
                                                       size_t highest);
    // The movie atom came after the media data, at movieAt: it anchors the rest.
    std::optional<std::vector<uint32_t>> TryMovieAtomClusters(uint64_t movieAt);
    // The splits (first-piece lengths in clusters) the break allows, from the latest.
    std::pair<size_t, size_t> SplitsAround(const MovieFrames& movie, size_t brk, size_t lowest) const;
    // Whether a first piece shorter than split, and the rest found run back over the free
    // clusters before it, holds as well, with other bytes: the frames cannot tell them
    // apart (the join lies inside one unit whose bytes are not checked).
    // The movie atom at movieAt is read again along each: it may lie about the join.
    bool EarlierJoinHolds(uint64_t movieAt, const std::vector<uint32_t>& found, size_t split, size_t lowest);
    bool SameBytes(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);
    // Whether the movie holds along a reading joined at joinAt: the frames about the join,
    // frames spread over the rest, the last one, and the top-level atoms to the end.
    // A rest tried blind (the movie atom came first) needs frames past the join to hold;
    // one the movie atom anchors is shown by that atom.
    bool Holds(Reading& joined, const MovieFrames& movie, uint64_t joinAt, size_t leastPast = kLeastFramesPastJoin);

    const ClusterAccess& access_;
    uint64_t size_;
    const std::vector<uint32_t>& layout_;
    ClusterBytes clusters_;
    Reading first_;
    uint32_t candidates_ = 0;
};

size_t MovieSearch::FirstBreak(const MovieFrames& movie) {
    const size_t count = movie.frames.size();
    if (!FrameHolds(first_, movie, 0)) return 0;
    if (FrameHolds(first_, movie, count - 1)) return count;
    size_t holds = 0, breaks = count - 1;
    while (breaks - holds > 1) {
        const size_t middle = holds + (breaks - holds) / 2;
        (FrameHolds(first_, movie, middle) ? holds : breaks) = middle;
    }
    return breaks;
}

std::pair<size_t, size_t> MovieSearch::SplitsAround(const MovieFrames& movie, size_t brk, size_t lowest) const {
    const uint64_t cb = access_.clusterBytes;
    const size_t clusters = layout_.size();
    // The frame before the break read right where its units' lengths lie, so the piece
    // ends past its start; the frame that broke lies partly past the piece's end.
    size_t low = lowest;
    if (brk > 0) low = std::max(low, static_cast<size_t>(movie.frames[brk - 1].offset / cb) + 1);
    size_t high = clusters - 1;
    if (brk < movie.frames.size()) {
        const MovieFrame& broke = movie.frames[brk];
        high = std::min(high, static_cast<size_t>((broke.offset + broke.size - 1) / cb));
    }
    return {std::max<size_t>(low, 1), high};
}

bool MovieSearch::Holds(Reading& joined, const MovieFrames& movie, uint64_t joinAt, size_t leastPast) {
    const uint64_t cb = access_.clusterBytes;
    const std::vector<MovieFrame>& frames = movie.frames;
    const auto firstPast = std::lower_bound(frames.begin(), frames.end(), joinAt,
                                            [](const MovieFrame& f, uint64_t at) { return f.offset < at; });
    const size_t past = static_cast<size_t>(firstPast - frames.begin());
    if (frames.size() - past < leastPast) return false;
    // Frames past the join first: a wrong rest mostly fails on its first one. About the
    // join they are read whole.
    size_t i = past;
    for (; i < frames.size() && (i < past + leastPast || frames[i].offset < joinAt + 2 * cb); ++i)
        if (!FrameHolds(joined, movie, i) || !FrameHolds(joined, movie, i, true)) return false;
    // Those before the join that reach into its last cluster or over it.
    for (size_t j = past; j-- > 0 && frames[j].offset + frames[j].size + cb > joinAt;)
        if (!FrameHolds(joined, movie, j, true)) return false;
    const size_t step = std::max<size_t>(1, (frames.size() - i) / kSpreadFrames);
    for (; i < frames.size(); i += step)
        if (!FrameHolds(joined, movie, i)) return false;
    if (!frames.empty() && !FrameHolds(joined, movie, frames.size() - 1)) return false;
    bool complete = false;
    carve::TopAtoms(joined.Bytes(), size_, complete);
    return complete && joined.ClusterAt(layout_.size() - 1) != kUnknown;
}

std::optional<std::vector<uint32_t>> MovieSearch::TryRestStarts(const MovieFrames* frames, uint64_t movieAt,
                                                                 size_t lowest, size_t highest) {
    for (size_t split = highest; split >= lowest && split >= 1 && !clusters_.Spent(); --split) {
        std::vector<uint32_t> piece(layout_.begin(), layout_.begin() + static_cast<long>(split));
        std::vector<uint32_t> before = piece;
        std::sort(before.begin(), before.end());
        DriverOrder order(access_, piece.back());
        uint32_t start = 0;
        for (uint32_t tried = 0;
             tried < kCandidatesPerJoin && candidates_ < kMostCandidates && !clusters_.Spent() && order.Next(start);) {
            // The first piece's own reading went on at layout_[split]: it broke there.
            if (start == layout_[split] || std::binary_search(before.begin(), before.end(), start)) continue;
            ++tried;
            ++candidates_;
            std::vector<uint32_t> along = piece;
            along.push_back(start);
            Reading joined(clusters_, access_, size_, std::move(along), true, before);
            std::optional<MovieFrames> own;
            if (!frames) own = FramesAlong(joined, size_, movieAt);
            const MovieFrames* movie = frames ? frames : own ? &*own : nullptr;
            // A rest whose own reading of the movie atom gives the frames is shown by that.
            if (!movie || !Holds(joined, *movie, split * access_.clusterBytes, frames ? kLeastFramesPastJoin : 0))
                continue;
            std::vector<uint32_t> found = joined.Clusters();
            return EarlierJoinHolds(movieAt, found, split, lowest) ? std::nullopt : std::optional(found);
        }
    }
    return std::nullopt;
}

bool MovieSearch::EarlierJoinHolds(uint64_t movieAt, const std::vector<uint32_t>& found, size_t split,
                                   size_t lowest) {
    // The rest run back over the free clusters before its start, the first piece shorter.
    for (size_t earlier = split; earlier-- > std::max<size_t>(lowest, 1) && !clusters_.Spent();) {
        const std::vector<uint32_t> back = FreeRunEndingAt(access_, found[split], split - earlier + 1);
        if (back.size() != split - earlier + 1) break;
        std::vector<uint32_t> along(layout_.begin(), layout_.begin() + static_cast<long>(earlier));
        along.insert(along.end(), back.begin(), back.end() - 1);
        along.insert(along.end(), found.begin() + static_cast<long>(split), found.end());
        Reading joined(clusters_, access_, size_, along);
        const std::optional<MovieFrames> movie = FramesAlong(joined, size_, movieAt);
        if (movie && Holds(joined, *movie, earlier * access_.clusterBytes, 0) && !SameBytes(found, along)) return true;
    }
    return false;
}

bool MovieSearch::SameBytes(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
        if (a[k] == b[k]) continue;
        const std::vector<uint8_t>* one = clusters_.Of(a[k]);
        const std::vector<uint8_t>* other = clusters_.Of(b[k]);
        if (!one || !other || *one != *other) return false;
    }
    return a.size() == b.size();
}

std::optional<std::vector<uint32_t>> MovieSearch::TryMovieAtomClusters(uint64_t movieAt) {
    const uint64_t cb = access_.clusterBytes;
    const size_t clusters = layout_.size();
    const size_t anchor = static_cast<size_t>(movieAt / cb);
    const size_t within = static_cast<size_t>(movieAt % cb);
    std::unordered_map<uint32_t, size_t> placeInLayout;
    for (size_t i = 0; i < clusters; ++i) placeInLayout.emplace(layout_[i], i);
    std::vector<uint8_t> head;
    DriverOrder order(access_, layout_.front());
    uint32_t candidate = 0;
    for (uint32_t tried = 0; tried < kMostCandidates && !clusters_.Spent() && order.Next(candidate);) {
        if (placeInLayout.count(candidate)) continue;
        ++tried;
        // The atom after the media data begins at `within` in the candidate; one whose
        // header crosses into the next cluster is read from the whole rest.
        if (within + 8 <= cb) {
            if (!clusters_.Head(candidate, static_cast<uint32_t>(within + 8), head)) continue;
            const ByteView header = ByteView(head).sub(within, 8);
            if (header.be32(4) != AtomType("moov") || header.be32(0) > size_ - movieAt) continue;
        }
        // The rest: free clusters on from the candidate to the file's end, and back from it.
        std::vector<uint32_t> along(clusters, kUnknown);
        along[anchor] = candidate;
        bool reaches = true;
        for (size_t k = anchor + 1; k < clusters && reaches; ++k) reaches = access_.nextFree(along[k - 1], along[k]);
        if (!reaches) continue;
        const std::vector<uint32_t> back = FreeRunEndingAt(access_, candidate, anchor + 1);
        const size_t restFrom = anchor + 1 - back.size();
        std::copy(back.begin(), back.end(), along.begin() + static_cast<long>(restFrom));
        Reading rest(clusters_, access_, size_, along);
        const std::optional<MovieFrames> movie = FramesAlong(rest, size_, movieAt);
        if (!movie) continue;
        const size_t brk = FirstBreak(*movie);
        auto [low, high] = SplitsAround(*movie, brk, restFrom);
        high = std::min(high, anchor);
        // A split is possible only where no cluster of the rest is one the first piece
        // already took: for each split, the earliest first-piece place the rest reuses.
        std::vector<size_t> reusedFrom(clusters + 1, SIZE_MAX);
        for (size_t i = clusters; i-- > restFrom;) {
            const auto place = placeInLayout.find(along[i]);
            reusedFrom[i] = std::min(reusedFrom[i + 1], place == placeInLayout.end() ? SIZE_MAX : place->second);
        }
        std::optional<std::vector<uint32_t>> found;
        for (size_t split = high; split >= low && !clusters_.Spent(); --split) {
            if (reusedFrom[split] < split) continue;
            std::vector<uint32_t> joinedAlong(layout_.begin(), layout_.begin() + static_cast<long>(split));
            joinedAlong.insert(joinedAlong.end(), along.begin() + static_cast<long>(split), along.end());
            Reading joined(clusters_, access_, size_, joinedAlong);
            if (!Holds(joined, *movie, split * cb, 0)) continue;
            // Where the join falls inside one unit, an earlier one may hold as well.
            if (found) return SameBytes(*found, joinedAlong) ? found : std::nullopt;
            found = std::move(joinedAlong);
        }
        if (found) return found;
    }
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> MovieSearch::Find() {
    bool complete = false;
    const std::vector<TopAtom> atoms = carve::TopAtoms(first_.Bytes(), size_, complete);
    if (atoms.empty() || atoms.front().type != AtomType("ftyp")) return std::nullopt;
    const auto movieAtom =
        std::find_if(atoms.begin(), atoms.end(), [](const TopAtom& a) { return a.type == AtomType("moov"); });
    if (movieAtom != atoms.end()) {
        const uint64_t cb = access_.clusterBytes;
        const uint64_t atomEnd = movieAtom->offset + movieAtom->size;
        const std::optional<MovieFrames> movie = FramesAlong(first_, size_, movieAtom->offset);
        // The first piece ends inside the movie atom: the rest is what makes it whole.
        if (!movie)
            return TryRestStarts(nullptr, movieAtom->offset, static_cast<size_t>(movieAtom->offset / cb) + 1,
                                 std::min(layout_.size() - 1, static_cast<size_t>((atomEnd - 1) / cb)));
        const size_t brk = FirstBreak(*movie);
        // Every frame checked holds and the atoms reach the end: the plain reading is right.
        if (brk == movie->frames.size()) return complete ? std::optional(layout_) : std::nullopt;
        const auto [low, high] = SplitsAround(*movie, brk, static_cast<size_t>((atomEnd + cb - 1) / cb));
        return TryRestStarts(&*movie, movieAtom->offset, low, high);
    }
    // The media atom's header lies in the first cluster and says where the next atom
    // (the movie atom) begins.
    const auto media =
        std::find_if(atoms.begin(), atoms.end(), [](const TopAtom& a) { return a.type == AtomType("mdat"); });
    if (media == atoms.end() || media->offset + media->size >= size_) return std::nullopt;
    return TryMovieAtomClusters(media->offset + media->size);
}

}  // namespace

std::optional<std::vector<uint32_t>> FindMovieContinuation(uint64_t size, const std::vector<uint32_t>& layout,
                                                           const ClusterAccess& access) {
    const uint64_t cb = access.clusterBytes;
    const size_t clusters = layout.size();
    if (cb == 0 || clusters < 2 || size > clusters * cb || size <= (clusters - 1) * cb) return std::nullopt;
    return MovieSearch(access, size, layout).Find();
}

}  // namespace kestrune
