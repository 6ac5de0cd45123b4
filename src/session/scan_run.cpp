#include "session/scan_run.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/link_free_paths.h"
#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"
#include "output/recovery_job.h"
#include "scanlog/log_names.h"
#include "scanlog/scan_catalogue.h"
#include "scanlog/store_folder.h"
#include "session/search_pattern.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

constexpr const char* kSourceNote = "source.json";

// What reopening a run needs: the source as the user named it, and the mode.
void WriteSourceNote(const ScanRun& run) {
    std::error_code ec;
    fs::create_directories(run.runFolder(), ec);
    const nlohmann::json note = {{"source", run.source().text},
                                 {"mode", ScanModeName(run.mode())},
                                 {"driveLetter", DriveLetterOf(run.source())},
                                 {"partition", run.source().partition},
                                 {"fileSystem", run.source().chosenFileSystem},
                                 {"started", run.startedAt()},
                                 {"files", run.filesFound()}};
    const std::string text = note.dump() + "\n";
    WriteFileWhole(fs::path(run.runFolder()) / kSourceNote, text.data(), text.size());
}

bool ReadSourceNote(const fs::path& folder, StoredRun& run) {
    std::ifstream in(folder / kSourceNote);
    const nlohmann::json note = nlohmann::json::parse(in, nullptr, false);
    if (!in || note.is_discarded() || !note.is_object() || !note.contains("source") || !note["source"].is_string())
        return false;
    run.folder = folder.string() + "/";
    run.source = note["source"].get<std::string>();
    // A note written by hand or damaged may hold any type anywhere: nothing here may throw.
    run.mode = note.contains("mode") ? (note["mode"].is_string() ? note["mode"].get<std::string>() : "") : "quick";
    run.partition = note.contains("partition") && note["partition"].is_number_integer() ? note["partition"].get<int>() : 0;
    run.fileSystem = note.contains("fileSystem") && note["fileSystem"].is_string() ? note["fileSystem"].get<std::string>() : "";
    run.started = note.contains("started") && note["started"].is_number_integer() ? note["started"].get<int64_t>() : 0;
    run.files = note.contains("files") && note["files"].is_number_integer() ? note["files"].get<int64_t>() : -1;
    return true;
}

// The same text for every scan of one source, whichever way it was named.
std::string SourceIdentity(const ScanSource& source) {
    if (!source.isImage)
        return "disk:" + std::to_string(source.disk) + ":" + std::to_string(source.startSector) + ":" +
               std::to_string(source.sectorCount);
    std::error_code ec;
    fs::path image = fs::weakly_canonical(source.image, ec);
    if (ec) image = source.image;
    return "image:" + image.string() + ":" + std::to_string(source.partition);
}

