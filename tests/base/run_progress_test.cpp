// How work reports: a phase of a larger scan lands in its share of the bar, and a cancel
// reaches the work at its next report.
#include "base/run_progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune {
namespace {

TEST(Reporter, APhaseLandsInItsShareAndAShortOnesEstimateIsDropped) {
    std::vector<RunProgress> seen;
    const Reporter whole{[&](const RunProgress& p) { seen.push_back(p); }, nullptr};
    const Reporter sweep = whole.Within(9, 90);
    const Reporter quick = whole.Within(0, 9, Reporter::Estimate::Dropped);
    quick.Scanned(100, 30);
    sweep.Scanned(0, 40);
    sweep.Scanned(50, 20);
    sweep.Scanned(100, 0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].percent, 9);
    EXPECT_EQ(seen[0].secondsLeft, -1) << "the quick scan's estimate is not the pass's";
    EXPECT_EQ(seen[1].percent, 9);
    EXPECT_EQ(seen[2].percent, 54);
    EXPECT_EQ(seen[2].secondsLeft, 20);
    EXPECT_EQ(seen[3].percent, 99);

    RunProgress search;
    search.stage = RunStage::Searching;
    search.percent = 40;
    sweep.Report(search);
    EXPECT_EQ(seen.back().percent, 40) << "a search of what a phase found is no part of the scan";
}

TEST(Reporter, ACancelIsAnsweredAfterTheReportItCameDuring) {
    CancelToken cancel;
    int reports = 0;
    const Reporter reporter = Reporter{[&](const RunProgress&) {
                                           ++reports;
                                           if (reports == 2) cancel.Cancel();
                                       },
                                       &cancel}
                                  .Within(0, 50);
    EXPECT_EQ(reporter.Scanned(10), 0);
    EXPECT_EQ(reporter.Scanned(20), CancelCode);
    EXPECT_EQ(reporter.Scanned(30), CancelCode) << "a cancel stays";
    EXPECT_EQ(Reporter{}.Scanned(10), 0) << "nobody to report to, nothing to stop";
}

}  // namespace
}  // namespace kestrune
