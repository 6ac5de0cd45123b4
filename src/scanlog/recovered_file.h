// What became of one found file in a recovery, as the front ends hear it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "scanlog/data_map.h"

#include "scanlog/scan_record.h"

namespace kestrune {

struct RecoveredFile {
    ScanRecord record;
    std::filesystem::path target;
    int result = 0;          // 0, an error code, or CancelCode
    std::string status;      // "Success" or the error's text
    std::filesystem::path partial;  // where the data of a file that failed part-way was kept
    // An earlier recovery into the same folder wrote this file whole; target is that copy
    // and nothing was written now.
    bool alreadyThere = false;
    // The stretches of the file that could not be read (bad sectors), in file order; the
    // partial copy holds the file's whole size with zeros there.
    std::vector<UnreadableRange> unreadable;
};

}  // namespace kestrune
