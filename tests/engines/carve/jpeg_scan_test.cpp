// Photos followed through their picture data: whole ones hold to their end; a wrong
// stretch in the middle, of any kind a disk holds, breaks them; and a photo read along
// the wrong clusters is found again where its data goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engines/carve/jpeg_scan.h"
#include "engines/fat/continuation_search.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

using carve::CheckJpegToEnd;
using carve::JpegCheck;

std::vector<uint8_t> Photo(const std::string& path) { return test::ReadFileBytes(test::FixturePath(path)); }

// Baseline photos of ImageMagick and a camera-like one with an Exif thumbnail, colour
// 4:2:0, grey, and restart markers after every MCU.
const char* const kPhotos[] = {"carve_structure/baseline.jpg", "carve_structure/exif_thumbnail.jpg", "carve/thumb.jpg",
                               "../fuzz/corpus/jpeg_scan/restarts_48x40.jpg",
                               "../fuzz/corpus/jpeg_scan/gray_32x32.jpg"};

TEST(JpegScan, WholePhotosHoldToTheirEndAndOnlyFillOrATrailerMayFollow) {
    for (const char* path : kPhotos) {
        std::vector<uint8_t> bytes = Photo(path);
        const uint64_t size = bytes.size();
        EXPECT_EQ(CheckJpegToEnd(ByteView(bytes), size), JpegCheck::Holds) << path;
        // Cut short, or said to be shorter than its end marker: not the whole photo.
        EXPECT_EQ(CheckJpegToEnd(ByteView(bytes).sub(0, size - 3), size - 3), JpegCheck::Broken) << path;
        // Zeros up to a larger size (a camera's padding) are fill, and so is a trailer a
        // phone appends (a film); other bytes are another file's.
        bytes.resize(size + 700, 0);
        EXPECT_EQ(CheckJpegToEnd(ByteView(bytes), bytes.size()), JpegCheck::Holds) << path;
        std::copy_n("\0\0\0\x18" "ftypmp42", 12, bytes.begin() + static_cast<long>(size));
        EXPECT_EQ(CheckJpegToEnd(ByteView(bytes), bytes.size()), JpegCheck::Holds) << path;
        bytes[size + 4] = 'x';
        EXPECT_EQ(CheckJpegToEnd(ByteView(bytes), bytes.size()), JpegCheck::Broken) << path;
    }
    // A progressive photo's data is not decoded: it says so rather than calling it broken.
    const std::vector<uint8_t> progressive = Photo("carve_structure/progressive.jpg");
    EXPECT_EQ(CheckJpegToEnd(ByteView(progressive), progressive.size()), JpegCheck::NotDecodable);
}

TEST(JpegScan, AWrongStretchInTheMiddleBreaksThePhoto) {
    const std::vector<uint8_t> other = Photo("carve/thumb.jpg");
    std::mt19937 random(7);
    for (const char* path : {"carve_structure/baseline.jpg", "carve_structure/exif_thumbnail.jpg",
                             "../fuzz/corpus/jpeg_scan/restarts_48x40.jpg"}) {
        const std::vector<uint8_t> photo = Photo(path);
        carve::JpegScanHeader header;
        ASSERT_TRUE(carve::ReadJpegScanHeader(ByteView(photo), header)) << path;
        // A sector's worth in the picture data, as a wrong cluster of a small card puts it.
        const size_t at = header.dataStart + (photo.size() - header.dataStart) / 3;
        const size_t length = std::min<size_t>(512, photo.size() - 2 - at);
        auto replaced = [&](auto fill) {
            std::vector<uint8_t> bytes = photo;
            for (size_t i = 0; i < length; ++i) bytes[at + i] = fill(i);
            return CheckJpegToEnd(ByteView(bytes), bytes.size());
        };
        EXPECT_EQ(replaced([](size_t) { return uint8_t{0}; }), JpegCheck::Broken) << path << ": zeros";
        // Another photo's picture data, stuffed bytes and all.
        EXPECT_EQ(replaced([&](size_t i) { return other[other.size() / 2 + i]; }), JpegCheck::Broken)
            << path << ": another photo";
        EXPECT_EQ(replaced([&](size_t) { return static_cast<uint8_t>(random()); }), JpegCheck::Broken)
            << path << ": noise";
        EXPECT_EQ(replaced([](size_t i) { return static_cast<uint8_t>("Notes of the day\n"[i % 17]); }),
                  JpegCheck::Broken)
            << path << ": text";
    }
}

