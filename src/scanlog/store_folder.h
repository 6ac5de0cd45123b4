// Where scan logs and the catalogue live: the per-user data folder.
#pragma once

#include <filesystem>

namespace kestrune {

// KESTRUNE_DATA_HOME when set, else XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path DataFolder();
// DataFolder() + "/Kestrune Halvardine/ScanLog".
std::filesystem::path StoreFolder();

}  // namespace kestrune
