#include "app/language_table.h"

#include <cstdint>
#include <optional>

#include "app/language_text.h"
#include "base/result_codes.h"
#include "disk/text_encoding.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

constexpr size_t kLanguageNameLimit = 63;  // the name is read into 64 characters
// Our language files are a few kilobytes; anything this large is not one of them.
constexpr uintmax_t kLargestSettingsFile = 4u << 20;

// A settings or language file, or an empty one when path is not a plain readable file
// (missing, a folder, a pipe that would block the read, or absurdly large).
IniFile LoadPlainFile(const fs::path& path) {
    std::error_code ec;
    if (path.empty() || !fs::is_regular_file(path, ec)) return {};
    const uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kLargestSettingsFile) return {};
    return IniFile::Load(path);
}

bool IsPlainFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The name a language goes by in the offered list (its key, as spelled there).
std::optional<std::string> OfferedName(const LanguageTable::LanguageList& languages, const std::string& name) {
    for (const auto& [key, shown] : languages)
        if (EqualsIgnoringCase(key, name)) return key;
    return std::nullopt;
}

const std::string* FindEntry(const IniFile::Entries& entries, const std::string& key) {
    for (const auto& [entryKey, value] : entries)
        if (EqualsIgnoringCase(entryKey, key)) return &value;
    return nullptr;
}

// Whether a translated text can stand in for the English one: clean UTF-8, not empty where
// English says something, and the same printf conversions in the same order, since the
// program fills them in with English's arguments.
bool UsableTranslation(const std::string& text, const std::string* english) {
    if (!IsCleanUtf8(text)) return false;
    if (!english) return true;
    if (text.empty() && !english->empty()) return false;
    return PrintfPlaceholders(text) == PrintfPlaceholders(*english);
}

// "https:", "file:", "mailto:": a URL scheme of two letters or more, so that nothing
// that looks like a path is taken for one.
bool HasScheme(std::string_view value) {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon < 2) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(value[0])) return false;
    for (size_t i = 1; i < colon; ++i) {
        const char c = value[i];
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

std::string PercentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') ||
                           std::string_view("-._~/!$&'()*+,;=:@").find(c) != std::string_view::npos;
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

}  // namespace

LanguageTable::LanguageTable(fs::path resourceFolder, fs::path userSettings)
    : resourceFolder_(std::move(resourceFolder)),
      settingsPath_(resourceFolder_ / "config.ini"),
      userSettingsPath_(std::move(userSettings)),
      languageFolder_(resourceFolder_ / "Languages"),
      state_(Load()) {}

LanguageTable& LanguageTable::Instance() {
    static LanguageTable table(ResourceFolder(), UserSettingsPath());
    return table;
}

fs::path LanguageTable::LanguageFile(const std::string& name) const {
    // A name that tries to leave the language folder names no file.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    return languageFolder_ / (name + ".ini");
}

LanguageTable::State LanguageTable::Load() const {
    State state;
    const IniFile installed = LoadPlainFile(settingsPath_);
    const IniFile user = LoadPlainFile(userSettingsPath_);

    if (const IniFile::Entries* entries = installed.Section("Languages")) state.languages = *entries;
    if (const IniFile::Entries* entries = installed.Section("Links")) state.installedLinks = *entries;
    if (const IniFile::Entries* entries = user.Section("Links")) state.userLinks = *entries;

    std::string chosen = user.Value("DefaultLanguage", "Default").value_or("");
    if (chosen.empty()) chosen = installed.Value("DefaultLanguage", "Default").value_or("");
    chosen = std::string(CutUtf8(chosen, kLanguageNameLimit));
    // A choice that is not offered (an old or hand-edited settings file), or whose file
    // is gone, shows English rather than nothing.
    state.currentLanguage = kFallbackLanguage;
    if (const auto offered = OfferedName(state.languages, chosen))
        if (IsPlainFile(LanguageFile(*offered))) state.currentLanguage = *offered;

    const IniFile english = LoadPlainFile(LanguageFile(kFallbackLanguage));
    const bool isEnglish = EqualsIgnoringCase(state.currentLanguage, kFallbackLanguage);
    const IniFile current = isEnglish ? english : LoadPlainFile(LanguageFile(state.currentLanguage));

    for (const std::string& name : current.SectionNames()) {
        const IniFile::Entries* englishEntries = english.Section(name);
        Section& section = state.sections[name];
        for (const auto& [key, text] : *current.Section(name)) {
            if (section.count(key)) continue;  // the first occurrence wins, even a rejected one
            const std::string* englishText =
                (isEnglish || !englishEntries) ? nullptr : FindEntry(*englishEntries, key);
            if (isEnglish || UsableTranslation(text, englishText)) section.emplace(key, text);
            else if (englishText) section.emplace(key, *englishText);
            else section.emplace(key, std::string());
        }
    }
    if (!isEnglish) {
        for (const std::string& name : english.SectionNames()) {
            // Keys are found by exact name, as control names are; a section name is
            // matched without regard to case, as the file reader does.
            std::string target = name;
            for (const auto& [existing, texts] : state.sections)
                if (EqualsIgnoringCase(existing, name)) target = existing;
            Section& section = state.sections[target];
            for (const auto& [key, text] : *english.Section(name)) section.emplace(key, text);
        }
    }
    return state;
}

