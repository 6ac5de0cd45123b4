// The recovery job: copies chosen found files into a destination folder, grouped by type.
//
// Names come from the medium and are untrusted: each becomes one safe path component, so
// nothing is ever written outside the destination folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engines/found_data.h"
#include "engines/recovery_engine.h"
#include "output/found_names.h"
#include "output/recovery_journal.h"
#include "output/work_file.h"
#include "scanlog/recovered_file.h"

namespace kestrune {

// The number of "/" in path, not counting a last one.
int PathDepth(const std::filesystem::path& path);

// destination / type folder / safe name; or, given the folders a file was found in
// ("DCIM/100CANON/"), destination / each folder made safe / safe name.
std::filesystem::path TargetPathFor(const std::filesystem::path& destination, const ScanRecord& record,
                                    NameRules rules = NameRules::Linux, const std::string* folder = nullptr);

class RecoveryJob {
public:
    // The engine that owns records with a drive letter (or image number); null when that
    // source is no longer open.
    using EngineLookup = std::function<IFileRecoveryParse*(uint16_t driveLetter)>;

    RecoveryJob(std::filesystem::path destination, EngineLookup engines);

    // Recovers every record in order. Returns 0, CancelCode when cancelled, or why the
    // destination folder cannot be used.
    int Run(const std::vector<ScanRecord>& records);
    // Asks a running job to stop after the current piece.
    void Cancel() { cancelled_ = true; }

    // Writes each file into the folders it was found in (folderOf gives them, as
    // "DCIM/100CANON/") instead of its type's folder; carved files, found in no folder,
    // still go to their type's. Set before Run.
    void KeepOriginalFolders(std::function<std::string(const ScanRecord&)> folderOf) { folderOf_ = std::move(folderOf); }

    // Asked before each file is written: kOk, or why it cannot come back whole (said in
    // why), in which case what is written is kept only as partial. Set before Run.
    using WholeCheck = std::function<int(const ScanRecord& record, std::string& why)>;
    void CheckEachFile(WholeCheck check) { check_ = std::move(check); }

    // Notes what is written in a journal of the destination kept in journalFolder, so that
    // a later job into the same folder skips the files already there whole and clears
    // what an interrupted job left; sourceId names the source the records came from. Set
    // before Run. Without it, every file is written.
    void KeepJournal(std::filesystem::path journalFolder, std::string sourceId) {
        journalFolder_ = std::move(journalFolder);
        sourceId_ = std::move(sourceId);
    }

    // Called once per finished file (also for failures); on the job's thread.
    std::function<void(const RecoveredFile&)> onFile;
    // Called while a file is written: percent of that file.
    std::function<void(int percent)> onProgress;

    uint64_t processed() const { return processed_; }
    uint64_t failed() const { return failed_; }
    uint64_t total() const { return total_; }
    // Failed files whose data was kept in part, as "name.partial.ext".
    uint64_t partial() const { return partial_; }
    const std::vector<RecoveredFile>& results() const { return results_; }
    // Files an earlier job into the same folder had written whole, not written again.
    uint64_t alreadyThere() const { return alreadyThere_; }
    // Work files an interrupted earlier job left, removed; partial copies an earlier job
    // kept that a whole copy now replaces.
    uint64_t leftoversRemoved() const { return leftoversRemoved_; }
    uint64_t partialsReplaced() const { return partialsReplaced_; }

private:
    void Finish(const ScanRecord& record, const std::filesystem::path& target, int result,
                std::filesystem::path partial = {}, bool alreadyThere = false, const std::string& why = {});
    // Writes one file record into a work file beside wanted and publishes it whole.
    // key: the record's identity in the journal (empty without one).
    // why: what is missing of a file that cannot come back whole.
    int WriteFile(IFileRecoveryParse& engine, const ScanRecord& record, const std::string& key,
                  const std::filesystem::path& wanted, int baseDepth, std::filesystem::path& target,
                  std::filesystem::path& partial, std::string& why);

    std::filesystem::path destination_;
    EngineLookup engines_;
    std::function<std::string(const ScanRecord&)> folderOf_;
    WholeCheck check_;
    std::filesystem::path journalFolder_;
    std::string sourceId_;
    std::unique_ptr<RecoveryJournal> journal_;
    std::atomic<bool> cancelled_{false};
    uint64_t processed_ = 0, failed_ = 0, total_ = 0, partial_ = 0;
    uint64_t alreadyThere_ = 0, leftoversRemoved_ = 0, partialsReplaced_ = 0;
    std::vector<RecoveredFile> results_;
    std::vector<UnreadableRange> unreadable_;  // of the file being written
};

// "8704 of its 3000000 bytes could not be read (bad sectors) and are zeros: 8192 at
// 1048576, 512 at 2000384.": what the status of a file read around bad sectors says of
// them (the first five stretches, and how many more).
std::string UnreadableText(const std::vector<UnreadableRange>& unreadable, uint64_t fileSize);

}  // namespace kestrune
