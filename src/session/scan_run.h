// One scan of one target, end to end, the same for every front end: a run folder, the
// engine the mode and the file system call for, progress and cancel, the stored-pass
// question, the search of what was found, and the recovery of chosen files.
//
// Threads: a ScanRun and its engine are used by one thread at a time. A front end starts
// it on a worker; once Start has returned, the run may be handed to another thread (the
// UI thread to browse, a worker to search or recover), never to two at once. Reports go
// to the sink on the thread doing the work; the cancel token may be set from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scanlog/data_map.h"
#include "scanlog/recovered_file.h"
#include "scanlog/scan_record.h"
#include "base/rate_estimate.h"
#include "base/run_progress.h"
#include "session/scan_mode.h"
#include "session/scan_source.h"

namespace kestrune {

class IFileRecoveryParse;
class IStoredPass;

// A formatted or deep pass of this source stored earlier, for the question whether to
// continue it.
struct StoredPassInfo {
    uint64_t sectorsDone = 0;
    uint64_t filesFound = 0;
    std::string runFolder;
    bool finished = false;  // the stored pass reached its end: continuing it shows its findings
};
// Answers true to continue the stored pass, false to start afresh (the stored one is
// then discarded). Asked on the worker thread; a front end may block it while it asks.
using StoredPassQuestion = std::function<bool(const StoredPassInfo&)>;

// What one recovery did, beyond the per-file results.
struct RecoverySummary {
    uint64_t total = 0, processed = 0, failed = 0, partial = 0;
    // Files an earlier recovery into the same folder had written whole (not written
    // again), hidden work files an interrupted one left (removed), and partial copies it
    // kept that whole copies now replace.
    uint64_t alreadyThere = 0, leftoversRemoved = 0, partialsReplaced = 0;
};

// The checkpoint interval the user set in $KESTRUNE_CHECKPOINT_SECONDS (for media that may
// drop out at any moment, and for tests), in milliseconds; none when unset.
std::optional<uint64_t> CheckpointIntervalSetting();

// A scan kept in the store, as its folder's note tells it.
struct StoredRun {
    std::string folder, source, mode;
    int partition = 0;
    std::string fileSystem;  // the file system the user chose to read ("" when not asked)
    int64_t started = 0;   // seconds since 1970
    int64_t files = -1;    // files found; -1 while the scan has not ended
};
// Every scan kept in the store, oldest first.
std::vector<StoredRun> StoredRuns();

class ScanRun {
public:
    ScanRun(ScanSource source, ScanMode mode);
    ~ScanRun();
    ScanRun(const ScanRun&) = delete;
    ScanRun& operator=(const ScanRun&) = delete;

    // Where reports go and what stops the run; target and targets place this run among
    // the targets of one front-end operation (the partitions of a disk).
    void SetProgress(ProgressSink sink, const CancelToken* cancel, int target = 0, int targets = 1);
    void SetStoredPassQuestion(StoredPassQuestion question) { question_ = std::move(question); }
    // How often a formatted or deep pass stores where it stands, so that a pass killed
    // outright goes on near where it was; a minute unless set.
    void SetCheckpointInterval(uint64_t milliseconds) { checkpointMs_ = milliseconds; }
    // Whether the files that exist on the volume are wanted too, not only deleted ones: a
    // quick scan started after this lists them (marked kExistingFile), and searches keep
    // them; otherwise searches leave out any a stored scan holds.
    void SetExistingFiles(bool wanted) { existingFiles_ = wanted; }
    bool ExistingFiles() const { return existingFiles_; }

    // Takes a run folder (noting the source in it, so that the run can be reopened) and
    // scans. Returns 0; CancelCode when stopped (what was found is kept and can be
    // searched); kErrNotSupported when the quick scan knows no file system there; or why
    // the source could not be scanned. problem() says it in words.
    int Start();

