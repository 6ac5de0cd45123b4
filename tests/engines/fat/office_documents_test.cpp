// Office documents and archives deleted from a FAT stick in two or more pieces, with
// the notes that lay between the pieces deleted after them (see
// make_fat_office_images.sh): where each went on is found from the archive's own
// directory, and what is not found is said to be damaged, never written as a success.
#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "engines/carve/zip_members.h"
#include "engines/fat/continuation_search.h"
#include "support/recovered_fixture.h"

namespace kestrune {
namespace {

TEST(ZipMembers, EachMemberIsCheckedAgainstTheDirectory) {
    for (const char* name : {"files.zip", "letter.docx"}) {
        std::vector<uint8_t> archive = test::CarveFixture(name);
        EXPECT_EQ(carve::ZipMembersHold(ByteView(archive)), std::optional<bool>(true)) << name;
        const auto members = carve::ZipDirectory(ByteView(archive), archive.size());
        ASSERT_TRUE(members && members->size() > 3) << name;
        // A byte of another file in the middle of a member: its data no longer holds,
        // though the end record is right.
        const carve::ZipMember& middle = (*members)[members->size() / 2];
        std::vector<uint8_t> spoiled = archive;
        spoiled[middle.headerAt + 30 + middle.name.size() + middle.packedSize / 2] ^= 0x5A;
        EXPECT_EQ(carve::ZipMembersHold(ByteView(spoiled)), std::optional<bool>(false)) << name;
        // A header with another member's name, and an archive cut before its end.
        spoiled = archive;
        spoiled[middle.headerAt + 30] ^= 0x01;
        EXPECT_EQ(carve::ZipMembersHold(ByteView(spoiled)), std::optional<bool>(false)) << name;
        spoiled.assign(archive.begin(), archive.end() - 1);
        EXPECT_EQ(carve::ZipMembersHold(ByteView(spoiled)), std::optional<bool>(false)) << name;
    }
    // An encrypted member cannot be checked: the archive is neither good nor bad for it.
    std::vector<uint8_t> archive = test::CarveFixture("files.zip");
    const auto members = carve::ZipDirectory(ByteView(archive), archive.size());
    ASSERT_TRUE(members);
    const size_t directoryAt = archive.size() - 22;
    const uint32_t firstEntry = ByteView(archive).le32(directoryAt + 16);
    archive[firstEntry + 8] |= 1;
    EXPECT_EQ(carve::ZipMembersHold(ByteView(archive)), std::nullopt);
}

TEST(ZipContinuation, TheRestIsFoundFromTheEndRecordAndEachMembersHeader) {
    // A document of 9 clusters: 4 from its first cluster, the rest over free clusters
    // after it, stepping round live ones (every third cluster); other bytes lie between.
    constexpr uint32_t kCluster = 512;
    std::vector<uint8_t> volume(28 * kCluster);
    auto place = [&volume](const std::vector<uint8_t>& file, const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<uint8_t>(i * 7919 >> 3);
        for (size_t k = 0; k < clusters.size(); ++k) {
            const size_t length = std::min<size_t>(kCluster, file.size() - k * kCluster);
            std::copy_n(file.begin() + static_cast<long>(k * kCluster), length, volume.begin() + clusters[k] * kCluster);
        }
    };
    const std::vector<uint8_t> document = test::CarveFixture("letter.docx");
    ASSERT_EQ((document.size() + kCluster - 1) / kCluster, 9u);
    place(document, {0, 1, 2, 3, 13, 15, 16, 18, 19});
    ClusterAccess access;
    access.clusterBytes = kCluster;
    access.firstCluster = 0;
    access.read = [&](uint32_t cluster, uint32_t bytes, std::vector<uint8_t>& out) {
        if (cluster >= 28 || bytes > kCluster) return false;
        out.assign(volume.begin() + cluster * kCluster, volume.begin() + cluster * kCluster + bytes);
        return true;
    };
    access.nextFree = [](uint32_t cluster, uint32_t& next) {
        for (next = cluster + 1; next < 28; ++next)
            if (next % 3 != 2) return true;
        return false;
    };
    const auto found = FindContinuation("Letter.DOCX", document.size(), {{0, 9}}, access);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (std::vector<ClusterRun>{{0, 4}, {13, 1}, {15, 2}, {18, 2}}));
    // Its last cluster written over: nothing is found, rather than a wrong layout.
    volume[19 * kCluster + 50] ^= 0xFF;
    EXPECT_FALSE(FindContinuation("Letter.DOCX", document.size(), {{0, 9}}, access));

    // An archive in three pieces, read first along the free clusters from its start: each
    // member's header shows where a piece begins.
    const std::vector<uint8_t> archive = test::CarveFixture("files.zip");
    ASSERT_EQ((archive.size() + kCluster - 1) / kCluster, 10u);
    access.firstCluster = 3;
    place(archive, {3, 4, 6, 12, 13, 15, 19, 21, 22, 24});
    const std::vector<ClusterRun> plain{{3, 2}, {6, 2}, {9, 2}, {12, 2}, {15, 2}};
    const auto pieces = FindContinuation("files.zip", archive.size(), plain, access);
    ASSERT_TRUE(pieces);
    EXPECT_EQ(*pieces, (std::vector<ClusterRun>{{3, 2}, {6, 1}, {12, 2}, {15, 1}, {19, 1}, {21, 2}, {24, 1}}));
}

TEST(OfficeDocuments, ArchivesInPiecesComeBackWholeAndNoneIsWrongButCalledGood) {
    test::RecoveredFixture stick("fat/office16.img.gz", "fat/office16.json");
    size_t twoPieces = 0, twoPiecesExact = 0, morePieces = 0, morePiecesExact = 0;
    for (const auto& file : stick.manifest["deleted"]) {
        const std::string path = file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
        const RecoveredFile* recovered = stick.Find(file);
        const bool good = recovered && recovered->result == kOk;
        const bool same = good && test::RecoveredFixture::Sha256Of(recovered->target) == file["sha256"];
        if (good) {
            EXPECT_TRUE(same) << path;
        }
        if (!file["intact"].get<bool>()) continue;
        if (file["pieces"] == 2) {
            ++twoPieces;
            twoPiecesExact += same;
        } else if (file["pieces"].get<int>() > 2) {
            ++morePieces;
            morePiecesExact += same;
        }
    }
    // Neither The Sleuth Kit nor PhotoRec gets any of those in pieces.
    EXPECT_GE(twoPieces, 120u);
    EXPECT_EQ(twoPiecesExact, twoPieces);
    EXPECT_GE(morePieces, 60u);
    // Those in more pieces are found where each boundary lies between two members'
    // headers (46 of 81); one inside a member's data (a picture in three pieces) is not.
    EXPECT_GE(morePiecesExact, 44u);
}

}  // namespace
}  // namespace kestrune
