// Arbitrary bytes as a whole movie, its frames checked where its movie atom places them,
// and as a small volume of 512-byte clusters whose first clusters hold a movie: the
// search for where it went on reads movie atoms and frames from every free cluster. The
// input's last four bytes give one of the sizes tried, so that a seed can name its own.
#include <cstdint>
#include <vector>

#include "engines/carve/movie_frames.h"
#include "engines/fat/continuation_search.h"
#include "fuzz_clusters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView input(data, size);
    kestrune::carve::MovieFramesHold(input);
    kestrune::carve::ReadMovieFrames(input, size);

    constexpr uint32_t kCluster = kestrune::fuzz::kFuzzClusterBytes;
    const uint32_t clusters = static_cast<uint32_t>(size / kCluster);
    if (clusters < 3) return 0;
    const kestrune::ClusterAccess access = kestrune::fuzz::InputAsClusters(data, size);
    const uint32_t half = clusters / 2;
    const uint64_t named = input.le32(size - 4) % (uint64_t{clusters} * kCluster);
    for (const uint64_t fileSize : {uint64_t{half} * kCluster - 100, uint64_t{half - 1} * kCluster + 10, named}) {
        const uint32_t count = static_cast<uint32_t>((fileSize + kCluster - 1) / kCluster);
        if (count >= 2) kestrune::FindContinuation("clip.mp4", fileSize, {{0, count}}, access);
    }
    return 0;
}
