#include "app/language_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "app/language_text.h"
#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string ReadText(const fs::path& path) {
    const auto bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Points XDG_CONFIG_HOME somewhere for one test and puts the old value back.
class ConfigHome {
public:
    explicit ConfigHome(const std::optional<std::string>& value) {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) old_ = old;
        if (value) ::setenv("XDG_CONFIG_HOME", value->c_str(), 1);
        else ::unsetenv("XDG_CONFIG_HOME");
    }
    ~ConfigHome() {
        if (old_) ::setenv("XDG_CONFIG_HOME", old_->c_str(), 1);
        else ::unsetenv("XDG_CONFIG_HOME");
    }

private:
    std::optional<std::string> old_;
};

constexpr const char* kEnglish =
    "[Messages]\nMSG0401=Error\nMSG0701=Scanning volume %c:\nMSG0804=Selected: %s in %d files\n"
    "MSG1209=Kestrune Halvardine\n[MainWnd]\nBtnScan=Scan\nBtnPrev=Back\n";

// A resource folder as installed: config.ini offering English and German, both files.
struct Resources {
    test::TempDir dir;
    fs::path userSettings = dir / "home-config" / "kestrune" / "config.ini";

    explicit Resources(std::string_view german =
                           "[Messages]\nMSG0401=Fehler\nMSG0701=Laufwerk %c: wird durchsucht\n"
                           "MSG0804=Ausgewählt: %s in %d Dateien\nMSG1209=Kestrune Halvardine\n"
                           "[MainWnd]\nBtnScan=Durchsuchen\nBtnPrev=Zurück\n") {
        WriteText(dir / "config.ini",
                  "[DefaultLanguage]\nDefault=English\n[Languages]\nEnglish=English\nGerman=Deutsch\n"
                  "[Links]\nHelp=doc/user-guide.html\nFAQ=doc/user-guide.html#questions\n"
                  "About=https://example.org/about\nSupport=doc/user-guide.html#support\n");
        WriteText(dir / "Languages" / "English.ini", kEnglish);
        WriteText(dir / "Languages" / "German.ini", german);
    }
    LanguageTable Table() const { return LanguageTable(dir.path(), userSettings); }
    LanguageTable GermanTable() const {
        WriteText(userSettings, "[DefaultLanguage]\nDefault=German\n");
        return Table();
    }
};

TEST(LanguageText, FindsPrintfConversionsAndCleanUtf8) {
    EXPECT_EQ(PrintfPlaceholders("Found {f 7}{c #316D1E}%d{/c}{/f} files, 100%% sure: %s %-5.2f %lld %"),
              (std::vector<std::string>{"%d", "%s", "%-5.2f", "%lld", "%"}));
    EXPECT_TRUE(PrintfPlaceholders("no conversions").empty());
    EXPECT_TRUE(IsCleanUtf8("Größe, Español, 日本, 🙂"));
    EXPECT_FALSE(IsCleanUtf8("Gr\xC3"));                   // cut inside a character
    EXPECT_FALSE(IsCleanUtf8("\xC0\xAF"));                 // overlong "/"
    EXPECT_FALSE(IsCleanUtf8("\xED\xA0\x80"));             // a UTF-16 surrogate
    EXPECT_FALSE(IsCleanUtf8(std::string("a\0b", 3)));    // NUL
    EXPECT_FALSE(IsCleanUtf8("\xFF\xFE"));
}

TEST(LanguageTable, MissingTextsComeFromEnglish) {
    // German lacks MSG0701 and the window section; its MSG0804 swaps the conversions (a
    // crash waiting in printf), BtnPrev is empty, and its MSG0401 is given twice.
    const Resources resources(
        "[Messages]\nMSG0401=Fehler\nMSG0401=Zweiter\nMSG0804=%d Dateien mit %s\n"
        "MSG9999=Nur hier\n[MainWnd]\nBtnScan=Durchsuchen\nBtnPrev=\n");
    const LanguageTable table = resources.GermanTable();
    EXPECT_EQ(table.CurrentLanguage(), "German");
    EXPECT_EQ(table.Message("MSG0401"), "Fehler");
    EXPECT_EQ(table.Message("MSG0701"), "Scanning volume %c:") << "missing key";
    EXPECT_EQ(table.Message("MSG0804"), "Selected: %s in %d files") << "conversions differ";
    EXPECT_EQ(table.Message("MSG9999"), "Nur hier") << "a text English lacks is kept";
    EXPECT_EQ(table.Text("MainWnd", "BtnScan"), "Durchsuchen");
    EXPECT_EQ(table.Text("mainwnd", "BtnPrev"), "Back") << "empty text";
    const LanguageTable::Section window = table.GetSection("MainWnd");
    EXPECT_EQ(window.size(), 2u);
    EXPECT_EQ(LanguageTable::GetText(window, "BtnPrev"), "Back");
}

