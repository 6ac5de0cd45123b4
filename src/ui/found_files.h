// What a search found: for each scanned target, its matching records and their folders.
#pragma once

#include <QString>
#include <map>
#include <string>
#include <vector>

#include "scanlog/scan_record.h"

namespace kestrune::ui {

struct Target;

struct TargetFindings {
    Target* target = nullptr;
    std::vector<ScanRecord> records;
    std::vector<QString> folders;  // the folder path of each record, in the same order
    // How much of each record's data no live file holds, in percent; -1 unknown (and for
    // records past the end, as findings made without it have).
    std::vector<int8_t> recoverable;
    int RecoverableOf(uint32_t record) const { return record < recoverable.size() ? recoverable[record] : -1; }
    // Whether each record's clusters are a guess (deleted files written round each other).
    std::vector<uint8_t> layoutGuessed;
    bool LayoutGuessed(uint32_t record) const { return record < layoutGuessed.size() && layoutGuessed[record]; }
};

// A found file: which target's findings, which record of them.
struct FoundRef {
    uint32_t findings = 0;
    uint32_t record = 0;
    bool operator<(const FoundRef& other) const {
        return findings != other.findings ? findings < other.findings : record < other.record;
    }
    bool operator==(const FoundRef& other) const = default;
};

using Findings = std::vector<TargetFindings>;

// The found files ticked for recovery: one flag per found file, with the count and the
// bytes kept as they change, so that ticking a million files or showing the summary after
// one more tick costs no search through the rest.
class TickedFiles {
public:
    // Forgets every tick and sizes the flags for findings.
    void Reset(const Findings& findings) {
        flags_.clear();
        for (const TargetFindings& found : findings) flags_.emplace_back(found.records.size(), 0);
        count_ = 0;
        bytes_ = 0;
    }
    bool Has(const FoundRef& ref) const {
        return ref.findings < flags_.size() && ref.record < flags_[ref.findings].size() &&
               flags_[ref.findings][ref.record];
    }
    void Set(const FoundRef& ref, bool ticked, uint64_t size) {
        if (ref.findings >= flags_.size() || ref.record >= flags_[ref.findings].size()) return;
        uint8_t& flag = flags_[ref.findings][ref.record];
        if (flag == ticked) return;
        flag = ticked;
        count_ += ticked ? 1 : -1;
        bytes_ += ticked ? size : -size;
    }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint64_t bytes() const { return bytes_; }
    // The ticked files in the order they were found.
    std::vector<FoundRef> List() const {
        std::vector<FoundRef> out;
        out.reserve(count_);
        for (uint32_t f = 0; f < flags_.size(); ++f)
            for (uint32_t r = 0; r < flags_[f].size(); ++r)
                if (flags_[f][r]) out.push_back({f, r});
        return out;
    }

private:
    std::vector<std::vector<uint8_t>> flags_;
    size_t count_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace kestrune::ui
