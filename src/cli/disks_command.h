// kestrune disks and kestrune image.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune::cli {

// Image files named are registered as disks first, so a partitioned image is listed with
// its partitions and gaps like any disk.
int RunDisks(bool json, const std::vector<std::string>& images, std::ostream& out);

struct ImageOptions {
    std::string source;
    std::string destination;
    int partition = 0;
    bool skipBad = false;
    bool resume = false;       // go on from DEST.map (ours or GNU ddrescue's)
    int retries = 0;           // passes over the bad sectors at the end
    std::string minReadRate;   // bytes a second, with k, M or G: slower areas are left for later
    std::string commandLine;   // as typed, for the map's header
};
int RunImage(const ImageOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
