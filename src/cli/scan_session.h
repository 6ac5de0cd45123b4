// One scan run as the commands use it: the source, the engine that scanned it, and the
// folder its logs are in; also how a stored run is opened again.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/scan_command.h"
#include "cli/source_argument.h"
#include "engines/recovery_engine.h"

namespace kestrune::cli {

inline constexpr int kExitInterrupted = 130;

struct ScanSession {
    ResolvedSource source;
    std::string mode;
    std::unique_ptr<IFileRecoveryParse> engine;
    std::string runFolder;
    uint16_t driveLetter = 0;
    uint64_t sectorsDone = 0;
    uint64_t sectorsTotal = 0;
};

// Resolves the source, takes a new run folder (noting the source in it, for `list`) and
// scans. Returns an exit code; Ctrl-C gives kExitInterrupted with what was found kept.
int StartScan(const ScanOptions& options, ScanSession& session, std::ostream& err);

// Opens the stored run in folder again (its engine reopening its logs, nothing scanned).
// An empty folder means the run scanned last.
int ReopenScan(const std::string& folder, ScanSession& session, std::ostream& err);

// Whether folder lies on the volume (or disk) being recovered from: writing there could
// overwrite the very files being recovered.
bool DestinationOnSource(const std::filesystem::path& folder, const ResolvedSource& source);

}  // namespace kestrune::cli
