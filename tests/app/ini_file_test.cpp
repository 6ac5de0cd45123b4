#include "app/ini_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/language_table.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
    const auto bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(IniFile, FirstKeyWinsAndValuesSplitAtTheFirstEquals) {
    const IniFile ini = IniFile::Parse(
        "\xEF\xBB\xBF; comment\r\n[Messages]\r\nMSG0001=first\r\nmsg0001=second\r\n"
        "MSG0002=a=b=c\r\n  Spaced  =  kept as written\r\nno equals here\r\n[messages]\r\nMSG0003=x\r\n");
    EXPECT_EQ(ini.Value("Messages", "MSG0001"), "first");
    EXPECT_EQ(ini.Value("MESSAGES", "MSG0002"), "a=b=c");
    EXPECT_EQ(ini.Value("Messages", "Spaced"), "  kept as written");
    EXPECT_EQ(ini.Value("Messages", "MSG0003"), "x") << "a repeated section continues the first";
    EXPECT_EQ(ini.Value("Messages", "missing"), std::nullopt);
    EXPECT_EQ(ini.Value("Other", "MSG0001"), std::nullopt);
    EXPECT_EQ(ini.SectionNames(), std::vector<std::string>{"Messages"});
    EXPECT_EQ(IniFile::Parse("key=value outside any section\n").SectionNames().size(), 0u);
}

TEST(IniFile, WritingChangesOneKeyInPlace) {
    test::TempDir dir;
    const fs::path path = dir / "config.ini";
    std::ofstream(path) << "; settings\n[DefaultLanguage]\nDefault=English\n\n[Languages]\nEnglish=English\n";
    ASSERT_EQ(WriteIniValue(path, "defaultlanguage", "DEFAULT", "Deutsch"), 0);
    EXPECT_EQ(ReadText(path), "; settings\n[DefaultLanguage]\nDEFAULT=Deutsch\n\n[Languages]\nEnglish=English\n");
    ASSERT_EQ(WriteIniValue(path, "Languages", "Deutsch", "Deutsch"), 0);
    EXPECT_EQ(IniFile::Load(path).Section("Languages")->size(), 2u);
    ASSERT_EQ(WriteIniValue(path, "New", "k", "v=w"), 0);
    EXPECT_EQ(IniFile::Load(path).Value("New", "k"), "v=w");
    ASSERT_EQ(WriteIniValue(dir / "fresh.ini", "S", "k", "v"), 0);
    EXPECT_EQ(ReadText(dir / "fresh.ini"), "[S]\nk=v\n");
}

TEST(LanguageTable, MissingFilesGiveEnglishAndEmptyTexts) {
    test::TempDir dir;
    LanguageTable table(dir.path(), dir / "user" / "config.ini");
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_TRUE(table.Languages().empty());
    EXPECT_EQ(table.Message("MSG0701"), "");
    EXPECT_TRUE(table.GetSection("MainWnd").empty());
}

TEST(LanguageTable, SwitchesLanguageThroughTheSettingsFile) {
    test::TempDir dir;
    std::ofstream(dir / "config.ini") << "[DefaultLanguage]\nDefault=English\n[Languages]\nEnglish=English\nTest=Test Language\n";
    fs::create_directories(dir / "Languages");
    std::ofstream(dir / "Languages" / "English.ini") << "[Messages]\nMSG0401=Error\n";
    std::ofstream(dir / "Languages" / "Test.ini") << "[Messages]\nMSG0401=Fault\nMSG0401=ignored\n[MainWnd]\nBtnScan=Go\n";
    const fs::path userSettings = dir / "user" / "kestrune" / "config.ini";
    LanguageTable table(dir.path(), userSettings);
    EXPECT_EQ(table.Message("MSG0401"), "Error");
    ASSERT_EQ(table.Languages().size(), 2u);
    EXPECT_EQ(table.Languages()[1], (std::pair<std::string, std::string>{"Test", "Test Language"}));
    ASSERT_EQ(table.SetLanguage("Test"), 0);
    EXPECT_EQ(table.CurrentLanguage(), "Test");
    EXPECT_EQ(table.Message("MSG0401"), "Fault");
    EXPECT_EQ(LanguageTable::GetText(table.GetSection("MainWnd"), "BtnScan"), "Go");
    EXPECT_EQ(LanguageTable(dir.path(), userSettings).CurrentLanguage(), "Test") << "the choice is kept";
}

// Every message id the program shows, and every window section, must be in the file we
// ship, as the build lays it out beside the programs.
TEST(LanguageTable, TheShippedEnglishFileHasEveryText) {
    test::TempDir user;  // no saved choice: the installed default
    const LanguageTable table(ResourceFolder(), user / "config.ini");
    std::vector<std::string> ids;
    auto range = [&ids](int from, int to) {
        for (int id = from; id <= to; ++id) {
            char text[16];
            std::snprintf(text, sizeof text, "MSG%04d", id);
            ids.emplace_back(text);
        }
    };
    range(101, 104);
    range(201, 214);
    range(216, 221);
    range(301, 306);
    range(401, 405);
    range(501, 505);
    range(601, 602);
    range(701, 709);
    range(801, 805);
    range(807, 812);
    range(901, 905);
    range(1101, 1103);
    range(1201, 1207);
    range(1209, 1209);
    for (const std::string& id : ids) EXPECT_FALSE(table.Message(id).empty()) << id;
    for (const char* section : {"MainWnd", "ScanWnd", "SearchProcessWnd", "RecoverProcessWnd",
                                "CreateImageWnd", "PreviewProcessWnd", "MessageBox", "MenuWnd"})
        EXPECT_FALSE(table.GetSection(section).empty()) << section;
    EXPECT_EQ(table.CurrentLanguage(), "English");
}

}  // namespace
}  // namespace kestrune
