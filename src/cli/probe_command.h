// kestrune probe SOURCE: which file system an area holds, and its geometry.
#pragma once

#include <iosfwd>
#include <string>

namespace kestrune::cli {

// keyFile: the passphrase of an encrypted volume, which is then opened and what it holds
// told; without it, the volume is named as encrypted.
int RunProbe(const std::string& sourceText, const std::string& keyFile, std::ostream& out, std::ostream& err);

}  // namespace kestrune::cli
