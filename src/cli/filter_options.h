// The options that narrow a listing or a recovery, as typed, and their meaning.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "session/finding_filter.h"

namespace CLI {
class App;
}

namespace kestrune::cli {

struct FilterOptions {
    std::string name, minSize, maxSize, since, until;
    bool deletedOnly = false;
    int minRecoverable = -1;
};

// Adds --name, --min-size, --max-size, --since, --until, --deleted-only and
// --min-recoverable to a command.
void AddFilterOptions(CLI::App& command, FilterOptions& options);

// The filter the options ask for; kExitUsage, with the reason on err, when one does not
// parse (a date like 2024-13-40, a negative size) or the bounds exclude every file.
int BuildFilter(const FilterOptions& options, FindingFilter& filter, std::ostream& err);

// The search pattern of the chosen groups and extensions, and the filter; kExitUsage,
// with the reason on err, when either is wrong.
int BuildSelection(const std::vector<std::string>& types, const std::vector<std::string>& extensions,
                   const FilterOptions& options, std::string& pattern, FindingFilter& filter, std::ostream& err);

}  // namespace kestrune::cli
