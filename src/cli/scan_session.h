// A scan run as the commands start or reopen it: the session does the work, this maps its
// results to messages and exit codes.
#pragma once

#include <functional>
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

// Scans options.source (each of its partitions when it has a table and none was named),
// drawing progress on a terminal and stopping on Ctrl-C. before may refuse a target with an
// exit code; after gets each run that started, with the exit code its scan gave
// (kExitInterrupted after Ctrl-C, with what was found kept), and answers the target's code.
// Returns the worst code of all targets.
using BeforeTarget = std::function<int(const ScanSource& target)>;
using AfterTarget = std::function<int(const ScanSource& target, ScanRun& run, int code)>;
int ScanTargets(const ScanOptions& options, std::ostream& err, const BeforeTarget& before, const AfterTarget& after);

// Opens the stored run in folder again (the last run when folder is empty).
// An encrypted source is opened again with the passphrase in keyFile (or asked for).
int ReopenScan(const std::string& folder, const std::string& keyFile, std::unique_ptr<ScanRun>& run,
               std::ostream& err);

}  // namespace kestrune::cli
