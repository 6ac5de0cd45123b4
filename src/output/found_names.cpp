#include "output/found_names.h"

#include <sys/stat.h>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/text_encoding.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune {

std::string SafeFileName(std::string_view name, NameRules rules) {
    std::string safe;
    safe.reserve(name.size());
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool refused = c == '/' || byte < 0x20 || byte == 0x7F ||
                             (rules == NameRules::Windows && std::string_view(":*?\"<>|\\").find(c) != std::string_view::npos);
        safe.push_back(refused ? '_' : c);
    }
    if (safe.empty()) return "unnamed";
    if (safe == "." || safe == "..") return std::string(safe.size(), '_');
    return FitFileName(safe, "", kNameMax);
}

std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes) {
    // The extension stays when it is a short one, so the file keeps its type; the suffix
    // ("(1)", ".partial") goes before it.
    const size_t lastDot = name.rfind('.');
    const size_t dot = lastDot != std::string_view::npos && name.size() - lastDot <= 32 ? lastDot : name.size();
    const std::string_view stem = name.substr(0, dot), tail = name.substr(dot);
    const size_t room = maxBytes > suffix.size() + tail.size() ? maxBytes - suffix.size() - tail.size() : 0;
    std::string fitted(CutUtf8(stem, room));
    fitted.append(suffix).append(tail);
    return fitted.size() <= maxBytes ? fitted : std::string(CutUtf8(fitted, maxBytes));
}

NameRules NameRulesFor(const fs::path& folder) {
    std::string fileSystem;
    if (VolumeFileSystemName(fileSystem, folder) != kOk) return NameRules::Linux;
    return fileSystem.find("FAT") != std::string::npos || fileSystem == "NTFS" ? NameRules::Windows
                                                                                : NameRules::Linux;
}

fs::path UniqueTargetPath(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return path;
    const std::string name = path.filename().string();
    for (unsigned n = 1;; ++n) {
        fs::path candidate = path.parent_path() / FitFileName(name, "(" + std::to_string(n) + ")", kNameMax);
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

}  // namespace kestrune
