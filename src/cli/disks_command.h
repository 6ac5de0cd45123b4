// kestrune disks and kestrune image.
#pragma once

#include <iosfwd>
#include <string>

namespace kestrune::cli {

int RunDisks(bool json, std::ostream& out);

struct ImageOptions {
    std::string source;
    std::string destination;
    int partition = 0;
    bool skipBad = false;
};
int RunImage(const ImageOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