// A card of 512-byte clusters: the photo lies in three pieces round clusters other files
// hold, and the clusters between its pieces are free now, filled with another photo's data.
struct Card {
    static constexpr uint32_t kCluster = 512;
    std::vector<std::vector<uint8_t>> clusters;
    std::vector<bool> live;
    std::vector<uint32_t> photoClusters;

    ClusterAccess Access() const {
        ClusterAccess access;
        access.clusterBytes = kCluster;
        access.firstCluster = 2;
        access.read = [this](uint32_t c, uint32_t bytes, std::vector<uint8_t>& out) {
            if (c >= clusters.size()) return false;
            out.assign(clusters[c].begin(), clusters[c].begin() + bytes);
            return true;
        };
        access.nextFree = [this](uint32_t c, uint32_t& next) {
            for (uint64_t n = uint64_t{c} + 1; n < clusters.size(); ++n)
                if (!live[n]) {
                    next = static_cast<uint32_t>(n);
                    return true;
                }
            return false;
        };
        return access;
    }
};

Card CardWithPhotoInPieces(const std::vector<uint8_t>& photo, const std::vector<uint32_t>& pieceStarts,
                           const std::vector<uint32_t>& pieceLengths) {
    Card card;
    const std::vector<uint8_t> other = Photo("carve/thumb.jpg");
    const size_t total = 400;
    card.clusters.assign(total, std::vector<uint8_t>(Card::kCluster, 0));
    card.live.assign(total, false);
    for (size_t c = 2; c < total; ++c) {
        const size_t from = (c * Card::kCluster) % (other.size() - Card::kCluster);
        std::copy(other.begin() + static_cast<long>(from), other.begin() + static_cast<long>(from + Card::kCluster),
                  card.clusters[c].begin());
        card.live[c] = c % 7 == 3;  // some live files among the free clusters
    }
    size_t offset = 0;
    for (size_t p = 0; p < pieceStarts.size(); ++p)
        for (uint32_t i = 0; i < pieceLengths[p] && offset < photo.size(); ++i, offset += Card::kCluster) {
            const uint32_t c = pieceStarts[p] + i;
            std::fill(card.clusters[c].begin(), card.clusters[c].end(), 0);
            std::copy(photo.begin() + static_cast<long>(offset),
                      photo.begin() + static_cast<long>(std::min(photo.size(), offset + Card::kCluster)),
                      card.clusters[c].begin());
            card.live[c] = false;
            card.photoClusters.push_back(c);
        }
    return card;
}

std::vector<uint32_t> Clusters(const std::vector<ClusterRun>& runs) {
    std::vector<uint32_t> list;
    for (const ClusterRun& run : runs)
        for (uint32_t i = 0; i < run.count; ++i) list.push_back(run.first + i);
    return list;
}

TEST(ContinuationSearch, APhotoReadAlongTheWrongClustersIsFoundWhereItsDataGoesOn) {
    const std::vector<uint8_t> photo = Photo("carve_structure/baseline.jpg");  // 21 clusters
    // Pieces of 6, 9 and 6 clusters with free clusters of other data between them.
    const Card card = CardWithPhotoInPieces(photo, {40, 60, 120}, {6, 9, 6});
    ASSERT_EQ(card.photoClusters.size(), (photo.size() + Card::kCluster - 1) / Card::kCluster);
    // The plain reading: its first cluster on, over every free cluster.
    std::vector<ClusterRun> plain;
    uint32_t c = 40;
    for (size_t i = 0; i < card.photoClusters.size(); ++i) {
        plain.push_back({c, 1});
        card.Access().nextFree(c, c);
    }
    const auto found = FindContinuation("IMG_0001.JPG", photo.size(), plain, card.Access());
    ASSERT_TRUE(found);
    EXPECT_EQ(Clusters(*found), card.photoClusters);

    // Without its last piece nothing fits: the photo is damaged, and no other data is
    // taken for it.
    Card cut = card;
    for (uint32_t k = 120; k < 126; ++k) std::fill(cut.clusters[k].begin(), cut.clusters[k].end(), 0x5A);
    EXPECT_FALSE(FindContinuation("IMG_0001.JPG", photo.size(), plain, cut.Access()));
    // Types the search cannot follow are left alone.
    EXPECT_FALSE(FindContinuation("notes.txt", photo.size(), plain, card.Access()));
}

}  // namespace
}  // namespace kestrune
