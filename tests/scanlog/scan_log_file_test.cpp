#include "scanlog/scan_log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
    const auto bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

ScanRecord& AddFile(ScanLogFile& log, const std::string& name, uint32_t fsId, uint32_t parentFsId,
                    uint32_t parentLevel, uint32_t contentOk = 1) {
    ScanRecord& r = log.AppendRecord();
    r.fsId = fsId;
    r.contentOk = contentOk;
    SetRecordName(r, name);
    log.LinkRecord(parentFsId, parentLevel, r.recordId, fsId, nullptr);
    return r;
}

ScanRecord& AddFolder(ScanLogFile& log, const std::string& name, uint32_t fsId, uint32_t parentFsId,
                      uint32_t parentLevel) {
    ScanRecord& r = log.AppendRecord();
    r.fsId = fsId;
    r.isFolder = 1;
    r.contentOk = 1;
    SetRecordName(r, name);
    log.LinkRecord(parentFsId, parentLevel, r.recordId, fsId, &name);
    return r;
}

TEST(ScanLogFile, WritesTheThreeFilesByteForByte) {
    test::TempDir dir;
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path() / "17", "Fast_0_201612514 7"), kOk);
    ScanRecord& a = AddFile(log, "a.txt", 40, 5, 0);
    a.driveLetter = 1001;
    a.fileSize = 0x0102030405060708ULL;
    a.entrySector = 77;
    AddFolder(log, "Dir", 37, 5, 0);
    AddFile(log, "b.jpg", 41, 37, 1);
    ASSERT_EQ(log.Flush(), kOk);

    const fs::path folder = dir.path() / "17";
    EXPECT_EQ(ReadText(folder / "Fast_0_201612514 7_Relation"), " | 5 - [1,2] | 4294967333 - [3]");
    const auto main = test::ReadFileBytes(folder / "Fast_0_201612514 7");
    ASSERT_EQ(main.size(), 3 * kScanRecordBytes);
    EXPECT_EQ(main[0], 0xE9);  // 1001
    EXPECT_EQ(main[1], 0x03);
    EXPECT_EQ(Le32(main, 18), 1u);
    EXPECT_EQ(Le32(main, 22), 40u);
    EXPECT_EQ(main[54], 0x08);
    EXPECT_EQ(main[61], 0x01);
    EXPECT_EQ(main[70], 77);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&main[86])), "a.txt");
    EXPECT_EQ(Le32(main, kScanRecordBytes + 6), 1u) << "record 2 is a folder";
    EXPECT_EQ(Le32(main, 2 * kScanRecordBytes + 18), 3u);

    const auto dirInfo = test::ReadFileBytes(folder / "Fast_0_201612514 7_DirInfo");
    ASSERT_EQ(dirInfo.size(), kFolderInfoBytes);
    EXPECT_EQ(Le32(dirInfo, 0), 37u);
    EXPECT_EQ(Le32(dirInfo, 4), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&dirInfo[8])), "Dir");
}

TEST(ScanLogFile, AppendsGoOutInBatchesOfTwoHundred) {
    test::TempDir dir;
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
    for (int i = 0; i < 200; ++i) AddFile(log, "f" + std::to_string(i), 100 + i, 5, 0);
    EXPECT_EQ(fs::file_size(log.MainPath()), 0u);
    AddFile(log, "f200", 300, 5, 0);
    EXPECT_EQ(fs::file_size(log.MainPath()), 200 * kScanRecordBytes) << "the 201st append wrote 200";
    ScanRecord record;
    ASSERT_EQ(log.ReadRecord(201, record), kOk) << "a buffered record can be read";
    EXPECT_EQ(RecordName(record), "f200");
    ASSERT_EQ(log.Flush(), kOk);
    EXPECT_EQ(fs::file_size(log.MainPath()), 201 * kScanRecordBytes);
}