    // Opens the stored run in folder again (its engine reopening its logs, nothing
    // scanned); an empty folder means the run made last. Returns 0; kErrFileNotFound when
    // there is no run at all, kErrInvalidData when folder holds none; kErrNotReady when its
    // source can no longer be read as it was scanned; problem says it in words.
    // open, when given, is handed the source as it resolves now: an encrypted one is
    // unlocked there (it answers 0, or a result code with problem set).
    using SourceOpener = std::function<int(ScanSource& source, std::string& problem)>;
    static int Reopen(const std::string& folder, std::unique_ptr<ScanRun>& out, std::string& problem,
                      const SourceOpener& open = {});

    // The found files (not folders) whose extension matches pattern ("*.jpg|*.png", or a
    // pattern from SearchPatternFor), reporting as RunStage::Searching.
    int Search(std::string_view pattern, std::vector<ScanRecord>& out);
    // How many of those files keep takes, without keeping them.
    int Count(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep, uint64_t& count);
    // The folders above a found record, outermost first, each followed by "/".
    int RecordPath(const ScanRecord& record, std::string& folder);

    // Copies records into destination (a folder CheckRecoveryDestination accepted),
    // reporting as RunStage::Recovering and each finished file to onFile. Each file takes
    // its name only once written whole; files an earlier recovery of this source into the
    // same folder wrote whole are not written again, so running it again after a crash or
    // a cancel continues it. Returns 0, CancelCode, kErrSharingViolation while another
    // recovery writes into the same folder, or why the destination could not be used.
    // keepFolders: each file goes into the folders it was found in, below destination,
    // instead of its type's folder.
    int Recover(const std::vector<ScanRecord>& records, const std::filesystem::path& destination,
                const std::function<void(const RecoveredFile&)>& onFile, RecoverySummary& summary,
                bool keepFolders = false);

    // Where a found file's data lies on the source (scanlog/data_map.h), as its recovery would
    // read it; kErrNotSupported when it is kept in the file system's records or stored
    // compressed.
    int MapData(const ScanRecord& record, DataMap& map);
    // How much of a found file's data no live file of the volume holds now, and no deleted
    // file made after it took (as that file's own metadata says), in percent:
    // 100 when none of it was written over, 0 when all of it was (or where it lay is lost);
    // -1 when the volume's allocation is not known (no file system was read) or a carved
    // file's end is a guess (CarvedEndGuessed). Data kept in the file system's own records
    // counts as there when its content checked out.
    int RecoverableShare(const ScanRecord& record);
    // The same from a map MapData already gave (mapped: its answer), read only once.
    int RecoverableShare(const ScanRecord& record, int mapped, const DataMap& map);
    // What a listing shows of a found file: its recoverable share, and whether the layout
    // its data was read in is a guess (DataMap).
    struct Recoverability {
        int share = -1;
        bool layoutGuessed = false;
    };
    Recoverability AssessRecoverable(const ScanRecord& record);
    // Whether a recovery may call the found file a success: kErrFileCorrupt, with the
    // reason, for a deleted file found through its volume's metadata that later files
    // were written over in part, whose pieces were not found, or whose content (where its
    // type can be followed to its end) breaks off before its end; kOk otherwise.
    int CheckWhole(const ScanRecord& record, std::string& why);

    // Copies a found file's data out for the preview: into a temporary file in a folder of
    // its own in the store folder ("preview-XXXXXX", its path written to tempPath; documents,
    // archives, pictures, sound and video), or the first bytes into buffer (delivered says
    // how many). progress hears the percent done; a set cancel stops the copy at its next
    // piece with CancelCode. Returns 0, CancelCode, or why the data could not be read; a
    // failed copy leaves no file behind. Reports nothing to the run's own sink, so that it
    // can run while no other operation of the run does (the engine is locked meanwhile).
    int ExtractForPreview(const ScanRecord& record, std::string& tempPath, std::span<uint8_t> buffer,
                          uint32_t& delivered, const CancelToken* cancel,
                          const std::function<void(int percent)>& progress);

    // A preview copy that a worker is about to make holds the run: the run is not destroyed
    // (its destructor stops the copy at its next piece and waits) until the worker releases
    // it. Hold on the thread that owns the run, before the worker starts.
    void HoldForPreview();
    void ReleaseFromPreview();

