// Recoveries that are killed, run again, or raced by someone swapping folders: no file
// ever looks whole when it is not, nothing is written twice, nothing of an earlier run is
// touched, and a report is never written through a planted link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Every file below folder (relative path -> sha256), links and all.
std::map<std::string, std::string> TreeHashes(const fs::path& folder) {
    std::map<std::string, std::string> hashes;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path relative = it->path().lexically_relative(folder);
        if (it->is_symlink()) hashes[relative.string()] = "link";
        else if (it->is_regular_file()) hashes[relative.string()] = test::Sha256Hex(test::ReadFileBytes(it->path()));
    }
    return hashes;
}

// Starts `kestrune recover --to out image` and kills it after delay.
void RecoverKilledAfter(const fs::path& image, const fs::path& out, std::chrono::microseconds delay) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(KESTRUNE_CLI_PATH, "kestrune", "recover", "--to", out.c_str(), image.c_str(), nullptr);
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

std::string Unexpected(const std::map<std::string, std::string>& got, const std::map<std::string, std::string>& want) {
    std::string text;
    for (const auto& [name, hash] : got) {
        const auto it = want.find(name);
        if (it == want.end()) text += "extra: " + name + "\n";
        else if (it->second != hash) text += "different: " + name + "\n";
    }
    for (const auto& [name, hash] : want)
        if (!got.count(name)) text += "missing: " + name + "\n";
    return text;
}

TEST(InterruptedRecovery, AKilledRecoveryLeavesNoCutFileAndTheNextRunEndsItWithoutCopies) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("fat/camera.img.gz", dir.path());
    const fs::path reference = dir / "reference";
    const auto started = Clock::now();
    ASSERT_EQ(RunCli("recover --to " + reference.string() + " " + image.string()).exitCode, kExitOk);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    const std::map<std::string, std::string> wanted = TreeHashes(reference);
    ASSERT_GE(wanted.size(), 300u);

    std::mt19937 random(20261208);
    int cut = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const fs::path out = dir / ("out" + std::to_string(trial));
        // Killed anywhere from the scan to the last file; twice for some, as a user
        // pressing the power button again would.
        const int kills = trial % 3 == 0 ? 2 : 1;
        for (int k = 0; k < kills; ++k)
            RecoverKilledAfter(image, out, std::chrono::microseconds(random() % (whole.count() + 1)));
        // What the kill left: every file under a real name is whole.
        for (const auto& [name, hash] : TreeHashes(out)) {
            if (name.find(".kestrune-") != std::string::npos) {
                ++cut;
                continue;
            }
            ASSERT_TRUE(wanted.count(name)) << "trial " << trial << ": " << name;
            ASSERT_EQ(wanted.at(name), hash) << "trial " << trial << ": " << name << " looks whole but is not";
        }
        const CliRun again = RunCli("recover --to " + out.string() + " " + image.string());
        EXPECT_EQ(again.exitCode, kExitOk) << again.output;
        EXPECT_EQ(Unexpected(TreeHashes(out), wanted), "") << "trial " << trial << "\n" << again.output;
    }
    std::printf("kills that left a work file behind: %d of 12 trials\n", cut);
}

TEST(InterruptedRecovery, ARunAgainSkipsWhatIsThereAndSaysSoAndAPartialIsReplacedOnceWhole) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const fs::path out = dir / "out";
    ASSERT_EQ(RunCli("recover --to " + out.string() + " " + image.string()).exitCode, kExitOk);
    const auto first = TreeHashes(out);
    fs::remove(out / "document" / "small.txt");
    const CliRun again = RunCli("recover --to " + out.string() + " " + image.string());
    EXPECT_EQ(again.exitCode, kExitOk);
    EXPECT_NE(again.output.find("15 of them were already there"), std::string::npos) << again.output;
    EXPECT_EQ(TreeHashes(out), first) << "the missing file is written again, nothing twice";

    // A file changed since it was recovered is the user's: left alone, a new copy beside it.
    test::WriteFileBytes(out / "document" / "top.txt", {'m', 'i', 'n', 'e'});
    EXPECT_EQ(RunCli("recover --to " + out.string() + " " + image.string()).exitCode, kExitOk);
    EXPECT_EQ(test::ReadFileBytes(out / "document" / "top.txt"), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(test::Sha256Hex(test::ReadFileBytes(out / "document" / "top(1).txt")), first.at("document/top.txt"));
}

TEST(InterruptedRecovery, AFolderSwappedForALinkMidwayNeitherRedirectsNorTouchesEarlierFiles) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("fat/camera.img.gz", dir.path());
    const fs::path out = dir / "out", elsewhere = dir / "elsewhere", aside = dir / "aside";
    ASSERT_EQ(RunCli("recover --to " + out.string() + " --ext jpg " + image.string()).exitCode, kExitOk);
    const auto earlier = TreeHashes(out / "photo");
    ASSERT_GE(earlier.size(), 30u);
    // A second recovery of the same files into a fresh journal: every name is taken.
    fs::create_directories(elsewhere);
    std::optional<ScopedDataHome> freshJournal(dir / "data");

    // Someone with the right to the folder swaps it for a link and back, over and over.
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (!stop && Clock::now() < until) {
            std::error_code ec;
            fs::rename(out / "photo", aside, ec);
            if (ec) continue;
            fs::create_directory_symlink(elsewhere, out / "photo", ec);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            fs::remove(out / "photo", ec);
            fs::rename(aside, out / "photo", ec);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    const CliRun run = RunCli("recover --to " + out.string() + " --ext jpg " + image.string());
    stop = true;
    swapper.join();
    freshJournal.reset();

    EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing written through the link";
    // The earlier files are where the swapper last left their folder: the recovery may
    // have made a new "photo" while the old one was moved aside.
    auto after = TreeHashes(out / "photo");
    after.merge(TreeHashes(aside));
    for (const auto& [name, hash] : earlier) {
        ASSERT_TRUE(after.count(name)) << name << " of the earlier run was renamed or removed\n" << run.output;
        EXPECT_EQ(after.at(name), hash) << name;
    }
    for (const auto& [name, hash] : after) {
        EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
        EXPECT_EQ(name.find(".kestrune-"), std::string::npos) << name;
    }
}

TEST(ReportSafety, APlantedPartialLinkBesideTheReportIsNeverWrittenThrough) {
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const fs::path report = dir / "report.xml", victim = dir / "victim.txt";
    test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});
    fs::create_symlink(victim, report.string() + ".partial");
    fs::create_symlink(victim, dir / ".report.xml.00000000");
    const CliRun run =
        RunCli("recover --report " + report.string() + " --to " + (dir / "out").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitOk) << run.output;
    EXPECT_EQ(test::ReadFileBytes(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::is_symlink(report));
    EXPECT_GT(fs::file_size(report), 1000u);
    // A link at the report's own name is replaced by the report, its target untouched.
    fs::remove(report);
    fs::create_symlink(victim, report);
    EXPECT_EQ(RunCli("recover --report " + report.string() + " --to " + (dir / "out2").string() + " " +
                     image.string())
                  .exitCode,
              kExitOk);
    EXPECT_EQ(test::ReadFileBytes(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::is_symlink(report));
}

}  // namespace
}  // namespace kestrune::cli
