// Scans of different sources, one after another and at the same moment, in separate
// processes: each keeps its own folder, none is lost to another, and `scans` lists them.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

std::string FolderOf(const CliRun& run) {
    const std::string mark = "scan folder: ";
    const size_t at = run.output.find(mark);
    if (at == std::string::npos) return {};
    return run.output.substr(at + mark.size(), run.output.find('\n', at) - at - mark.size());
}

// The "N files found" a scan printed, and what `list FOLDER` lists, must agree.
void ExpectListed(const CliRun& scan, const std::string& name) {
    const std::string folder = FolderOf(scan);
    ASSERT_FALSE(folder.empty()) << scan.output;
    const size_t found = std::stoul(scan.output.substr(0, scan.output.find(' ')));
    const CliRun list = RunCli("list --json '" + folder + "'");
    ASSERT_EQ(list.exitCode, kExitOk) << name << ": " << list.output;
    size_t listed = 0;
    for (size_t at = 0; (at = list.output.find("{\"", at)) != std::string::npos; ++at)
        if (at == 0 || list.output[at - 1] == '\n') ++listed;
    EXPECT_EQ(listed, found)
        << name << " in " << folder << " was lost or mixed with another scan";
}

TEST(ConcurrentScans, ScansOfTwoSourcesKeepTheirOwnFoldersOneAfterAnotherAndAtOnce) {
    test::TempDir dir;
    // A store of this test's own: `scans` lists what this test scanned, nothing else.
    const ScopedDataHome store(dir / "data");
    const auto a = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const auto b = test::UnpackFixture("fat/fat16.img.gz", dir.path());

    const CliRun first = RunCli("scan " + a.string()), second = RunCli("scan " + b.string());
    ASSERT_EQ(first.exitCode, kExitOk);
    ASSERT_NE(FolderOf(first), FolderOf(second));
    ExpectListed(first, "a");
    ExpectListed(second, "b");

    for (int trial = 0; trial < 6; ++trial) {
        const std::string mode = trial % 2 ? " --mode formatted --restart " : " ";
        auto one = std::async(std::launch::async, [&] { return RunCli("scan" + mode + a.string()); });
        auto two = std::async(std::launch::async, [&] { return RunCli("scan" + mode + b.string()); });
        const CliRun x = one.get(), y = two.get();
        ASSERT_EQ(x.exitCode, kExitOk) << x.output;
        ASSERT_EQ(y.exitCode, kExitOk) << y.output;
        EXPECT_NE(FolderOf(x), FolderOf(y)) << "trial " << trial;
        ExpectListed(x, "a");
        ExpectListed(y, "b");
    }
    // The newest quick scan of each source replaced the older ones; both are listed.
    const CliRun scans = RunCli("scans");
    EXPECT_NE(scans.output.find(a.string() + "\tquick"), std::string::npos) << scans.output;
    EXPECT_NE(scans.output.find(b.string() + "\tquick"), std::string::npos) << scans.output;
    size_t quickLines = 0;
    for (size_t at = 0; (at = scans.output.find("\tquick\t", at)) != std::string::npos; ++at) ++quickLines;
    EXPECT_EQ(quickLines, 2u) << scans.output;
}

}  // namespace
}  // namespace kestrune::cli
