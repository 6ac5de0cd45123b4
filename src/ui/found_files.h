// What a search found: for each scanned target, its matching records and their folders.
#pragma once

#include <QString>
#include <vector>

#include "scanlog/scan_record.h"

namespace kestrune::ui {

struct Target;

struct TargetFindings {
    Target* target = nullptr;
    std::vector<ScanRecord> records;
    std::vector<QString> folders;  // the folder path of each record, in the same order
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

}  // namespace kestrune::ui
