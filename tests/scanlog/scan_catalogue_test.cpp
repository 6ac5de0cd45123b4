#include "scanlog/scan_catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class CatalogueTest : public ::testing::Test {
protected:
    fs::path Store() const { return dir_ / "ScanLog"; }
    std::string RunFolder(const std::string& name) {
        const std::string folder = (Store() / name).string() + "/";
        fs::create_directories(folder);
        test::WriteFileBytes(fs::path(folder) / "Fast_0_x", {1, 2, 3});
        return folder;
    }
    std::unique_ptr<ScanCatalogue> Open(uint64_t freeBytes = 1000) {
        auto catalogue = std::make_unique<ScanCatalogue>(Store());
        catalogue->freeBytesOf = [this](const fs::path&) { return free_; };
        free_ = freeBytes;
        return catalogue;
    }
    test::TempDir dir_;
    uint64_t free_ = 1000;
};

TEST_F(CatalogueTest, TheFileKeepsItsLayoutAcrossARoundTrip) {
    auto catalogue = Open();
    const std::string folder = catalogue->NewRunFolder();
    EXPECT_EQ(folder, (Store() / "1").string() + "/");
    ASSERT_EQ(catalogue->Store("/dev/sdb1", 2, 2048, 409600, {1, 2, 3, 4, 5}, folder, {}), kOk);

    const auto bytes = test::ReadFileBytes(Store() / "config");
    ASSERT_EQ(bytes.size(), 8u + 1120u);
    EXPECT_EQ(bytes[0], 1);  // the counter
    EXPECT_EQ(bytes[8], 2);  // disk index
    uint64_t start = 0, resume4 = 0, free = 0;
    std::memcpy(&start, &bytes[8 + 8], 8);
    std::memcpy(&resume4, &bytes[8 + 24 + 32], 8);
    std::memcpy(&free, &bytes[8 + 64], 8);
    EXPECT_EQ(start, 2048u);
    EXPECT_EQ(resume4, 5u);
    EXPECT_EQ(free, 1000u);
    EXPECT_EQ(bytes[8 + 80], 0) << "no image path";
    EXPECT_EQ(bytes[8 + 600], '/');
    EXPECT_EQ(bytes[8 + 601], 0) << "UTF-16 code units";

    auto reloaded = Open();
    EXPECT_EQ(reloaded->FolderCounter(), 1u);
    ScanCatalogueRecord record;
    ASSERT_TRUE(reloaded->FindForVolume(2, 2048, 409600, "/dev/sdb1", record));
    EXPECT_EQ(record.resumeState, (ResumeState{1, 2, 3, 4, 5}));
    EXPECT_EQ(record.scanFolder, folder);
    EXPECT_FALSE(reloaded->FindForVolume(2, 2048, 409601, "/dev/sdb1", record));
    EXPECT_EQ(reloaded->NewRunFolder(), (Store() / "2").string() + "/") << "look-ups do not move the numbering";

    ASSERT_EQ(reloaded->Store("/dev/sdb1", 2, 2048, 409600, {9, 9, 9, 9, 9}, folder, {}), kOk);
    EXPECT_EQ(reloaded->Records().size(), 1u) << "a stored source is updated, not added";
    EXPECT_EQ(reloaded->Records()[0].resumeState.extentStart, 9u);
}

TEST_F(CatalogueTest, AnInterruptedSaveIsTakenFromConfigTmp) {
    auto catalogue = Open();
    const std::string folder = catalogue->NewRunFolder();
    ASSERT_EQ(catalogue->Store("", 0, 0, 100, {}, folder, {}), kOk);
    fs::rename(Store() / "config", Store() / "config.tmp");
    auto reloaded = Open();
    EXPECT_EQ(reloaded->Records().size(), 1u);
    EXPECT_TRUE(fs::exists(Store() / "config"));
    EXPECT_FALSE(fs::exists(Store() / "config.tmp"));
}

TEST_F(CatalogueTest, StaleScansAreDiscardedWithTheirFolders) {
    auto catalogue = Open();
    const std::string volumeFolder = RunFolder("5");
    ASSERT_EQ(catalogue->Store("/dev/sdc1", 3, 63, 1000, {}, volumeFolder, {}), kOk);
    free_ = 1000 - 4096;  // one cluster was written since
    ScanCatalogueRecord record;
    EXPECT_FALSE(catalogue->FindForVolume(3, 63, 1000, "/dev/sdc1", record));
    EXPECT_TRUE(fs::exists(volumeFolder)) << "a look-up deletes nothing";
    catalogue->DiscardStaleVolumeScan(3, 63, 1000, "/dev/sdc1");
    EXPECT_FALSE(fs::exists(volumeFolder));
    EXPECT_TRUE(catalogue->Records().empty());

    const fs::path image = dir_ / "Disk.img";
    test::WriteFileBytes(image, test::PatternBytes(4096));
    const std::string imageFolder = RunFolder("6");
    ASSERT_EQ(catalogue->Store("", 0, 0, 8, {}, imageFolder, image), kOk);
    EXPECT_FALSE(catalogue->FindForImage(dir_ / "disk.img", record)) << "paths differ in case";
    EXPECT_TRUE(fs::exists(imageFolder));
    ASSERT_TRUE(catalogue->FindForImage(image, record));
    struct utimbuf later {1700000000, 1700000000};
    ASSERT_EQ(::utime(image.c_str(), &later), 0);
    EXPECT_FALSE(catalogue->FindForImage(image, record)) << "the image was written since";
    catalogue->DiscardStaleImageScan(image);
    EXPECT_FALSE(fs::exists(imageFolder));
}

