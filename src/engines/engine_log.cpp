#include "engines/engine_log.h"

#include "base/result_codes.h"

namespace kestrune {

int EngineLog::Open(const std::string& name, bool fresh) {
    log_.reset();
    if (folder_.empty()) return kErrInvalidParameter;
    log_ = std::make_unique<ScanLogFile>();
    const int rc = fresh ? log_->CreateLog(folder_, name) : log_->OpenLog(folder_, name);
    if (rc != kOk) log_.reset();
    return rc;
}

int EngineLog::ListChildren(const ScanRecord* folder, int depth, ParentKey rootKey, std::vector<ScanRecord>& out) {
    if (!folder && depth != 0) return kErrInvalidParameter;
    if (!log_) return kOk;
    log_->Flush();
    const ParentKey key = folder ? MakeParentKey(static_cast<uint32_t>(depth), folder->fsId) : rootKey;
    return log_->ListUnderKey(key, out);
}

int EngineLog::CountFiles(const ScanRecord* folder, int depth, ParentKey rootKey, int& count) {
    count = 0;
    if (!folder && depth != 0) return kErrInvalidParameter;
    if (!log_) return kOk;
    log_->Flush();
    const ParentKey key = folder ? MakeParentKey(static_cast<uint32_t>(depth), folder->fsId) : rootKey;
    return log_->CountFilesUnderKey(key, count);
}

int EngineLog::RecordPath(const ScanRecord& record, std::string& out, PathUse use) {
    out.clear();
    if (!log_) return kOk;
    log_->Flush();
    return log_->GetRecordPath(record, out, use);
}

// The log reports only while its owner searches it: the engine's own look-ups during a
// scan are no search of the user's.
int EngineLog::Search(std::string_view pattern, std::vector<ScanRecord>& out) {
    if (!log_) return kOk;
    log_->SetSearchReporter(searchReporter_);
    const int rc = log_->SearchLog(pattern, out);
    log_->SetSearchReporter({});
    return rc;
}

int EngineLog::Count(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep, uint64_t& count) {
    count = 0;
    if (!log_) return kOk;
    log_->SetSearchReporter(searchReporter_);
    const int rc = log_->CountMatches(pattern, keep, count);
    log_->SetSearchReporter({});
    return rc;
}

int EngineLog::ChildrenOfFolder(const ScanRecord& folder, std::vector<ScanRecord>& out) {
    if (!log_) return kOk;
    log_->Flush();
    ParentKey key = 0;
    if (!log_->ChildKeyOf(folder, key)) return kOk;
    return log_->ListUnderKey(key, out);
}

}  // namespace kestrune
