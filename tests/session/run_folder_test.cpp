// The folder a scan writes into is the one handed to its engine: nothing another thread
// does to the catalogue (taking a new run folder, reopening a stored run) can move it.
#include <gtest/gtest.h>

#include <thread>

#include "base/result_codes.h"
#include "engines/carve/file_type_recovery.h"
#include "engines/engine_factory.h"
#include "scanlog/log_names.h"
#include "scanlog/scan_catalogue.h"
#include "session/scan_run.h"
#include "session/search_pattern.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::string QuickLogIn(const std::string& folder) {
    std::string name;
    FindLogByPrefix(kQuickLogPrefix, folder, name);
    return name;
}

// What a browsing UI thread does while a worker scans: a new run folder is taken and a
// stored run is reopened and listed.
struct Browser {
    std::string storedRun;
    std::vector<std::string> takenFolders;
    int reopened = 0;

    void BrowseOnAnotherThread() {
        std::thread([this] {
            takenFolders.push_back(ScanCatalogue::Instance().NewRunFolder());
            std::unique_ptr<ScanRun> run;
            std::string problem;
            std::string error;
            std::vector<ScanRecord> found;
            if (ScanRun::Reopen(storedRun, run, problem) == kOk &&
                run->Search(SearchPatternFor({}, {}, error), found) == kOk && !found.empty())
                ++reopened;
        }).join();
    }
};

TEST(RunFolder, AQuickScanWritesIntoTheFolderItWasGivenWhateverTheCatalogueDoesMeanwhile) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    Browser browser;
    {
        ScanSource source;
        std::string error;
        ASSERT_EQ(ResolveScanSource(image.string(), 0, source, error), kOk) << error;
        ScanRun first(source, ScanMode::Quick);
        ASSERT_EQ(first.Start(), kOk) << first.problem();
        browser.storedRun = first.runFolder();
    }

    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 0);
    ASSERT_NE(engine, nullptr);
    const std::string given = ScanCatalogue::Instance().NewRunFolder();
    engine->SetRunFolder(given);
    // Between handing the folder over and the scan, and again during it.
    browser.BrowseOnAnotherThread();
    engine->SetReporter({[&browser](const RunProgress&) {
        if (browser.takenFolders.size() == 1) browser.BrowseOnAnotherThread();
    }});
    ASSERT_EQ(engine->Scan(nullptr), kOk);
    ASSERT_EQ(browser.takenFolders.size(), 2u) << "the scan reported, and the browser ran during it";
    EXPECT_EQ(browser.reopened, 2);

    const std::string log = QuickLogIn(given);
    ASSERT_FALSE(log.empty()) << "the log is in the folder the engine was given";
    for (const std::string& taken : browser.takenFolders) EXPECT_TRUE(QuickLogIn(taken).empty()) << taken;
    EXPECT_NE(browser.storedRun, given);
    const uint64_t records = engine->GetRecordCount();
    EXPECT_GT(records, 0u);

    // Its log reopens from that folder although the catalogue's counter has moved on.
    auto again = EngineFactory::CreateEngineForImage(image, 1001, 0);
    ASSERT_NE(again, nullptr);
    again->SetRunFolder(given);
    ASSERT_EQ(again->Scan(&log), kOk);
    EXPECT_EQ(again->GetRecordCount(), records);
}

TEST(RunFolder, AnEngineNeverGivenAFolderWritesNoLog) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const auto before = ScanCatalogue::Instance().FolderCounter();
    auto quick = EngineFactory::CreateEngineForImage(image, 1001, 0);
    ASSERT_NE(quick, nullptr);
    EXPECT_EQ(quick->Scan(nullptr), kErrInvalidParameter);
    EXPECT_EQ(quick->GetRecordCount(), 0u);
    std::vector<ScanRecord> found;
    EXPECT_EQ(quick->SearchByExtension("*.*", found), kOk);
    EXPECT_TRUE(found.empty());

    CFileTypeRecovery carver;
    EXPECT_EQ(carver.OpenImage(image, 1001), kErrInvalidParameter) << "it opens its log with its source";
    EXPECT_EQ(carver.Log(), nullptr);
    EXPECT_EQ(ScanCatalogue::Instance().FolderCounter(), before) << "and no run folder was taken for it";
}

}  // namespace
}  // namespace kestrune
