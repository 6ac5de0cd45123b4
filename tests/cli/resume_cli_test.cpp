// The command line's formatted and deep scans, stopped with Ctrl-C or killed outright at
// many moments and then run again, end with every file of an uninterrupted scan, in the
// same folder, of the same size, at the same place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string RunScan(const std::string& arguments) {
    std::string output;
    FILE* pipe = ::popen((std::string(KESTRUNE_CLI_PATH) + " " + arguments + " 2>/dev/null </dev/null").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

// Every file a scan printed as JSON: engine, folder, name, size, entry and first cluster.
std::multiset<std::string> Findings(const std::string& output) {
    std::multiset<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto r = nlohmann::json::parse(line, nullptr, false);
        if (r.is_discarded() || !r.is_object() || !r.contains("name") || r.value("isFolder", false)) continue;
        found.insert(r.value("engine", std::string()) + " " + r.value("folder", std::string()) + "/" +
                     r.value("name", std::string()) + " size " + std::to_string(r.value("size", uint64_t{0})) +
                     " entry " + std::to_string(r.value("entrySector", uint64_t{0})) + " cluster " +
                     std::to_string(r.value("fsId", uint64_t{0})));
    }
    return found;
}

// Starts kestrune and sends it the signal after the delay (if it still runs by then).
void RunAndSignal(const std::vector<std::string>& arguments, std::chrono::microseconds delay, int signal) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2}) ::dup2(devNull, fd);
        std::vector<char*> argv{const_cast<char*>(KESTRUNE_CLI_PATH)};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(KESTRUNE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
}

// Logs on a memory file system while the test runs: the pass checkpoints after every
// block, and each checkpoint would otherwise wait for the disk.
class MemoryStore {
public:
    MemoryStore() : saved_(std::getenv("KESTRUNE_DATA_HOME") ? std::getenv("KESTRUNE_DATA_HOME") : "") {
        const bool shm = fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0;
        folder_ = (shm ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                  ("kestrune-cli-resume-" + std::to_string(::getpid()));
        ::setenv("KESTRUNE_DATA_HOME", folder_.c_str(), 1);
        ::setenv("KESTRUNE_CHECKPOINT_SECONDS", "0", 1);
    }
    ~MemoryStore() {
        ::setenv("KESTRUNE_DATA_HOME", saved_.c_str(), 1);
        ::unsetenv("KESTRUNE_CHECKPOINT_SECONDS");
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

private:
    std::string saved_;
    fs::path folder_;
};

TEST(StoppedScan, EveryModeAndStopResumesToTheFilesOfAnUninterruptedScan) {
    test::TempDir dir;
    MemoryStore store;
    for (const std::string fixture : {"formatted/fat.img.gz", "formatted/ntfs.img.gz"}) {
        const fs::path image = test::UnpackFixture(fixture, dir.path());
        const fs::path copy = dir / "whole.img";
        fs::copy_file(image, copy, fs::copy_options::overwrite_existing);
        const auto began = Clock::now();
        const auto expected = Findings(RunScan("scan --mode formatted --json " + copy.string()));
        const auto wholeTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began);
        size_t inFolders = 0;
        for (const auto& f : expected) inFolders += f.find("Docs/") != std::string::npos;
        ASSERT_GE(inFolders, 4u) << fixture;

        for (const char* mode : {"formatted", "deep"}) {
            for (int signal : {SIGINT, SIGKILL}) {
                // A new copy of the image: the pass stored for the last one is stale.
                fs::remove(image);
                test::UnpackFixture(fixture, dir.path());
                // Stops spread over the length of a whole scan; each run takes up the
                // pass the last one stored.
                for (int point = 1; point <= 5; ++point)
                    RunAndSignal({"scan", "--mode", mode, image.string()}, wholeTime * point / 6, signal);
                const auto found = Findings(RunScan("scan --json --mode " + std::string(mode) + " " + image.string()));
                std::vector<std::string> missing, extra;
                std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(),
                                    std::back_inserter(missing));
                std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                                    std::back_inserter(extra));
                EXPECT_TRUE(missing.empty() && extra.empty())
                    << fixture << " " << mode << " signal " << signal << ": lost or moved "
                    << testing::PrintToString(missing) << ", gained " << testing::PrintToString(extra);
            }
        }
    }
}

}  // namespace
}  // namespace kestrune
