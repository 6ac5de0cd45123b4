// Encrypted volumes made by cryptsetup (LUKS2 with 4096-byte sectors, LUKS1 with XTS and
// with CBC-ESSIV), whose payload the fixture script encrypted and checked with readers
// that are not ours: opened with the passphrase they were made with they give the plain
// volume's deleted files byte for byte, also as a partition of a disk; a wrong passphrase,
// none, a damaged header and a BitLocker volume are refused with why, never scanned as
// random bytes; and neither the passphrase nor the volume key is written anywhere.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/cli_run.h"
#include "cli/exit_codes.h"
#include "support/sha256.h"
#include "support/test_support.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

struct Volumes {
    test::TempDir dir;
    nlohmann::json manifest = nlohmann::json::parse(std::ifstream(test::FixturePath("luks/luks.json")));
    fs::path keyFile = dir / "passphrase";
    fs::path wrongKey = dir / "wrong";
    Volumes() {
        const std::string passphrase = manifest["passphrase"];
        test::WriteFileBytes(keyFile, std::vector<uint8_t>(passphrase.begin(), passphrase.end()));
        test::WriteFileBytes(wrongKey, std::vector<uint8_t>{'w', 'r', 'o', 'n', 'g'});
    }
    fs::path Unpack(const std::string& name) { return test::UnpackFixture("luks/" + name + ".img.gz", dir.path()); }
};

// The deleted files of the plain volume the manifest says come back whole, by name.
std::map<std::string, std::string> WholeDeletedFiles() {
    const auto plain = nlohmann::json::parse(std::ifstream(test::FixturePath("fat/fat12.json")));
    std::map<std::string, std::string> files;
    for (const auto& file : plain["deleted"])
        if (file["note"] == "") files[file["name"].get<std::string>()] = file["sha256"].get<std::string>();
    return files;
}

void ExpectDeletedFilesIn(const fs::path& folder, const std::string& what) {
    // By name after the first letter, which FAT loses when a file is deleted.
    std::map<std::string, std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file())
            found[it->path().filename().string().substr(1)] = test::Sha256Hex(test::ReadFileBytes(it->path()));
    size_t whole = 0;
    for (const auto& [name, sha] : WholeDeletedFiles()) {
        if (!found.count(name.substr(1))) continue;  // a name that only differs in its first letter
        EXPECT_EQ(found[name.substr(1)], sha) << what << ": " << name;
        whole += found[name.substr(1)] == sha;
    }
    EXPECT_GE(whole, 5u) << what;
}

