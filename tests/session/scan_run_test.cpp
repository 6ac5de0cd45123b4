// The session driven as a front end drives it: a worker runs the scan, a recording sink
// takes the reports, another thread cancels.
#include "session/scan_run.h"

#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "base/result_codes.h"
#include "session/search_pattern.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::string Everything() {
    std::string error;
    return SearchPatternFor({}, {}, error);
}

ScanSource Resolved(const fs::path& image, int partition = 0) {
    ScanSource source;
    std::string error;
    EXPECT_EQ(ResolveScanSource(image.string(), partition, source, error), kOk) << error;
    return source;
}

// Records every report; at the report cancelWhen picks it has another thread set the
// token and waits for it, as a user pressing Stop while the worker reports would.
class RecordingFront {
public:
    using CancelWhen = std::function<bool(const RunProgress&, int index)>;
    explicit RecordingFront(int cancelAt = -1)
        : cancelWhen_([cancelAt](const RunProgress&, int index) { return index == cancelAt; }) {}
    explicit RecordingFront(CancelWhen cancelWhen) : cancelWhen_(std::move(cancelWhen)) {}
    ~RecordingFront() {
        if (canceller_.joinable()) canceller_.join();
    }
    ProgressSink Sink() {
        return [this](const RunProgress& progress) {
            reports.push_back(progress);
            if (token.Cancelled() || !cancelWhen_(progress, static_cast<int>(reports.size()) - 1)) return;
            canceller_ = std::thread([this] {
                std::lock_guard lock(mutex_);
                token.Cancel();
                cancelled_.notify_all();
            });
            std::unique_lock lock(mutex_);
            cancelled_.wait(lock, [this] { return token.Cancelled(); });
            reportsAtCancel = reports.size();
        };
    }
    CancelToken token;
    std::vector<RunProgress> reports;
    size_t reportsAtCancel = 0;

private:
    CancelWhen cancelWhen_;
    std::thread canceller_;
    std::mutex mutex_;
    std::condition_variable cancelled_;
};

void ExpectSteadyProgressToTheEnd(const std::vector<RunProgress>& reports) {
    ASSERT_FALSE(reports.empty());
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].percent, reports[i - 1].percent) << "report " << i;
        EXPECT_GE(reports[i].filesFound + (reports[i].total == 0 ? reports[i - 1].filesFound : 0),
                  reports[i - 1].filesFound)
            << "report " << i;
    }
    EXPECT_EQ(reports.back().percent, 100);
}

TEST(ScanRun, EveryModeReportsSteadilyToAHundredAndFindsTheFiles) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    for (ScanMode mode : {ScanMode::Quick, ScanMode::Formatted, ScanMode::Deep}) {
        RecordingFront front;
        ScanRun run(Resolved(image), mode);
        run.SetProgress(front.Sink(), &front.token);
        run.SetStoredPassQuestion([](const StoredPassInfo&) { return false; });
        ASSERT_EQ(run.Start(), kOk) << ScanModeName(mode) << ": " << run.problem();
        ExpectSteadyProgressToTheEnd(front.reports);
        std::vector<ScanRecord> found;
        ASSERT_EQ(run.Search(Everything(), found), kOk);
        EXPECT_GE(found.size(), 15u) << ScanModeName(mode);
        if (mode != ScanMode::Quick) {
            EXPECT_TRUE(std::any_of(front.reports.begin(), front.reports.end(),
                                    [](const RunProgress& p) { return p.total != 0; }))
                << "the pass reports the sectors it reads";
            EXPECT_GT(front.reports.back().filesFound, 0u) << "and what its own logs hold";
        }
    }
}

TEST(ScanRun, ACancelFromAnotherThreadStopsWithinOneReportAndKeepsWhatWasFound) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    std::mt19937 random(20261207);
    for (ScanMode mode : {ScanMode::Quick, ScanMode::Deep}) {
        // How many reports a whole run gives, to cancel at a random one of them.
        RecordingFront counting;
        ScanRun whole(Resolved(image), mode);
        whole.SetProgress(counting.Sink(), &counting.token);
        whole.SetStoredPassQuestion([](const StoredPassInfo&) { return false; });
        ASSERT_EQ(whole.Start(), kOk);
        const int reports = static_cast<int>(counting.reports.size());
        ASSERT_GT(reports, 1);
        for (int cancelAt : {0, std::uniform_int_distribution<int>(1, reports - 2)(random)}) {
            RecordingFront front(cancelAt);
            ScanRun run(Resolved(image), mode);
            run.SetProgress(front.Sink(), &front.token);
            run.SetStoredPassQuestion([](const StoredPassInfo&) { return false; });
            EXPECT_EQ(run.Start(), CancelCode) << ScanModeName(mode) << " at report " << cancelAt;
            EXPECT_EQ(front.reports.size(), front.reportsAtCancel) << "no report after the cancel";
            // The search is an operation of its own, with its own Stop.
            front.token.Reset();
            std::vector<ScanRecord> found;
            EXPECT_EQ(run.Search(Everything(), found), kOk) << "what was found is kept and can be listed";
        }
    }
}

