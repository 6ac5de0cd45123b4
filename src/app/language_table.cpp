#include "app/language_table.h"

#include "app/ini_file.h"
#include "app/program_folder.h"
#include "disk/text_encoding.h"

namespace kestrune {

namespace {

constexpr size_t kLanguageNameLimit = 63;  // the name is read into 64 characters

}  // namespace

LanguageTable::LanguageTable(std::filesystem::path resourceFolder)
    : settingsPath_(resourceFolder / "config.ini"), languageFolder_(resourceFolder / "Languages") {
    ReadSettings();
    LoadLanguageFile();
}

LanguageTable& LanguageTable::Instance() {
    static LanguageTable table(ResourceFolder());
    return table;
}

void LanguageTable::ReadSettings() {
    const IniFile settings = IniFile::Load(settingsPath_);
    currentLanguage_ = std::string(
        CutUtf8(settings.Value("DefaultLanguage", "Default").value_or("English"), kLanguageNameLimit));
    languages_.clear();
    if (const IniFile::Entries* entries = settings.Section("Languages")) languages_ = *entries;
}

void LanguageTable::LoadLanguageFile() {
    sections_.clear();
    // A name that tries to leave the language folder loads nothing.
    if (currentLanguage_.find('/') != std::string::npos || currentLanguage_ == ".." ||
        currentLanguage_.empty())
        return;
    const IniFile file = IniFile::Load(languageFolder_ / (currentLanguage_ + ".ini"));
    for (const std::string& name : file.SectionNames()) {
        Section& section = sections_[name];
        for (const auto& [key, text] : *file.Section(name)) section.emplace(key, text);  // first wins
    }
}

const LanguageTable::Section& LanguageTable::GetSection(const std::string& name) const {
    static const Section kEmpty;
    const auto it = sections_.find(name);
    return it == sections_.end() ? kEmpty : it->second;
}

std::string LanguageTable::GetText(const Section& section, const std::string& key) {
    const auto it = section.find(key);
    return it == section.end() ? std::string() : it->second;
}

std::string LanguageTable::Message(const std::string& id) const {
    return GetText(GetSection("Messages"), id);
}

int LanguageTable::SetLanguage(const std::string& name) {
    if (int rc = WriteIniValue(settingsPath_, "DefaultLanguage", "Default", name); rc != 0) return rc;
    ReadSettings();
    LoadLanguageFile();
    return 0;
}

}  // namespace kestrune