LanguageTable::Section LanguageTable::GetSection(const std::string& name) const {
    std::shared_lock lock(mutex_);
    for (const auto& [sectionName, section] : state_.sections)
        if (EqualsIgnoringCase(sectionName, name)) return section;
    return {};
}

std::string LanguageTable::GetText(const Section& section, const std::string& key) {
    const auto it = section.find(key);
    return it == section.end() ? std::string() : it->second;
}

std::string LanguageTable::Text(const std::string& sectionName, const std::string& key) const {
    std::shared_lock lock(mutex_);
    for (const auto& [name, section] : state_.sections)
        if (EqualsIgnoringCase(name, sectionName)) return GetText(section, key);
    return {};
}

std::string LanguageTable::Message(const std::string& id) const { return Text("Messages", id); }

int LanguageTable::SetLanguage(const std::string& name) {
    std::lock_guard switching(switchMutex_);
    std::optional<std::string> offered = OfferedName(Languages(), name);
    if (!offered && EqualsIgnoringCase(name, kFallbackLanguage)) offered = kFallbackLanguage;
    if (!offered) return kErrInvalidParameter;
    if (!IsPlainFile(LanguageFile(*offered))) return kErrFileNotFound;
    if (userSettingsPath_.empty()) return kErrPathNotFound;

    std::error_code ec;
    fs::create_directories(userSettingsPath_.parent_path(), ec);
    if (ec) return FromErrno(ec.value());
    if (int rc = WriteIniValue(userSettingsPath_, "DefaultLanguage", "Default", *offered); rc != kOk) return rc;

    State fresh = Load();  // read back, as the program starts: the saved file is what counts
    std::unique_lock lock(mutex_);
    state_ = std::move(fresh);
    return kOk;
}

LanguageTable::LanguageList LanguageTable::Languages() const {
    std::shared_lock lock(mutex_);
    return state_.languages;
}

std::string LanguageTable::CurrentLanguage() const {
    std::shared_lock lock(mutex_);
    return state_.currentLanguage;
}

std::string LanguageTable::Link(const std::string& key) const {
    std::string value;
    {
        std::shared_lock lock(mutex_);
        const std::string* found = FindEntry(state_.userLinks, key);
        if (!found || found->empty()) found = FindEntry(state_.installedLinks, key);
        if (!found) return {};
        value = *found;
    }
    if (value.empty() || HasScheme(value)) return value;
    const size_t hash = value.find('#');
    const std::string fragment = hash == std::string::npos ? std::string() : value.substr(hash);
    const fs::path path(value.substr(0, hash));
    if (path.is_absolute()) return value;
    std::error_code ec;
    const fs::path base = fs::absolute(resourceFolder_, ec);
    return ((ec ? resourceFolder_ : base) / path).lexically_normal().string() + fragment;
}

std::string LanguageTable::LinkUrl(const std::string& key) const {
    const std::string link = Link(key);
    if (link.empty() || HasScheme(link)) return link;
    const size_t hash = link.find('#');
    std::string url = "file://" + PercentEncoded(link.substr(0, hash));
    if (hash != std::string::npos) url += "#" + PercentEncoded(link.substr(hash + 1));
    return url;
}

}  // namespace kestrune
