#include "disk/disk_rescue.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "base/result_codes.h"
#include "base/steady_clock.h"

namespace kestrune {

namespace {

// The first skip after a failed cluster, and the most a run of failures grows it to.
constexpr uint64_t kFirstSkip = 64 * 1024;
constexpr uint64_t kMostSkip = 1ull << 30;

}  // namespace

RescueCopy::RescueCopy(Medium& source, uint64_t offset, int out, RescueMap& map, const RescueSettings& settings,
                       std::function<int(const RescueProgress&)> report, std::function<void(bool)> save)
    : source_(source), offset_(offset), out_(out), map_(map), settings_(settings), report_(std::move(report)),
      save_(std::move(save)) {
    settings_.sectorBytes = std::max<uint32_t>(settings_.sectorBytes, 1);
    settings_.clusterBytes = std::max<uint64_t>(settings_.clusterBytes / settings_.sectorBytes, 1) * settings_.sectorBytes;
}

int RescueCopy::Told(uint64_t position) {
    map_.currentPos = position;
    if (save_) save_(false);
    if (!report_) return kOk;
    RescueProgress progress;
    progress.phase = map_.currentStatus;
    progress.rescued = map_.Bytes('+');
    progress.failing = map_.Bytes('*') + map_.Bytes('/') + map_.Bytes('-');
    progress.total = map_.size();
    progress.position = position;
    return report_(progress);
}

bool RescueCopy::Take(uint64_t pos, uint64_t length, bool timed, int& error) {
    buffer_.resize(static_cast<size_t>(length));
    // Reads of less than a cluster are made in the failed areas (trimming, scraping,
    // retrying): there the kernel reads no further ahead than asked, since its read-ahead
    // window would try many bad sectors, each taking its time to fail. The copy passes
    // keep it: on a disk that may soon stop answering, each request should bring much.
    const bool small = length < settings_.clusterBytes;
    if (small != randomReads_ && source_.Descriptor() >= 0)
        ::posix_fadvise(source_.Descriptor(), 0, 0, small ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
    randomReads_ = small;
    const uint64_t started = timed ? SteadyMilliseconds() : 0;
    size_t got = 0;
    if (ReadExactly(source_, offset_ + pos, buffer_.data(), buffer_.size(), got) != kOk || got != buffer_.size()) {
        // What did arrive whole is kept: the failure lies after it.
        const uint64_t whole = got / settings_.sectorBytes * settings_.sectorBytes;
        if (whole > 0 && ::pwrite(out_, buffer_.data(), whole, static_cast<off_t>(pos)) == static_cast<ssize_t>(whole))
            map_.Mark(pos, whole, '+');
        return false;
    }
    const ssize_t written = ::pwrite(out_, buffer_.data(), buffer_.size(), static_cast<off_t>(pos));
    if (written != static_cast<ssize_t>(buffer_.size())) {
        error = written < 0 ? FromErrno(errno) : kErrDiskFull;
        return false;
    }
    map_.Mark(pos, length, '+');
    if (timed && settings_.minReadRate) {
        const uint64_t ms = std::max<uint64_t>(1, SteadyMilliseconds() - started);
        // Read, and kept; but an area this slow is likely failing: the copy moves on.
        if (length * 1000 / ms < settings_.minReadRate) return false;
    }
    return true;
}

int RescueCopy::CopyPass(bool forward, bool skipping) {
    map_.currentStatus = '?';
    uint64_t pos = forward ? 0 : map_.size();
    uint64_t skip = kFirstSkip;
    const uint64_t mostSkip = std::max<uint64_t>(kFirstSkip, std::min(kMostSkip, map_.size() / 100));
    for (;;) {
        const RescueMap::Block block = forward ? map_.Next('?', pos) : map_.Previous('?', pos);
        if (block.size == 0) return kOk;
        const uint64_t length = std::min(settings_.clusterBytes, block.size);
        const uint64_t at = forward ? block.pos : block.pos + block.size - length;
        int error = kOk;
        const bool read = Take(at, length, true, error);
        if (error != kOk) return error;
        if (read) {
            skip = kFirstSkip;
            pos = forward ? at + length : at;
        } else {
            // The cluster goes to trimming; the copy jumps over what lies next.
            const RescueMap::Block failed = map_.Next('?', at);
            if (failed.pos < at + length) map_.Mark(failed.pos, at + length - failed.pos, '*');
            if (forward) pos = at + length + (skipping ? skip : 0);
            else pos = at >= (skipping ? skip : 0) ? at - (skipping ? skip : 0) : 0;
            if (skipping) skip = std::min(skip * 2, mostSkip);
        }
        if (int stop = Told(forward ? at + length : at); stop != kOk) return stop;
    }
}

int RescueCopy::Trim() {
    map_.currentStatus = '*';
    const uint64_t sector = settings_.sectorBytes;
    for (RescueMap::Block block = map_.Next('*', 0); block.size != 0; block = map_.Next('*', block.pos)) {
        uint64_t first = block.pos, end = block.pos + block.size;
        int error = kOk;
        // From the leading edge forward, then the trailing edge backward, to the first
        // sector that fails on each side.
        while (first < end && Take(first, std::min(sector, end - first), false, error)) {
            first += sector;
            if (int stop = Told(first); stop != kOk) return stop;
        }
        if (error != kOk) return error;
        if (first < end) {
            map_.Mark(first, std::min(sector, end - first), '-');
            first += sector;
        }
        while (end > first && Take(end - sector, sector, false, error)) {
            end -= sector;
            if (int stop = Told(end); stop != kOk) return stop;
        }
        if (error != kOk) return error;
        if (end > first) {
            map_.Mark(end - sector, sector, '-');
            end -= sector;
        }
        if (end > first) map_.Mark(first, end - first, '/');
        if (int stop = Told(block.pos + block.size); stop != kOk) return stop;
    }
    return kOk;
}

int RescueCopy::Scrape() {
    map_.currentStatus = '/';
    const uint64_t sector = settings_.sectorBytes;
    for (RescueMap::Block block = map_.Next('/', 0); block.size != 0; block = map_.Next('/', block.pos)) {
        int error = kOk;
        for (uint64_t at = block.pos; at < block.pos + block.size; at += sector) {
            const uint64_t length = std::min(sector, block.pos + block.size - at);
            if (!Take(at, length, false, error)) {
                if (error != kOk) return error;
                map_.Mark(at, length, '-');
            }
            if (int stop = Told(at + length); stop != kOk) return stop;
        }
    }
    return kOk;
}

int RescueCopy::Retry(bool forward) {
    map_.currentStatus = '-';
    const uint64_t sector = settings_.sectorBytes;
    std::vector<RescueMap::Block> bad;
    for (const RescueMap::Block& b : map_.blocks())
        if (b.status == '-') bad.push_back(b);
    if (!forward) std::reverse(bad.begin(), bad.end());
    for (const RescueMap::Block& block : bad) {
        for (uint64_t i = 0; i < block.size; i += sector) {
            const uint64_t at = forward ? block.pos + i : block.pos + block.size - std::min(block.size, i + sector);
            const uint64_t length = std::min(sector, block.size - i);
            int error = kOk;
            Take(at, length, false, error);
            if (error != kOk) return error;
            if (int stop = Told(at); stop != kOk) return stop;
        }
    }
    return kOk;
}

int RescueCopy::Run() {
    // A map taken up part-way begins where it left off: each phase only finds what is
    // left for it.
    const bool copyLeft = map_.Bytes('?') != 0;
    int rc = kOk;
    if (copyLeft && (rc = CopyPass(true, true)) != kOk) return rc;
    if (copyLeft && (rc = CopyPass(false, true)) != kOk) return rc;
    if ((rc = CopyPass(true, false)) != kOk) return rc;
    if ((rc = Trim()) != kOk) return rc;
    if ((rc = Scrape()) != kOk) return rc;
    for (int pass = 0; pass < settings_.retries && map_.Bytes('-') != 0; ++pass) {
        map_.currentPass = pass + 1;
        if ((rc = Retry(pass % 2 == 1)) != kOk) return rc;
    }
    map_.currentStatus = '+';
    map_.currentPos = map_.size();
    if (save_) save_(true);
    return kOk;
}

}  // namespace kestrune
