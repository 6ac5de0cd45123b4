#include "cli/filter_options.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "cli/exit_codes.h"
#include "session/search_pattern.h"

namespace kestrune::cli {

void AddFilterOptions(CLI::App& command, FilterOptions& options) {
    command.add_option("--name", options.name, "Only names matching this pattern, such as 'IMG_*.JPG' (any case)");
    command.add_option("--min-size", options.minSize, "Only files of at least this size, such as 500, 64k, 10M, 1.5G");
    command.add_option("--max-size", options.maxSize, "Only files of at most this size");
    command.add_option("--since", options.since,
                       "Only files modified on or after this date (YYYY-MM-DD[THH:MM:SS], UTC)");
    command.add_option("--until", options.until,
                       "Only files modified on or before this date (a date alone: the whole day)");
    command.add_flag("--deleted-only", options.deletedOnly,
                     "Only deleted files found through the file system, not files of a former volume or carved ones");
    command.add_option("--min-recoverable", options.minRecoverable,
                       "Only files of which at least this percent is not written over (100: intact)")
        ->check(CLI::Range(0, 100));
}

int BuildSelection(const std::vector<std::string>& types, const std::vector<std::string>& extensions,
                   const FilterOptions& options, std::string& pattern, FindingFilter& filter, std::ostream& err) {
    std::string error;
    pattern = SearchPatternFor(types, extensions, error);
    if (!error.empty()) {
        err << "kestrune: " << error << "\n";
        return kExitUsage;
    }
    return BuildFilter(options, filter, err);
}

int BuildFilter(const FilterOptions& options, FindingFilter& filter, std::ostream& err) {
    filter = {};
    filter.namePattern = options.name;
    filter.deletedOnly = options.deletedOnly;
    if (options.minRecoverable >= 0) filter.minRecoverable = options.minRecoverable;
    auto size = [&err](const std::string& text, const char* option, uint64_t& out) {
        if (ParseSizeText(text, out)) return true;
        err << "kestrune: " << option << " \"" << text << "\" is not a size (such as 500, 64k, 10M, 1.5G)\n";
        return false;
    };
    auto date = [&err](const std::string& text, const char* option, bool endOfDay, uint64_t& out) {
        if (ParseDateText(text, endOfDay, out)) return true;
        err << "kestrune: " << option << " \"" << text
            << "\" is not a date (such as 2024-03-31 or 2024-03-31T14:05:00, UTC)\n";
        return false;
    };
    uint64_t value = 0;
    if (!options.minSize.empty()) {
        if (!size(options.minSize, "--min-size", value)) return kExitUsage;
        filter.minSize = value;
    }
    if (!options.maxSize.empty()) {
        if (!size(options.maxSize, "--max-size", value)) return kExitUsage;
        filter.maxSize = value;
    }
    if (!options.since.empty()) {
        if (!date(options.since, "--since", false, value)) return kExitUsage;
        filter.modifiedFrom = value;
    }
    if (!options.until.empty()) {
        if (!date(options.until, "--until", true, value)) return kExitUsage;
        filter.modifiedUntil = value;
    }
    if (filter.maxSize && *filter.maxSize < filter.minSize) {
        err << "kestrune: --max-size is below --min-size: no file could pass\n";
        return kExitUsage;
    }
    if (filter.modifiedFrom && filter.modifiedUntil && *filter.modifiedUntil <= *filter.modifiedFrom) {
        err << "kestrune: --until is before --since: no file could pass\n";
        return kExitUsage;
    }
    return kExitOk;
}

}  // namespace kestrune::cli
