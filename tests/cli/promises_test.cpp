// What the README promises a user of the command, checked as the user meets it: Ctrl-C
// ends with 130, every JSON finding carries the keys the README names, and a dry run into
// a folder without room says so and exits 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// Whether the process has set its own SIGINT handler yet: a Ctrl-C during the program's
// start, before it has anything to stop, ends it by the signal as it should.
bool CatchesInterrupts(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
    return false;
}

TEST(Promises, CtrlCStopsAScanWithExitStatus130) {
    test::TempDir dir;
    // Four sparse gigabytes of no file system: the deep pass reads and carves every sector.
    const fs::path image = dir / "blank.img";
    fs::resize_file((test::WriteFileBytes(image, {}), image), 4ULL << 30);
    // Later and later, until a Ctrl-C lands while the deep pass still runs.
    bool landed = false;
    for (int delayMs = 30; delayMs <= 960 && !landed; delayMs *= 2) {
        const pid_t child = ::fork();
        if (child == 0) {
            const int devNull = ::open("/dev/null", O_RDWR);
            for (int fd : {0, 1, 2}) ::dup2(devNull, fd);
            ::execl(KESTRUNE_CLI_PATH, "kestrune", "scan", "--mode", "deep", "--restart", image.c_str(), nullptr);
            ::_exit(127);
        }
        int status = 0;
        bool ended = false;
        for (int waited = 0; waited < 10000 && !CatchesInterrupts(child); waited += 5) {
            if ((ended = ::waitpid(child, &status, WNOHANG) == child)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (ended) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (::waitpid(child, &status, WNOHANG) == child) break;  // ended before any Ctrl-C
        ::kill(child, SIGINT);
        ::waitpid(child, &status, 0);
        // The pass may have ended just as the signal came; otherwise it says it was stopped.
        ASSERT_TRUE(WIFEXITED(status)) << "a Ctrl-C ends the program by itself, not by the signal";
        if (WEXITSTATUS(status) == kExitOk) continue;
        EXPECT_EQ(WEXITSTATUS(status), 130);
        landed = true;
    }
    if (!landed) GTEST_SKIP() << "every deep pass ended before its Ctrl-C";
}

TEST(Promises, EveryJsonFindingCarriesTheKeysTheReadmeNames) {
    test::TempDir dir;
    // A volume's files (quick scan), and a document on a medium no file system names
    // any more (deep scan, carved).
    const fs::path volume = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const fs::path blank = dir / "blank.img";
    const std::vector<uint8_t> letter = test::CarveFixture("letter.pdf");
    std::vector<uint8_t> bytes(1 << 20, 0);
    std::copy(letter.begin(), letter.end(), bytes.begin() + 64 * 512);
    test::WriteFileBytes(blank, bytes);
    CliRun run = RunCli("scan --json " + volume.string() + " 2>/dev/null");
    ASSERT_EQ(run.exitCode, kExitOk) << run.output;
    const CliRun carving = RunCli("scan --mode deep --restart --json " + blank.string() + " 2>/dev/null");
    ASSERT_EQ(carving.exitCode, kExitOk) << carving.output;
    run.output += carving.output;
    ASSERT_EQ(run.exitCode, kExitOk) << run.output;
    std::istringstream lines(run.output);
    size_t found = 0, carved = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        const auto finding = nlohmann::json::parse(line);
        for (const char* key : {"recordId", "name", "folder", "size", "engine", "foundBy", "contentOk", "recoverable",
                                "layoutGuessed", "firstLetterGuessed", "encrypted", "isFolder", "created", "modified",
                                "accessed", "entrySector", "fsId", "sizeClipped"})
            EXPECT_TRUE(finding.contains(key)) << key << " missing in " << line;
        if (finding["foundBy"] == "carved") {
            ++carved;
            EXPECT_TRUE(finding.contains("endConfirmed") && finding["endConfirmed"].is_boolean()) << line;
        }
        ++found;
    }
    EXPECT_GE(found, 16u);
    EXPECT_GE(carved, 1u) << "the deep pass carves what the file system no longer names";
}

TEST(Promises, ADryRunIntoAFolderWithoutRoomSaysSoAndExits1) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    test::TempDir dir;
    const fs::path image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const SmallMount small(dir / "small", "size=64k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
    const CliRun run = RunCli("recover --dry-run --to " + (dir / "small" / "out").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
    EXPECT_NE(run.output.find("NOT ENOUGH ROOM"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(dir / "small" / "out")) << "a dry run writes nothing";
}

}  // namespace
}  // namespace kestrune::cli