TEST(ScanLogFile, ReopenedLogsContinueTheirNumbering) {
    test::TempDir dir;
    {
        ScanLogFile log;
        ASSERT_EQ(log.OpenLog(dir.path(), "Pro_Fat_0_x"), kOk);
        AddFolder(log, "Top", 9, 2, 0);
        for (int i = 0; i < 349; ++i) AddFile(log, "f" + std::to_string(i) + ".doc", 100 + i, 9, 1);
    }  // closing flushes
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Pro_Fat_0_x"), kOk);
    EXPECT_EQ(log.RecordCount(), 350u);
    EXPECT_EQ(log.Links().size(), 2u);
    ASSERT_EQ(log.Folders().size(), 1u);
    ScanRecord& next = AddFile(log, "new.doc", 999, 9, 1);
    EXPECT_EQ(uint32_t{next.recordId}, 351u);
    ASSERT_EQ(log.Flush(), kOk);
    const auto main = test::ReadFileBytes(log.MainPath());
    ASSERT_EQ(main.size(), 351 * kScanRecordBytes);
    EXPECT_EQ(Le32(main, 121100 + 18), 351u) << "record 351 starts at byte 121,100";
    int count = 0;
    ASSERT_EQ(log.CountFilesUnderKey(0, count), kOk);
    EXPECT_EQ(count, 350);
}

TEST(ScanLogFile, TruncatingForgetsLaterRecordsTheirLinksAndFolders) {
    test::TempDir dir;
    {
        ScanLogFile log;
        ASSERT_EQ(log.OpenLog(dir.path(), "Pro_Fat_0_x"), kOk);
        AddFolder(log, "Kept", 9, 2, 0);
        AddFile(log, "a.doc", 100, 9, 1);
        ASSERT_EQ(log.Sync(), kOk);
        AddFolder(log, "Late", 10, 2, 0);   // record 3: after the checkpoint
        AddFile(log, "b.doc", 101, 9, 1);   // record 4: in a kept folder
        AddFile(log, "c.doc", 102, 10, 1);  // record 5: in a dropped folder
        ASSERT_EQ(log.TruncateTo(2), kOk);
        EXPECT_EQ(log.RecordCount(), 2u);
        ScanRecord& again = AddFile(log, "d.doc", 103, 9, 1);
        EXPECT_EQ(uint32_t{again.recordId}, 3u) << "numbering continues from the kept records";
    }
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Pro_Fat_0_x"), kOk);
    EXPECT_EQ(log.RecordCount(), 3u);
    ASSERT_EQ(log.Folders().size(), 1u) << "the folder made after the checkpoint is gone from the folder file";
    int count = 0;
    ASSERT_EQ(log.CountFilesUnderKey(0, count), kOk);
    EXPECT_EQ(count, 2) << "a.doc and d.doc";
    EXPECT_EQ(test::ReadFileBytes(log.MainPath()).size(), 3 * kScanRecordBytes);
}

TEST(ScanLogFile, ListingHidesOverwrittenPhotosButCountingDoesNot) {
    test::TempDir dir;
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
    AddFile(log, "zeta.JPG", 10, 5, 0, 0);
    AddFile(log, "report.doc", 11, 5, 0, 0);
    AddFolder(log, "Alpha", 12, 5, 0);
    AddFile(log, "beta.png", 13, 5, 0);
    AddFile(log, "Alpha.txt", 14, 5, 0);
    AddFile(log, "inner.gif", 15, 12, 1, 0);
    std::vector<ScanRecord> listed;
    ASSERT_EQ(log.ListUnderKey(MakeParentKey(0, 5), listed), kOk);
    std::vector<std::string> names;
    for (const auto& r : listed) names.emplace_back(RecordName(r));
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha.txt", "beta.png", "report.doc", "Alpha"}));
    listed.clear();
    ASSERT_EQ(log.ListUnderKey(0, listed), kOk) << "0 stands for the top level";
    EXPECT_EQ(listed.size(), 4u);
    int count = 0;
    ASSERT_EQ(log.CountFilesUnderKey(MakeParentKey(0, 5), count), kOk);
    EXPECT_EQ(count, 5);
    listed.clear();
    EXPECT_EQ(log.ListUnderKey(MakeParentKey(3, 3), listed), kOk);
    EXPECT_TRUE(listed.empty());
}

