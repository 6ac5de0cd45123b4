// INI files: settings and language texts.
//
// Reading follows the rules the language files are written for: sections and keys are
// found without regard to case, the first occurrence of a key in a section wins, each
// line splits at its first "=", and texts are taken as they stand (no unescaping).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

class IniFile {
public:
    using Entries = std::vector<std::pair<std::string, std::string>>;

    static IniFile Parse(std::string_view text);
    // An empty file when path cannot be read.
    static IniFile Load(const std::filesystem::path& path);

    std::vector<std::string> SectionNames() const;
    // The entries of a section in file order (every occurrence), or null.
    const Entries* Section(std::string_view name) const;
    // The first value of key in section.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

private:
    std::vector<std::pair<std::string, Entries>> sections_;
};

// Sets key in section of the file at path, changing the line in place and keeping every
// other line as it was; the key or the section is added when missing.
int WriteIniValue(const std::filesystem::path& path, std::string_view section,
                  std::string_view key, std::string_view value);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kestrune
