// kestrune partitions: the volumes of a whole disk, in its table or lost from it, and an
// sfdisk script that restores the table.
#pragma once

#include <iosfwd>
#include <string>

namespace kestrune::cli {

struct PartitionsOptions {
    std::string source;
    bool json = false;
    std::string sfdiskFile;  // where to write the script; empty: none
    std::string label;       // "gpt" or "dos" for the script; empty: as the disk had
};

int RunPartitions(const PartitionsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
