// A camera card used over eight days of shooting through exfat-fuse (see
// make_exfat_aged_card_images.sh): every photo the card lost is recovered as the session
// does it for a user, and what is called a success must be the photo as it was taken.
#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "support/recovered_fixture.h"

namespace kestrune {
namespace {

struct AgedCard : test::RecoveredFixture {
    AgedCard() : RecoveredFixture("exfat/aged_card.img.gz", "exfat/aged_card.json") {}
};

TEST(AgedCard, EveryIntactPhotoComesBackWholeAndNothingElseIsCalledASuccess) {
    AgedCard card;
    size_t inPieces = 0, overwritten = 0, saidDamaged = 0, listedGuessed = 0;
    for (const auto& photo : card.manifest["deleted"]) {
        const std::string path = photo["folder"].get<std::string>() + "/" + photo["name"].get<std::string>();
        const auto at = card.byPath.find(path);
        if (at == card.byPath.end()) continue;
        const RecoveredFile& file = at->second;
        if (photo["intact"].get<bool>()) {
            // Photos in pieces too: the chain was cleared, the picture data tells the way.
            inPieces += photo["pieces"] != 1;
            EXPECT_EQ(file.result, kOk) << path << ": " << file.status;
            if (file.result == kOk) {
                EXPECT_EQ(card.Sha256Of(file.target), photo["sha256"]) << path;
            }
            continue;
        }
        // Later photos took some of its clusters: never a success, whatever its entry says.
        ++overwritten;
        EXPECT_NE(file.result, kOk) << path << " is called a success with another photo's bytes";
        saidDamaged += file.result == kErrFileCorrupt && !file.partial.empty();
        // The listing does not look for where a guessed photo went on: it says the layout
        // is a guess, and only the recovery reads the photo and calls it damaged.
        listedGuessed += card.listed[path].layoutGuessed;
    }
    EXPECT_GE(inPieces, 40u);
    EXPECT_GE(overwritten, 15u);
    EXPECT_EQ(saidDamaged, overwritten);
    EXPECT_GE(listedGuessed, 5u);
}

TEST(AgedCard, EveryIntactPhotoIsFoundInItsFolderThoughTheDriverCutTheFolderShort) {
    AgedCard card;
    size_t intact = 0, found = 0, exactWhole = 0, wholeOnePiece = 0;
    for (const auto& photo : card.manifest["deleted"]) {
        if (!photo["intact"].get<bool>()) continue;
        ++intact;
        const std::string path = photo["folder"].get<std::string>() + "/" + photo["name"].get<std::string>();
        const auto at = card.byPath.find(path);
        if (at == card.byPath.end()) { ADD_FAILURE() << path; continue; }
        ++found;
        if (photo["pieces"] != 1) continue;
        ++wholeOnePiece;
        EXPECT_EQ(at->second.result, kOk) << path << ": " << at->second.status;
        if (at->second.result == kOk && card.Sha256Of(at->second.target) == photo["sha256"]) ++exactWhole;
    }
    EXPECT_GE(intact, 140u);
    // A later folder's cluster took the entry of one (The Sleuth Kit misses it too).
    EXPECT_GE(found, intact - 1);
    EXPECT_EQ(exactWhole, wholeOnePiece);
    EXPECT_GE(wholeOnePiece, 100u);
}

}  // namespace
}  // namespace kestrune
