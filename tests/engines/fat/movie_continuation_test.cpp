// Movies checked frame by frame where their movie atom places each frame, and a deleted
// movie whose chain was cleared found whole again from where its frames go on.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "engines/carve/movie_frames.h"
#include "engines/fat/continuation_search.h"
#include "support/recovered_fixture.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

std::vector<uint8_t> Movie(const std::string& name) {
    return test::ReadFileBytes(test::FixturePath("carve_video/" + name));
}

TEST(MovieFrames, EveryFrameHoldsWhereItsMovieAtomSaysAndAWrongStretchBreaksOne) {
    for (const char* name : {"h264_last.mp4", "h264_first.mp4", "hevc.mp4", "camera.mov", "moov_first.mp4",
                             "clip.mov", "phone.3gp"}) {
        const std::vector<uint8_t> movie = Movie(name);
        // H.263 (the phone's) has no check of its own: it cannot be told.
        const std::optional<bool> expected = std::string(name) == "phone.3gp" ? std::nullopt : std::optional(true);
        EXPECT_EQ(carve::MovieFramesHold(ByteView(movie)), expected) << name;
    }
    // A kilobyte of another movie's media data in the middle, where frames begin.
    std::vector<uint8_t> movie = Movie("h264_last.mp4");
    const std::vector<uint8_t> other = Movie("hevc.mp4");
    std::vector<uint8_t> mixed = movie;
    std::copy_n(other.begin() + 4096, 1024, mixed.begin() + 8192);
    EXPECT_EQ(carve::MovieFramesHold(ByteView(mixed)), false);
    // A movie cut before its movie atom cannot be told either way.
    const std::vector<uint8_t> cut(movie.begin(), movie.end() - 2048);
    EXPECT_EQ(carve::MovieFramesHold(ByteView(cut)), std::nullopt);
    // Tables that place frames past the end of the file they are read for are not its own.
    bool complete = false;
    const carve::MovieBytes bytes = [&movie](uint64_t at, size_t length) { return ByteView(movie).sub(at, length); };
    const std::vector<carve::TopAtom> atoms = carve::TopAtoms(bytes, movie.size(), complete);
    ASSERT_TRUE(complete);
    ASSERT_EQ(atoms.back().type, carve::AtomType("moov"));
    const ByteView atom = ByteView(movie).sub(atoms.back().offset, atoms.back().size);
    EXPECT_TRUE(carve::ReadMovieFrames(atom, movie.size()));
    EXPECT_FALSE(carve::ReadMovieFrames(atom, atoms.back().offset - 4096));
}

// A volume of 1 KiB clusters whose every third cluster a live file holds. Between the
// movie's pieces lie other movies (what a camera's card holds), or noise.
class MovieVolume {
public:
    static constexpr uint32_t kCluster = 1024;
    static constexpr uint32_t kClusters = 160;

    explicit MovieVolume(bool noise = false) : bytes_(size_t{kClusters} * kCluster) {
        std::vector<uint8_t> others;
        for (const char* other : {"moov_last.mp4", "clip.mov", "h264_first.mp4", "hevc.mp4"}) {
            const std::vector<uint8_t> movie = Movie(other);
            others.insert(others.end(), movie.begin(), movie.end());
        }
        for (size_t i = 0; i < bytes_.size(); ++i)
            bytes_[i] = noise ? static_cast<uint8_t>((i * 7919) >> 5 ^ i) : others[(i * 3 + 517) % others.size()];
        access_.clusterBytes = kCluster;
        access_.firstCluster = 0;
        access_.read = [this](uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out) {
            if (cluster >= kClusters || bytes > kCluster) return false;
            out.assign(bytes_.begin() + cluster * kCluster, bytes_.begin() + cluster * kCluster + bytes);
            return true;
        };
        access_.nextFree = [](uint32_t cluster, uint32_t& next) {
            for (next = cluster + 1; next < kClusters; ++next)
                if (next % 3 != 2) return true;
            return false;
        };
    }
    // The file laid out along clusters; returns them.
    std::vector<uint32_t> Place(const std::vector<uint8_t>& file, const std::vector<uint32_t>& clusters) {
        for (size_t k = 0; k < clusters.size(); ++k) {
            const size_t length = std::min<size_t>(kCluster, file.size() - k * kCluster);
            std::copy_n(file.begin() + static_cast<long>(k * kCluster), length,
                        bytes_.begin() + clusters[k] * kCluster);
        }
        return clusters;
    }
    // A first piece of `first` clusters at the volume's start, the rest over the free
    // clusters from `restFrom` on.
    std::vector<uint32_t> PlaceInTwo(const std::vector<uint8_t>& file, uint32_t first, uint32_t restFrom) {
        std::vector<uint32_t> clusters;
        for (uint32_t c = 0; c < first; ++c) clusters.push_back(c);
        const size_t count = (file.size() + kCluster - 1) / kCluster;
        for (uint32_t c = restFrom; clusters.size() < count; ++c)
            if (c % 3 != 2) clusters.push_back(c);
        return Place(file, clusters);
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }
    const ClusterAccess& Access() const { return access_; }

private:
    std::vector<uint8_t> bytes_;
    ClusterAccess access_;
};