TEST(EncryptedVolumes, OpenedWithTheirPassphraseTheyGiveThePlainVolumesFiles) {
    Volumes v;
    ScopedDataHome home(v.dir / "home");
    for (const char* name : {"luks2", "luks1", "luks1-essiv"}) {
        const fs::path image = v.Unpack(name);
        const CliRun probe = RunCli("probe '" + image.string() + "'");
        EXPECT_NE(probe.output.find(std::string(name).starts_with("luks2") ? "LUKS2" : "LUKS1"), std::string::npos)
            << probe.output;
        const CliRun inside = RunCli("probe --key-file '" + v.keyFile.string() + "' '" + image.string() + "'");
        EXPECT_NE(inside.output.find("FAT12"), std::string::npos) << inside.output;
        const fs::path into = v.dir / (std::string("from-") + name);
        const CliRun recover =
            RunCli("recover --key-file '" + v.keyFile.string() + "' --to '" + into.string() + "' '" + image.string() + "'");
        EXPECT_EQ(recover.exitCode, kExitOk) << recover.output;
        ExpectDeletedFilesIn(into, name);
    }
    // What was stored of the scans holds neither the passphrase nor any volume key.
    std::vector<std::string> secrets = {v.manifest["passphrase"]};
    for (const auto& [name, volume] : v.manifest["volumes"].items()) {
        const std::string hex = volume["key"];
        std::string key;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) key += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        secrets.push_back(key);
    }
    std::error_code ec;
    for (fs::recursive_directory_iterator it(v.dir / "home", ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        const auto bytes = test::ReadFileBytes(it->path());
        const std::string text(bytes.begin(), bytes.end());
        for (const std::string& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << it->path();
    }
}

TEST(EncryptedVolumes, AStoredScanIsListedAgainWithThePassphrase) {
    Volumes v;
    ScopedDataHome home(v.dir / "home");
    const std::string image = "'" + v.Unpack("luks1").string() + "'";
    const std::string key = " --key-file '" + v.keyFile.string() + "' ";
    ASSERT_EQ(RunCli("scan --mode formatted" + key + image).exitCode, kExitOk);
    const CliRun listed = RunCli("list" + key);
    EXPECT_EQ(listed.exitCode, kExitOk) << listed.output;
    EXPECT_NE(listed.output.find("fragmented.bin"), std::string::npos) << listed.output;
    const CliRun locked = RunCli("list < /dev/null");
    EXPECT_EQ(locked.exitCode, kExitSourceError);
    EXPECT_NE(locked.output.find("is a LUKS1 encrypted volume"), std::string::npos) << locked.output;
}

TEST(EncryptedVolumes, AVolumeInAPartitionIsOpenedThere) {
    Volumes v;
    ScopedDataHome home(v.dir / "home");
    const auto volume = test::ReadFileBytes(v.Unpack("luks2"));
    // A disk with the volume as its one partition, at 1 MiB.
    std::vector<uint8_t> disk((2048 + volume.size() / 512 + 2048) * 512, 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + 2048 * 512);
    const fs::path image = v.dir / "disk.img";
    test::WriteFileBytes(image, disk);
    const std::string table = "label: dos\nstart=2048, size=" + std::to_string(volume.size() / 512) + ", type=83\n";
    ASSERT_EQ(std::system(("printf '" + table + "' | sfdisk -q '" + image.string() + "' > /dev/null 2>&1").c_str()), 0);
    const CliRun recover = RunCli("recover --key-file '" + v.keyFile.string() + "' --to '" + (v.dir / "out").string() +
                                  "' '" + image.string() + "'");
    EXPECT_EQ(recover.exitCode, kExitOk) << recover.output;
    ExpectDeletedFilesIn(v.dir / "out", "partition");
}

TEST(EncryptedVolumes, WhatCannotBeOpenedIsRefusedWithWhyAndNeverReadAsRawBytes) {
    Volumes v;
    ScopedDataHome home(v.dir / "home");
    const fs::path image = v.Unpack("luks1");
    const std::string name = "'" + image.string() + "'";
    const CliRun wrong = RunCli("scan --key-file '" + v.wrongKey.string() + "' " + name);
    EXPECT_EQ(wrong.exitCode, kExitSourceError);
    EXPECT_NE(wrong.output.find("passphrase opens none of its key slots"), std::string::npos) << wrong.output;
    const CliRun none = RunCli("scan " + name + " < /dev/null");
    EXPECT_EQ(none.exitCode, kExitSourceError);
    EXPECT_NE(none.output.find("is a LUKS1 encrypted volume"), std::string::npos) << none.output;
    EXPECT_EQ(none.output.find("looks like"), std::string::npos) << none.output;
    const CliRun deep = RunCli("scan --mode deep " + name + " < /dev/null");
    EXPECT_EQ(deep.exitCode, kExitSourceError) << deep.output;

    // Its key slots written over: the header still names LUKS, but nothing opens it.
    auto bytes = test::ReadFileBytes(image);
    std::fill(bytes.begin() + 4096, bytes.begin() + (1 << 20), 0x5A);
    const fs::path damaged = v.dir / "damaged.img";
    test::WriteFileBytes(damaged, bytes);
    const CliRun broken = RunCli("scan --key-file '" + v.keyFile.string() + "' '" + damaged.string() + "'");
    EXPECT_EQ(broken.exitCode, kExitSourceError) << broken.output;
    EXPECT_NE(broken.output.find("cannot open the LUKS1 volume"), std::string::npos) << broken.output;

    // A header whose key digest asks for four billion rounds would hold the scan for hours.
    bytes = test::ReadFileBytes(image);
    std::fill_n(bytes.begin() + 164, 4, 0xFF);
    test::WriteFileBytes(damaged, bytes);
    const CliRun costly = RunCli("scan --key-file '" + v.keyFile.string() + "' '" + damaged.string() + "'");
    EXPECT_EQ(costly.exitCode, kExitSourceError) << costly.output;
    EXPECT_NE(costly.output.find("far more work"), std::string::npos) << costly.output;

    // BitLocker: named, and the user told to unlock it first.
    auto bitlocker = test::ReadFileBytes(test::UnpackFixture("fat/fat12.img.gz", v.dir.path()));
    std::copy_n("-FVE-FS-", 8, bitlocker.begin() + 3);
    const fs::path locked = v.dir / "bitlocker.img";
    test::WriteFileBytes(locked, bitlocker);
    const CliRun probe = RunCli("probe '" + locked.string() + "'");
    EXPECT_NE(probe.output.find("BitLocker"), std::string::npos) << probe.output;
    const CliRun scan = RunCli("scan '" + locked.string() + "'");
    EXPECT_EQ(scan.exitCode, kExitSourceError);
    EXPECT_NE(scan.output.find("BitLocker encrypted volume: unlock it first"), std::string::npos) << scan.output;
}

}  // namespace
}  // namespace kestrune::cli
