// The DFXML report of a scan and of a recovery, read back as a forensic tool reads it:
// well-formed, and each written file's byte runs, read from the source, give the bytes
// of the recovered copy, whatever found the file (a volume's records of deleted files,
// a former volume's, or its signature alone). A report that cannot be written whole is
// not left behind.
#include <gtest/gtest.h>

#include <cstdio>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

bool WellFormed(const fs::path& report) {
    return std::system(("xmllint --noout '" + report.string() + "' 2>/dev/null").c_str()) == 0;
}

// "files N exact M" from the checker, or {-1, -1} when it found a file whose runs give
// other bytes than the copy (its message is in problem).
std::pair<int, int> ReadBack(const fs::path& source, const fs::path& report, std::string& problem) {
    const std::string command = "/usr/bin/python3 " + std::string(KESTRUNE_CHECK_DFXML) + " '" + source.string() +
                                "' '" + report.string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {-1, -1};
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) problem.append(buffer, n);
    const int status = ::pclose(pipe);
    const size_t at = problem.rfind("files ");
    int files = -1, exact = -1;
    if (status != 0 || at == std::string::npos ||
        std::sscanf(problem.c_str() + at, "files %d exact %d", &files, &exact) != 2)
        return {-1, -1};
    return {files, exact};
}

struct Case {
    const char* fixture;
    const char* mode;
    int files;     // files found and reported
    int exact;     // of them, files whose runs read back give their bytes (not kept in records)
    int exitCode;  // 1 where a file could be written only in part
};

class RecoveryReport : public ::testing::TestWithParam<Case> {};

TEST_P(RecoveryReport, EveryWrittenFilesRunsGiveItsBytes) {
    const Case c = GetParam();
    test::TempDir dir;
    const fs::path image = test::UnpackFixture(std::string(c.fixture) + ".img.gz", dir.path());
    const fs::path report = dir / "report.xml";
    const CliRun run = RunCli(std::string("recover --mode ") + c.mode + " --report " + report.string() + " --to " +
                              (dir / "out").string() + " " + image.string());
    ASSERT_EQ(run.exitCode, c.exitCode) << run.output;
    ASSERT_TRUE(WellFormed(report)) << run.output;
    std::string problem;
    const auto [files, exact] = ReadBack(image, report, problem);
    EXPECT_EQ(files, c.files) << problem;
    EXPECT_EQ(exact, c.exact) << problem;

    // The stored scan's own report lists the same files.
    const fs::path listed = dir / "scan.xml";
    const std::string command = std::string(KESTRUNE_CLI_PATH) + " report > '" + listed.string() + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(WellFormed(listed));
    std::string again;
    EXPECT_EQ(ReadBack(image, listed, again).first, files) << again;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RecoveryReport,
                         // ext4: one file kept in its inode; NTFS: five kept in their records;
                         // the holes card: a deleted document whose free clusters end before
                         // its size does, and 34 whose clusters the photos written after them
                         // took, written in part; the reformatted card: the text of a clip no
                         // entry names any more, carved.
                         ::testing::Values(Case{"ext/ext4", "quick", 30, 29, kExitOk},
                                           Case{"fat/holes", "quick", 120, 85, kExitSomeFailed},
                                           Case{"ntfs/deleted", "quick", 16, 11, kExitOk},
                                           Case{"exfat/reformatted", "formatted", 68, 68, kExitOk},
                                           Case{"fat/fat16", "deep", 13, 13, kExitOk}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.fixture) + "_" + info.param.mode;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST(RecoveryReportFailures, AReportThatDoesNotFitIsNotLeftBehind) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("fat/holes.img.gz", dir.path());
    SmallMount full(dir / "full", "size=8k");
    if (!full.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
    const fs::path report = dir / "full" / "report.xml";
    const CliRun run = RunCli("recover --report " + report.string() + " --to " + (dir / "out").string() + " " +
                              image.string());
    EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
    EXPECT_NE(run.output.find("the report could not be written to " + report.string()), std::string::npos)
        << run.output;
    EXPECT_FALSE(fs::exists(report));
    EXPECT_FALSE(fs::exists(report.string() + ".partial"));
}

}  // namespace
}  // namespace kestrune::cli
