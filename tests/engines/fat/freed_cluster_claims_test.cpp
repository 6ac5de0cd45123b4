#include "engines/fat/freed_cluster_claims.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrune {
namespace {

using Runs = std::vector<ClusterRun>;

// A volume whose clusters 2..end are free but those in use.
FreedClusterClaims::NextFreeFn FreeClusters(uint32_t end, std::set<uint32_t> used = {}) {
    return [end, used](uint32_t cluster, uint32_t& next) {
        for (uint32_t c = cluster + 1; c < end; ++c)
            if (!used.count(c)) {
                next = c;
                return true;
            }
        return false;
    };
}

Runs LayoutOf(const FreedClusterClaims& claims, uint32_t first, uint32_t clusters, ClaimSettled* settled = nullptr) {
    Runs runs;
    const ClaimSettled how = claims.LayoutOf(first, clusters, runs);
    if (settled) *settled = how;
    return runs;
}

TEST(FreedClusterClaims, FilesWrittenRoundEachOtherGetTheirOwnClusters) {
    // A starts at 1 and needs 2, B at 2 needs 4, C at 6 needs 1, D at 7 needs 4, and B was
    // written before A: A is {1, 3}, B is {2, 4, 5, 11}.
    FreedClusterClaims claims;
    claims.AddFile(1, 2, 20);
    claims.AddFile(2, 4, 10);
    claims.AddFile(6, 1, 5);
    claims.AddFile(7, 4, 5);
    claims.Settle(FreeClusters(100), 1000);
    ClaimSettled how{};
    EXPECT_EQ(LayoutOf(claims, 1, 2, &how), (Runs{{1, 1}, {3, 1}}));
    EXPECT_EQ(how, ClaimSettled::ByAge);
    EXPECT_EQ(LayoutOf(claims, 2, 4), (Runs{{2, 1}, {4, 2}, {11, 1}}));
    EXPECT_EQ(LayoutOf(claims, 6, 1, &how), (Runs{{6, 1}}));
    EXPECT_EQ(how, ClaimSettled::Alone);
    EXPECT_EQ(LayoutOf(claims, 7, 4), (Runs{{7, 4}}));
    LayoutOf(claims, 8, 1, &how);
    EXPECT_EQ(how, ClaimSettled::Unknown);
}

TEST(FreedClusterClaims, LiveClustersHeldClustersAndTheNewerOfTwoStartsAreSkipped) {
    FreedClusterClaims claims;
    claims.AddFile(10, 4, 1);   // round live 11 and a deleted folder's 12
    claims.AddFile(20, 3, 1);   // an older file in the same place as ...
    claims.AddFile(20, 2, 9);   // ... the newer one written over it
    claims.AddFile(30, 1, 1);   // the same file listed twice
    claims.AddFile(30, 1, 1);
    claims.Hold(12, 1);
    claims.Settle(FreeClusters(100, {11}), 1000);
    EXPECT_EQ(LayoutOf(claims, 10, 4), (Runs{{10, 1}, {13, 3}}));
    ClaimSettled how{};
    EXPECT_EQ(LayoutOf(claims, 20, 2, &how), (Runs{{20, 2}}));
    EXPECT_EQ(how, ClaimSettled::Alone);
    LayoutOf(claims, 20, 3, &how);
    EXPECT_EQ(how, ClaimSettled::Contradicted) << "its place was written over";
    EXPECT_EQ(claims.FileCount(), 4u);
}

TEST(FreedClusterClaims, ContradictionsEndWithoutALayoutAndTheWorkIsBounded) {
    FreedClusterClaims small;
    small.AddFile(2, 50, 1);      // more than the volume's free clusters
    small.AddFile(20, 5, 3);      // two equally new files in one place
    small.AddFile(20, 7, 3);
    small.Settle(FreeClusters(40), 1000);
    ClaimSettled how{};
    LayoutOf(small, 2, 50, &how);
    EXPECT_EQ(how, ClaimSettled::Contradicted);
    LayoutOf(small, 20, 5, &how);
    EXPECT_EQ(how, ClaimSettled::Contradicted);

    // A million files that each want the whole volume: the budget stops the walks.
    FreedClusterClaims many;
    for (uint32_t first = 100; first < 1'000'100; ++first) many.AddFile(first, 4'000'000, first);
    many.Settle(FreeClusters(2'000'000), 3'000'000);
    LayoutOf(many, 500'000, 4'000'000, &how);
    EXPECT_EQ(how, ClaimSettled::Contradicted);
}

TEST(FreedClusterClaims, AnOlderFileWhoseStartIsSeenInsideANewerOnesReadingWasThereWhenItWasWritten) {
    // B (newer) starts at 10 and needs 6; A (older) starts at 12, needs 3, and its start
    // is seen there. Had A been gone, B would have been written over 12: B went round all
    // of A, {10, 11, 15, 16, 17, 18}, not round its first cluster only.
    FreedClusterClaims seen;
    seen.AddFile(10, 6, 20);
    seen.AddFile(12, 3, {10, 10, true});
    seen.Settle(FreeClusters(100), 1000);
    EXPECT_EQ(LayoutOf(seen, 12, 3), (Runs{{12, 3}}));
    EXPECT_EQ(LayoutOf(seen, 10, 6), (Runs{{10, 2}, {15, 4}}));
    EXPECT_TRUE(seen.StepsRoundKnownData(10, 6, Runs{{10, 6}}));

    // The same without A's start seen: the newer file is laid out first, and nothing bears
    // its stepping round 12 out.
    FreedClusterClaims unseen;
    unseen.AddFile(10, 6, 20);
    unseen.AddFile(12, 3, 10);
    unseen.Settle(FreeClusters(100), 1000);
    EXPECT_EQ(LayoutOf(unseen, 10, 6), (Runs{{10, 2}, {13, 4}}));
    EXPECT_FALSE(unseen.StepsRoundKnownData(10, 6, Runs{{10, 6}}));

    // A file made while the newer one was being written (after it was made, before it was
    // last written to) was there too, whatever its first cluster shows.
    FreedClusterClaims appended;
    appended.AddFile(10, 6, {20, 40});
    appended.AddFile(12, 3, {30, 30});
    appended.Settle(FreeClusters(100), 1000);
    EXPECT_EQ(LayoutOf(appended, 10, 6), (Runs{{10, 2}, {15, 4}}));
    EXPECT_TRUE(appended.StepsRoundKnownData(10, 6, Runs{{10, 6}}));
}

TEST(ChooseFreedLayout, WithoutEvidenceThePlainReadingIsTakenAndCalledAGuess) {
    const Runs claimed{{10, 2}, {13, 4}}, plain{{10, 6}};
    auto holdsAlong = [](const Runs* good) {
        return [good](const Runs& layout) { return good == nullptr || layout == *good; };
    };
    // The bytes tell them apart: the one they hold along, sure.
    FreedLayout chosen = ChooseFreedLayout(ClaimSettled::ByAge, claimed, plain, holdsAlong(&claimed));
    EXPECT_EQ(chosen.runs, claimed);
    EXPECT_FALSE(chosen.guessed);
    chosen = ChooseFreedLayout(ClaimSettled::ByAge, claimed, plain, holdsAlong(&plain));
    EXPECT_EQ(chosen.runs, plain);
    EXPECT_FALSE(chosen.guessed);
    // A structure that holds along both (it only checks the length) tells nothing.
    chosen = ChooseFreedLayout(ClaimSettled::ByAge, claimed, plain, holdsAlong(nullptr));
    EXPECT_EQ(chosen.runs, plain);
    EXPECT_TRUE(chosen.guessed);
    LayoutEvidence evidence;
    evidence.stepsRoundKnownData = true;
    chosen = ChooseFreedLayout(ClaimSettled::ByAge, claimed, plain, holdsAlong(nullptr), evidence);
    EXPECT_EQ(chosen.runs, claimed);
    EXPECT_TRUE(chosen.guessed);
    // A searchable type keeps the reading not taken for the search.
    evidence = {};
    evidence.searchable = true;
    chosen = ChooseFreedLayout(ClaimSettled::ByAge, claimed, plain, [](const Runs&) { return false; }, evidence);
    EXPECT_EQ(chosen.runs, plain);
    EXPECT_EQ(chosen.other, claimed);
}

TEST(SearchFreedLayout, OneRunTakenUntestedIsTestedWhenReadAndSearchedOnFromWhenItFails) {
    const Runs one{{10, 6}}, found{{10, 3}, {40, 3}};
    LayoutEvidence evidence;
    evidence.searchable = true;
    int searches = 0;
    const ContinuationFinder finder = [&](const Runs& tried) -> std::optional<Runs> {
        ++searches;
        EXPECT_EQ(tried, one);
        return found;
    };
    // The listing takes one run without reading the file.
    FreedLayout layout = ChooseFreedLayout(ClaimSettled::ByAge, one, one, [](const Runs&) {
        ADD_FAILURE() << "a listing does not read the file";
        return false;
    }, evidence);
    EXPECT_EQ(layout.runs, one);
    EXPECT_FALSE(layout.guessed);
    // Its content holds along it when read: kept, and nothing is searched.
    FreedLayout holding = layout;
    SearchFreedLayout(holding, finder, [](const Runs&) { return true; });
    EXPECT_EQ(holding.runs, one);
    EXPECT_FALSE(holding.guessed);
    EXPECT_EQ(searches, 0);
    // It does not: the search looks on from it.
    SearchFreedLayout(layout, finder, [](const Runs&) { return false; });
    EXPECT_EQ(layout.runs, found);
    EXPECT_FALSE(layout.guessed);
    EXPECT_EQ(searches, 1);
    // A type the search cannot follow is never taken untested to begin with.
    evidence.searchable = false;
    EXPECT_FALSE(ChooseFreedLayout(ClaimSettled::ByAge, one, one, nullptr, evidence).untested);
}

}  // namespace
}  // namespace kestrune
