// LanguageTable: every text the program shows, from the current language's file.
//
// Settings live in config.ini ([DefaultLanguage] Default=English; [Languages] lists the
// offered ones); the texts in Languages/<name>.ini: messages by id in [Messages], control
// texts by control name in one section per window.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrune {

class LanguageTable {
public:
    using Section = std::map<std::string, std::string>;

    // Reads the settings and the current language file from resourceFolder.
    explicit LanguageTable(std::filesystem::path resourceFolder);
    // The process's table, from ResourceFolder().
    static LanguageTable& Instance();

    // The texts of a section (empty when the file has no such section).
    const Section& GetSection(const std::string& name) const;
    // The text of key in section, or "" when absent.
    static std::string GetText(const Section& section, const std::string& key);
    // A message by id ("MSG0701").
    std::string Message(const std::string& id) const;

    // Makes name the current language: written to config.ini, read back, texts reloaded.
    int SetLanguage(const std::string& name);
    // The offered languages as (key, value) pairs in file order.
    const std::vector<std::pair<std::string, std::string>>& Languages() const { return languages_; }
    const std::string& CurrentLanguage() const { return currentLanguage_; }
    const std::filesystem::path& SettingsPath() const { return settingsPath_; }

private:
    void ReadSettings();
    void LoadLanguageFile();

    std::filesystem::path settingsPath_;
    std::filesystem::path languageFolder_;
    std::string currentLanguage_;
    std::vector<std::pair<std::string, std::string>> languages_;
    std::map<std::string, Section> sections_;
};

}  // namespace kestrune