std::vector<uint32_t> ClustersOf(const std::vector<ClusterRun>& runs) {
    std::vector<uint32_t> clusters;
    for (const ClusterRun& run : runs)
        for (uint32_t i = 0; i < run.count; ++i) clusters.push_back(run.first + i);
    return clusters;
}

TEST(MovieContinuation, TheRestIsFoundWhereTheFramesGoOnWhereverTheMovieAtomLies) {
    for (const char* name : {"h264_last.mp4", "h264_first.mp4", "hevc.mp4", "camera.mov"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> movie = Movie(name);
        const uint32_t clusters = static_cast<uint32_t>((movie.size() + MovieVolume::kCluster - 1) / MovieVolume::kCluster);
        MovieVolume volume;
        // Read along the plain reading from its first cluster, it breaks after 11 clusters.
        const std::vector<uint32_t> truth = volume.PlaceInTwo(movie, 11, 75);
        const std::vector<ClusterRun> plain{{0, clusters}};
        const auto found = FindContinuation(name, movie.size(), plain, volume.Access());
        ASSERT_TRUE(found);
        EXPECT_EQ(ClustersOf(*found), truth);

        // The plain reading itself, when the movie lies in one piece.
        MovieVolume whole;
        whole.Place(movie, ClustersOf(plain));
        const auto same = FindContinuation(name, movie.size(), plain, whole.Access());
        ASSERT_TRUE(same);
        EXPECT_EQ(*same, plain);

        // The rest's clusters written over by another file: nothing, not a wrong layout.
        for (size_t k = 11; k < truth.size(); ++k)
            std::fill_n(volume.Bytes().begin() + truth[k] * MovieVolume::kCluster, MovieVolume::kCluster, 0x5A);
        EXPECT_FALSE(FindContinuation(name, movie.size(), plain, volume.Access()));
    }
    // Noise that escapes like coded data where the first piece ends: the H.265 movie's join
    // falls inside one unit there, and the frames hold whether its twelfth cluster is the
    // noise or the rest's first. Nothing is found rather than a guess called whole.
    const std::vector<uint8_t> movie = Movie("hevc.mp4");
    MovieVolume noisy(true);
    noisy.PlaceInTwo(movie, 11, 75);
    const uint32_t clusters = static_cast<uint32_t>((movie.size() + MovieVolume::kCluster - 1) / MovieVolume::kCluster);
    EXPECT_FALSE(FindContinuation("hevc.mp4", movie.size(), {{0, clusters}}, noisy.Access()));
}

TEST(MovieContinuation, VideosDeletedInPiecesFromACameraCardComeBackWholeAndNoneIsWrongButCalledGood) {
    test::RecoveredFixture card("fat/videos12.img.gz", "fat/videos12.json");
    std::map<int, std::pair<size_t, size_t>> byPieces;  // intact, exact
    for (const auto& file : card.manifest["deleted"]) {
        const std::string path = file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
        const RecoveredFile* recovered = card.Find(file);
        const bool good = recovered && recovered->result == kOk;
        const bool same = good && test::RecoveredFixture::Sha256Of(recovered->target) == file["sha256"];
        if (good) {
            EXPECT_TRUE(same) << path;
        }
        if (!file["intact"].get<bool>()) continue;
        auto& [intact, exact] = byPieces[file["pieces"].get<int>()];
        ++intact;
        exact += same;
    }
    for (const auto& [pieces, counts] : byPieces)
        std::printf("videos in %d pieces: %zu intact, %zu exact\n", pieces, counts.first, counts.second);
    EXPECT_EQ(byPieces[1].second, byPieces[1].first);
    // Two pieces: found from the frames, except where the join falls where nothing is
    // checked (inside PCM sound, or the text an H.265 encoder leaves in the movie atom)
    // and another join holds as well (2 of 31): those say they are damaged.
    EXPECT_GE(byPieces[2].first, 30u);
    EXPECT_GE(byPieces[2].second + 2, byPieces[2].first);
}

}  // namespace
}  // namespace kestrune
