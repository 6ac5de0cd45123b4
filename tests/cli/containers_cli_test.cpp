// Disk images in the containers people bring them in (QEMU, VMware, Hyper-V, EnCase, a raw
// image cut in pieces), made by qemu-img, ewfacquire and split from one raw disk: each is
// read as that disk, listed, probed, scanned, recovered and copied the same, and a damaged
// one is refused with the reason rather than read as random bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "disk/image_containers.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

// Every file below folder, by its path there, with the SHA-256 of its bytes.
std::map<std::string, std::string> TreeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file())
            tree[fs::relative(it->path(), folder).string()] = test::Sha256Hex(test::ReadFileBytes(it->path()));
    return tree;
}

struct Containers {
    test::TempDir dir;
    fs::path raw = test::UnpackFixture("containers/disk.img.gz", dir.path());
    // Each container as a user names it, with the format it must be told as.
    std::vector<std::pair<fs::path, ImageFormat>> images;

    Containers() {
        for (const auto& [name, format] : std::vector<std::pair<std::string, ImageFormat>>{
                 {"disk.qcow2", ImageFormat::Qcow},
                 {"disk.vmdk", ImageFormat::Vmdk},
                 {"disk.vhd", ImageFormat::Vhd},
                 {"disk.vhdx", ImageFormat::Vhdx},
                 {"disk.E01", ImageFormat::Ewf}})
            images.emplace_back(test::UnpackFixture("containers/" + name + ".gz", dir.path()), format);
        for (const auto& [tarball, first, format] : std::vector<std::tuple<std::string, std::string, ImageFormat>>{
                 {"disk-flat", "disk.vmdk", ImageFormat::Vmdk},
                 {"disk-split", "disk.E01", ImageFormat::Ewf},
                 {"raw-split", "disk.001", ImageFormat::SplitRaw}}) {
            const fs::path folder = dir / tarball;
            fs::create_directories(folder);
            EXPECT_EQ(std::system(("tar -xzf '" + test::FixturePath("containers/" + tarball + ".tar.gz").string() +
                                   "' -C '" + folder.string() + "'")
                                      .c_str()),
                      0);
            images.emplace_back(folder / first, format);
        }
    }
};

