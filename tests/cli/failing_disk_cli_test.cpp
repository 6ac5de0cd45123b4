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

using Areas = std::vector<std::pair<uint64_t, uint64_t>>;

class ServedDisk {
public:
    // log: where nbdkit notes every read that reaches the disk (none when empty).
    ServedDisk(const fs::path& folder, const std::vector<uint8_t>& bytes, int delayMs, const Areas& bad = kBad,
               const fs::path& log = {})
        : mount_(folder / "served") {
        if (::geteuid() != 0 || !fs::exists("/dev/fuse") ||
            std::system("command -v nbdfuse > /dev/null && command -v nbdkit > /dev/null") != 0)
            return;
        test::WriteFileBytes(folder / "disk.img", bytes);
        // nbdkit's ddrescue filter fails every read outside the map's rescued blocks.
        std::ofstream map(folder / "bad.map");
        map << "0x0 +\n";
        uint64_t at = 0;
        char line[80];
        for (const auto& [pos, size] : bad) {
            std::snprintf(line, sizeof line, "0x%lx 0x%lx +\n0x%lx 0x%lx -\n", at, pos - at, pos, size);
            map << line;
            at = pos + size;
        }
        std::snprintf(line, sizeof line, "0x%lx 0x%lx +\n", at, bytes.size() - at);
        map << line;
        map.close();
        fs::create_directories(mount_);
        // Filters first, then the plugin and every parameter.
        // The log filter outermost, so that it sees the reads the ddrescue filter fails too.
        const std::string serve = "nbdfuse '" + mount_.string() + "' --command nbdkit -s" +
                                  (log.empty() ? "" : " --filter=log") + " --filter=ddrescue" +
                                  (delayMs ? " --filter=delay" : "") + " file '" + (folder / "disk.img").string() +
                                  "' ddrescue-mapfile='" + (folder / "bad.map").string() + "'" +
                                  (delayMs ? " delay-read=" + std::to_string(delayMs) + "ms" : "") +
                                  (log.empty() ? "" : " logfile='" + log.string() + "'") + " > /dev/null 2>&1 &";
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

// How many reads that reached the disk (as nbdkit's log filter noted them) touched [pos, end).
int ReadsOf(const fs::path& log, uint64_t pos, uint64_t end) {
    std::ifstream in(log);
    std::string line;
    int reads = 0;
    while (std::getline(in, line)) {
        const size_t at = line.find(" Read ");
        if (at == std::string::npos) continue;
        const size_t offset = line.find("offset=", at), count = line.find("count=", at);
        if (offset == std::string::npos || count == std::string::npos) continue;
        const uint64_t from = std::stoull(line.substr(offset + 7), nullptr, 16);
        const uint64_t length = std::stoull(line.substr(count + 6), nullptr, 16);
        if (from < end && pos < from + length) ++reads;
    }
    return reads;
}

// A 4 KiB block of a deleted 20,000-byte file on an NTFS volume does not read.
TEST(FailingDisk, AFileIsRecoveredAroundItsBadSectorsAndTheDiskIsNotAskedForThemOverAndOver) {
    test::TempDir dir;
    const auto bytes = test::ReadFileBytes(test::UnpackFixture("ntfs/deleted.img.gz", dir.path()));
    // numbers.bin lies whole from byte 10,506,240 of the volume.
    constexpr uint64_t kFile = 10506240, kBadPos = kFile + 4096, kSize = 20000;
    ServedDisk disk(dir.path(), bytes, 0, {{kBadPos, 4096}}, dir / "reads.log");
    if (!disk.served()) GTEST_SKIP() << "needs root, FUSE, nbdkit and nbdfuse";
    for (const char* mode : {"quick", "deep"}) {
        SCOPED_TRACE(mode);
        const fs::path out = dir / (std::string("out-") + mode);
        std::ofstream(dir / "reads.log", std::ios::trunc).close();
        const CliRun run = RunCli(std::string("recover --json --restart --mode ") + mode + " --report '" +
                                  (dir / "report.xml").string() + "' --to '" + out.string() + "' '" +
                                  disk.file().string() + "'");
        EXPECT_EQ(run.exitCode, kExitSomeFailed) << run.output;
        EXPECT_NE(run.output.find("\"name\":\"numbers.bin\",\"size\":20000,\"outcome\":\"partial\""), std::string::npos)
            << run.output;
        EXPECT_NE(run.output.find("\"unreadable\":[{\"fileOffset\":4096,\"length\":4096}]"), std::string::npos)
            << run.output;
        // Whole-size, its bytes where they read, zeros in the bad block.
        const auto partial = test::ReadFileBytes(out / "others" / "numbers.partial.bin");
        ASSERT_EQ(partial.size(), kSize);
        auto expected = std::vector<uint8_t>(bytes.begin() + kFile, bytes.begin() + kFile + kSize);
        std::fill_n(expected.begin() + 4096, 4096, 0);
        EXPECT_TRUE(partial == expected);
        EXPECT_FALSE(fs::exists(out / "others" / "numbers.bin"));
        std::ifstream report(dir / "report.xml");
        const std::string xml((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
        EXPECT_NE(xml.find("<kestrune:byte_range file_offset=\"4096\" len=\"4096\"/>"), std::string::npos);
        EXPECT_NE(xml.find("<kestrune:recoverable>79</kestrune:recoverable>"), std::string::npos);
        // The scan, the checks of each file and the recovery all read the disk, and each met
        // the bad block: it was asked for in one large read and then once alone. The kernel
        // below FUSE tries each failed read once more a page at a time, hence four.
        const int reads = ReadsOf(dir / "reads.log", kBadPos, kBadPos + 4096);
        EXPECT_GE(reads, 1);
        EXPECT_LE(reads, 4);
    }
}

}  // namespace
}  // namespace kestrune::cli