TEST(LanguageTable, AMissingLanguageFileShowsEnglish) {
    const Resources resources;
    fs::remove(resources.dir / "Languages" / "German.ini");
    const LanguageTable table = resources.GermanTable();
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_EQ(table.Message("MSG0401"), "Error");
    EXPECT_EQ(table.Text("MainWnd", "BtnScan"), "Scan");
}

TEST(LanguageTable, ADamagedLanguageFileShowsEnglishWhereItIsDamaged) {
    {
        // Binary garbage, with something that looks like a section and a key in it.
        std::vector<uint8_t> garbage = test::PatternBytes(4096, 7);
        const std::string planted = "\n[Messages]\nMSG0401=\xFF\xFE\x00\x01junk\nMSG0701=\x80\x80\n"s;
        garbage.insert(garbage.begin() + 1000, planted.begin(), planted.end());
        const Resources resources;
        test::WriteFileBytes(resources.dir / "Languages" / "German.ini", garbage);
        const LanguageTable table = resources.GermanTable();
        EXPECT_EQ(table.Message("MSG0401"), "Error");
        EXPECT_EQ(table.Message("MSG0701"), "Scanning volume %c:");
        EXPECT_EQ(table.Message("MSG1209"), "Kestrune Halvardine");
        EXPECT_EQ(table.Text("MainWnd", "BtnScan"), "Scan");
    }
    {
        // Cut off inside the "ü" of "Zurück": the texts before the cut stay German.
        const Resources whole;
        const std::string german = ReadText(whole.dir / "Languages" / "German.ini");
        const size_t cut = german.find("\xC3\xBC") + 1;
        const Resources resources(std::string_view(german).substr(0, cut));
        const LanguageTable table = resources.GermanTable();
        EXPECT_EQ(table.Message("MSG0401"), "Fehler");
        EXPECT_EQ(table.Text("MainWnd", "BtnScan"), "Durchsuchen");
        EXPECT_EQ(table.Text("MainWnd", "BtnPrev"), "Back");
    }
    {
        // A folder where the file should be: nothing to read, and nothing hangs.
        const Resources resources;
        fs::remove(resources.dir / "Languages" / "German.ini");
        fs::create_directory(resources.dir / "Languages" / "German.ini");
        EXPECT_EQ(resources.GermanTable().Message("MSG0401"), "Error");
    }
}

TEST(LanguageTable, TheChoiceIsSavedForTheUserAndTheInstalledFileStaysAsItIs) {
    test::TempDir home;
    const ConfigHome configHome(home.path().string());
    const fs::path expected = home / "kestrune" / "config.ini";
    EXPECT_EQ(UserSettingsPath(), expected);

    const Resources resources;
    const std::string installed = ReadText(resources.dir / "config.ini");
    LanguageTable table(resources.dir.path());
    EXPECT_EQ(table.UserSettings(), expected);
    EXPECT_EQ(table.CurrentLanguage(), "English");

    ASSERT_EQ(table.SetLanguage("german"), kOk) << "keys are found without regard to case";
    EXPECT_EQ(table.CurrentLanguage(), "German");
    EXPECT_EQ(table.Message("MSG0401"), "Fehler");
    EXPECT_EQ(IniFile::Load(expected).Value("DefaultLanguage", "Default"), "German");
    EXPECT_EQ(ReadText(resources.dir / "config.ini"), installed);
    EXPECT_EQ(LanguageTable(resources.dir.path()).CurrentLanguage(), "German") << "read at the next start";

    // Not offered, or offered without a file: refused, nothing changes.
    EXPECT_EQ(table.SetLanguage("Klingon"), kErrInvalidParameter);
    EXPECT_EQ(table.SetLanguage("../English"), kErrInvalidParameter);
    WriteText(resources.dir / "config.ini", installed + "[Languages]\nFrench=Français\n");
    LanguageTable withFrench(resources.dir.path());
    ASSERT_EQ(withFrench.Languages().size(), 3u);
    EXPECT_EQ(withFrench.Languages()[2].second, "Français");
    EXPECT_EQ(withFrench.SetLanguage("French"), kErrFileNotFound);
    EXPECT_EQ(withFrench.CurrentLanguage(), "German");
    EXPECT_EQ(IniFile::Load(expected).Value("DefaultLanguage", "Default"), "German");

    // A saved choice that is no longer offered, or whose file is gone, shows English.
    WriteText(expected, "[DefaultLanguage]\nDefault=Klingon\n");
    EXPECT_EQ(LanguageTable(resources.dir.path()).CurrentLanguage(), "English");
    WriteText(expected, "[DefaultLanguage]\nDefault=French\n");
    EXPECT_EQ(LanguageTable(resources.dir.path()).CurrentLanguage(), "English");
}

