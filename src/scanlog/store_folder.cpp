#include "scanlog/store_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrune {

namespace {

std::filesystem::path AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return {};
    std::filesystem::path path(value);
    return path.is_absolute() ? path : std::filesystem::path();
}

}  // namespace

std::filesystem::path DataFolder() {
    if (auto path = AbsoluteFromEnvironment("KESTRUNE_DATA_HOME"); !path.empty()) return path;
    if (auto path = AbsoluteFromEnvironment("XDG_DATA_HOME"); !path.empty()) return path;
    std::filesystem::path home = AbsoluteFromEnvironment("HOME");
    if (home.empty()) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) home = entry->pw_dir;
    }
    if (home.empty()) home = std::filesystem::temp_directory_path();
    return home / ".local" / "share";
}

std::filesystem::path StoreFolder() { return DataFolder() / "Kestrune Halvardine" / "ScanLog"; }

}  // namespace kestrune
