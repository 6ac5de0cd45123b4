// kestrune list: the findings of a stored scan.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/filter_options.h"
#include "session/finding_filter.h"
#include "session/scan_run.h"

namespace kestrune::cli {

struct ListOptions {
    bool json = false;
    std::vector<std::string> types;
    std::vector<std::string> extensions;
    std::string runFolder;  // empty: the scan made last
    bool existing = false;  // the files that exist on the volume too, where the scan listed them
    FilterOptions filter;
    std::string commandLine;  // as typed, for a report
    std::string keyFile;      // the passphrase of an encrypted source, in this file
};

int RunList(const ListOptions& options, std::ostream& out, std::ostream& err);
// kestrune report: the findings of a stored scan as a DFXML report on out.
int RunReport(const ListOptions& options, std::ostream& out, std::ostream& err);

// Prints the files a run finds for a pattern that pass filter (a carved copy of a file
// found through its file system is left out), as text lines, JSON lines or not at all;
// returns how many.
enum class Listing { None, Text, Json };
uint64_t ListFindings(ScanRun& run, const std::string& pattern, std::ostream& out, Listing listing,
                      const FindingFilter& filter = {});

// kestrune scans: the stored passes of the catalogue.
int RunScans(std::ostream& out);

}  // namespace kestrune::cli
