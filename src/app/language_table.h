// LanguageTable: every text the program shows, from the current language's file.
//
// Settings live in config.ini ([DefaultLanguage] Default=English; [Languages] lists the
// offered ones; [Links] the pages the assistance menu opens); the texts in
// Languages/<name>.ini: messages by id in [Messages], control texts by control name in one
// section per window.
//
// Two settings files take part. The one in the resource folder is installed with the
// program and is not writable there; it gives the defaults, the offered languages and the
// links. The user's own file (UserSettingsPath()) is read over it and is where a chosen
// language is written; it may also replace links.
//
// A text the current language lacks (its file missing or damaged, a key absent, a text
// that is not clean UTF-8 or whose printf placeholders differ) is taken from English.ini
// in the same folder, so a window never goes blank for a fault in one translation.
//
// Threads: the texts are read from worker threads (progress reports) and from the UI
// thread; SetLanguage is called only on the UI thread, and the program offers it only
// while no worker runs. A reader-writer lock still keeps a read that overlaps a switch
// whole: it sees either the old language or the new one. For that reason every accessor
// returns a copy, never a reference into the table.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/ini_file.h"
#include "app/program_folder.h"

namespace kestrune {

class LanguageTable {
public:
    using Section = std::map<std::string, std::string>;
    using LanguageList = std::vector<std::pair<std::string, std::string>>;

    static constexpr const char* kFallbackLanguage = "English";

    // Reads the settings from resourceFolder/config.ini with userSettings over them, and the
    // current language's texts from resourceFolder/Languages.
    explicit LanguageTable(std::filesystem::path resourceFolder,
                           std::filesystem::path userSettings = UserSettingsPath());
    // The process's table, from ResourceFolder() and UserSettingsPath().
    static LanguageTable& Instance();

    // The texts of a section (empty when neither the language nor English has it).
    Section GetSection(const std::string& name) const;
    // The text of key in section, or "" when absent.
    static std::string GetText(const Section& section, const std::string& key);
    // A message by id ("MSG0701").
    std::string Message(const std::string& id) const;
    // The text of key in a window's section, without copying the whole section.
    std::string Text(const std::string& section, const std::string& key) const;

    // Makes name (a key of the offered languages) the current language: written to the
    // user's settings file, read back, texts reloaded. A name that is not offered, or whose
    // file is missing, changes nothing and gives kErrInvalidParameter or kErrFileNotFound;
    // a failed write changes nothing and gives its error.
    int SetLanguage(const std::string& name);

    // The offered languages as (key, value) pairs in file order.
    LanguageList Languages() const;
    // The language whose texts are shown: the saved choice, or English when that choice is
    // not offered or its file is missing.
    std::string CurrentLanguage() const;

    // The address behind a [Links] key, ready to open: a value with a scheme ("https:",
    // "file:", "mailto:", ...) as written; an absolute path as written; a relative path
    // made absolute against the resource folder. A "#part" after the path is kept at the
    // end. "" when the key is absent or empty.
    std::string Link(const std::string& key) const;
    // The same as a URL: relative and absolute paths become "file://" addresses with the
    // path percent-encoded, so "#part" survives as the page's fragment.
    std::string LinkUrl(const std::string& key) const;

    const std::filesystem::path& SettingsPath() const { return settingsPath_; }
    const std::filesystem::path& UserSettings() const { return userSettingsPath_; }

private:
    struct State {
        std::string currentLanguage;
        LanguageList languages;
        IniFile::Entries installedLinks;
        IniFile::Entries userLinks;
        std::map<std::string, Section> sections;
    };

    State Load() const;
    std::filesystem::path LanguageFile(const std::string& name) const;

    const std::filesystem::path resourceFolder_;
    const std::filesystem::path settingsPath_;
    const std::filesystem::path userSettingsPath_;
    const std::filesystem::path languageFolder_;

    std::mutex switchMutex_;  // one SetLanguage at a time writes the user's file
    mutable std::shared_mutex mutex_;
    State state_;
};

}  // namespace kestrune