TEST(ScanLogFile, RecordPathsClimbTheFoldersAndStopOnLoops) {
    test::TempDir dir;
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
    const ScanRecord top = AddFile(log, "top.txt", 20, 5, 0);
    AddFolder(log, "A", 30, 5, 0);
    AddFolder(log, "B", 31, 30, 1);
    const ScanRecord deep = AddFile(log, "deep.txt", 21, 31, 2);
    std::string path;
    ASSERT_EQ(log.GetRecordPath(deep, path), kOk);
    EXPECT_EQ(path, "A/B/");
    ASSERT_EQ(log.GetRecordPath(top, path), kOk);
    EXPECT_EQ(path, "");
    std::vector<ScanRecord> ancestors;
    ASSERT_EQ(log.CollectAncestors(top, ancestors), kOk);
    EXPECT_TRUE(ancestors.empty());

    // A FAT folder whose lost first letter nothing told shows "!" and is written as "_";
    // a real "!" (told by its long name's checksum) stays on disk too.
    auto addFatFolder = [&log](const std::string& name, uint32_t fsId, uint32_t parentFsId, uint32_t parentLevel,
                               uint32_t folderDeleted) {
        ScanRecord& r = log.AppendRecord();
        r.fsId = fsId;
        r.isFolder = 1;
        r.engineKind = FatQuick;
        r.folderDeleted = folderDeleted;
        SetRecordName(r, name);
        log.LinkRecord(parentFsId, parentLevel, r.recordId, fsId, &name);
    };
    addFatFolder("!ATA", 32, 5, 0, 1 | kFirstLetterLost);
    addFatFolder("!saved", 33, 32, 1, 1);
    const ScanRecord inLost = AddFile(log, "x.txt", 22, 33, 2);
    ASSERT_EQ(log.GetRecordPath(inLost, path), kOk);
    EXPECT_EQ(path, "!ATA/!saved/");
    ASSERT_EQ(log.GetRecordPath(inLost, path, PathUse::OnDisk), kOk);
    EXPECT_EQ(path, "_ATA/!saved/");

    // Three folders that name each other as parents, below an ordinary top level.
    AddFile(log, "anchor", 1, 2, 0);
    const ScanRecord x = AddFolder(log, "X", 50, 52, 4);
    AddFolder(log, "Y", 51, 50, 5);
    AddFolder(log, "Z", 52, 51, 6);
    const ScanRecord looped = AddFile(log, "in-loop.txt", 60, 52, 7);
    ASSERT_EQ(log.GetRecordPath(looped, path), kOk);
    EXPECT_EQ(path, "X/Y/Z/");
    (void)x;
}

TEST(ScanLogFile, FoldersMissingFromTheFolderFileAreFoundInTheMainFile) {
    test::TempDir dir;
    {
        ScanLogFile log;
        ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
        AddFile(log, "root.txt", 20, 5, 0);
        AddFolder(log, "Kept", 30, 5, 0);
        AddFile(log, "child.txt", 21, 30, 1);
    }
    fs::remove(dir / "Fast_0_x_DirInfo");
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
    ScanRecord child;
    ASSERT_EQ(log.ReadRecord(3, child), kOk);
    std::string path;
    ASSERT_EQ(log.GetRecordPath(child, path), kOk);
    EXPECT_EQ(path, "Kept/");
    ScanRecord folder;
    EXPECT_EQ(log.FindFolderRecord(30, folder), kOk);
    EXPECT_EQ(log.FindFolderRecord(31, folder), kErrInvalidParameter);
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(log_.OpenLog(dir_.path(), "File_Type_0_x"), kOk);
        AddFile(log_, "a.JPG", 1, 0, 0);
        AddFile(log_, "b.jpg", 2, 0, 0, 0);  // overwritten photo: never found
        AddFile(log_, "c.doc", 3, 0, 0, 0);  // overwritten document: still found
        AddFile(log_, "d.xyz", 4, 0, 0);
        AddFile(log_, "noext", 5, 0, 0);
        AddFile(log_, "e.jp", 6, 0, 0);
        AddFolder(log_, "f.jpg", 7, 0, 0);
    }
    std::vector<std::string> Search(std::string_view pattern) {
        std::vector<ScanRecord> found;
        EXPECT_EQ(log_.SearchLog(pattern, found), kOk);
        std::vector<std::string> names;
        for (const auto& r : found) names.emplace_back(RecordName(r));
        return names;
    }
    test::TempDir dir_;
    ScanLogFile log_;
};

TEST_F(SearchTest, MatchesByContainedExtension) {
    EXPECT_EQ(Search("*.jpg|*.png"), (std::vector<std::string>{"a.JPG", "e.jp"}));
    EXPECT_EQ(Search("*.doc"), (std::vector<std::string>{"c.doc"}));
    EXPECT_EQ(Search("*.mp3|*.other"), (std::vector<std::string>{"d.xyz", "noext"}));
}

TEST_F(SearchTest, ACountTakesTheFilesASearchGivesThatTheCallerKeeps) {
    uint64_t count = 0;
    EXPECT_EQ(log_.CountMatches("*.jpg|*.png|*.other", [](const ScanRecord&) { return true; }, count), kOk);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(log_.CountMatches("*.jpg|*.other", [](const ScanRecord& r) { return r.fsId != 4; }, count), kOk);
    EXPECT_EQ(count, 3u);
}

