#include "output/recovery_job.h"

#include <algorithm>

#include "base/result_codes.h"
#include "disk/link_free_paths.h"
#include "disk/text_encoding.h"
#include "output/found_item.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune {

int PathDepth(const fs::path& path) {
    std::string text = path.string();
    if (!text.empty()) text.pop_back();
    return static_cast<int>(std::count(text.begin(), text.end(), '/'));
}

fs::path TargetPathFor(const fs::path& destination, const ScanRecord& record, NameRules rules,
                       const std::string* folder) {
    const std::string name = RecordNameOnDisk(record);
    if (!folder || record.engineKind == Signature) return destination / TypeFolderName(name) / SafeFileName(name, rules);
    // Each folder name from the medium becomes one safe component: none can climb out.
    fs::path target = destination;
    for (size_t at = 0; at < folder->size();) {
        size_t end = folder->find('/', at);
        if (end == std::string::npos) end = folder->size();
        if (end > at) target /= SafeFileName(std::string_view(*folder).substr(at, end - at), rules);
        at = end + 1;
    }
    return target / SafeFileName(name, rules);
}

std::string UnreadableText(const std::vector<UnreadableRange>& unreadable, uint64_t fileSize) {
    constexpr size_t kListed = 5;
    uint64_t total = 0;
    for (const UnreadableRange& range : unreadable) total += range.length;
    std::string text = std::to_string(total) + " of its " + std::to_string(fileSize) +
                       " bytes could not be read (bad sectors) and are zeros:";
    for (size_t i = 0; i < unreadable.size() && i < kListed; ++i)
        text += (i ? ", " : " ") + std::to_string(unreadable[i].length) + " at " +
                std::to_string(unreadable[i].fileOffset);
    if (unreadable.size() > kListed) text += " and " + std::to_string(unreadable.size() - kListed) + " more stretches";
    return text + ".";
}

RecoveryJob::RecoveryJob(fs::path destination, EngineLookup engines)
    : destination_(std::move(destination)), engines_(std::move(engines)) {}

void RecoveryJob::Finish(const ScanRecord& record, const fs::path& target, int result, fs::path partial,
                         bool alreadyThere, const std::string& why) {
    ++processed_;
    if (result != kOk) ++failed_;
    if (!partial.empty()) ++partial_;
    if (alreadyThere) ++alreadyThere_;
    RecoveredFile file{record, target, result, result == kOk ? "Success" : ResultText(result), std::move(partial),
                       alreadyThere};
    if (alreadyThere) file.status = "Success (already recovered whole by an earlier run; not written again)";
    if (!alreadyThere && result != kOk) file.unreadable = std::move(unreadable_);
    unreadable_.clear();
    if (SizeClipped(record) && result != kOk && result != CancelCode)
        file.status += " Its entry claims more bytes than its volume holds; it was cut at the volume's end.";
    if (!why.empty() && result != kOk && result != CancelCode) file.status += " " + why;
    if (!file.unreadable.empty()) file.status += " " + UnreadableText(file.unreadable, record.fileSize);
    if (!file.partial.empty()) file.status += " What could be read is in " + file.partial.filename().string() + ".";
    if (onFile) onFile(file);
    results_.push_back(std::move(file));
}

namespace {

// The engine's Recover; one damaged file must not end the job: a fault counts as failed.
int RecoverGuarded(IFileRecoveryParse& engine, const ScanRecord& record, const fs::path& target, int baseDepth) {
    try {
        return engine.Recover(record, target, baseDepth);
    } catch (...) {
        return kErrInvalidData;
    }
}

}  // namespace