    // Whether the run has an engine whose findings can be searched: false when no scan
    // could be started on the source.
    bool HasFindings() const { return engine_ != nullptr; }
    const ScanSource& source() const { return source_; }
    ScanMode mode() const { return mode_; }
    const std::string& runFolder() const { return runFolder_; }
    // When the scan started, in seconds since 1970; 0 for a scan stored before it was noted.
    int64_t startedAt() const { return startedAt_; }
    // Files the ended scan found; -1 while it has not ended.
    int64_t filesFound() const { return filesFound_; }
    const std::string& problem() const { return problem_; }
    uint64_t sectorsDone() const { return sectorsDone_; }
    uint64_t sectorsTotal() const { return sectorsTotal_; }
    // Formatted and deep: not 0 when the file system could not be read whole, so that the
    // pass read and carved every sector.
    int quickScanResult() const { return quickScanResult_; }
    // What the boot area says the file system is ("NTFS", "FAT", "ext", "other").
    const std::string& fileSystem() const { return fileSystem_; }

private:
    // The engine's reports go to this run's sink, and its cancel token stops it.
    Reporter EngineReporter();
    void HandReporter();
    void Report(RunStage stage, int percent, int secondsLeft, uint64_t done, uint64_t total, uint64_t found);
    bool Cancelled() const { return cancel_ && cancel_->Cancelled(); }
    std::unique_ptr<IFileRecoveryParse> CreateQuickEngine();
    std::unique_ptr<IStoredPass> CreatePass();
    int QuickScan();
    int FormattedPass();

    ScanSource source_;
    bool existingFiles_ = false;
    ScanMode mode_;
    int64_t startedAt_ = 0;
    int64_t filesFound_ = -1;
    void NoteEnd();
    // Every found file, walked by the run itself (a count for its note, the claims): no
    // search of the user's, so the engine reports nothing and no cancel stops it.
    int WalkAllFiles(const std::function<bool(const ScanRecord&)>& keep, uint64_t& count);
    std::unique_ptr<IFileRecoveryParse> engine_;
    // The formatted or deep pass engine_ is, in those modes.
    IStoredPass* pass_ = nullptr;
    // The volume's free space now, as absolute byte ranges in order, read once when first
    // asked; freeKnown_ false when no file system says it.
    std::vector<std::pair<uint64_t, uint64_t>> freeBytes_;
    bool freeRead_ = false, freeKnown_ = false;
    void ReadFreeSpace();
    // Where the deleted files a quick scan found lay, as their own metadata says: bytes a
    // file made later took are no longer an earlier file's, though no live file holds them
    // now. Read with the free space; sorted by where they begin.
    struct Claim {
        uint64_t begin = 0, end = 0;
        uint64_t madeAt = 0;
        uint64_t fileStart = 0;  // where the claiming file's data begins: the same file
                                 // listed twice claims nothing from itself
    };
    std::vector<Claim> claims_;
    void ReadClaims();
    uint64_t TakenByNewer(const ScanRecord& record, uint64_t fileStart, uint64_t begin, uint64_t end) const;
    // Whether the byte at this source offset lies in the volume's free space.
    bool FreeAt(uint64_t offset);
    // An engine serves one thread at a time: a preview's copy may still be running on its
    // worker when a search or a recovery starts on another.
    std::recursive_mutex engineUse_;
    // Set when the run goes away: a preview copy still running stops at its next piece, and
    // the destructor waits for it instead of pulling the engine from under it.
    std::atomic<bool> closing_{false};
    std::mutex holdLock_;
    std::condition_variable released_;
    int holds_ = 0;
    std::string runFolder_, problem_, fileSystem_;
    ProgressSink sink_;
    const CancelToken* cancel_ = nullptr;
    StoredPassQuestion question_;
    std::optional<uint64_t> checkpointMs_;
    int target_ = 0, targets_ = 1, lastPercent_ = 0, quickScanResult_ = 0;
    uint64_t sectorsDone_ = 0, sectorsTotal_ = 0, lastFound_ = 0;
    RateEstimate rate_;
};

}  // namespace kestrune
