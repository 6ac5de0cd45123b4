// A failing disk as a user meets one: a file served by nbdkit through nbdfuse, whose reads
// fail where a ddrescue map given to nbdkit's ddrescue filter says the disk is bad, and
// are slowed by its delay filter. Copied with image --skip-bad, it gives every good byte,
// zeros where it is bad, and a map ddrescuelog reads; stopped part-way, --resume finishes
// it. Needs root, FUSE, nbdkit and nbdfuse; skipped otherwise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDiskBytes = 4u << 20;
// Bad areas on whole pages: FUSE reads the served file a page at a time.
const std::vector<std::pair<uint64_t, uint64_t>> kBad = {{0x32000, 0x1000}, {0x200000, 0x10000}};

class ServedDisk {
public:
    ServedDisk(const fs::path& folder, const std::vector<uint8_t>& bytes, int delayMs) : mount_(folder / "served") {
        if (::geteuid() != 0 || !fs::exists("/dev/fuse") ||
            std::system("command -v nbdfuse > /dev/null && command -v nbdkit > /dev/null") != 0)
            return;
        test::WriteFileBytes(folder / "disk.img", bytes);
        // nbdkit's ddrescue filter fails every read outside the map's rescued blocks.
        std::ofstream map(folder / "bad.map");
        map << "0x0 +\n";
        uint64_t at = 0;
        char line[80];
        for (const auto& [pos, size] : kBad) {
            std::snprintf(line, sizeof line, "0x%lx 0x%lx +\n0x%lx 0x%lx -\n", at, pos - at, pos, size);
            map << line;
            at = pos + size;
        }
        std::snprintf(line, sizeof line, "0x%lx 0x%lx +\n", at, kDiskBytes - at);
        map << line;
        map.close();
        fs::create_directories(mount_);
        // Filters first, then the plugin and every parameter.
        const std::string serve = "nbdfuse '" + mount_.string() + "' --command nbdkit -s --filter=ddrescue" +
                                  (delayMs ? " --filter=delay" : "") + " file '" + (folder / "disk.img").string() +
                                  "' ddrescue-mapfile='" + (folder / "bad.map").string() + "'" +
                                  (delayMs ? " delay-read=" + std::to_string(delayMs) + "ms" : "") + " > /dev/null 2>&1 &";
        if (std::system(serve.c_str()) != 0) return;
        for (int i = 0; i < 100 && !fs::exists(mount_ / "nbd"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        served_ = fs::exists(mount_ / "nbd");
    }
    ~ServedDisk() {
        if (fs::exists(mount_)) std::system(("fusermount3 -u '" + mount_.string() + "' 2>/dev/null").c_str());
    }
    bool served() const { return served_; }
    fs::path file() const { return mount_ / "nbd"; }

private:
    fs::path mount_;
    bool served_ = false;
};

void ExpectRescued(const fs::path& image, const std::vector<uint8_t>& bytes) {
    auto expected = bytes;
    for (const auto& [pos, size] : kBad) std::fill_n(expected.begin() + static_cast<long>(pos), size, 0);
    EXPECT_TRUE(test::ReadFileBytes(image) == expected);
    const std::string check = "ddrescuelog -t '" + image.string() + ".map' 2>&1";
    FILE* pipe = ::popen(check.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    ::pclose(pipe);
    if (text.find("not found") != std::string::npos) return;  // no ddrescuelog here
    EXPECT_NE(text.find("bad-sector:    69632 B,  in      2 area(s)"), std::string::npos) << text;
}

TEST(FailingDisk, EveryGoodByteIsCopiedAndTheBadAreasAreMapped) {
    test::TempDir dir;
    const auto bytes = test::PatternBytes(kDiskBytes);
    ServedDisk disk(dir.path(), bytes, 0);
    if (!disk.served()) GTEST_SKIP() << "needs root, FUSE, nbdkit and nbdfuse";
    const CliRun run = RunCli("image --skip-bad '" + disk.file().string() + "' '" + (dir / "copy.img").string() + "'");
    EXPECT_EQ(run.exitCode, kExitOk) << run.output;
    EXPECT_NE(run.output.find("2 unreadable ranges"), std::string::npos) << run.output;
    ExpectRescued(dir / "copy.img", bytes);
}

TEST(FailingDisk, ACopyStoppedPartWayIsFinishedWithResume) {
    test::TempDir dir;
    const auto bytes = test::PatternBytes(kDiskBytes);
    ServedDisk disk(dir.path(), bytes, 20);
    if (!disk.served()) GTEST_SKIP() << "needs root, FUSE, nbdkit and nbdfuse";
    const std::string copy = "'" + disk.file().string() + "' '" + (dir / "copy.img").string() + "'";
    // Stopped as a user stops it, with Ctrl-C, after half a second of slow reads.
    const CliRun stopped = RunCli("image --skip-bad " + copy + " 2>&1 & sleep 0.5; kill -INT $!; wait $!");
    (void)stopped;
    ASSERT_TRUE(fs::exists(dir / "copy.img.map"));
    const CliRun resumed = RunCli("image --resume " + copy);
    EXPECT_EQ(resumed.exitCode, kExitOk) << resumed.output;
    ExpectRescued(dir / "copy.img", bytes);
}

}  // namespace
}  // namespace kestrune::cli
