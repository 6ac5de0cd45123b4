// Milliseconds on a clock that never goes back: for progress, time-left estimates and
// checkpoints, which must not jump when the wall clock is set.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestrune {

inline uint64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace kestrune