int RecoveryJob::WriteFile(IFileRecoveryParse& engine, const ScanRecord& record, const std::string& key,
                           const fs::path& wanted, int baseDepth, fs::path& target, fs::path& partial,
                           std::string& why) {
    const int verdict = check_ ? check_(record, why) : kOk;
    if (int rc = CreateParentFolder(wanted); rc != kOk) return rc;
    WorkFileNotes notes;
    // This attempt reads the same source again: what it writes replaces an earlier partial copy.
    bool hadPartial = false;
    if (journal_) {
        notes.making = [&](const fs::path& work) { journal_->Writing(key, work); };
        notes.naming = [&](const fs::path& name) { journal_->Publishing(key, name); };
        hadPartial = journal_->RemoveEarlierPartial(key);
    }
    // The file is written under a hidden name of its own and takes a real name only when
    // whole: a kill, a crash or a full disk never leaves a cut file that looks complete.
    WrittenFile written;
    // A file whose size was cut to its volume is never whole: what it holds is kept as partial.
    const int result = WriteThroughWorkFile(
        wanted, record.fileSize,
        [&](const fs::path& work) {
            const int rc = RecoverGuarded(engine, record, work, baseDepth);
            if (rc != kOk) return rc;
            return SizeClipped(record) ? kErrFileCorrupt : verdict;
        },
        written, notes);
    target = written.published.empty() ? wanted : written.published;
    partial = written.partial;
    if (!journal_) return result;
    if (result == kOk) {
        journal_->Written(key, target, record.fileSize);
        if (hadPartial) ++partialsReplaced_;
    } else {
        journal_->KeptPartial(key, partial);
    }
    return result;
}

int RecoveryJob::Run(const std::vector<ScanRecord>& records) {
    processed_ = failed_ = partial_ = alreadyThere_ = leftoversRemoved_ = partialsReplaced_ = 0;
    total_ = records.size();
    results_.clear();
    // Every write below goes through the resolved folder and refuses links below it.
    fs::path destination;
    if (int rc = ResolveDestination(destination_, destination); rc != kOk) return rc;
    journal_.reset();
    if (!journalFolder_.empty()) {
        journal_ = std::make_unique<RecoveryJournal>();
        const int rc = journal_->Open(journalFolder_, destination);
        // Two jobs into one folder would take each other's work files for leftovers.
        if (rc == kErrSharingViolation) return rc;
        if (rc == kOk) leftoversRemoved_ = journal_->leftoversRemoved();
        else journal_.reset();
    }
    const NameRules rules = NameRulesFor(destination);
    const int baseDepth = PathDepth(destination);
    for (const ScanRecord& record : records) {
        if (cancelled_) return CancelCode;
        const std::string folder = folderOf_ ? folderOf_(record) : std::string();
        const fs::path wanted = TargetPathFor(destination, record, rules, folderOf_ ? &folder : nullptr);
        const std::string key = journal_ ? RecoveryJournal::KeyOf(sourceId_, record) : std::string();
        fs::path earlier;
        if (journal_ && !record.isFolder && journal_->WrittenWhole(key, earlier)) {
            Finish(record, earlier, kOk, {}, true);
            continue;
        }
        IFileRecoveryParse* engine = engines_ ? engines_(record.driveLetter) : nullptr;
        if (!engine) {
            Finish(record, wanted, kErrInvalidHandle);
            continue;
        }
        engine->SetCopyProgress([this](int percent, int) {
            if (cancelled_) return false;
            if (onProgress) onProgress(percent);
            return true;
        });
        unreadable_.clear();
        engine->SetUnreadableNotice([this](uint64_t fileOffset, uint64_t length) {
            unreadable_.push_back({fileOffset, length});
        });
        fs::path target = wanted, partial;
        std::string why;
        int result = kOk;
        if (record.isFolder) {
            target = UniqueTargetPath(wanted);
            result = RecoverGuarded(*engine, record, target, baseDepth);
        } else {
            result = WriteFile(*engine, record, key, wanted, baseDepth, target, partial, why);
        }
        if (result == CancelCode) {
            if (!partial.empty()) Finish(record, target, result, std::move(partial));
            return CancelCode;
        }
        Finish(record, target, result, std::move(partial), false, why);
    }
    return cancelled_ ? CancelCode : kOk;
}

}  // namespace kestrune
