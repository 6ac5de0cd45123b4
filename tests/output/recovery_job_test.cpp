#include "output/recovery_job.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "base/result_codes.h"
#include "disk/text_encoding.h"
#include "scanlog/file_types.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// An engine that answers everything but Recover with nothing; tests give Recover a script.
class StubEngine : public IFileRecoveryParse {
public:
    int OpenImage(const fs::path&, uint16_t) override { return 0; }
    int OpenDisk(int, uint64_t, uint64_t, uint16_t) override { return 0; }
    void SetRunFolder(const std::string&) override {}
    void SetReporter(Reporter) override {}
    void SetCopyProgress(CopyProgress progress) override { copyProgress_ = std::move(progress); }
    int Scan(const std::string*) override { return 0; }
    int ListChildren(const ScanRecord*, int, std::vector<ScanRecord>&) override { return 0; }
    int CountFiles(const ScanRecord*, int, int&) override { return 0; }
    uint64_t GetRecordCount() override { return 0; }
    int GetRecordPath(const ScanRecord&, std::string&) override { return 0; }
    int NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
    int SearchByExtension(std::string_view, std::vector<ScanRecord>&) override { return 0; }
    int BuildAllocationMap() override { return 1; }
    int ExtractForPreview(const ScanRecord*, std::string&, std::span<uint8_t>, uint32_t&,
                          const CopyProgress&) override {
        return 0;
    }

protected:
    CopyProgress copyProgress_;
    // What the copy progress tells an engine: go on (0) or stop (CancelCode).
    int Copied(int percent) const { return !copyProgress_ || copyProgress_(percent, kOk) ? 0 : CancelCode; }
};

// Writes the record's name into the target, fails for names starting "fail", throws for
// names starting "throw", and cancels at "stop".
class ScriptedEngine final : public StubEngine {
public:
    int Recover(const ScanRecord& record, const fs::path& target, int) override {
        const std::string name(RecordName(record));
        if (name.rfind("throw", 0) == 0) throw std::runtime_error("damaged");
        if (name.rfind("fail", 0) == 0) return kErrReadFault;
        if (name.rfind("stop", 0) == 0) return Copied(50);
        fs::create_directories(target.parent_path());
        std::ofstream(target) << name;
        return Copied(100);
    }
};

ScanRecord Named(const std::string& name, uint16_t letter = 7) {
    ScanRecord r{};
    r.driveLetter = letter;
    SetRecordName(r, name);
    r.fileSize = RecordName(r).size();  // what the scripted engine writes
    return r;
}

TEST(RecoveryJob, FilesGoIntoTypeFoldersWithUniqueNames) {
    test::TempDir dir;
    ScriptedEngine engine;
    RecoveryJob job(dir / "out", [&](uint16_t letter) { return letter == 7 ? &engine : nullptr; });
    ASSERT_EQ(job.Run({Named("a.jpg"), Named("a.jpg"), Named("a.jpg"), Named("README"), Named("clip.rm"),
                       Named("fail.doc"), Named("throw.txt"), Named("lost.png", 9)}),
              kOk);
    EXPECT_TRUE(fs::exists(dir / "out" / "photo" / "a.jpg"));
    EXPECT_TRUE(fs::exists(dir / "out" / "photo" / "a(1).jpg"));
    EXPECT_TRUE(fs::exists(dir / "out" / "photo" / "a(2).jpg"));
    EXPECT_TRUE(fs::exists(dir / "out" / "others" / "README"));
    EXPECT_TRUE(fs::exists(dir / "out" / "audio" / "clip.rm"));
    EXPECT_EQ(job.processed(), 8u);
    EXPECT_EQ(job.failed(), 3u) << "a failure, a fault, and a source no longer open";
    EXPECT_EQ(job.results()[5].status, ResultText(kErrReadFault));
    EXPECT_EQ(job.results()[0].status, "Success");
}

