// A formatted or deep pass stopped anywhere, by a kill or by the user, and resumed finds
// what an uninterrupted pass finds: every file with its folder, size and place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "engines/engine_factory.h"
#include "engines/professional_recovery.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<CProfessionalRecovery> OpenPass(const fs::path& image) {
    auto engine = EngineFactory::CreateEngineForImage(image, 1001, 1);
    auto* pass = dynamic_cast<CProfessionalRecovery*>(engine.get());
    EXPECT_NE(pass, nullptr);
    engine.release();
    return std::unique_ptr<CProfessionalRecovery>(pass);
}

// The sector where a found file's data begins, as the user would find it on the medium.
uint64_t DataStart(CProfessionalRecovery& pass, const ScanRecord& r) {
    switch (r.engineKind) {
        case FatFormatted:
        case FatQuick:
        case ExfatFormatted: {
            const uint64_t spc = r.clusterBytes ? r.clusterBytes / 512 : 1;
            return r.fsId >= 2 ? r.partitionStart + r.dataAreaSector + (r.fsId - 2) * spc : 0;
        }
        case NtfsFormatted: return pass.NtfsEngine().DataStartSector(r);
        default: return r.entrySector;
    }
}

// Every file the pass presents: folder, name, size, where its data and entry lie.
std::multiset<std::string> Findings(CProfessionalRecovery& pass) {
    std::vector<ScanRecord> found;
    pass.SearchByExtension(KnownExtensionText() + "|*.other", found);
    std::multiset<std::string> findings;
    for (const ScanRecord& r : found) {
        std::string folder;
        pass.GetRecordPath(r, folder);
        findings.insert(std::to_string(r.engineKind) + " " + folder + std::string(RecordName(r)) + " size " +
                        std::to_string(r.fileSize) + " at " + std::to_string(DataStart(pass, r)) + " entry " +
                        std::to_string(r.entrySector));
    }
    return findings;
}

size_t InFolders(const std::multiset<std::string>& findings) {
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(), [](const std::string& f) {
        return f.find('/') != std::string::npos;
    }));
}

// The files of the former volume's Docs/Reports folder that the file-system engines
// found so far are shown in that folder, not at the top level.
void ExpectFilesInTheirFolders(const std::multiset<std::string>& findings) {
    for (const std::string& finding : findings) {
        const bool fileSystem = finding.rfind("2 ", 0) == 0 || finding.rfind("3 ", 0) == 0;
        if (!fileSystem) continue;
        if (finding.find("numbers.bin") != std::string::npos || finding.find("summary.docx") != std::string::npos) {
            EXPECT_NE(finding.find("Docs/Reports/"), std::string::npos) << finding;
        }
    }
}

// Stops the pass at its n-th progress report, whatever reports it: the quick scan, the
// pass, or a length rule measuring a file.
struct StopPlan {
    int calls = 0;
    int stopAt = 0;  // 0: never
    bool kill = false;
    CancelToken cancel;

    Reporter StopAtCall() {
        return {[this](const RunProgress&) {
                    if (++calls != stopAt) return;
                    if (kill) ::raise(SIGKILL);
                    cancel.Cancel();
                },
                &cancel};
    }
};

// The catalogue the child wrote, read again as a new run of the program would.
void ReloadCatalogue() { ScanCatalogue::Instance() = ScanCatalogue(ScanCatalogue::Instance().Folder()); }

