// Where the program's own files are: the settings file and the language folder, and where
// the user's own choices are kept.
#pragma once

#include <filesystem>

namespace kestrune {

// The folder of the running executable.
std::filesystem::path ProgramFolder();
// The folder that holds config.ini and Languages/: the program folder when config.ini is
// there (a build tree), else ../share/kestrune beside it (an installed program).
std::filesystem::path ResourceFolder();
// The user's settings file, $XDG_CONFIG_HOME/kestrune/config.ini (~/.config when the
// variable is unset or not an absolute path). Read on every call, so a test can point it
// elsewhere; the file and its folder need not exist yet. Empty when the user has no home folder.
std::filesystem::path UserSettingsPath();

}  // namespace kestrune
