#include "output/recovery_job.h"

#include <algorithm>

#include "disk/link_free_paths.h"
#include "disk/result_codes.h"
#include "disk/text_encoding.h"
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
    const std::string_view name = RecordName(record);
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

RecoveryJob::RecoveryJob(fs::path destination, EngineLookup engines)
    : destination_(std::move(destination)), engines_(std::move(engines)) {}

int RecoveryJob::ProgressThunk(void* user, int percent, int, int, const std::string& target) {
    auto* job = static_cast<RecoveryJob*>(user);
    if (job->cancelled_) return CancelCode;
    if (job->onProgress) job->onProgress(percent, target);
    return 0;
}

void RecoveryJob::Finish(const ScanRecord& record, const fs::path& target, int result, fs::path partial,
                         bool alreadyThere) {
    ++processed_;
    if (result != kOk) ++failed_;
    if (!partial.empty()) ++partial_;
    if (alreadyThere) ++alreadyThere_;
    RecoveredFile file{record, target, result, result == kOk ? "Success" : ResultText(result), std::move(partial),
                       alreadyThere};
    if (alreadyThere) file.status = "Success (already recovered whole by an earlier run; not written again)";
    if (!file.partial.empty()) file.status += " What could be read is in " + file.partial.filename().string() + ".";
    if (onFile) onFile(file);
    results_.push_back(std::move(file));
}

namespace {

// Bytes of a plain file, 0 when it cannot be asked.
uint64_t FileBytes(const fs::path& path) {
    std::error_code ec;
    const uint64_t bytes = fs::file_size(path, ec);
    return ec ? 0 : bytes;
}

}  // namespace

int RecoveryJob::WriteFile(IFileRecoveryParse& engine, const ScanRecord& record, const fs::path& wanted,
                           int baseDepth, fs::path& target, fs::path& partial) {
    target = wanted;
    // The file is written under a hidden name of its own and takes a real name only when
    // whole: a kill, a crash or a full disk never leaves a cut file that looks complete.
    WorkFile work;
    if (int rc = CreateParentFolder(wanted); rc != kOk) return rc;
    const std::string key = journal_ ? RecoveryJournal::KeyOf(sourceId_, record) : std::string();
    const auto note = [&](const fs::path& name) { journal_->Writing(key, name); };
    if (int rc = CreateWorkFile(wanted, work, journal_ ? note : std::function<void(const fs::path&)>()); rc != kOk)
        return rc;
    int result = kOk;
    try {
        result = engine.Recover(record, work.path, baseDepth);
    } catch (...) {
        // One damaged file must not end the job: it counts as failed.
        result = kErrInvalidData;
    }
    // An encrypted file's stored bytes go beside it under a name that says so; they are
    // whole when the engine says the file is encrypted.
    if (result == kErrFileEncrypted) {
        const WorkFile sealed = work.Beside(kEncryptedDataSuffix);
        fs::path wantedSealed = wanted, published;
        wantedSealed += kEncryptedDataSuffix;
        if (PublishWholeFile(sealed, wantedSealed, published) == kOk) target = published;
        else SettleUnfinishedFile(sealed, wantedSealed);
    }
    // The engine writes by path; a folder moved away and made anew meanwhile would have
    // taken its bytes into a file of the same name there, leaving this one short.
    if (result == kOk && WorkFileBytes(work) != static_cast<int64_t>(record.fileSize)) {
        RemoveFileWithoutLinks(work.path);
        result = kErrLinkRefused;
    }
    if (result == kOk) {
        fs::path published;
        const auto candidate = [&](const fs::path& name) { journal_->Publishing(key, name); };
        result = PublishWholeFile(work, wanted, published,
                                  journal_ ? candidate : std::function<void(const fs::path&)>());
        if (result == kOk) {
            target = published;
            if (journal_) {
                journal_->Written(key, published, FileBytes(published));
                if (journal_->RemoveEarlierPartial(key)) ++partialsReplaced_;
            }
            return kOk;
        }
    }
    // The earlier partial copy goes: this attempt read the same source again.
    if (journal_) journal_->RemoveEarlierPartial(key);
    partial = SettleUnfinishedFile(work, wanted);
    if (journal_) journal_->KeptPartial(key, partial);
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
        fs::path earlier;
        if (journal_ && !record.isFolder && journal_->WrittenWhole(RecoveryJournal::KeyOf(sourceId_, record), earlier)) {
            Finish(record, earlier, kOk, {}, true);
            continue;
        }
        IFileRecoveryParse* engine = engines_ ? engines_(record.driveLetter) : nullptr;
        if (!engine) {
            Finish(record, wanted, kErrInvalidHandle);
            continue;
        }
        if (engine->SetCallbacks(nullptr, ProgressThunk, this, kFullWeight) != kOk) break;
        fs::path target = wanted, partial;
        int result = kOk;
        if (record.isFolder) {
            target = UniqueTargetPath(wanted);
            try {
                result = engine->Recover(record, target, baseDepth);
            } catch (...) {
                result = kErrInvalidData;
            }
        } else {
            result = WriteFile(*engine, record, wanted, baseDepth, target, partial);
        }
        if (result == CancelCode) {
            if (!partial.empty()) Finish(record, target, result, std::move(partial));
            return CancelCode;
        }
        Finish(record, target, result, std::move(partial));
    }
    return cancelled_ ? CancelCode : kOk;
}

}  // namespace kestrune