TEST(LanguageTable, TheUserSettingsFileIsFoundAsTheDesktopExpects) {
    test::TempDir home;
    {
        const ConfigHome relative(std::string("relative/config"));  // invalid: ignored
        const char* homeFolder = std::getenv("HOME");
        if (homeFolder && *homeFolder) {
            EXPECT_EQ(UserSettingsPath(), fs::path(homeFolder) / ".config" / "kestrune" / "config.ini");
        }
    }
    {
        const ConfigHome unset(std::nullopt);
        EXPECT_EQ(UserSettingsPath().filename(), "config.ini");
        EXPECT_EQ(UserSettingsPath().parent_path().parent_path().filename(), ".config");
    }
    // A settings folder that cannot be made reports the failure and keeps the language.
    const Resources resources;
    WriteText(home / "blocked", "a file where the folder would go");
    LanguageTable table(resources.dir.path(), home / "blocked" / "kestrune" / "config.ini");
    EXPECT_NE(table.SetLanguage("German"), kOk);
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_EQ(table.Message("MSG0401"), "Error");
}

TEST(LanguageTable, LinksResolveAgainstTheResourceFolderAndTheUserMayReplaceThem) {
    const Resources resources;
    WriteText(resources.userSettings, "[links]\nhelp=file:///opt/guide.html\nSupport=\n");
    const LanguageTable table = resources.Table();
    const std::string folder = fs::absolute(resources.dir.path()).lexically_normal().string();
    EXPECT_EQ(table.Link("Help"), "file:///opt/guide.html") << "the user's value wins";
    EXPECT_EQ(table.Link("FAQ"), folder + "/doc/user-guide.html#questions");
    EXPECT_EQ(table.Link("About"), "https://example.org/about");
    EXPECT_EQ(table.Link("Support"), folder + "/doc/user-guide.html#support") << "an empty value is no value";
    EXPECT_EQ(table.Link("Missing"), "");
    EXPECT_EQ(table.LinkUrl("About"), "https://example.org/about");

    // A folder with a space and a non-ASCII letter becomes a valid file URL.
    test::TempDir parent;
    const fs::path odd = parent / "Mes données";
    WriteText(odd / "config.ini", "[Links]\nFAQ=doc/guide.html#questions\nAbs=/usr/share/doc/x.html\n");
    const LanguageTable oddTable(odd, parent / "user.ini");
    EXPECT_EQ(oddTable.Link("FAQ"), (odd / "doc" / "guide.html").string() + "#questions");
    const std::string url = oddTable.LinkUrl("FAQ");
    EXPECT_EQ(url.rfind("file:///", 0), 0u) << url;
    EXPECT_NE(url.find("/Mes%20donn%C3%A9es/doc/guide.html#questions"), std::string::npos) << url;
    EXPECT_EQ(oddTable.Link("Abs"), "/usr/share/doc/x.html");
    EXPECT_EQ(oddTable.LinkUrl("Abs"), "file:///usr/share/doc/x.html");
}

// Workers read texts for their progress reports while the UI switches language: every
// read gives a whole text of one language or the other.
TEST(LanguageTable, ReadsDuringALanguageSwitchSeeOneLanguageOrTheOther) {
    const Resources resources;
    LanguageTable table = resources.Table();
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::string text = table.Message("MSG0401");
                const std::string button = table.GetSection("MainWnd")["BtnScan"];
                if ((text != "Error" && text != "Fehler") || (button != "Scan" && button != "Durchsuchen"))
                    ++wrong;
                ++reads;
            }
        });
    }
    for (int i = 0; i < 40; ++i) ASSERT_EQ(table.SetLanguage(i % 2 ? "English" : "German"), kOk);
    while (reads < 100) std::this_thread::yield();
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(table.CurrentLanguage(), "English");
}

}  // namespace
}  // namespace kestrune