TEST(RecoveryJob, NamesFromTheMediumNeverLeaveTheDestination) {
    test::TempDir dir;
    ScriptedEngine engine;
    RecoveryJob job(dir / "out", [&](uint16_t) { return &engine; });
    const std::vector<std::string> hostile = {"../escape.txt", "a/b.txt", ".", "..", "", "/etc/passwd",
                                              "con\x01trol.txt", std::string(300, 'n') + ".jpg"};
    std::vector<ScanRecord> records;
    for (const auto& name : hostile) records.push_back(Named(name));
    ASSERT_EQ(job.Run(records), kOk);
    EXPECT_EQ(job.failed(), 0u);
    for (const RecoveredFile& file : job.results()) {
        const fs::path relative = fs::relative(file.target, dir / "out");
        EXPECT_NE(*relative.begin(), "..") << file.target;
        EXPECT_EQ(std::distance(relative.begin(), relative.end()), 2) << file.target;
        EXPECT_LE(file.target.filename().string().size(), 255u);
    }
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "nothing beside the destination folder";
    EXPECT_EQ(SafeFileName(".."), "__");
    EXPECT_EQ(SafeFileName("a/b"), "a_b");
    EXPECT_EQ(SafeFileName(""), "unnamed");
    // Every control character goes, the last below the space and DEL too; the space stays.
    EXPECT_EQ(SafeFileName("a\x1f\x7f b"), "a__ b");
    const std::string longName = SafeFileName(std::string(300, 'x') + ".jpeg");
    EXPECT_EQ(longName.size(), 255u);
    EXPECT_EQ(longName.substr(longName.size() - 5), ".jpeg") << "the extension survives the cut";
}

// Folders from the medium, kept: each becomes one safe component below the destination,
// whatever its name; names that are the same once made safe get numbers; carved files,
// found in no folder, go to their type's folder.
TEST(RecoveryJob, KeptFoldersNeverLeaveTheDestinationAndCollidingNamesStayApart) {
    test::TempDir dir;
    ScriptedEngine engine;
    RecoveryJob job(dir / "out", [&](uint16_t) { return &engine; });
    const std::map<std::string, std::string> folders = {{"one.txt", "DCIM/100CANON/"}, {"two.txt", "../../etc/"},
                                                        {"a\x01" "b.txt", "Docs/"}, {"a_b.txt", "Docs/"},
                                                        {"dots.txt", "./../."}, {"carved.jpg", "Ignored/"}};
    job.KeepOriginalFolders([&](const ScanRecord& r) { return folders.at(std::string(RecordName(r))); });
    std::vector<ScanRecord> records;
    for (const auto& [name, folder] : folders) records.push_back(Named(name));
    for (ScanRecord& r : records) r.engineKind = RecordName(r) == "carved.jpg" ? Signature : FatQuick;
    ASSERT_EQ(job.Run(records), kOk);
    EXPECT_EQ(job.failed(), 0u);
    std::set<std::string> written;
    for (const RecoveredFile& file : job.results()) {
        const fs::path relative = fs::relative(file.target, dir / "out");
        EXPECT_NE(*relative.begin(), "..") << file.target;
        written.insert(relative.string());
    }
    EXPECT_TRUE(written.count("DCIM/100CANON/one.txt"));
    EXPECT_TRUE(written.count("__/__/etc/two.txt"));
    EXPECT_TRUE(written.count("Docs/a_b.txt") && written.count("Docs/a_b(1).txt")) << "both kept";
    EXPECT_TRUE(written.count("_/__/_/dots.txt"));
    EXPECT_TRUE(written.count("photo/carved.jpg"));
}

bool ValidUtf8(const std::string& text) {
    return Utf8ToUtf16(text).find(u'\uFFFD') == std::u16string::npos;
}