TEST_F(CatalogueTest, RunFoldersAreComparedWithoutCaseAndLeftoversCleared) {
    auto catalogue = Open();
    const std::string folder = RunFolder("Run");
    ASSERT_EQ(catalogue->Store("", 1, 0, 10, {}, folder, {}), kOk);
    std::string upper = folder;
    upper.replace(upper.size() - 4, 3, "RUN");
    catalogue->DiscardRunFolder(upper);
    EXPECT_TRUE(catalogue->Records().empty()) << "scan folders differing in case are one folder";

    // A folder 17 that exists (another process's scan) is never taken over: the numbering
    // passes it.
    const std::string other = RunFolder("17");
    test::WriteFileBytes(fs::path(other) / "Fast_0_20261281512", {1});
    for (int i = 0; i < 17; ++i) catalogue->NewRunFolder();
    EXPECT_EQ(catalogue->FolderCounter(), 18u);
    EXPECT_TRUE(fs::exists(fs::path(other) / "Fast_0_20261281512"));
    const std::string eighteen = (Store() / "18").string() + "/";
    catalogue->TakeBackRunNumber(eighteen);
    EXPECT_EQ(catalogue->FolderCounter(), 17u);
    EXPECT_FALSE(fs::exists(eighteen)) << "the empty folder given back goes";
    // Once a later folder was handed out, an earlier one's number is not given back:
    // that would hand the later folder out twice.
    catalogue->NewRunFolder();
    catalogue->NewRunFolder();
    catalogue->TakeBackRunNumber(eighteen);
    EXPECT_EQ(catalogue->FolderCounter(), 19u);
}

TEST_F(CatalogueTest, NothingOutsideTheStoreIsEverDeleted) {
    const fs::path precious = dir_ / "precious";
    fs::create_directories(precious);
    test::WriteFileBytes(precious / "keep.txt", {1});
    // A damaged catalogue naming a folder outside the store, and the store itself.
    ScanCatalogueRecord record;
    record.diskIndex = 1;
    record.scanFolder = precious.string() + "/";
    ScanCatalogueRecord storeItself = record;
    storeItself.diskIndex = 2;
    storeItself.scanFolder = Store().string() + "/";
    fs::create_directories(Store());
    test::WriteFileBytes(Store() / "config", ScanCatalogue::Serialize(3, {record, storeItself}));
    auto catalogue = Open(7);
    ScanCatalogueRecord out;
    EXPECT_FALSE(catalogue->FindForVolume(1, 0, 0, "", out));
    EXPECT_FALSE(catalogue->FindForVolume(2, 0, 0, "", out));
    catalogue->DiscardRunFolder(Store().string() + "/../precious/");
    EXPECT_TRUE(fs::exists(precious / "keep.txt"));
    EXPECT_TRUE(fs::exists(Store() / "config"));
}

TEST(CatalogueFile, DamagedFilesAreReadAsFarAsTheyAreSound) {
    std::vector<ScanCatalogueRecord> records(2);
    records[0].scanFolder = "/a/1/";
    records[1].imagePath = "/img/b.img";
    auto bytes = ScanCatalogue::Serialize(42, records);
    // An unterminated path field: 260 units of "x" with no NUL.
    for (size_t i = 0; i < 260; ++i) {
        bytes[8 + 600 + 2 * i] = 'x';
        bytes[8 + 601 + 2 * i] = 0;
    }
    bytes.resize(bytes.size() - 5);  // odd length, the second record cut short
    uint64_t counter = 0;
    std::vector<ScanCatalogueRecord> parsed;
    ScanCatalogue::Parse(bytes, counter, parsed);
    EXPECT_EQ(counter, 42u);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].scanFolder, std::string(260, 'x'));
    parsed.clear();
    ScanCatalogue::Parse({1, 2, 3}, counter, parsed);
    EXPECT_EQ(counter, 0u);
    EXPECT_TRUE(parsed.empty());
}

TEST_F(CatalogueTest, PathsThatDoNotFitAreRefused) {
    auto catalogue = Open();
    EXPECT_EQ(catalogue->Store("", 0, 0, 1, {}, std::string(300, 'a'), {}), kErrFilenameTooLong);
    EXPECT_TRUE(catalogue->Records().empty());
}

}  // namespace
}  // namespace kestrune