TEST_F(SearchTest, FilesOfNoKnownTypeAreLeftOutOfHugeLogs) {
    ASSERT_EQ(log_.Flush(), kOk);
    // Grow the main file to 128 MiB with a hole: the records there read as empty ones.
    ASSERT_EQ(::truncate(log_.MainPath().c_str(), kOtherSearchLimitBytes), 0);
    EXPECT_EQ(Search("*.mp3|*.other"), std::vector<std::string>{});
    EXPECT_EQ(Search("*.jpg|*.other"), (std::vector<std::string>{"a.JPG", "e.jp"}));
}

TEST_F(SearchTest, ProgressIsReportedAndACancelIsPassedBack) {
    for (int i = 0; i < 1000; ++i) AddFile(log_, "many" + std::to_string(i) + ".jpg", 100 + i, 0, 0);
    std::vector<int> percents;
    CancelToken cancel;
    log_.SetSearchReporter({[&](const RunProgress& progress) {
                                EXPECT_EQ(progress.stage, RunStage::Searching);
                                percents.push_back(progress.percent);
                                if (progress.percent >= 50) cancel.Cancel();
                            },
                            &cancel});
    std::vector<ScanRecord> found;
    EXPECT_EQ(log_.SearchLog("*.jpg", found), CancelCode);
    ASSERT_FALSE(percents.empty());
    EXPECT_GE(percents.back(), 50);
    EXPECT_LT(found.size(), 1000u);
}

TEST(ScanLogFile, AFailedWriteIsReportedByTheNextFlush) {
    test::TempDir dir;
    // Every write to /dev/full fails with "no space left", as on a full disk.
    fs::create_symlink("/dev/full", dir / "Fast_0_full");
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_full"), kOk);
    for (int i = 0; i < 201; ++i) AddFile(log, "f" + std::to_string(i), 10 + i, 5, 0);
    EXPECT_EQ(log.Flush(), kErrDiskFull) << "200 records were lost and must not be hidden";
    EXPECT_EQ(log.Flush(), kErrDiskFull) << "the log stays incomplete";
}

TEST(ScanLogFile, DamagedSideFilesAreReadAsFarAsTheyAreSound) {
    test::TempDir dir;
    {
        ScanLogFile log;
        ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
        for (int i = 0; i < 3; ++i) AddFile(log, "f" + std::to_string(i), 10 + i, 5, 0);
        AddFolder(log, "D", 30, 5, 0);
    }
    // Relation text with a reference past the main file, garbage and a missing "]".
    std::ofstream(dir / "Fast_0_x_Relation") << " | 5 - [1,2,9999,3,4] | junk - [x] | 18446744073709551616 - [1] | 7 - [1,2";
    std::ofstream(dir / "Fast_0_x_DirInfo", std::ios::app) << "partial";  // odd length
    std::ofstream(dir / "Fast_0_x", std::ios::app) << "tail";              // not a multiple of 346
    ScanLogFile log;
    ASSERT_EQ(log.OpenLog(dir.path(), "Fast_0_x"), kOk);
    EXPECT_EQ(log.RecordCount(), 4u);
    EXPECT_EQ(log.Folders().size(), 1u);
    std::vector<ScanRecord> listed;
    EXPECT_EQ(log.ListUnderKey(MakeParentKey(0, 5), listed), kErrInvalidParameter);
    EXPECT_EQ(listed.size(), 2u) << "the records before the bad reference are kept";
    EXPECT_EQ(log.Links().at(7), (std::vector<uint32_t>{1}));
    ScanRecord& next = log.AppendRecord();
    EXPECT_EQ(uint32_t{next.recordId}, 5u) << "the partial tail is overwritten";
}

TEST(ScanRecord, NamesAreCutAtACharacterBoundaryAndReadWithoutANul) {
    ScanRecord record{};
    std::string longName(258, 'a');
    longName += "\xC3\xA9\xC3\xA9";  // two two-byte characters at the end
    SetRecordName(record, longName);
    EXPECT_EQ(RecordName(record).size(), 258u + 0) << "the first character that does not fit goes";
    std::memset(record.name, 'x', sizeof record.name);
    EXPECT_EQ(RecordName(record).size(), kRecordNameBytes);
}

}  // namespace
}  // namespace kestrune
