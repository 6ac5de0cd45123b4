// A FAT32 stick used for months through mtools (see make_fat_aged_images.sh): many
// deleted files lie over the place of files deleted before them, in one run, and some
// lie round files that were there when they were written. Each is read the way the
// evidence supports, and the plain reading where there is none.
#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "support/recovered_fixture.h"

namespace kestrune {
namespace {

TEST(AgedFat32, FilesLyingInOneRunComeBackWholeAndFewWrongFilesAreCalledASuccess) {
    test::RecoveredFixture stick("fat/aged32.img.gz", "fat/aged32.json");
    size_t intact = 0, exact = 0, oneRun = 0, oneRunExact = 0, wrongCalledGood = 0;
    for (const auto& file : stick.manifest["deleted"]) {
        const RecoveredFile* recovered = stick.Find(file);
        if (!recovered) continue;
        const bool good = recovered->result == kOk;
        const bool same = good && test::RecoveredFixture::Sha256Of(recovered->target) == file["sha256"];
        if (!file["intact"].get<bool>()) {
            wrongCalledGood += good && !same;
            continue;
        }
        ++intact;
        exact += same;
        if (file["pieces"] == 1) {
            ++oneRun;
            oneRunExact += same;
            // Never another file's bytes called good: wrong bytes are said to be damaged.
            if (good) {
                EXPECT_TRUE(same) << file["folder"] << "/" << file["name"];
            }
        }
    }
    EXPECT_GE(intact, 210u);
    // The Sleuth Kit gets 171 of these exact; reading round other deleted files' first
    // clusters without evidence got 144; trusting a photo or archive in one run without
    // reading it, 180.
    EXPECT_GE(exact, 183u);
    // Two lie under the plain reading of a later file whose own start was written over.
    EXPECT_GE(oneRunExact + 2, oneRun);
    EXPECT_LE(wrongCalledGood, 12u);
}

}  // namespace
}  // namespace kestrune
