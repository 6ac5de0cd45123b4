// kestrune list: the findings of a stored scan.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune::cli {

struct ListOptions {
    bool json = false;
    std::vector<std::string> types;
    std::vector<std::string> extensions;
    std::string scanFolder;  // empty: the scan made last
};

int RunList(const ListOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
