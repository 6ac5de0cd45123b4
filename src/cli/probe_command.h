// kestrune probe SOURCE: which file system an area holds, and its geometry.
#pragma once

#include <iosfwd>
#include <string>

namespace kestrune::cli {

int RunProbe(const std::string& sourceText, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
