// kestrune scan and kestrune recover.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune::cli {

struct ScanOptions {
    std::string mode = "quick";  // quick, formatted or deep
    bool json = false;
    std::string source;
    std::vector<std::string> types;       // photo, audio, video, document, archive, other
    std::vector<std::string> extensions;  // jpg, png, ...
    std::string destination;              // recover only
    int partition = 0;                    // of a partitioned image; 0: every one in turn
    bool resume = false;                  // continue a stored pass without asking
    bool restart = false;                 // start afresh without asking
};

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err);
int RunRecover(const ScanOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
