#include "cli/scan_session.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "disk/block_devices.h"
#include "disk/result_codes.h"
#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "app/language_table.h"
#include "scanlog/log_names.h"
#include "scanlog/scan_catalogue.h"
#include "scanlog/store_folder.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune::cli {

namespace {

constexpr uint16_t kImageNumber = 1001;
constexpr uint16_t kVolumeNumber = 1;
constexpr const char* kSourceNote = "source.json";

// What `list` needs to open the run again: the source as the user named it and the mode.
void WriteSourceNote(const ScanSession& session) {
    std::error_code ec;
    fs::create_directories(session.runFolder, ec);
    nlohmann::json note = {{"source", session.source.text}, {"mode", session.mode},
                           {"driveLetter", session.driveLetter}, {"partition", session.source.partition}};
    std::ofstream(fs::path(session.runFolder) / kSourceNote) << note.dump() << "\n";
}

// The run folder scanned last: the one whose source note is newest.
std::string LatestRunFolder() {
    std::error_code ec;
    fs::path latest;
    fs::file_time_type newest{};
    for (fs::directory_iterator it(StoreFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path note = it->path() / kSourceNote;
        const auto written = fs::last_write_time(note, ec);
        if (ec) {
            ec.clear();
            continue;
        }
        if (latest.empty() || written > newest) {
            latest = it->path();
            newest = written;
        }
    }
    return latest.empty() ? std::string() : latest.string() + "/";
}

// Says so when the source holds less than its file system spans (an image cut short, a
// copy that stopped): files past its end cannot be found or recovered.
void WarnWhenCutShort(const ResolvedSource& s, std::ostream& err) {
    std::vector<uint8_t> area;
    const int rc = s.isImage ? EngineFactory::ReadBootAreaOfImage(s.image, area)
                             : EngineFactory::ReadBootAreaOfDisk(s.disk, s.startSector, area);
    if (rc != kOk) return;
    uint64_t held = uint64_t{s.sectorCount} * s.bytesPerSector;
    if (s.isImage && FileSizeOf(s.image, held) != kOk) return;
    const uint64_t spanned = VolumeBytesOf(ByteView(area));
    if (spanned <= held) return;
    err << "kestrune: " << s.text << " is cut short: its file system spans " << FormatSize(spanned)
        << " but the source holds " << FormatSize(held) << "; what lay past the end cannot be found\n";
}

int QuickScan(ScanSession& session, std::ostream& err) {
    const ResolvedSource& s = session.source;
    session.engine = s.isImage ? EngineFactory::CreateEngineForImage(s.image, session.driveLetter, 0)
                               : EngineFactory::CreateEngineForDisk(s.disk, s.startSector, s.sectorCount,
                                                                    session.driveLetter, 0);
    if (!session.engine) {
        std::vector<uint8_t> area;
        const int rc = s.isImage ? EngineFactory::ReadBootAreaOfImage(s.image, area)
                                 : EngineFactory::ReadBootAreaOfDisk(s.disk, s.startSector, area);
        if (rc != kOk)
            err << "kestrune: cannot read " << s.text << ": " << ResultText(rc) << "\n";
        else
            err << "kestrune: " << s.text << " holds no file system the quick scan knows (it looks like "
                << FsKindName(ClassifyBootArea(ByteView(area))) << "); try --mode deep\n";
        return kExitSourceError;
    }
    session.engine->SetCallbacks(ScanProgressLine, nullptr, nullptr, kFullWeight);
    const int rc = session.engine->Scan(nullptr);
    EndProgress();
    WarnWhenCutShort(s, err);
    if (rc == CancelCode) return kExitInterrupted;
    if (rc != kOk) {
        err << "kestrune: the scan of " << s.text << " failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    return kExitOk;
}

// Asks on a terminal whether to continue a stored pass; without a terminal it is continued.
bool ContinueStoredPass(const ScanOptions& options, const CProfessionalRecovery& engine, std::ostream& err) {
    if (options.restart) return false;
    if (options.resume || !::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) return true;
    const ResumeState& state = engine.StoredPass().resumeState;
    std::string question = LanguageTable::Instance().Message("MSG1206");
    if (question.empty()) question = "A stored scan of this source exists. Continue it?";
    err << question << " (" << state[3] << " sectors done, " << state[4] << " files found) [Y/n] ";
    err.flush();
    std::string answer;
    std::getline(std::cin, answer);
    return answer.empty() || answer[0] == 'y' || answer[0] == 'Y';
}

int FormattedScan(const ScanOptions& options, ScanSession& session, std::ostream& err) {
    const ResolvedSource& s = session.source;
    auto engine = s.isImage ? EngineFactory::CreateEngineForImage(s.image, session.driveLetter, 1)
                            : EngineFactory::CreateEngineForDisk(s.disk, s.startSector, s.sectorCount,
                                                                 session.driveLetter, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    if (!pass) {
        err << "kestrune: cannot read " << s.text << "\n";
        return kExitSourceError;
    }
    if (pass->HasStoredPass() && !ContinueStoredPass(options, *pass, err)) pass->DeclineStoredPass();
    pass->SetCallbacks(ScanProgressLine, nullptr, nullptr, CProfessionalRecovery::kWeight);
    // For tests and for media that may drop out at any moment: checkpoint more often.
    if (const char* seconds = std::getenv("KESTRUNE_CHECKPOINT_SECONDS"))
        pass->SetCheckpointInterval(static_cast<uint64_t>(std::max(0.0, std::atof(seconds)) * 1000));
    const int rc = pass->Scan(nullptr);
    EndProgress();
    session.runFolder = pass->ScanFolder();
    session.sectorsDone = pass->SectorsDone();
    session.sectorsTotal = pass->SectorsTotal();
    session.engine = std::move(engine);
    WriteSourceNote(session);
    WarnWhenCutShort(s, err);
    if (const int quick = pass->QuickScanResult(); quick != kOk && quick != CancelCode && rc != CancelCode)
        err << "kestrune: the file system of " << s.text << " could not be read whole (" << ResultText(quick)
            << "); every sector was read and carved instead\n";
    if (rc == CancelCode) return kExitInterrupted;
    if (rc != kOk) {
        err << "kestrune: the scan of " << s.text << " failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    return kExitOk;
}

}  // namespace

int StartScan(const ScanOptions& options, ScanSession& session, std::ostream& err) {
    if (options.mode != "quick" && options.mode != "formatted" && options.mode != "deep") {
        err << "kestrune: --mode must be quick, formatted or deep\n";
        return kExitUsage;
    }
    std::string error;
    if (int code = ResolveSource(options.source, session.source, error, options.partition); code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    session.driveLetter = session.source.isImage ? kImageNumber : kVolumeNumber;
    session.mode = options.mode;
    InstallInterruptHandler();
    if (options.mode != "quick") {
        // Formatted and deep scans are one and the same pass.
        const int code = FormattedScan(options, session, err);
        if (code == kExitInterrupted)
            err << "kestrune: stopped after " << session.sectorsDone << " of " << session.sectorsTotal
                << " sectors; the pass is stored in " << session.runFolder
                << " and continues where it stopped at the next scan of this source\n";
        return code;
    }
    session.runFolder = ScanCatalogue::Instance().NewRunFolder();
    WriteSourceNote(session);
    const int code = QuickScan(session, err);
    if (code == kExitInterrupted) err << "kestrune: stopped; what was found so far is in " << session.runFolder << "\n";
    return code;
}


int ReopenScan(const std::string& requested, ScanSession& session, std::ostream& err) {
    std::string folder = requested.empty() ? LatestRunFolder() : requested;
    if (folder.empty()) {
        err << "kestrune: there is no stored scan; run kestrune scan first\n";
        return kExitUsage;
    }
    if (folder.back() != '/') folder += '/';
    std::ifstream in(fs::path(folder) / kSourceNote);
    const nlohmann::json note = nlohmann::json::parse(in, nullptr, false);
    if (!in || note.is_discarded() || !note.contains("source") || !note["source"].is_string()) {
        err << "kestrune: " << folder << " holds no scan made by kestrune\n";
        return kExitUsage;
    }
    std::string error;
    if (int code = ResolveSource(note["source"].get<std::string>(), session.source, error, note.value("partition", 0));
        code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    session.mode = note.value("mode", std::string("quick"));
    session.driveLetter = session.source.isImage ? kImageNumber : kVolumeNumber;
    session.runFolder = folder;
    ScanCatalogue::Instance().UseRunFolder(folder);
    const ResolvedSource& s = session.source;
    std::string logName;
    if (session.mode == "quick") {
        FindLogByPrefix(kQuickLogPrefix, folder, logName);
        session.engine = s.isImage ? EngineFactory::CreateEngineForImage(s.image, session.driveLetter, 0)
                                   : EngineFactory::CreateEngineForDisk(s.disk, s.startSector, s.sectorCount,
                                                                        session.driveLetter, 0);
        if (!session.engine) {
            err << "kestrune: " << s.text << " can no longer be read as it was scanned\n";
            return kExitSourceError;
        }
        if (int rc = session.engine->Scan(&logName); rc != kOk) {
            err << "kestrune: cannot open the scan log in " << folder << ": " << ResultText(rc) << "\n";
            return kExitSourceError;
        }
        return kExitOk;
    }
    auto engine = s.isImage ? EngineFactory::CreateEngineForImage(s.image, session.driveLetter, 1)
                            : EngineFactory::CreateEngineForDisk(s.disk, s.startSector, s.sectorCount,
                                                                 session.driveLetter, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    if (!pass || !pass->HasStoredPass() || pass->StoredPass().scanFolder != folder) {
        err << "kestrune: the scan in " << folder << " is no longer stored (its source changed since?)\n";
        return kExitSourceError;
    }
    pass->OpenStoredLogs();
    session.engine = std::move(engine);
    return kExitOk;
}

bool DestinationOnSource(const fs::path& folder, const ResolvedSource& source) {
    if (source.isImage) return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return false;
    // The block device of the file system the folder lives on, by its number in sysfs.
    const DeviceRoots roots = GetDeviceRoots();
    std::error_code ec;
    const fs::path sysDevice = fs::canonical(
        roots.sys / "dev" / "block" / (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))), ec);
    if (ec) return false;
    DiskArea area;
    if (LocateBlockDevice(roots.dev / sysDevice.filename(), area) != kOk || area.disk != source.disk) return false;
    if (!area.isPartition) return true;
    const uint64_t end = area.startSector + area.sectorCount;
    return area.startSector < source.startSector + source.sectorCount && source.startSector < end;
}

}  // namespace kestrune::cli
