// The time left follows the speed the operation has now, not its average since the start.
#include <gtest/gtest.h>

#include "base/rate_estimate.h"

namespace kestrune {
namespace {

TEST(RateEstimate, FollowsAChangeOfSpeedWithinAMinuteAndAHalfAndStartsAgainWithANewTarget) {
    RateEstimate rate;
    EXPECT_EQ(rate.SecondsLeft(), -1);
    // A sparse stretch read at 1000 units a second for 40 s, then 100 a second.
    const uint64_t total = 1'000'000;
    uint64_t done = 0, now = 0;
    for (; now <= 40'000; now += 500, done += 500) rate.Note(done, total, now);
    EXPECT_NEAR(rate.PerSecond(), 1000, 1);
    for (const uint64_t until = now + 90'000; now <= until; now += 500, done += 50) rate.Note(done, total, now);
    // The average since the start (about 350 a second) would promise a third of the time.
    EXPECT_NEAR(rate.PerSecond(), 100, 10);
    EXPECT_NEAR(rate.SecondsLeft(), (total - done) / 100.0, (total - done) / 100.0 * 0.1);
    // Counting that goes back is a new target: nothing is known until it has gone on.
    rate.Note(10, 500, now + 1000);
    EXPECT_EQ(rate.SecondsLeft(), -1);
    rate.Note(60, 500, now + 2000);
    EXPECT_EQ(rate.SecondsLeft(), 440 / 50);
}

}  // namespace
}  // namespace kestrune
