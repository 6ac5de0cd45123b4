// How a long operation reports to a front end, and how a front end stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace kestrune {

enum class RunStage { Scanning, Searching, Recovering, Imaging };

// One report. percent is of the whole run (every target of it), never goes down, and is
// 100 once a run has finished; done and total count sectors of the current target when
// total is not 0.
struct RunProgress {
    RunStage stage = RunStage::Scanning;
    int target = 0;          // which target of the run, from 0
    int targets = 1;
    int percent = 0;
    int secondsLeft = -1;    // -1 while unknown
    uint64_t done = 0;
    uint64_t total = 0;
    uint64_t filesFound = 0;
};

// Receives the reports on the thread doing the work; a front end hands them on to its own
// thread (the desktop program through a queued signal).
using ProgressSink = std::function<void(const RunProgress&)>;

// Set from any thread (or a signal handler) to stop a running operation at its next report.
class CancelToken {
public:
    void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    void Reset() { cancelled_.store(false, std::memory_order_relaxed); }
    bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
};

}  // namespace kestrune
