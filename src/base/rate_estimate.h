// How fast a long operation goes and how long it has left, from how far it got when. The
// rate is smoothed over the last half minute or so: a whole-run average stands still when
// the speed changes (the sparse start of an image, then its full part), and the last
// second's rate jumps about.
#pragma once

#include <cstdint>

namespace kestrune {

class RateEstimate {
public:
    // The operation had done `done` units (of `total`) at nowMs (a steady clock).
    void Note(uint64_t done, uint64_t total, uint64_t nowMs);
    // Units a second, smoothed; 0 until two notes a second or more apart.
    double PerSecond() const { return rate_; }
    // Seconds left at that rate; -1 while it is not known.
    int SecondsLeft() const;

private:
    bool started_ = false;
    uint64_t lastDone_ = 0, lastMs_ = 0, remaining_ = 0;
    double rate_ = 0;
};

}  // namespace kestrune
