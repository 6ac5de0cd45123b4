#include "app/program_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kestrune {

std::filesystem::path ProgramFolder() {
    static const std::filesystem::path folder = [] {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::filesystem::current_path(ec) : exe.parent_path();
    }();
    return folder;
}

std::filesystem::path ResourceFolder() {
    const std::filesystem::path program = ProgramFolder();
    std::error_code ec;
    if (std::filesystem::exists(program / "config.ini", ec)) return program;
    const std::filesystem::path installed = program / ".." / "share" / "kestrune";
    if (std::filesystem::exists(installed / "config.ini", ec)) return installed.lexically_normal();
    return program;
}

namespace {

std::filesystem::path HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    // Services and sudo can leave HOME unset; the password database still knows it.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

}  // namespace

std::filesystem::path UserSettingsPath() {
    std::filesystem::path base;
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        base = config;
    } else {
        const std::filesystem::path home = HomeFolder();
        if (home.empty()) return {};  // nowhere to keep settings; never the current folder
        base = home / ".config";
    }
    return base / "kestrune" / "config.ini";
}

}  // namespace kestrune
