// kestrune scan and kestrune recover.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/filter_options.h"

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
    FilterOptions filter;                 // recover only
    bool dryRun = false;                  // recover only: say what would be written
    bool keepFolders = false;             // recover only: into the folders found in
    bool existing = false;                // the files that exist on the volume too (quick)
    std::string fileSystem;               // ntfs, fat, exfat or ext: which to read where two claim the area
    std::string report;                   // recover only: a DFXML report of it, to this file
    std::string commandLine;              // as typed, for the report
    std::string keyFile;                  // the passphrase of an encrypted volume, in this file
};

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err);
int RunRecover(const ScanOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