TEST(RecoveryJob, LongNamesAreCutWholeKeepTheirExtensionAndTheirNumberedTwins) {
    // 100 three-byte characters: a cut anywhere but a character boundary breaks UTF-8.
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "写";
    for (const std::string& name : {wide + ".txt", "x" + wide + ".jpeg", wide + wide}) {
        const std::string safe = SafeFileName(name);
        EXPECT_LE(safe.size(), 255u);
        EXPECT_TRUE(ValidUtf8(safe)) << safe;
        EXPECT_EQ(ExtensionOf(safe), ExtensionOf(name).size() < 31 ? ExtensionOf(name) : ExtensionOf(safe));
    }
    EXPECT_EQ(FitFileName("a.jpg", "(12)", 255), "a(12).jpg");
    EXPECT_EQ(FitFileName(std::string(253, 'n') + ".jpg", ".partial", 255),
              std::string(243, 'n') + ".partial.jpg");

    // Two files with the same 254-byte name: the second's "(1)" must still fit.
    test::TempDir dir;
    ScriptedEngine engine;
    RecoveryJob job(dir / "out", [&](uint16_t) { return &engine; });
    const std::string twin = std::string(250, 't') + ".jpg";
    ASSERT_EQ(job.Run({Named(twin), Named(twin), Named(twin)}), kOk);
    EXPECT_EQ(job.failed(), 0u);
    std::set<fs::path> targets;
    for (const RecoveredFile& file : job.results()) {
        EXPECT_LE(file.target.filename().string().size(), 255u);
        EXPECT_EQ(file.target.extension(), ".jpg");
        targets.insert(file.target);
    }
    EXPECT_EQ(targets.size(), 3u);
}

TEST(RecoveryJob, FailedFilesAreRemovedOrKeptOnlyUnderAPartialName) {
    test::TempDir dir;
    // Writes half of the data, then fails, as a full disk or a bad sector would.
    class HalfEngine final : public StubEngine {
    public:
        int Recover(const ScanRecord& record, const fs::path& target, int) override {
            fs::create_directories(target.parent_path());
            std::ofstream(target) << (RecordName(record)[0] == 'e' ? "" : "half");
            return kErrDiskFull;
        }
    } engine;
    RecoveryJob job(dir / "out", [&](uint16_t) { return &engine; });
    ASSERT_EQ(job.Run({Named("half.jpg"), Named("half.jpg"), Named("empty.jpg")}), kOk);
    EXPECT_EQ(job.failed(), 3u);
    EXPECT_EQ(job.partial(), 2u);
    EXPECT_TRUE(fs::exists(dir / "out" / "photo" / "half.partial.jpg"));
    EXPECT_TRUE(fs::exists(dir / "out" / "photo" / "half.partial(1).jpg"));
    EXPECT_FALSE(fs::exists(dir / "out" / "photo" / "half.jpg"));
    EXPECT_FALSE(fs::exists(dir / "out" / "photo" / "empty.jpg")) << "an empty failed file is removed";
    EXPECT_NE(job.results()[0].status.find("half.partial.jpg"), std::string::npos) << job.results()[0].status;

    EXPECT_EQ(SafeFileName("a:b*c?\"<>|\\.txt", NameRules::Windows), "a_b_c______.txt");
    EXPECT_EQ(SafeFileName("a:b.txt"), "a:b.txt") << "Linux file systems take it";
}

TEST(RecoveryJob, ACancelStopsTheJob) {
    test::TempDir dir;
    ScriptedEngine engine;
    RecoveryJob job(dir / "out", [&](uint16_t) { return &engine; });
    job.onProgress = [&job](int) { job.Cancel(); };
    EXPECT_EQ(job.Run({Named("stop.jpg"), Named("after.jpg")}), CancelCode);
    EXPECT_FALSE(fs::exists(dir / "out" / "photo" / "after.jpg"));
    EXPECT_EQ(PathDepth("/a/b/"), 2);
    EXPECT_EQ(PathDepth("/a/b"), 2);
}

}  // namespace
}  // namespace kestrune
