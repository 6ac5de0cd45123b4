// The search pattern for the file types and extensions a user chose.
#pragma once

#include <string>
#include <vector>

namespace kestrune {

// Every extension of each chosen group (photo, audio, video, document, archive), each
// extension named, "other" for files of no known type; every group and "other" when
// nothing is chosen. An unknown group name gives an empty pattern and error set.
std::string SearchPatternFor(const std::vector<std::string>& types, const std::vector<std::string>& extensions,
                             std::string& error);

}  // namespace kestrune
