// EngineLog: an engine's scan log and the questions every engine answers through it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scanlog/scan_log_file.h"

namespace kestrune {

class EngineLog {
public:
    // The run folder this log is created in or reopened from; the engine's owner sets it
    // before a scan, so that nothing another thread does to the catalogue can move it.
    void SetFolder(const std::string& folder) { folder_ = folder; }
    const std::string& Folder() const { return folder_; }
    // Starts a new log (fresh) or reopens a stored one, in the folder set. Without a
    // folder nothing is opened (kErrInvalidParameter): a log is never written somewhere
    // nobody chose.
    int Open(const std::string& name, bool fresh);
    void Reset() { log_.reset(); }
    ScanLogFile* get() const { return log_.get(); }
    explicit operator bool() const { return log_ != nullptr; }

    // A null folder stands for the root (only at depth 0; otherwise 87); a folder's
    // children are those filed under its depth and identity. Without a log: nothing.
    int ListChildren(const ScanRecord* folder, int depth, ParentKey rootKey, std::vector<ScanRecord>& out);
    int CountFiles(const ScanRecord* folder, int depth, ParentKey rootKey, int& count);
    uint64_t RecordCount() const { return log_ ? log_->RecordCount() : 0; }
    int RecordPath(const ScanRecord& record, std::string& out, PathUse use = PathUse::Shown);
    int Search(std::string_view pattern, std::vector<ScanRecord>& out);
    int Count(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep, uint64_t& count);
    // Where Search and Count report, and what stops them.
    void SetSearchReporter(Reporter reporter) { searchReporter_ = std::move(reporter); }
    // The children of a folder record, wherever it lies in the tree.
    int ChildrenOfFolder(const ScanRecord& folder, std::vector<ScanRecord>& out);

private:
    std::unique_ptr<ScanLogFile> log_;
    std::string folder_;
    Reporter searchReporter_;
};

}  // namespace kestrune
