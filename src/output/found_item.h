// Recovering one found item: a file, or a folder with everything found below it.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "scanlog/scan_record.h"

namespace kestrune {

// Creates the folder a target file goes into (an existing one is fine). Here and below,
// nothing is written through a symbolic link: targets are opened without following one.
int CreateParentFolder(const std::filesystem::path& target);

// Recover for any engine: a file is written by writeFile into target (its folder made
// first); a folder is recreated with everything found below it, breadth first, each
// child named safely inside its folder, written into a work file and published under a
// free name only when whole, a child that failed settled as SettleUnfinishedFile says. A
// cancel ends the walk; other failures do not.
using WriteFileFn = std::function<int(const ScanRecord& file, const std::filesystem::path& target)>;
using ChildrenFn = std::function<int(const ScanRecord& folder, std::vector<ScanRecord>& children)>;
int RecoverFoundItem(const ScanRecord& record, const std::filesystem::path& target, const WriteFileFn& writeFile,
                     const ChildrenFn& children);

}  // namespace kestrune
