// RescueCopy: a failing disk copied as GNU ddrescue copies one, so that the good data is
// safe before any time goes into the bad areas, and no byte is read twice once it is
// rescued.
//
//  1. Copying: the untried areas are read in clusters, forward; from each read that fails
//     (or crawls below the minimum rate) the copy skips ahead, further at each failure in a
//     row, and leaves what it skipped for later. A second pass goes backward over what is
//     left, a third forward without skipping.
//  2. Trimming: each failed cluster is read sector by sector from both edges inwards, up to
//     the first sector that fails on each side.
//  3. Scraping: what lies between is read sector by sector.
//  4. Retrying: the bad sectors are read again, as many passes as asked, alternately
//     backward and forward.
// The map (rescue_map.h) says where each byte stands and is saved as the copy goes, so
// that a copy stopped at any moment goes on from there.
#pragma once

#include <cstdint>
#include <functional>

#include "disk/rescue_map.h"
#include "disk/sector_source.h"

namespace kestrune {

struct RescueSettings {
    uint32_t sectorBytes = 512;
    uint64_t clusterBytes = 64 * 1024;
    int retries = 0;
    // Bytes a second below which a cluster counts as failing (a slow area is left for
    // later, like a bad one); 0: any rate will do.
    uint64_t minReadRate = 0;
};

struct RescueProgress {
    char phase = '?';  // as the map's current status
    uint64_t rescued = 0;
    uint64_t failing = 0;  // bytes not trimmed, not scraped, or bad
    uint64_t total = 0;
    uint64_t position = 0;
};

class RescueCopy {
public:
    // Copies [offset, offset + map.size()) of source into out at the same positions from 0,
    // along map. report is told after each read and answers non-zero to stop; save is
    // asked to keep the map (it is called often, and decides itself how often to write).
    RescueCopy(Medium& source, uint64_t offset, int out, RescueMap& map, const RescueSettings& settings,
               std::function<int(const RescueProgress&)> report, std::function<void(bool now)> save);
    // 0 when every phase ran, a write's result code, or report's stop.
    int Run();

private:
    int CopyPass(bool forward, bool skipping);
    int Trim();
    int Scrape();
    int Retry(bool forward);
    // Reads [pos, pos + length) of the area and writes it to out; false when it could not
    // be read (or, with minRate, was read too slowly). error holds a failed write.
    bool Take(uint64_t pos, uint64_t length, bool timed, int& error);
    int Told(uint64_t position);

    bool randomReads_ = false;  // the kernel is told to read no further ahead than asked
    Medium& source_;
    uint64_t offset_;
    int out_;
    RescueMap& map_;
    RescueSettings settings_;
    std::function<int(const RescueProgress&)> report_;
    std::function<void(bool)> save_;
    std::vector<uint8_t> buffer_;
};

}  // namespace kestrune
