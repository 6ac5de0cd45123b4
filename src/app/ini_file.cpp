#include "app/ini_file.h"

#include <fstream>
#include <sstream>

#include "base/result_codes.h"

namespace kestrune {

namespace {

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        begin = end + 1;
    }
    return lines;
}

// "[name]" gives name; anything else gives nothing.
std::optional<std::string_view> SectionHeader(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
    line = Trim(line);
    return line.empty() || line.front() == ';' || line.front() == '#';
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile file;
    Entries* current = nullptr;
    // A UTF-8 byte-order mark before the first section is not part of its name.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    for (const std::string& line : SplitLines(text)) {
        if (auto header = SectionHeader(line)) {
            current = nullptr;
            for (auto& [name, entries] : file.sections_)
                if (EqualsIgnoringCase(name, *header)) current = &entries;
            if (!current) {
                file.sections_.emplace_back(std::string(*header), Entries{});
                current = &file.sections_.back().second;
            }
            continue;
        }
        if (!current || IsComment(line)) continue;
        const std::string_view entry = Trim(line);
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            current->emplace_back(std::string(entry), std::string());
        } else {
            current->emplace_back(std::string(Trim(entry.substr(0, equals))),
                                  std::string(entry.substr(equals + 1)));
        }
    }
    return file;
}

IniFile IniFile::Load(const std::filesystem::path& path) { return Parse(ReadText(path)); }

std::vector<std::string> IniFile::SectionNames() const {
    std::vector<std::string> names;
    for (const auto& [name, entries] : sections_) names.push_back(name);
    return names;
}

const IniFile::Entries* IniFile::Section(std::string_view name) const {
    for (const auto& [sectionName, entries] : sections_)
        if (EqualsIgnoringCase(sectionName, name)) return &entries;
    return nullptr;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    const Entries* entries = Section(section);
    if (!entries) return std::nullopt;
    for (const auto& [entryKey, value] : *entries)
        if (EqualsIgnoringCase(entryKey, key)) return value;
    return std::nullopt;
}

int WriteIniValue(const std::filesystem::path& path, std::string_view section, std::string_view key,
                  std::string_view value) {
    const std::string text = ReadText(path);
    std::vector<std::string> lines = SplitLines(text);
    const std::string newLine = std::string(key) + "=" + std::string(value);

    bool inSection = false;
    size_t sectionEnd = lines.size();  // where a missing key goes: after the section's last entry
    bool sectionFound = false;
    bool written = false;
    for (size_t i = 0; i < lines.size() && !written; ++i) {
        if (auto header = SectionHeader(lines[i])) {
            if (inSection) break;
            inSection = EqualsIgnoringCase(*header, section);
            if (inSection) {
                sectionFound = true;
                sectionEnd = i + 1;
            }
            continue;
        }
        if (!inSection) continue;
        if (!IsComment(lines[i])) {
            sectionEnd = i + 1;
            const std::string_view entry = Trim(lines[i]);
            if (EqualsIgnoringCase(Trim(entry.substr(0, entry.find('='))), key)) {
                lines[i] = newLine;
                written = true;
            }
        }
    }
    if (!written) {
        if (sectionFound) {
            lines.insert(lines.begin() + static_cast<long>(sectionEnd), newLine);
        } else {
            if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(newLine);
        }
    }
    const bool crlf = text.find("\r\n") != std::string::npos;
    std::string out;
    for (const std::string& line : lines) out += line + (crlf ? "\r\n" : "\n");

    // Written beside and renamed over, so a failure never leaves half a settings file.
    const std::filesystem::path temp = path.string() + ".new";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file) return FromErrno(errno ? errno : EACCES);
        file << out;
        if (!file.flush()) return kErrDiskFull;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    return ec ? FromErrno(ec.value()) : kOk;
}

}  // namespace kestrune
