// A found file's data copied out for the preview through the session: into a temporary
// file of its own, or into memory; cancelled; refused for a record of another source.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "base/result_codes.h"
#include "engines/recovery_engine.h"
#include "scanlog/store_folder.h"
#include "session/scan_run.h"
#include "session/search_pattern.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class PreviewExtract : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path image = test::UnpackFixture("preview/preview.img.gz", dir_.path());
        ScanSource source;
        std::string error;
        ASSERT_EQ(ResolveScanSource(image.string(), 0, source, error), kOk) << error;
        run_ = std::make_unique<ScanRun>(source, ScanMode::Quick);
        ASSERT_EQ(run_->Start(), kOk) << run_->problem();
        ASSERT_EQ(run_->Search(SearchPatternFor({}, {}, error), found_), kOk);
    }
    const ScanRecord& Named(const std::string& name) {
        auto it = std::find_if(found_.begin(), found_.end(), [&](const ScanRecord& r) { return RecordName(r) == "found-" + name; });
        std::string names;
        for (const ScanRecord& r : found_) names += std::string(RecordName(r)) + " ";
        EXPECT_NE(it, found_.end()) << name << " among " << names;
        return it == found_.end() ? found_.front() : *it;
    }
    test::TempDir dir_;
    std::unique_ptr<ScanRun> run_;
    std::vector<ScanRecord> found_;
};

TEST_F(PreviewExtract, APictureGoesToAFileInAFolderOfItsOwnWithProgressToAHundred) {
    const ScanRecord& photo = Named("photo.jpg");
    std::vector<uint8_t> buffer(1 << 20);
    std::string first, second;
    uint32_t delivered = 0;
    std::vector<int> percents;
    ASSERT_EQ(run_->ExtractForPreview(photo, first, buffer, delivered, nullptr, [&](int p) { percents.push_back(p); }), kOk);
    ASSERT_EQ(run_->ExtractForPreview(photo, second, buffer, delivered, nullptr, {}), kOk);
    // Two previews of one file never share a file.
    EXPECT_NE(first, second);
    for (const std::string& path : {first, second}) {
        EXPECT_EQ(fs::path(path).filename(), "tmp.jpg");
        EXPECT_EQ(fs::path(path).parent_path().parent_path(), StoreFolder());
        EXPECT_EQ(fs::file_size(path), photo.fileSize);
        const auto bytes = test::ReadFileBytes(path);
        ASSERT_GE(bytes.size(), 3u);
        EXPECT_EQ(bytes[0], 0xFF);
        EXPECT_EQ(bytes[1], 0xD8);
    }
    EXPECT_EQ(delivered, 0u);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
}

TEST_F(PreviewExtract, AFileOfNoKnownKindGoesToMemory) {
    std::vector<uint8_t> buffer(20 << 20, 0xEE);
    std::string temp;
    uint32_t delivered = 0;
    ASSERT_EQ(run_->ExtractForPreview(Named("notes.bin"), temp, buffer, delivered, nullptr, {}), kOk);
    EXPECT_TRUE(temp.empty());
    ASSERT_EQ(delivered, 100u);
    EXPECT_EQ(buffer[0], 0);  // the fixture's notes start with a zero byte
    EXPECT_EQ(buffer[1], 'B');
    EXPECT_EQ(buffer[100], 0xEE);
}

TEST_F(PreviewExtract, ACancelStopsTheCopyAndLeavesNoFile) {
    CancelToken cancel;
    std::vector<uint8_t> buffer(1 << 20);
    std::string temp;
    uint32_t delivered = 0;
    const auto before = std::distance(fs::directory_iterator(StoreFolder()), fs::directory_iterator());
    // Set while the first piece is reported, as a user pressing Cancel then would.
    const int rc = run_->ExtractForPreview(Named("photo.jpg"), temp, buffer, delivered, &cancel,
                                           [&](int) { cancel.Cancel(); });
    EXPECT_EQ(rc, CancelCode);
    EXPECT_TRUE(temp.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(StoreFolder()), fs::directory_iterator()), before);
}

TEST_F(PreviewExtract, ARecordOfAnotherSourceIsRefused) {
    ScanRecord stranger = Named("photo.jpg");
    stranger.driveLetter = static_cast<uint16_t>(stranger.driveLetter + 1);
    std::vector<uint8_t> buffer(4096);
    std::string temp;
    uint32_t delivered = 0;
    EXPECT_EQ(run_->ExtractForPreview(stranger, temp, buffer, delivered, nullptr, {}), kErrInvalidParameter);
    EXPECT_TRUE(temp.empty());
}

TEST_F(PreviewExtract, APreviewAndASearchOnTwoThreadsTakeTurnsOnTheEngine) {
    // The preview's worker may still copy when a search starts on another thread.
    std::thread preview([&] {
        std::vector<uint8_t> buffer(1 << 20);
        for (int i = 0; i < 20; ++i) {
            std::string temp;
            uint32_t delivered = 0;
            EXPECT_EQ(run_->ExtractForPreview(Named("letter.pdf"), temp, buffer, delivered, nullptr, {}), kOk);
            fs::remove_all(fs::path(temp).parent_path());
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::vector<ScanRecord> again;
        std::string error;
        ASSERT_EQ(run_->Search(SearchPatternFor({}, {}, error), again), kOk);
        EXPECT_EQ(again.size(), found_.size());
    }
    preview.join();
}

TEST_F(PreviewExtract, ARunGoingAwayStopsAPreviewCopyAndWaitsForIt) {
    // The window that owns a run may close while a preview worker copies from it.
    ScanRun* run = run_.get();
    const ScanRecord photo = Named("photo.jpg");
    run->HoldForPreview();
    std::atomic<bool> copying{false};
    int rc = kOk;
    std::string temp;
    std::thread worker([&] {
        std::vector<uint8_t> buffer(1 << 20);
        uint32_t delivered = 0;
        rc = run->ExtractForPreview(photo, temp, buffer, delivered, nullptr, [&](int) {
            copying = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });
        run->ReleaseFromPreview();
    });
    while (!copying) std::this_thread::yield();
    run_.reset();  // waits for the copy, which stops at its next piece
    worker.join();
    EXPECT_EQ(rc, CancelCode);
    EXPECT_TRUE(temp.empty());
}

}  // namespace
}  // namespace kestrune
