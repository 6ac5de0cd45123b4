// What a disk says of its health: from smartctl's JSON (ATA and NVMe drives), and from
// UDisks2, asked as the system's disk service on a private bus where a stand-in reports
// a failing drive; "kestrune disks" shows it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cli/cli_run.h"
#include "disk/disk_health.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(DiskHealth, SmartctlsVerdictAndCountsAreRead) {
    // As smartctl 7.3 prints them (--json=c -H -A), cut to what is read.
    const DiskHealth ata = HealthFromSmartctlJson(
        R"j({"json_format_version":[1,0],"smartctl":{"version":[7,3],"exit_status":8},"device":{"name":"/dev/sdb",)j"
        R"j("type":"sat"},"smart_status":{"passed":false},"ata_smart_attributes":{"revision":16,"table":[)j"
        R"j({"id":5,"name":"Reallocated_Sector_Ct","value":90,"worst":90,"thresh":36,"raw":{"value":412,"string":"412"}},)j"
        R"j({"id":194,"name":"Temperature_Celsius","value":38,"raw":{"value":163210608678,"string":"38 (Min/Max 16/45)"}},)j"
        R"j({"id":197,"name":"Current_Pending_Sector","value":100,"raw":{"value":8589934600,"string":"8"}},)j"
        R"j({"id":198,"name":"Offline_Uncorrectable","value":100,"raw":{"value":0,"string":"0"}}]},)j"
        R"j("temperature":{"current":38}})j");
    EXPECT_TRUE(ata.known);
    EXPECT_TRUE(ata.failing);
    EXPECT_EQ(ata.reallocatedSectors, 412);
    EXPECT_EQ(ata.pendingSectors, 8) << "only the low 32 bits of a raw value are the count";
    EXPECT_EQ(ata.uncorrectableSectors, 0);
    EXPECT_EQ(ata.temperatureC, 38);
    EXPECT_TRUE(ata.Worrying());
    EXPECT_EQ(HealthText(ata), "FAILING (the drive says so); 8 sectors waiting to be reallocated (pending); 412 "
                               "reallocated sectors; 38 °C (smartctl)");

    const DiskHealth nvme = HealthFromSmartctlJson(
        R"j({"smart_status":{"passed":true,"nvme":{"value":0}},"nvme_smart_health_information_log":)j"
        R"j({"critical_warning":0,"temperature":35,"media_errors":0},"temperature":{"current":35}})j");
    EXPECT_TRUE(nvme.known);
    EXPECT_FALSE(nvme.Worrying());
    EXPECT_EQ(nvme.uncorrectableSectors, 0);

    // smartctl could not open or ask the device: no verdict, nothing claimed.
    for (const char* text : {"", "{", R"j({"smartctl":{"exit_status":2}})j", R"j({"smart_status":{"passed":"yes"}})j",
                             R"j({"smart_status":{"passed":true},"ata_smart_attributes":{"table":[{"id":"x"},7,)j"
                             R"({"id":197,"raw":{"value":-3}}]},"temperature":{"current":9999}})"}) {
        const DiskHealth health = HealthFromSmartctlJson(text);
        EXPECT_FALSE(health.Worrying()) << text;
        EXPECT_EQ(health.temperatureC, DiskHealth::kNoTemperature) << text;
    }
}

// A private bus set as the system bus, with the UDisks2 stand-in on it.
class FakeUdisks {
public:
    FakeUdisks(const fs::path& folder, const std::string& device, const char* health) {
        std::ofstream(folder / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>";
        const std::string start = "dbus-daemon --config-file='" + (folder / "bus.conf").string() +
                                  "' --fork --print-address=1 --print-pid=1 > '" + (folder / "bus").string() + "'";
        if (std::system(start.c_str()) != 0) return;
        std::ifstream bus(folder / "bus");
        std::getline(bus, address_);
        bus >> busPid_;
        const std::string serve = "/usr/bin/python3 '" + std::string(KESTRUNE_FAKE_UDISKS) + "' '" + address_ +
                                  "' grant '" + device + "' " + health + " > '" + (folder / "fake").string() +
                                  "' 2>&1 & echo $! > '" + (folder / "fake.pid").string() + "'";
        if (std::system(serve.c_str()) != 0) return;
        std::ifstream(folder / "fake.pid") >> fakePid_;
        for (int i = 0; i < 200 && !ready_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream said(folder / "fake");
            std::string line;
            ready_ = std::getline(said, line) && line == "ready";
        }
    }
    ~FakeUdisks() {
        if (fakePid_ > 0) ::kill(fakePid_, SIGKILL);
        if (busPid_ > 0) ::kill(busPid_, SIGKILL);
    }
    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    pid_t busPid_ = 0, fakePid_ = 0;
    bool ready_ = false;
};

// Sets the system bus for this process while it lives.
struct SystemBus {
    explicit SystemBus(const std::string& address) { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1); }
    ~SystemBus() { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

TEST(DiskHealth, UDisks2TellsOfAFailingDriveAndDisksShowsIt) {
    test::TempDir dir;
    {
        FakeUdisks udisks(dir.path(), "/dev/null", "failing");
        if (!udisks.ready()) GTEST_SKIP() << "needs dbus-daemon and python3-dbus";
        SystemBus bus(udisks.address());
        const DiskHealth health = ReadDiskHealth("/dev/fake");
        EXPECT_EQ(health.from, "UDisks2");
        EXPECT_TRUE(health.failing);
        EXPECT_EQ(health.pendingSectors, 12);
        EXPECT_EQ(health.reallocatedSectors, 3);
        EXPECT_EQ(health.temperatureC, 41);
        // The command shows it for a disk it lists (a loop device, as root).
        const fs::path image = test::UnpackFixture("fat/fat16.img.gz", dir.path());
        test::LoopDevice loop(image);
        if (!loop.device().empty()) {
            const cli::CliRun run = cli::RunCli("disks");
            const size_t at = run.output.find(loop.device());
            ASSERT_NE(at, std::string::npos) << run.output;
            EXPECT_NE(run.output.find("health: FAILING", at), std::string::npos) << run.output;
            EXPECT_NE(run.output.find("kestrune image --skip-bad " + loop.device(), at), std::string::npos);
        }
    }
    FakeUdisks sound(dir.path(), "/dev/null", "sound");
    ASSERT_TRUE(sound.ready());
    SystemBus bus(sound.address());
    const DiskHealth health = ReadDiskHealth("/dev/fake");
    EXPECT_TRUE(health.known);
    EXPECT_FALSE(health.Worrying());
}

}  // namespace
}  // namespace kestrune