TEST(ContainerImages, EachFormatIsReadAsTheDiskItHolds) {
    Containers c;
    const std::vector<uint8_t> disk = test::ReadFileBytes(c.raw);
    EXPECT_EQ(DetectImageFormat(c.raw), ImageFormat::Raw);
    for (const auto& [image, format] : c.images) {
        EXPECT_EQ(DetectImageFormat(image), format) << image;
        std::unique_ptr<Medium> medium;
        std::string why;
        ASSERT_EQ(OpenImageMedium(image, medium, &why), kOk) << image << ": " << why;
        // qemu-img rounds a VHD up to whole cylinders: the disk's bytes, then zeros.
        ASSERT_GE(medium->SizeBytes(), disk.size()) << image;
        std::vector<uint8_t> read(static_cast<size_t>(medium->SizeBytes()));
        size_t got = 0;
        ASSERT_EQ(ReadExactly(*medium, 0, read.data(), read.size(), got), kOk) << image;
        EXPECT_TRUE(std::equal(disk.begin(), disk.end(), read.begin())) << image;
        EXPECT_TRUE(std::all_of(read.begin() + static_cast<long>(disk.size()), read.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(ContainerImages, AnOverlayReadsThroughToItsBackingFileBesideIt) {
    Containers c;
    const fs::path folder = c.dir / "overlay";
    fs::create_directories(folder);
    ASSERT_EQ(std::system(("tar -xzf '" + test::FixturePath("containers/overlay.tar.gz").string() + "' -C '" +
                           folder.string() + "'")
                              .c_str()),
              0);
    auto expected = test::ReadFileBytes(c.raw);
    std::fill_n(expected.begin() + (4 << 20), 64 * 1024, 0x5A);
    std::unique_ptr<Medium> medium;
    ASSERT_EQ(OpenImageMedium(folder / "top.qcow2", medium), kOk);
    std::vector<uint8_t> read(static_cast<size_t>(medium->SizeBytes()));
    size_t got = 0;
    ASSERT_EQ(ReadExactly(*medium, 0, read.data(), read.size(), got), kOk);
    EXPECT_TRUE(read == expected);
    // Without it, the overlay alone says what is missing.
    fs::remove(folder / "disk.qcow2");
    std::string why;
    EXPECT_NE(OpenImageMedium(folder / "top.qcow2", medium, &why), kOk);
    EXPECT_NE(why.find("disk.qcow2"), std::string::npos) << why;
}

TEST(ContainerImages, EachIsListedScannedRecoveredAndCopiedAsTheRawDisk) {
    Containers c;
    ScopedDataHome home(c.dir / "home");
    ASSERT_EQ(RunCli("recover --keep-folders --to '" + (c.dir / "from-raw").string() + "' '" + c.raw.string() + "'").exitCode,
              kExitOk);
    const auto expected = TreeOf(c.dir / "from-raw");
    // The deleted files the volume's manifest says come back whole.
    const auto manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/fat16.json")));
    size_t whole = 0;
    for (const auto& file : manifest["deleted"]) {
        if (file["note"] == "overwritten") continue;
        const std::string path = file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
        for (const auto& [recovered, sha] : expected)
            if (recovered.ends_with(path) && sha == file["sha256"]) ++whole;
    }
    ASSERT_GE(whole, 3u);

    int n = 0;
    for (const auto& [image, format] : c.images) {
        const std::string name = "'" + image.string() + "'";
        const CliRun disks = RunCli("disks " + name);
        EXPECT_NE(disks.output.find("FAT     \"TESTVOL\""), std::string::npos) << image << disks.output;
        const CliRun probe = RunCli("probe " + name);
        EXPECT_NE(probe.output.find(std::string("(") + ImageFormatName(format) + ")"), std::string::npos) << probe.output;
        const fs::path into = c.dir / ("from-" + std::to_string(++n));
        const CliRun recover = RunCli("recover --keep-folders --to '" + into.string() + "' " + name);
        EXPECT_EQ(recover.exitCode, kExitOk) << image << recover.output;
        EXPECT_EQ(TreeOf(into), expected) << image;
        // A raw copy of the disk inside.
        const fs::path copy = c.dir / ("copy-" + std::to_string(n) + ".img");
        EXPECT_EQ(RunCli("image " + name + " '" + copy.string() + "'").exitCode, kExitOk) << image;
        const auto copied = test::ReadFileBytes(copy);
        const auto disk = test::ReadFileBytes(c.raw);
        EXPECT_TRUE(copied.size() >= disk.size() && std::equal(disk.begin(), disk.end(), copied.begin())) << image;
    }
}

TEST(ContainerImages, ADamagedOrIncompleteContainerIsRefusedWithItsReason) {
    Containers c;
    ScopedDataHome home(c.dir / "home");
    for (const auto& [image, format] : c.images) {
        if (format == ImageFormat::SplitRaw) continue;
        // Cut to its first 4 KiB: the header names a disk the file no longer holds.
        const fs::path cut = c.dir / ("cut-" + image.filename().string());
        auto bytes = test::ReadFileBytes(image);
        bytes.resize(4096);
        test::WriteFileBytes(cut, bytes);
        const CliRun scan = RunCli("scan '" + cut.string() + "'");
        EXPECT_NE(scan.exitCode, kExitOk) << cut << scan.output;
        EXPECT_EQ(scan.output.find("looks like other"), std::string::npos) << "read as raw bytes: " << scan.output;
    }
    // A split EnCase image missing a segment in the middle.
    const fs::path split = c.dir / "disk-split";
    fs::remove(split / "disk.E05");
    const CliRun scan = RunCli("scan '" + (split / "disk.E01").string() + "'");
    EXPECT_NE(scan.exitCode, kExitOk) << scan.output;
    EXPECT_NE(scan.output.find("EnCase"), std::string::npos) << scan.output;
}

}  // namespace
}  // namespace kestrune::cli
