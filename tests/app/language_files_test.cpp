// The language files we ship: every translation complete and safe to format, and the
// settings file offering exactly them.
#include <gtest/gtest.h>

#include <set>

#include "app/ini_file.h"
#include "app/language_table.h"
#include "app/language_text.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

const fs::path kLanguages = KESTRUNE_LANGUAGES_DIR;

std::string ReadText(const fs::path& path) {
    const auto bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// The language files in the source tree, by name ("German"), config.ini left out.
std::set<std::string> ShippedLanguages() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(kLanguages))
        if (entry.path().extension() == ".ini" && entry.path().filename() != "config.ini")
            names.insert(entry.path().stem().string());
    return names;
}

// The inline markup of a text ("{f 7}", "{c #316D1E}", "{/c}") in order.
std::vector<std::string> Markup(const std::string& text) {
    std::vector<std::string> tags;
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        const size_t close = text.find_first_of("{}", open + 1);
        if (close != std::string::npos && text[close] == '}') tags.push_back(text.substr(open, close - open + 1));
    }
    return tags;
}

TEST(ShippedLanguages, ConfigOffersExactlyTheShippedFiles) {
    const IniFile config = IniFile::Load(kLanguages / "config.ini");
    ASSERT_NE(config.Section("Languages"), nullptr);
    std::set<std::string> offered;
    for (const auto& [key, shown] : *config.Section("Languages")) {
        EXPECT_TRUE(offered.insert(key).second) << key << " offered twice";
        EXPECT_FALSE(shown.empty()) << key;
        EXPECT_TRUE(IsCleanUtf8(shown)) << key;
    }
    EXPECT_EQ(offered, ShippedLanguages());
    EXPECT_GE(offered.size(), 4u);
    EXPECT_EQ(config.Value("DefaultLanguage", "Default"), "English");
}

TEST(ShippedLanguages, EveryFileHasEveryTextOfEnglishAndNothingElse) {
    const IniFile english = IniFile::Load(kLanguages / "English.ini");
    ASSERT_GE(english.SectionNames().size(), 8u);
    for (const std::string& language : ShippedLanguages()) {
        SCOPED_TRACE(language);
        const std::string raw = ReadText(kLanguages / (language + ".ini"));
        ASSERT_TRUE(IsCleanUtf8(raw)) << "the file is not UTF-8";
        const IniFile file = IniFile::Parse(raw);
        EXPECT_EQ(file.SectionNames(), english.SectionNames());
        for (const std::string& section : english.SectionNames()) {
            const IniFile::Entries* entries = file.Section(section);
            ASSERT_NE(entries, nullptr) << section;
            std::set<std::string> keys;
            for (const auto& [key, text] : *entries) {
                EXPECT_TRUE(keys.insert(key).second) << section << "/" << key << " given twice";
                const std::optional<std::string> source = english.Value(section, key);
                if (!source) {
                    ADD_FAILURE() << section << "/" << key << " is not in English.ini";
                    continue;
                }
                EXPECT_FALSE(text.empty()) << section << "/" << key;
                EXPECT_EQ(PrintfPlaceholders(text), PrintfPlaceholders(*source)) << section << "/" << key;
                EXPECT_EQ(Markup(text), Markup(*source)) << section << "/" << key;
                if (source->find("Kestrune Halvardine") != std::string::npos) {
                    EXPECT_NE(text.find("Kestrune Halvardine"), std::string::npos) << section << "/" << key;
                }
            }
            for (const auto& [key, text] : *english.Section(section))
                EXPECT_TRUE(keys.count(key)) << section << "/" << key << " is missing";
        }
    }
}

// As the build lays the files out beside the programs: each language loads and takes
// none of its texts from English.
TEST(ShippedLanguages, EachLanguageLoadsWholeFromTheBuildFolder) {
    const IniFile english = IniFile::Load(kLanguages / "English.ini");
    for (const std::string& language : ShippedLanguages()) {
        SCOPED_TRACE(language);
        test::TempDir user;
        LanguageTable table(ResourceFolder(), user / "kestrune" / "config.ini");
        ASSERT_EQ(table.SetLanguage(language), 0);
        EXPECT_EQ(table.CurrentLanguage(), language);
        const IniFile file = IniFile::Load(kLanguages / (language + ".ini"));
        for (const std::string& section : english.SectionNames())
            for (const auto& [key, text] : *file.Section(section))
                EXPECT_EQ(table.Text(section, key), text) << section << "/" << key;
    }
}

TEST(ShippedLanguages, TheUserGuideIsBesideTheProgramsAndTheLinksFindIt) {
    test::TempDir user;
    const LanguageTable table(ResourceFolder(), user / "config.ini");
    const std::string guide = ReadText(ResourceFolder() / "doc" / "user-guide.html");
    ASSERT_FALSE(guide.empty());
    EXPECT_EQ(guide, ReadText(fs::path(KESTRUNE_DOCS_DIR) / "user-guide.html"));
    EXPECT_TRUE(IsCleanUtf8(guide));
    // Self-contained: it opens the same without a network.
    EXPECT_EQ(guide.find("://"), std::string::npos);
    for (const char* key : {"Help", "FAQ", "About", "Support"}) {
        const std::string link = table.Link(key);
        SCOPED_TRACE(key + (": " + link));
        const size_t hash = link.find('#');
        EXPECT_TRUE(fs::is_regular_file(link.substr(0, hash)));
        if (hash != std::string::npos) {
            EXPECT_NE(guide.find("id=\"" + link.substr(hash + 1) + "\""), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace kestrune
