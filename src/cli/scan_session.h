// A scan run as the commands start or reopen it: the session does the work, this maps its
// results to messages and exit codes.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "cli/scan_command.h"
#include "session/scan_run.h"

namespace kestrune::cli {

inline constexpr int kExitInterrupted = 130;

// The exit code for a source that could not be resolved: 2 for a malformed source or a
// partition that is not there, 3 when it cannot be opened.
int SourceExitCode(int result);

// Resolves options.source and picks options.partition of it; prints why not.
int ResolveOrExplain(const std::string& text, int partition, ScanSource& source, std::ostream& err);

// Scans one target: takes a run folder and scans, drawing progress on a terminal and
// stopping on Ctrl-C (kExitInterrupted, with what was found kept).
int StartScan(const ScanOptions& options, const ScanSource& target, std::unique_ptr<ScanRun>& run,
              std::ostream& err);

// Opens the stored run in folder again (the last run when folder is empty).
int ReopenScan(const std::string& folder, std::unique_ptr<ScanRun>& run, std::ostream& err);

}  // namespace kestrune::cli
