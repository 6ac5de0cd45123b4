// The first letter a deleted 8.3 name lost, guessed from the folder around it: the
// names beside it, the DCF camera rules, the prefixes cameras write; and a camera card
// whose photos come back under the names they had, each guess marked as one.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "engines/fat/fast_fat_recovery.h"
#include "engines/fat/lost_letter.h"
#include "output/recovery_job.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

ShortNameBytes Short(const char* elevenBytes) {
    ShortNameBytes bytes;
    std::copy(elevenBytes, elevenBytes + bytes.size(), bytes.begin());
    return bytes;
}

TEST(LostLetter, TheFolderAroundANameTellsItsFirstLetterOrNothing) {
    const ShortNameBytes photo = Short("\xE5MG_0001JPG");
    LetterContext plain;
    // Siblings that share the rest of the name tell it; siblings that disagree do not.
    plain.siblings = {Short("IMG_0002JPG"), Short("NOTES   TXT")};
    EXPECT_EQ(GuessLostLetter(photo, false, plain), 'I');
    plain.siblings.push_back(Short("AMG_0003JPG"));
    EXPECT_EQ(GuessLostLetter(photo, false, plain), 0);
    // A sibling of another extension or of another shape says nothing.
    plain.siblings = {Short("IMG_0002MOV"), Short("IMG_ABCDJPG")};
    EXPECT_EQ(GuessLostLetter(photo, false, plain), 0);

    // DCIM at the root; a DCF folder inside DCIM takes the hundreds digit its siblings
    // share, else 1.
    LetterContext root;
    root.atRoot = true;
    EXPECT_EQ(GuessLostLetter(Short("\xE5" "CIM       "), true, root), 'D');
    EXPECT_EQ(GuessLostLetter(Short("\xE5" "CIM       "), false, root), 0);
    LetterContext dcim;
    dcim.inDcim = true;
    EXPECT_EQ(GuessLostLetter(Short("\xE5" "00CANON   "), true, dcim), '1');
    dcim.siblings = {Short("201NIKON   ")};
    EXPECT_EQ(GuessLostLetter(Short("\xE5" "02NIKON   "), true, dcim), '2');
    EXPECT_EQ(GuessLostLetter(Short("\xE5" "RIVATE    "), true, dcim), 0);

    // In a DCF folder whose photos were all deleted, the prefixes cameras write.
    LetterContext camera;
    camera.inDcfFolder = true;
    EXPECT_EQ(GuessLostLetter(photo, false, camera), 'I');
    EXPECT_EQ(GuessLostLetter(Short("\xE5VI_0091MOV"), false, camera), 'M');
    EXPECT_EQ(GuessLostLetter(Short("\xE5SC01234ARW"), false, camera), 'D');
    EXPECT_EQ(GuessLostLetter(Short("\xE5SCF1234JPG"), false, camera), 'D');
    EXPECT_EQ(GuessLostLetter(Short("\xE5X010042MP4"), false, camera), 'G');  // GoPro's chapters
    EXPECT_EQ(GuessLostLetter(Short("\xE5JI_0042MP4"), false, camera), 'D');
    EXPECT_EQ(GuessLostLetter(Short("\xE5XY_1234JPG"), false, camera), 0);
    EXPECT_EQ(GuessLostLetter(photo, false, LetterContext{}), 0);  // outside a camera folder
}

TEST(LostLetter, ACameraCardsDeletedPhotosComeBackUnderTheirNamesMarkedAsGuessed) {
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/camera_letters.img.gz", dir.path());
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/camera_letters.json")));
    auto engine = test::QuickScanned(image);
    ASSERT_NE(engine, nullptr);
    auto* fat = dynamic_cast<CFastFatRecovery*>(engine.get());
    ASSERT_NE(fat, nullptr);
    const std::vector<ScanRecord> records = test::AllRecords(*fat->Log());
    ASSERT_EQ(records.size(), fat->Log()->RecordCount());  // every record reads back
    std::map<std::string, ScanRecord> byPath = test::RecordsByPath(*engine, records);
    ASSERT_TRUE(byPath.count("DCIM/101CANON"));  // its digit from the live 100CANON
    EXPECT_TRUE(FirstLetterGuessed(byPath["DCIM/101CANON"]));
    size_t exact = 0;
    for (const auto& file : manifest["deleted"]) {
        const std::string folder = file["folder"].get<std::string>();
        const std::string name = file["name"].get<std::string>();
        if (name == "NOTES.TXT") {
            // Nothing tells the note's first letter: it keeps the placeholder, not marked as
            // guessed, and is written as "_OTES.TXT".
            ASSERT_TRUE(byPath.count("!OTES.TXT"));
            const ScanRecord& note = byPath["!OTES.TXT"];
            EXPECT_FALSE(FirstLetterGuessed(note));
            EXPECT_TRUE(FirstLetterLost(note));
            const std::string noFolder;
            EXPECT_EQ(TargetPathFor(dir / "out", note, NameRules::Linux, &noFolder).filename(), "_OTES.TXT");
            continue;
        }
        const std::string path = folder + "/" + name;
        ASSERT_TRUE(byPath.count(path)) << path;
        const ScanRecord& record = byPath[path];
        EXPECT_TRUE(FirstLetterGuessed(record)) << path;
        EXPECT_FALSE(FirstLetterLost(record)) << path;
        const fs::path target = dir / "out" / std::to_string(record.recordId);
        ASSERT_EQ(engine->Recover(record, target, 0), kOk) << path;
        exact += test::Sha256Hex(test::ReadFileBytes(target)) == file["sha256"].get<std::string>();
    }
    EXPECT_EQ(exact, manifest["deleted"].size() - 1);
}

}  // namespace
}  // namespace kestrune
