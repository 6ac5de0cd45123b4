// Destinations that are the source in disguise: a folder on the mount of the very image
// being read (through a loop device, a partition of one, or a FUSE mount of the file), and
// destinations that cannot be made, which must say why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// A mount made by command on at, unmounted in every case.
class Mount {
public:
    Mount(const std::string& command, fs::path at) : at_(std::move(at)) {
        fs::create_directories(at_);
        mounted_ = Mounted(command + " '" + at_.string() + "'");
    }
    ~Mount() {
        if (mounted_) std::system(("umount '" + at_.string() + "' 2>/dev/null").c_str());
    }
    bool mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

void ExpectRefused(const std::string& arguments, const fs::path& neverMade) {
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.exitCode, kExitUsage) << arguments << "\n" << run.output;
    EXPECT_NE(run.output.find("being recovered from"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(neverMade)) << "nothing is made on the source, not even the folder";
}

TEST(DestinationOnSource, AFolderOnAMountOfTheImageBeingReadIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to attach and mount loop devices";
    test::TempDir dir;
    const auto image = test::UnpackFixture("ext/ext4.img.gz", dir.path());
    test::LoopDevice loop(image, false);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device";
    const Mount mount("mount -t ext4 " + loop.device(), dir / "mnt");
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount ext4 here";

    // The image file itself is read while its loop device is mounted.
    ExpectRefused("recover --to " + (dir / "mnt" / "rec").string() + " " + image.string(), dir / "mnt" / "rec");
    ExpectRefused("recover --dry-run --to " + (dir / "mnt" / "rec").string() + " " + image.string(),
                  dir / "mnt" / "rec");
    // The loop device is read, by another name than the mount's.
    ExpectRefused("recover --to " + (dir / "mnt" / "rec").string() + " " + loop.device(), dir / "mnt" / "rec");
    const CliRun copy = RunCli("image " + image.string() + " " + (dir / "mnt" / "copy.img").string());
    EXPECT_EQ(copy.exitCode, kExitUsage) << copy.output;
    EXPECT_FALSE(fs::exists(dir / "mnt" / "copy.img"));
}

TEST(DestinationOnSource, ALoopDeviceOverAPartitionAndAFuseMountOfTheFileAreTheSourceToo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to attach and mount loop devices";
    test::TempDir dir;
    // The NTFS partition of a partitioned image, attached at its offset and mounted by
    // ntfs-3g (a FUSE mount whose device number sysfs does not know).
    const auto partitioned = test::UnpackFixture("partitioned/mbr.img.gz", dir.path());
    test::LoopDevice loop(partitioned, false, 83968 * 512);
    const std::string device = loop.device();
    if (device.empty()) GTEST_SKIP() << "no loop device";
    {
        const Mount mount("ntfs-3g " + device, dir / "part");
        EXPECT_TRUE(mount.mounted()) << "the fixture's NTFS partition mounts";
        if (mount.mounted())
            ExpectRefused("recover --to " + (dir / "part" / "rec").string() + " " + partitioned.string(),
                          dir / "part" / "rec");
    }
    loop.Detach();

    // ntfs-3g mounts an image file without any loop device.
    const auto ntfs = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const Mount fuse("ntfs-3g '" + ntfs.string() + "'", dir / "fuse");
    if (!fuse.mounted()) GTEST_SKIP() << "cannot mount NTFS through ntfs-3g here";
    ExpectRefused("recover --to " + (dir / "fuse" / "rec").string() + " " + ntfs.string(), dir / "fuse" / "rec");
}

TEST(DestinationMessages, AFolderThatCannotBeMadeSaysWhy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a read-only tmpfs";
    test::TempDir dir;
    const auto image = test::UnpackFixture("ntfs/deleted.img.gz", dir.path());
    const SmallMount readOnly(dir / "ro", "ro,size=1m");
    if (!readOnly.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
    const CliRun run = RunCli("recover --to " + (dir / "ro" / "new" / "folder").string() + " " + image.string());
    EXPECT_EQ(run.exitCode, kExitUsage);
    EXPECT_NE(run.output.find("write protected"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("cannot find"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace kestrune::cli
