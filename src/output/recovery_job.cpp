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

void RecoveryJob::Finish(const ScanRecord& record, const fs::path& target, int result, fs::path partial) {
    ++processed_;
    if (result != kOk) ++failed_;
    if (!partial.empty()) ++partial_;
    RecoveredFile file{record, target, result, result == kOk ? "Success" : ResultText(result), std::move(partial)};
    if (!file.partial.empty()) file.status += " What could be read is in " + file.partial.filename().string() + ".";
    if (onFile) onFile(file);
    results_.push_back(std::move(file));
}

int RecoveryJob::Run(const std::vector<ScanRecord>& records) {
    processed_ = failed_ = partial_ = 0;
    total_ = records.size();
    results_.clear();
    // Every write below goes through the resolved folder and refuses links below it.
    fs::path destination;
    if (int rc = ResolveDestination(destination_, destination); rc != kOk) return rc;
    const NameRules rules = NameRulesFor(destination);
    const int baseDepth = PathDepth(destination);
    for (const ScanRecord& record : records) {
        if (cancelled_) return CancelCode;
        const std::string folder = folderOf_ ? folderOf_(record) : std::string();
        const fs::path target =
            UniqueTargetPath(TargetPathFor(destination, record, rules, folderOf_ ? &folder : nullptr));
        IFileRecoveryParse* engine = engines_ ? engines_(record.driveLetter) : nullptr;
        if (!engine) {
            Finish(record, target, kErrInvalidHandle);
            continue;
        }
        if (engine->SetCallbacks(nullptr, ProgressThunk, this, kFullWeight) != kOk) break;
        int result = kOk;
        try {
            result = engine->Recover(record, target, baseDepth);
        } catch (...) {
            // One damaged file must not end the job: it counts as failed.
            result = kErrInvalidData;
        }
        // What a failed or stopped write left must not pass for the whole file.
        fs::path partial = result != kOk && !record.isFolder ? SettleUnfinishedFile(target) : fs::path();
        if (result == CancelCode) {
            if (!partial.empty()) Finish(record, target, result, std::move(partial));
            return CancelCode;
        }
        Finish(record, target, result, std::move(partial));
    }
    return cancelled_ ? CancelCode : kOk;
}

}  // namespace kestrune