// Runs a pass in a child process that is killed outright at its n-th progress report,
// taking up the stored pass unless asked for a new one. True when the kill came before
// the pass ended.
bool KilledPass(const fs::path& image, int stopAt, bool fresh) {
    const pid_t child = ::fork();
    if (child == 0) {
        StopPlan plan{0, stopAt, true};
        auto pass = OpenPass(image);
        if (fresh) pass->DeclineStoredPass();
        pass->SetCheckpointInterval(0);
        pass->SetReporter(plan.StopAtCall());
        pass->Scan(nullptr);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ReloadCatalogue();
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Ends with the pass run to its end (resuming what is stored) and returns its findings.
std::multiset<std::string> FinishPass(const fs::path& image) {
    auto pass = OpenPass(image);
    EXPECT_EQ(pass->Scan(nullptr), kOk);
    return Findings(*pass);
}

// An area holding a former volume and, after it, files only the carver finds; without a
// volume, an area of carved files only, every 128 KiB, which the deep pass reads whole.
fs::path AreaWithCarvedFiles(const test::TempDir& dir, const std::string& fixture, const std::string& name) {
    if (fixture.empty()) {
        std::vector<uint8_t> area(8u << 20, 0);
        const char* files[] = {"photo.jpg", "letter.docx", "image.png", "letter.pdf", "tone.wav"};
        for (size_t at = 64 * 1024, i = 0; at + 128 * 1024 < area.size(); at += 128 * 1024, ++i) {
            const auto file = test::CarveFixture(files[i % 5]);
            if (file.size() < 120 * 1024) std::copy(file.begin(), file.end(), area.begin() + static_cast<long>(at));
        }
        test::WriteFileBytes(dir / name, area);
        return dir / name;
    }
    auto bytes = test::ReadFileBytes(test::UnpackFixture(fixture, dir.path()));
    for (const char* file : {"photo.jpg", "letter.docx", "image.png", "letter.pdf", "files.zip", "tone.wav"}) {
        auto carved = test::CarveFixture(file);
        carved.resize((carved.size() + 511) / 512 * 512 + 4096, 0);
        bytes.insert(bytes.end(), carved.begin(), carved.end());
    }
    const fs::path image = dir / name;
    test::WriteFileBytes(image, bytes);
    return image;
}

struct Uninterrupted {
    std::multiset<std::string> findings;
    int progressCalls = 0;
};

Uninterrupted RunWhole(const test::TempDir& dir, const fs::path& image) {
    const fs::path copy = dir / ("whole-" + image.filename().string());
    fs::copy_file(image, copy);
    Uninterrupted whole;
    StopPlan count;
    auto pass = OpenPass(copy);
    pass->SetCheckpointInterval(0);
    pass->SetReporter(count.StopAtCall());
    EXPECT_EQ(pass->Scan(nullptr), kOk);
    whole.findings = Findings(*pass);
    whole.progressCalls = count.calls;
    return whole;
}

void ExpectSame(const std::multiset<std::string>& expected, const std::multiset<std::string>& found,
                const std::string& how) {
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(), std::back_inserter(missing));
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << how << ": lost or moved " << testing::PrintToString(missing) << ", gained " << testing::PrintToString(extra);
}

class ResumedPass : public testing::TestWithParam<const char*> {
protected:
    // The pass checkpoints after every block here, and each checkpoint waits for the
    // disk: the logs go to a memory file system where there is one.
    void SetUp() override {
        if (fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0) {
            memoryStore_ = fs::path("/dev/shm") / ("kestrune-resume-" + std::to_string(::getpid()));
            saved_ = std::make_unique<ScanCatalogue>(ScanCatalogue::Instance());
            ScanCatalogue::Instance() = ScanCatalogue(memoryStore_);
        }
    }
    void TearDown() override {
        if (!saved_) return;
        ScanCatalogue::Instance() = *saved_;
        std::error_code ec;
        fs::remove_all(memoryStore_, ec);
    }

private:
    fs::path memoryStore_;
    std::unique_ptr<ScanCatalogue> saved_;
};

TEST_P(ResumedPass, KilledOutrightAnywhereItFindsWhatAWholePassFinds) {
    test::TempDir dir;
    const fs::path image = AreaWithCarvedFiles(dir, GetParam(), "area.img");
    const Uninterrupted whole = RunWhole(dir, image);
    if (*GetParam()) {
        ASSERT_GE(InFolders(whole.findings), 4u) << "the former volume's folders are found";
    }
    ASSERT_GT(whole.findings.size(), 6u);
    ASSERT_GT(whole.progressCalls, 20);
    constexpr int kPoints = 12;
    for (int point = 1; point <= kPoints; ++point) {
        const int stopAt = whole.progressCalls * point / (kPoints + 1);
        ASSERT_TRUE(KilledPass(image, stopAt, true)) << stopAt;
        {
            // The logs left by the kill, read as they are, already show files in folders.
            auto stored = OpenPass(image);
            ASSERT_TRUE(stored->HasStoredPass());
            ASSERT_EQ(stored->OpenStoredLogs(), kOk);
            ExpectFilesInTheirFolders(Findings(*stored));
        }
        ExpectSame(whole.findings, FinishPass(image), "killed at report " + std::to_string(stopAt));
    }
}

TEST_P(ResumedPass, KilledAgainAndAgainItStillLosesNothing) {
    test::TempDir dir;
    const fs::path image = AreaWithCarvedFiles(dir, GetParam(), "area.img");
    const Uninterrupted whole = RunWhole(dir, image);
    // Each run is killed a little later into its own work than the last: most of the
    // pass is done by runs that were taken up from a checkpoint.
    int runs = 1;
    while (KilledPass(image, runs * whole.progressCalls / 10, runs == 1)) ++runs;
    EXPECT_GT(runs, 3);
    ExpectSame(whole.findings, FinishPass(image), "killed " + std::to_string(runs) + " times");
}

TEST_P(ResumedPass, StoppedByTheUserAnywhereItLosesNoFile) {
    test::TempDir dir;
    const fs::path image = AreaWithCarvedFiles(dir, GetParam(), "area.img");
    const Uninterrupted whole = RunWhole(dir, image);
    // Many points, so that some stops come while a carved file's length is measured.
    constexpr int kPoints = 40;
    for (int point = 1; point <= kPoints; ++point) {
        StopPlan plan{0, whole.progressCalls * point / (kPoints + 1), false};
        {
            auto pass = OpenPass(image);
            pass->DeclineStoredPass();
            pass->SetReporter(plan.StopAtCall());
            ASSERT_EQ(pass->Scan(nullptr), CancelCode);
            // What was found so far is shown with its folders before any resume.
            ExpectFilesInTheirFolders(Findings(*pass));
        }
        ExpectSame(whole.findings, FinishPass(image), "stopped at report " + std::to_string(plan.stopAt));
    }
}

INSTANTIATE_TEST_SUITE_P(Areas, ResumedPass,
                         testing::Values("formatted/fat.img.gz", "formatted/ntfs.img.gz", "exfat/reformatted_fat.img.gz",
                                         "partitioned/gpt_wiped.img.gz", ""),
                         [](const testing::TestParamInfo<const char*>& info) {
                             const std::string fixture = info.param;
                             if (fixture.empty()) return "CarvedOnly";
                             if (fixture.starts_with("exfat/")) return "FormerExfat";
                             if (fixture.starts_with("partitioned/")) return "LostVolumes";
                             return fixture.find("fat") != std::string::npos ? "FormerFat" : "FormerNtfs";
                         });

}  // namespace
}  // namespace kestrune
