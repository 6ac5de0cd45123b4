#include "base/rate_estimate.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

namespace {
// The rate's memory: a sample counts half after this long.
constexpr double kHalfLifeMs = 10000;
// Samples closer than this are joined to the next one: a rate over a few milliseconds is noise.
constexpr uint64_t kLeastSampleMs = 1000;
}  // namespace

void RateEstimate::Note(uint64_t done, uint64_t total, uint64_t nowMs) {
    remaining_ = total > done ? total - done : 0;
    // Counting that goes back is a new target (or a new phase), whose speed is its own.
    if (!started_ || done < lastDone_ || nowMs < lastMs_) {
        started_ = true;
        rate_ = 0;
        lastDone_ = done;
        lastMs_ = nowMs;
        return;
    }
    const uint64_t elapsed = nowMs - lastMs_;
    if (elapsed < kLeastSampleMs) return;
    const double sample = static_cast<double>(done - lastDone_) * 1000.0 / static_cast<double>(elapsed);
    // The first sample is taken as it is; later ones weigh by how long they cover.
    const double keep = rate_ == 0 ? 0 : std::exp2(-static_cast<double>(elapsed) / kHalfLifeMs);
    rate_ = keep * rate_ + (1 - keep) * sample;
    lastDone_ = done;
    lastMs_ = nowMs;
}

int RateEstimate::SecondsLeft() const {
    if (rate_ <= 0) return -1;
    return static_cast<int>(std::min(static_cast<double>(remaining_) / rate_, 2147483647.0));
}

}  // namespace kestrune