// The run folder scanned last: the one whose source note is newest.
std::string LatestRunFolder() {
    std::error_code ec;
    fs::path latest;
    fs::file_time_type newest{};
    for (fs::directory_iterator it(StoreFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        const auto written = fs::last_write_time(it->path() / kSourceNote, ec);
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

}  // namespace

std::vector<StoredRun> StoredRuns() {
    std::vector<StoredRun> runs;
    std::error_code ec;
    for (fs::directory_iterator it(StoreFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        StoredRun run;
        if (it->is_directory(ec) && ReadSourceNote(it->path(), run)) runs.push_back(std::move(run));
    }
    std::sort(runs.begin(), runs.end(), [](const StoredRun& a, const StoredRun& b) {
        return a.started != b.started ? a.started < b.started : a.folder < b.folder;
    });
    return runs;
}

// Notes the end of a quick scan with what it found, then forgets the quick scans of the
// same source that ended before it: the newer scan replaces them. Scans of other sources,
// formatted passes and scans still running are kept.
void ScanRun::NoteEnd() {
    uint64_t count = 0;
    if (WalkAllFiles([](const ScanRecord&) { return true; }, count) >= 0) filesFound_ = static_cast<int64_t>(count);
    WriteSourceNote(*this);
    for (const StoredRun& older : StoredRuns()) {
        if (older.folder == runFolder_ || older.mode != "quick" || older.files < 0 || older.source != source_.text ||
            older.partition != source_.partition || older.fileSystem != source_.chosenFileSystem ||
            older.started > startedAt_)
            continue;
        ScanCatalogue::Instance().DiscardRunFolder(older.folder);
    }
}

int ScanRun::WalkAllFiles(const std::function<bool(const ScanRecord&)>& keep, uint64_t& count) {
    std::string error;
    engine_->SetReporter({});
    const int rc = engine_->CountByExtension(SearchPatternFor({}, {}, error), keep, count);
    HandReporter();
    return rc;
}

ScanRun::ScanRun(ScanSource source, ScanMode mode) : source_(std::move(source)), mode_(mode) {}

ScanRun::~ScanRun() {
    closing_.store(true);
    std::unique_lock hold(holdLock_);
    released_.wait(hold, [this] { return holds_ == 0; });
    std::lock_guard use(engineUse_);
}

void ScanRun::HoldForPreview() {
    std::lock_guard hold(holdLock_);
    ++holds_;
}

void ScanRun::ReleaseFromPreview() {
    std::lock_guard hold(holdLock_);
    if (holds_ > 0 && --holds_ == 0) released_.notify_all();
}

void ScanRun::SetProgress(ProgressSink sink, const CancelToken* cancel, int target, int targets) {
    sink_ = std::move(sink);
    cancel_ = cancel;
    target_ = target;
    targets_ = std::max(1, targets);
    HandReporter();
}

Reporter ScanRun::EngineReporter() {
    return {[this](const RunProgress& p) { Report(p.stage, p.percent, p.secondsLeft, p.done, p.total, p.filesFound); },
            cancel_};
}

void ScanRun::HandReporter() {
    if (engine_) engine_->SetReporter(EngineReporter());
}

void ScanRun::Report(RunStage stage, int percent, int secondsLeft, uint64_t done, uint64_t total, uint64_t found) {
    if (!sink_) return;
    // Engines weigh their phases themselves; the run shows one steady figure.
    lastPercent_ = std::clamp(std::max(lastPercent_, percent), 0, 100);
    lastFound_ = std::max(lastFound_, found);
    RunProgress progress;
    progress.stage = stage;
    progress.target = target_;
    progress.targets = targets_;
    progress.percent = (target_ * 100 + lastPercent_) / targets_;
    // The time left from a smoothed rate: the engines' own figures are whole-run averages,
    // which stand still when the speed changes.
    if (total != 0) {
        rate_.Note(done, total, SteadyMilliseconds());
        if (rate_.SecondsLeft() >= 0) secondsLeft = rate_.SecondsLeft();
        progress.bytesPerSecond = static_cast<uint64_t>(rate_.PerSecond() * source_.bytesPerSector);
    }
    progress.secondsLeft = secondsLeft;
    progress.done = done;
    progress.total = total;
    progress.filesFound = lastFound_;
    sink_(progress);
}

std::unique_ptr<IFileRecoveryParse> ScanRun::CreateQuickEngine() {
    const ScanSource& s = source_;
    const uint16_t letter = DriveLetterOf(s);
    // Empty, or the file system the user named where the area holds two.
    const FsKind chosen = FsKindNamed(s.chosenFileSystem);
    std::unique_ptr<IFileRecoveryParse> engine =
        s.isImage ? EngineFactory::OpenQuickEngineForImage(s.image, letter, chosen)
                  : EngineFactory::OpenQuickEngineForDisk(s.disk, s.startSector, s.sectorCount, letter, chosen);
    if (engine) engine->SetListExisting(existingFiles_);
    return engine;
}

std::unique_ptr<IStoredPass> ScanRun::CreatePass() {
    const ScanSource& s = source_;
    const uint16_t letter = DriveLetterOf(s);
    ScanCatalogue& catalogue = ScanCatalogue::Instance();
    return s.isImage ? EngineFactory::CreatePassForImage(s.image, letter, catalogue)
                     : EngineFactory::CreatePassForDisk(s.disk, s.startSector, s.sectorCount, letter, catalogue);
}

std::optional<uint64_t> CheckpointIntervalSetting() {
    const char* seconds = std::getenv("KESTRUNE_CHECKPOINT_SECONDS");
    if (!seconds) return std::nullopt;
    return static_cast<uint64_t>(std::max(0.0, std::atof(seconds)) * 1000);
}

int ScanRun::Start() {
    startedAt_ = static_cast<int64_t>(std::time(nullptr));
    problem_.clear();
    lastPercent_ = 0;
    lastFound_ = 0;
    std::vector<std::pair<std::string, std::string>> geometry;
    ProbeSource(source_, fileSystem_, geometry);
    if (Cancelled()) return CancelCode;
    const int rc = mode_ == ScanMode::Quick ? QuickScan() : FormattedPass();
    if (rc == kOk) Report(RunStage::Scanning, 100, 0, sectorsDone_, sectorsTotal_, lastFound_);
    return rc;
}

int ScanRun::QuickScan() {
    runFolder_ = ScanCatalogue::Instance().NewRunFolder();
    WriteSourceNote(*this);
    engine_ = CreateQuickEngine();
    if (!engine_) {
        std::vector<uint8_t> area;
        std::vector<std::pair<std::string, std::string>> geometry;
        if (int rc = ProbeSource(source_, fileSystem_, geometry); rc != kOk) {
            problem_ = "cannot read " + source_.text + ": " + ResultText(rc);
            if (const std::string advice = AccessAdvice(source_); !advice.empty()) problem_ += " " + advice;
            return rc;
        }
        problem_ = source_.text + " holds no file system the quick scan knows (it looks like " + fileSystem_ +
                   "); try --mode deep";
        return kErrNotSupported;
    }
    engine_->SetRunFolder(runFolder_);
    HandReporter();
    const int rc = engine_->Scan(nullptr);
    if (rc == kOk) NoteEnd();
    if (rc == CancelCode) problem_ = "stopped; what was found so far is in " + runFolder_;
    else if (rc != kOk) problem_ = "the scan of " + source_.text + " failed: " + ResultText(rc);
    return rc;
}

int ScanRun::FormattedPass() {
    std::unique_ptr<IStoredPass> pass = CreatePass();
    if (!pass) {
        problem_ = "cannot read " + source_.text;
        if (const std::string advice = AccessAdvice(source_); !advice.empty()) problem_ += ". " + advice;
        return kErrReadFault;
    }
    if (pass->HasStoredPass()) {
        const IStoredPass::Progress stored = pass->StoredProgress();
        // Without a question asked, a stored pass is continued.
        if (question_ && !question_({stored.sectorsDone, stored.filesFound, stored.runFolder, stored.finished}))
            pass->DeclineStoredPass();
    }
    if (Cancelled()) return CancelCode;
    // The run owns its folder in every mode: a new pass writes into one taken here; a
    // stored pass goes on in its own.
    ScanCatalogue& catalogue = ScanCatalogue::Instance();
    const std::string newFolder = pass->HasStoredPass() ? std::string() : catalogue.NewRunFolder();
    if (!newFolder.empty()) pass->SetRunFolder(newFolder);
    pass->SetReporter(EngineReporter());
    if (checkpointMs_) pass->SetCheckpointInterval(*checkpointMs_);
    const int rc = pass->Scan(nullptr);
    // A pass that stopped before it began stored nothing: its folder, if still empty, is
    // given back, so that the numbering goes on as if it had not been taken.
    const auto& stored = catalogue.Records();
    if (!newFolder.empty() && rc != kOk &&
        std::none_of(stored.begin(), stored.end(), [&](const ScanCatalogueRecord& r) { return r.scanFolder == newFolder; }))
        catalogue.TakeBackRunNumber(newFolder);
    runFolder_ = pass->RunFolder();
    sectorsDone_ = pass->SectorsDone();
    sectorsTotal_ = pass->SectorsTotal();
    quickScanResult_ = pass->QuickScanResult();
    pass_ = pass.get();
    engine_ = std::move(pass);
    HandReporter();
    WriteSourceNote(*this);
    if (rc == CancelCode)
        problem_ = "stopped after " + std::to_string(sectorsDone_) + " of " + std::to_string(sectorsTotal_) +
                   " sectors; the pass is stored in " + runFolder_ +
                   " and continues where it stopped at the next scan of this source";
    else if (rc != kOk)
        problem_ = "the scan of " + source_.text + " failed: " + ResultText(rc);
    return rc;
}

int ScanRun::Reopen(const std::string& requested, std::unique_ptr<ScanRun>& out, std::string& problem,
                    const SourceOpener& open) {
    out.reset();
    std::string folder = requested.empty() ? LatestRunFolder() : requested;
    if (folder.empty()) {
        problem = "there is no stored scan; run kestrune scan first";
        return kErrFileNotFound;
    }
    if (folder.back() != '/') folder += '/';
    StoredRun note;
    ScanMode mode = ScanMode::Quick;
    if (!ReadSourceNote(fs::path(folder), note) || !ParseScanMode(note.mode, mode)) {
        problem = folder + " holds no scan made by kestrune";
        return kErrInvalidData;
    }
    ScanSource source;
    if (int rc = ResolveScanSource(note.source, note.partition, source, problem); rc != kOk)
        return rc == kErrInvalidParameter ? rc : kErrNotReady;
    if (open)
        if (int rc = open(source, problem); rc != kOk) return kErrNotReady;
    source.chosenFileSystem = note.fileSystem;
    auto run = std::make_unique<ScanRun>(std::move(source), mode);
    run->runFolder_ = folder;
    run->startedAt_ = note.started;
    run->filesFound_ = note.files;
    if (mode == ScanMode::Quick) {
        std::string logName;
        FindLogByPrefix(kQuickLogPrefix, folder, logName);
        run->engine_ = run->CreateQuickEngine();
        if (!run->engine_) {
            problem = run->source_.text + " can no longer be read as it was scanned";
            return kErrNotReady;
        }
        run->engine_->SetRunFolder(folder);
        if (int rc = run->engine_->Scan(&logName); rc != kOk) {
            problem = "cannot open the scan log in " + folder + ": " + ResultText(rc);
            return rc;
        }
    } else {
        std::unique_ptr<IStoredPass> pass = run->CreatePass();
        if (!pass || !pass->HasStoredPass() || pass->StoredProgress().runFolder != folder) {
            problem = "the scan in " + folder + " is no longer stored (its source changed since?)";
            return kErrNotReady;
        }
        pass->OpenStoredLogs();
        run->pass_ = pass.get();
        run->engine_ = std::move(pass);
    }
    run->HandReporter();
    out = std::move(run);
    return kOk;
}

int ScanRun::Search(std::string_view pattern, std::vector<ScanRecord>& out) {
    if (!engine_) return kErrInvalidHandle;
    std::lock_guard use(engineUse_);
    lastPercent_ = 0;
    const size_t before = out.size();
    const int rc = engine_->SearchByExtension(pattern, out);
    // A formatted or deep pass lists files that exist only on volumes it found, whose
    // partition is gone: they are lost to their owner as much as deleted ones.
    if (!existingFiles_ && !pass_)
        out.erase(std::remove_if(out.begin() + static_cast<long>(before), out.end(), ExistingFile), out.end());
    return rc;
}

int ScanRun::Count(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep, uint64_t& count) {
    count = 0;
    if (!engine_) return kErrInvalidHandle;
    std::lock_guard use(engineUse_);
    lastPercent_ = 0;
    if (existingFiles_ || pass_) return engine_->CountByExtension(pattern, keep, count);
    return engine_->CountByExtension(pattern, [&keep](const ScanRecord& r) { return !ExistingFile(r) && keep(r); },
                                     count);
}

int ScanRun::RecordPath(const ScanRecord& record, std::string& folder) {
    folder.clear();
    std::lock_guard use(engineUse_);
    return engine_ ? engine_->GetRecordPath(record, folder) : kErrInvalidHandle;
}

int ScanRun::Recover(const std::vector<ScanRecord>& records, const fs::path& destination,
                     const std::function<void(const RecoveredFile&)>& onFile, RecoverySummary& summary,
                     bool keepFolders) {
    std::lock_guard use(engineUse_);
    IFileRecoveryParse* engine = engine_.get();
    const uint16_t letter = DriveLetterOf(source_);
    RecoveryJob job(destination, [engine, letter](uint16_t driveLetter) {
        return driveLetter == letter ? engine : nullptr;
    });
    job.KeepJournal(StoreFolder() / "recoveries", SourceIdentity(source_));
    // On a source cut short, a file is whole only when all of it lies inside what is left.
    uint64_t spanned = 0, held = 0;
    VolumeExtent(source_, spanned, held);
    const uint64_t end = spanned > held ? source_.startSector * source_.bytesPerSector + held : UINT64_MAX;
    job.CheckEachFile([this, end](const ScanRecord& record, std::string& why) {
        if (end != UINT64_MAX) {
            DataMap map;
            if (MapData(record, map) != kOk) return kOk;
            uint64_t missing = 0;
            for (const ByteRun& run : map.runs) {
                const uint64_t runEnd = run.sourceOffset + run.length;
                if (runEnd > end) missing += runEnd - std::max(run.sourceOffset, end);
            }
            if (missing) {
                why = std::to_string(missing) + " of its bytes lay past the end of the source, which is cut short.";
                return kErrHandleEof;
            }
            if (map.layoutGuessed) {
                why = "Its pieces were laid out by a guess on a source cut short; some may be missing.";
                return kErrFileCorrupt;
            }
        }
        return CheckWhole(record, why);
    });
    if (keepFolders)
        job.KeepOriginalFolders([engine](const ScanRecord& record) {
            std::string folder;
            engine->GetRecordPathOnDisk(record, folder);
            return folder;
        });
    lastPercent_ = 0;
    uint64_t finished = 0;
    job.onProgress = [this, &job, &finished, &records](int percent) {
        if (Cancelled()) job.Cancel();
        // A file's own percent moves the whole only by its share.
        const int whole = records.empty() ? 100 : static_cast<int>((finished * 100 + percent) / records.size());
        Report(RunStage::Recovering, whole, -1, finished, records.size(), 0);
    };
    job.onFile = [&](const RecoveredFile& file) {
        ++finished;
        if (Cancelled()) job.Cancel();
        if (onFile) onFile(file);
    };
    const int rc = job.Run(records);
    summary = {job.total(),        job.processed(),        job.failed(),          job.partial(),
               job.alreadyThere(), job.leftoversRemoved(), job.partialsReplaced()};
    if (rc == kOk) Report(RunStage::Recovering, 100, -1, finished, records.size(), 0);
    return rc;
}

int ScanRun::ExtractForPreview(const ScanRecord& record, std::string& tempPath, std::span<uint8_t> buffer,
                               uint32_t& delivered, const CancelToken* cancel,
                               const std::function<void(int percent)>& progress) {
    delivered = 0;
    tempPath.clear();
    if (!engine_) return kErrInvalidHandle;
    // Only this run's engine holds the record's data: a record of another source is refused.
    if (record.driveLetter != DriveLetterOf(source_)) return kErrInvalidParameter;
    if ((cancel && cancel->Cancelled()) || closing_.load()) return CancelCode;
    std::lock_guard use(engineUse_);
    return engine_->ExtractForPreview(&record, tempPath, buffer, delivered, [&](int percent, int) {
        if (progress) progress(percent);
        // Asked after the report: a front end may hold the report while it asks whether to stop.
        return !(cancel && cancel->Cancelled()) && !closing_.load();
    });
}

}  // namespace kestrune
