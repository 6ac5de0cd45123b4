#include "disk/bad_areas.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "base/result_codes.h"
#include "disk/rescue_map.h"

namespace kestrune {

bool BadAreas::FirstIn(uint64_t start, uint64_t end, Area& area) const {
    if (start >= end || areas_.empty()) return false;
    auto it = areas_.upper_bound(start);
    if (it != areas_.begin() && std::prev(it)->second.end > start) it = std::prev(it);
    if (it == areas_.end() || it->second.start >= end) return false;
    area = it->second;
    return true;
}

void BadAreas::Clear(uint64_t start, uint64_t end) {
    if (start >= end) return;
    auto it = areas_.upper_bound(start);
    if (it != areas_.begin() && std::prev(it)->second.end > start) it = std::prev(it);
    std::vector<Area> kept;
    while (it != areas_.end() && it->second.start < end) {
        const Area area = it->second;
        it = areas_.erase(it);
        if (area.start < start) kept.push_back({area.start, start, area.kind});
        if (area.end > end) kept.push_back({end, area.end, area.kind});
    }
    for (const Area& area : kept) areas_[area.start] = area;
}

void BadAreas::Mark(uint64_t start, uint64_t end, Kind kind) {
    if (start >= end) return;
    Clear(start, end);
    Area area{start, end, kind};
    // Neighbours of one kind become one area, so that the map stays as small as the damage.
    auto next = areas_.find(end);
    if (next != areas_.end() && next->second.kind == kind) {
        area.end = next->second.end;
        areas_.erase(next);
    }
    auto it = areas_.lower_bound(start);
    if (it != areas_.begin()) {
        auto before = std::prev(it);
        if (before->second.end == start && before->second.kind == kind) {
            area.start = before->second.start;
            areas_.erase(before);
        }
    }
    areas_[area.start] = area;
}

uint64_t BadAreas::BadBytesIn(uint64_t start, uint64_t end) const {
    uint64_t bytes = 0;
    Area area;
    for (uint64_t at = start; at < end && FirstIn(at, end, area); at = area.end)
        if (area.kind == Kind::Bad) bytes += std::min(area.end, end) - std::max(area.start, at);
    return bytes;
}

std::vector<BadAreas::Area> BadAreas::All() const {
    std::vector<Area> all;
    all.reserve(areas_.size());
    for (const auto& [start, area] : areas_) all.push_back(area);
    return all;
}

// The areas of one file or device, and whether any is known (read without the lock on
// every read of a sound disk).
struct BadAreaMedium::Shared {
    std::mutex lock;
    BadAreas areas;
    std::atomic<bool> any{false};
};

namespace {

// Opens of one file or device share their map while any is open.
std::mutex registryLock;
std::map<std::string, std::weak_ptr<BadAreaMedium::Shared>>& Registry() {
    static std::map<std::string, std::weak_ptr<BadAreaMedium::Shared>> registry;
    return registry;
}

std::shared_ptr<BadAreaMedium::Shared> SharedFor(const std::string& identity) {
    if (identity.empty()) return std::make_shared<BadAreaMedium::Shared>();
    std::lock_guard hold(registryLock);
    auto& registry = Registry();
    std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
    std::weak_ptr<BadAreaMedium::Shared>& slot = registry[identity];
    std::shared_ptr<BadAreaMedium::Shared> shared = slot.lock();
    if (!shared) {
        shared = std::make_shared<BadAreaMedium::Shared>();
        slot = shared;
    }
    return shared;
}

}  // namespace

BadAreaMedium::BadAreaMedium(std::unique_ptr<Medium> inner, uint32_t sectorBytes, const std::string& identity)
    : inner_(std::move(inner)), sectorBytes_(std::max<uint32_t>(sectorBytes, 1)), shared_(SharedFor(identity)) {}

BadAreaMedium::~BadAreaMedium() = default;

int BadAreaMedium::ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) {
    got = 0;
    if (length == 0) return inner_->ReadAt(offset, buffer, length, got);
    const uint64_t end = offset + length;
    const uint64_t sectorStart = offset / sectorBytes_ * sectorBytes_;
    const bool oneSector = end <= sectorStart + sectorBytes_;
    if (shared_->any.load(std::memory_order_acquire)) {
        std::lock_guard hold(shared_->lock);
        BadAreas::Area area;
        if (shared_->areas.FirstIn(offset, end, area)) {
            // What lies before a known area is read; the area itself is not asked for again,
            // except one sector at a time where only a larger read failed.
            if (area.start > offset) length = static_cast<size_t>(area.start - offset);
            else if (area.kind == BadAreas::Kind::Bad || !oneSector) return kErrReadFault;
        }
    }
    const int rc = inner_->ReadAt(offset, buffer, length, got);
    if (rc == kOk) {
        // What was read of a failed stretch one block at a time is good after all.
        if (oneSector && got > 0 && shared_->any.load(std::memory_order_acquire)) {
            std::lock_guard hold(shared_->lock);
            shared_->areas.Clear(offset, offset + got);
        }
        return kOk;
    }
    const uint64_t readEnd = offset + length;
    std::lock_guard hold(shared_->lock);
    const uint64_t failedFrom = (offset + got) / sectorBytes_ * sectorBytes_;
    const uint64_t failedTo = std::min<uint64_t>((readEnd + sectorBytes_ - 1) / sectorBytes_ * sectorBytes_,
                                                 std::max(SizeBytes(), readEnd));
    shared_->areas.Mark(failedFrom, failedTo, oneSector ? BadAreas::Kind::Bad : BadAreas::Kind::Failed);
    if (!shared_->any.exchange(true)) {
        // From the first failure on, the kernel is asked for no read-ahead: around a bad
        // sector it would try a whole window of them, each taking its time to fail.
        if (const int fd = inner_->Descriptor(); fd >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    }
    return rc;
}

void BadAreaMedium::WillRead(uint64_t offset, uint64_t length) {
    // No fetching ahead on a disk that has failed: it would meet the bad sectors unasked.
    if (!shared_->any.load(std::memory_order_acquire)) inner_->WillRead(offset, length);
}

void BadAreaMedium::LearnFrom(const RescueMap& map) {
    std::lock_guard hold(shared_->lock);
    for (const RescueMap::Block& block : map.blocks())
        if (block.status != '+' && block.size) shared_->areas.Mark(block.pos, block.pos + block.size, BadAreas::Kind::Bad);
    if (!shared_->areas.empty()) shared_->any = true;
}

uint64_t BadAreaMedium::UnreadableBytes(uint64_t offset, uint64_t length) const {
    if (!shared_->any.load(std::memory_order_acquire)) return 0;
    std::lock_guard hold(shared_->lock);
    return shared_->areas.BadBytesIn(offset, offset + length);
}

std::vector<BadAreas::Area> BadAreaMedium::Areas() const {
    std::lock_guard hold(shared_->lock);
    return shared_->areas.All();
}

Medium& UnwatchedMedium(Medium& medium) {
    if (auto* watched = dynamic_cast<BadAreaMedium*>(&medium)) return watched->Unwatched();
    return medium;
}

uint64_t KnownUnreadableBytes(Medium& medium, uint64_t offset, uint64_t length) {
    auto* watched = dynamic_cast<BadAreaMedium*>(&medium);
    return watched ? watched->UnreadableBytes(offset, length) : 0;
}

std::unique_ptr<Medium> WatchForBadAreas(std::unique_ptr<Medium> medium, uint32_t sectorBytes,
                                         const std::filesystem::path& path, bool isImage) {
    std::string identity;
    // A disk fails in its physical blocks: a 4 KiB block that does not read makes each of
    // its eight 512-byte sectors fail, each after its own wait. The block is the unit.
    uint32_t unit = std::max<uint32_t>(sectorBytes, 512);
    struct stat info {};
    if (const int fd = medium->Descriptor(); fd >= 0 && ::fstat(fd, &info) == 0) {
        unsigned int physical = 0;
        if (S_ISBLK(info.st_mode)) {
            identity = "device " + std::to_string(info.st_rdev);
            if (::ioctl(fd, BLKPBSZGET, &physical) != 0) physical = 0;
        } else {
            identity = "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
            physical = static_cast<unsigned int>(info.st_blksize);
        }
        // Only a power of two no larger than a page, whole sectors of it.
        if (physical > unit && physical <= 4096 && (physical & (physical - 1)) == 0 && physical % unit == 0)
            unit = physical;
    }
    const uint64_t size = medium->SizeBytes();
    auto watched = std::make_unique<BadAreaMedium>(std::move(medium), unit, identity);
    if (isImage) {
        RescueMap map;
        std::string error;
        std::filesystem::path mapPath = path;
        mapPath += ".map";
        // A map that is not one, or of a smaller area, says nothing about this image. One of
        // a larger area is ddrescue's: it leaves the image short when the disk's end was
        // never read.
        if (map.Load(mapPath, 0, error) == kOk && map.size() >= size) watched->LearnFrom(map);
    }
    return watched;
}

}  // namespace kestrune
