// Where the program's own files are: the settings file and the language folder.
#pragma once

#include <filesystem>

namespace kestrune {

// The folder of the running executable.
std::filesystem::path ProgramFolder();
// The folder that holds config.ini and Languages/: the program folder when config.ini is
// there (a build tree), else ../share/kestrune beside it (an installed program).
std::filesystem::path ResourceFolder();

}  // namespace kestrune