TEST(ScanRun, ASearchReportsAsOneAndStopsAtTheCancel) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    RecordingFront front;
    ScanRun run(Resolved(image), ScanMode::Quick);
    run.SetProgress(front.Sink(), &front.token);
    ASSERT_EQ(run.Start(), kOk);
    front.reports.clear();
    std::vector<ScanRecord> found;
    ASSERT_EQ(run.Search(Everything(), found), kOk);
    ASSERT_FALSE(front.reports.empty());
    for (const RunProgress& p : front.reports) EXPECT_EQ(p.stage, RunStage::Searching);
    front.token.Cancel();
    EXPECT_EQ(run.Search(Everything(), found), CancelCode);
}

TEST(ScanRun, AStoredPassIsContinuedOrDiscardedAsTheFrontEndAnswers) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("formatted/fat.img.gz", dir.path());
    auto stopEarly = [&] {
        // Stopped once the pass itself runs (it reports sectors), so that it is stored.
        RecordingFront front([](const RunProgress& progress, int) { return progress.total != 0; });
        ScanRun run(Resolved(image), ScanMode::Formatted);
        run.SetProgress(front.Sink(), &front.token);
        run.SetStoredPassQuestion([](const StoredPassInfo&) { return false; });
        EXPECT_EQ(run.Start(), CancelCode);
        return run.runFolder();
    };
    const std::string stored = stopEarly();
    int asked = 0;
    ScanRun resumed(Resolved(image), ScanMode::Formatted);
    resumed.SetStoredPassQuestion([&](const StoredPassInfo& info) {
        ++asked;
        EXPECT_EQ(info.runFolder, stored);
        return true;
    });
    ASSERT_EQ(resumed.Start(), kOk) << resumed.problem();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(resumed.runFolder(), stored) << "continued in the same folder";

    const std::string second = stopEarly();
    ScanRun fresh(Resolved(image), ScanMode::Formatted);
    fresh.SetStoredPassQuestion([](const StoredPassInfo&) { return false; });
    ASSERT_EQ(fresh.Start(), kOk);
    EXPECT_NE(fresh.runFolder(), second) << "a declined pass starts afresh";
    EXPECT_FALSE(fs::exists(second)) << "and the stored one is discarded";

    // A stored run reopens with the same findings, nothing scanned again.
    std::vector<ScanRecord> before, after;
    ASSERT_EQ(fresh.Search(Everything(), before), kOk);
    std::unique_ptr<ScanRun> reopened;
    std::string problem;
    ASSERT_EQ(ScanRun::Reopen(fresh.runFolder(), reopened, problem), kOk) << problem;
    ASSERT_EQ(reopened->Search(Everything(), after), kOk);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(reopened->mode(), ScanMode::Formatted);
}

TEST(ScanRun, ADiskRowExpandsIntoItsPartitionsScannedInTurn) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    const ScanSource disk = Resolved(image);
    const std::vector<ScanSource> targets = TargetsOf(disk);
    ASSERT_EQ(targets.size(), disk.partitions.size());
    ASSERT_GE(targets.size(), 2u);
    RecordingFront front;
    uint64_t files = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        ScanRun run(targets[i], ScanMode::Quick);
        run.SetProgress(front.Sink(), &front.token, static_cast<int>(i), static_cast<int>(targets.size()));
        ASSERT_EQ(run.Start(), kOk) << run.problem();
        std::vector<ScanRecord> found;
        run.Search(Everything(), found);
        files += found.size();
    }
    EXPECT_EQ(files, 3u) << "two deleted files on the FAT32 partition, one on the NTFS one";
    ExpectSteadyProgressToTheEnd(front.reports);
    EXPECT_EQ(front.reports.front().target, 0);
    EXPECT_EQ(front.reports.back().target, static_cast<int>(targets.size()) - 1);
}

TEST(ScanRun, ASourceThatGoesAwayOrACancelBeforeTheStartEndsCleanly) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const ScanSource source = Resolved(image);
    CancelToken cancelled;
    cancelled.Cancel();
    ScanRun early(source, ScanMode::Deep);
    early.SetProgress(nullptr, &cancelled);
    EXPECT_EQ(early.Start(), CancelCode);

    fs::remove(image);
    for (ScanMode mode : {ScanMode::Quick, ScanMode::Formatted}) {
        ScanRun run(source, mode);
        EXPECT_NE(run.Start(), kOk);
        EXPECT_FALSE(run.problem().empty());
        std::vector<ScanRecord> found;
        EXPECT_NE(run.Search(Everything(), found), kOk);
    }
}

// A run folder's note damaged or written by hand, with values of any type: the folder is no
// scan, and nothing throws.
TEST(ScanRun, ANoteOfTheWrongTypesIsNoScan) {
    test::TempDir dir;
    const fs::path folder = dir / "7";
    fs::create_directories(folder);
    for (const char* note : {R"({"source": "x.img", "mode": 5})", R"({"source": 3})", R"([1, 2])",
                             R"({"source": "x.img", "mode": "quick", "partition": "two", "files": "many"})"}) {
        test::WriteFileBytes(folder / "source.json", std::vector<uint8_t>(note, note + std::strlen(note)));
        std::unique_ptr<ScanRun> run;
        std::string problem;
        const int rc = ScanRun::Reopen(folder.string(), run, problem);
        EXPECT_NE(rc, kOk) << note;
        EXPECT_FALSE(problem.empty()) << note;
    }
}

}  // namespace
}  // namespace kestrune
