// What a source is known not to give back, learnt as it is read.
//
// A failing disk may take seconds over each read of a bad sector, and every such read
// wears it further. Every reader of an open source (the scans, the recovery, the preview)
// goes through one BadAreaMedium, which remembers where reads failed and never asks the
// disk again for a sector it could not give while the source is open. A read of many
// sectors that fails marks its stretch as failed: larger reads there fail at once, and only
// reads of one sector are let through, which tell the good sectors from the bad.
//
// An image copied from a failing disk by ddrescue (or "kestrune image --skip-bad") holds
// zeros where the disk gave nothing; its map beside it ("IMAGE.map") says where, and those
// areas read as unreadable, so that zeros are never passed off as a file's bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "disk/sector_source.h"

namespace kestrune {

class RescueMap;

// Byte areas of a source, each failed (a read of many sectors failed in it; not split yet)
// or bad (every sector in it failed on its own). Not locked: BadAreaMedium locks it.
class BadAreas {
public:
    enum class Kind : char { Failed = '*', Bad = '-' };
    struct Area {
        uint64_t start = 0, end = 0;
        Kind kind = Kind::Bad;
    };

    // The first area that ends after start and begins before end; false when none.
    bool FirstIn(uint64_t start, uint64_t end, Area& area) const;
    // Marks [start, end) as kind, over whatever was known of it.
    void Mark(uint64_t start, uint64_t end, Kind kind);
    // [start, end) read fine: whatever was known of it is forgotten.
    void Clear(uint64_t start, uint64_t end);
    // Bytes of [start, end) known bad (a failed stretch may yet read one block at a time).
    uint64_t BadBytesIn(uint64_t start, uint64_t end) const;
    std::vector<Area> All() const;
    bool empty() const { return areas_.empty(); }

private:
    std::map<uint64_t, Area> areas_;  // by start; never overlapping, neighbours of a kind joined
};

// A medium that remembers where its reads fail (see above). One BadAreas is shared by
// every BadAreaMedium over the same file or device in this process, so that two opens of
// one failing disk (a scan and a preview) learn from each other.
class BadAreaMedium final : public Medium {
public:
    // identity: the file or device ("" keeps a map of its own). sectorBytes: the unit reads
    // fail in (the disk's physical block), which a read of one is let through in.
    BadAreaMedium(std::unique_ptr<Medium> inner, uint32_t sectorBytes, const std::string& identity = {});
    ~BadAreaMedium() override;

    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override;
    uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
    void WillRead(uint64_t offset, uint64_t length) override;
    int Descriptor() const override { return inner_->Descriptor(); }
    uint32_t FailureUnitBytes() const override { return sectorBytes_; }

    // Takes every area of map that holds no rescued bytes as bad.
    void LearnFrom(const RescueMap& map);
    // Bytes of [offset, offset + length) known bad.
    uint64_t UnreadableBytes(uint64_t offset, uint64_t length) const;
    std::vector<BadAreas::Area> Areas() const;
    // The medium below, which reads every area as asked: for a copy that retries bad sectors.
    Medium& Unwatched() { return *inner_; }

    struct Shared;

private:
    std::unique_ptr<Medium> inner_;
    uint32_t sectorBytes_;
    std::shared_ptr<Shared> shared_;
};

// The medium below medium's bad-area watch, or medium itself.
Medium& UnwatchedMedium(Medium& medium);
// Bytes of [offset, offset + length) of medium known not to read (0 where not watched).
uint64_t KnownUnreadableBytes(Medium& medium, uint64_t offset, uint64_t length);

// A raw image file or a device, watched for bad areas in units of its physical blocks (at
// least sectorBytes); an image whose map lies beside it ("IMAGE.map", in GNU ddrescue's
// format) starts with what the map says is missing.
std::unique_ptr<Medium> WatchForBadAreas(std::unique_ptr<Medium> medium, uint32_t sectorBytes,
                                         const std::filesystem::path& path, bool isImage);

}  // namespace kestrune
