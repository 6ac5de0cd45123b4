#include "output/recovery_job.h"

#include <algorithm>

#include "disk/result_codes.h"
#include "disk/text_encoding.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune {

fs::path UniqueTargetPath(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return path;
    const fs::path folder = path.parent_path();
    const std::string stem = path.stem().string();
    const std::string extension = path.extension().string();
    for (unsigned n = 1;; ++n) {
        fs::path candidate = folder / (stem + "(" + std::to_string(n) + ")" + extension);
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

int PathDepth(const fs::path& path) {
    std::string text = path.string();
    if (!text.empty()) text.pop_back();
    return static_cast<int>(std::count(text.begin(), text.end(), '/'));
}

fs::path TargetPathFor(const fs::path& destination, const ScanRecord& record) {
    const std::string_view name = RecordName(record);
    return destination / TypeFolderName(name) / SafeFileName(name);
}

RecoveryJob::RecoveryJob(fs::path destination, EngineLookup engines)
    : destination_(std::move(destination)), engines_(std::move(engines)) {}

int RecoveryJob::ProgressThunk(void* user, int percent, int, int, const std::string& target) {
    auto* job = static_cast<RecoveryJob*>(user);
    if (job->cancelled_) return CancelCode;
    if (job->onProgress) job->onProgress(percent, target);
    return 0;
}

void RecoveryJob::Finish(const ScanRecord& record, const fs::path& target, int result) {
    ++processed_;
    if (result != kOk) ++failed_;
    RecoveredFile file{record, target, result, result == kOk ? "Success" : ResultText(result)};
    if (onFile) onFile(file);
    results_.push_back(std::move(file));
}

int RecoveryJob::Run(const std::vector<ScanRecord>& records) {
    processed_ = failed_ = 0;
    total_ = records.size();
    results_.clear();
    const int baseDepth = PathDepth(destination_);
    for (const ScanRecord& record : records) {
        if (cancelled_) return CancelCode;
        const fs::path target = UniqueTargetPath(TargetPathFor(destination_, record));
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
        if (result == CancelCode) return CancelCode;
        Finish(record, target, result);
    }
    return cancelled_ ? CancelCode : kOk;
}

}  // namespace kestrune
