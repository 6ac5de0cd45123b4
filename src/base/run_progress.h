// How a long operation reports to a front end, and how a front end stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "base/result_codes.h"

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
    uint64_t bytesPerSecond = 0;  // the current target's reading speed, smoothed; 0 while unknown
    // A copy of a failing disk: its phase as its map says it ('?' copying, '*' trimming,
    // '/' scraping, '-' retrying; 0 for any other work) and the bytes not read so far.
    char rescuePhase = 0;
    uint64_t unreadBytes = 0;
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

// The sink and the token as the code doing the work holds them: one call reports and
// answers whether to go on.
struct Reporter {
    ProgressSink sink;
    const CancelToken* cancel = nullptr;

    bool Stopped() const { return cancel && cancel->Cancelled(); }
    // Reports (when there is a sink), then answers CancelCode when asked to stop, else 0.
    // Asked after the report: a front end may hold the report while it asks the user.
    int Report(const RunProgress& progress) const {
        if (sink) sink(progress);
        return Stopped() ? CancelCode : 0;
    }
    int Scanned(int percent, int secondsLeft = -1, uint64_t done = 0, uint64_t total = 0, uint64_t found = 0) const {
        RunProgress progress;
        progress.percent = percent;
        progress.secondsLeft = secondsLeft;
        progress.done = done;
        progress.total = total;
        progress.filesFound = found;
        return Report(progress);
    }
    // The same work as one phase of a larger scan: its percent lands in [from, from + share].
    // A short phase's own time estimate says nothing of the whole's: it is dropped then. A
    // search of what the phase found is no phase of the scan and is passed on as it is.
    enum class Estimate { Kept, Dropped };
    Reporter Within(int from, int share, Estimate estimate = Estimate::Kept) const {
        if (!sink) return *this;
        return {[whole = sink, from, share, estimate](const RunProgress& part) {
                    RunProgress progress = part;
                    if (part.stage != RunStage::Scanning) return whole(progress);
                    progress.percent = from + part.percent * share / 100;
                    if (estimate == Estimate::Dropped) progress.secondsLeft = -1;
                    whole(progress);
                },
                cancel};
    }
};

}  // namespace kestrune
