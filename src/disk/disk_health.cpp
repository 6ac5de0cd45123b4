#include "disk/disk_health.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/steady_clock.h"

extern char** environ;

namespace kestrune {

namespace {

constexpr const char* kUdisks = "org.freedesktop.UDisks2";
constexpr const char* kAta = "org.freedesktop.UDisks2.Drive.Ata";
// A drive that does not answer is not waited for: the health is a courtesy before a scan.
constexpr uint64_t kBusTimeoutUs = 5'000'000;
constexpr uint64_t kSmartctlTimeoutMs = 15'000;

// The SMART attributes a failing disk shows first.
constexpr int kReallocated = 5, kPending = 197, kUncorrectable = 198;

void NoteAttribute(DiskHealth& health, int id, int64_t count) {
    if (count < 0) return;
    if (id == kReallocated) health.reallocatedSectors = count;
    if (id == kPending) health.pendingSectors = count;
    if (id == kUncorrectable) health.uncorrectableSectors = count;
}

// Frees an sd-bus object at the end of a scope.
struct BusCleanup {
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusCleanup() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
    }
    void NextCall() {
        sd_bus_error_free(&error);
        error = SD_BUS_ERROR_NULL;
        reply = sd_bus_message_unref(reply);
    }
};

// The drive object of device, as UDisks2 knows it; empty when it does not.
std::string DriveOf(BusCleanup& call, const std::string& device) {
    if (sd_bus_call_method(call.bus, kUdisks, "/org/freedesktop/UDisks2/Manager", "org.freedesktop.UDisks2.Manager",
                           "ResolveDevice", &call.error, &call.reply, "a{sv}a{sv}", 1, "path", "s", device.c_str(),
                           0) < 0)
        return {};
    const char* block = nullptr;
    if (sd_bus_message_enter_container(call.reply, 'a', "o") <= 0 || sd_bus_message_read(call.reply, "o", &block) <= 0 ||
        !block)
        return {};
    const std::string blockPath = block;
    call.NextCall();
    if (sd_bus_get_property(call.bus, kUdisks, blockPath.c_str(), "org.freedesktop.UDisks2.Block", "Drive", &call.error,
                            &call.reply, "o") < 0)
        return {};
    const char* drive = nullptr;
    // The reply stands inside the property's variant already.
    if (sd_bus_message_read(call.reply, "o", &drive) <= 0 || !drive || std::string(drive) == "/") return {};
    const std::string drivePath = drive;
    call.NextCall();
    return drivePath;
}

// The counts SmartGetAttributes gives (their "pretty" value is the count for sector attributes).
void ReadUdisksAttributes(BusCleanup& call, const std::string& drive, DiskHealth& health) {
    call.NextCall();
    if (sd_bus_call_method(call.bus, kUdisks, drive.c_str(), kAta, "SmartGetAttributes", &call.error, &call.reply,
                           "a{sv}", 1, "nowakeup", "b", 1) < 0)
        return;
    if (sd_bus_message_enter_container(call.reply, 'a', "(ysqiiixia{sv})") <= 0) return;
    for (int guard = 0; guard < 256; ++guard) {
        if (sd_bus_message_enter_container(call.reply, 'r', "ysqiiixia{sv}") <= 0) break;
        uint8_t id = 0;
        const char* name = nullptr;
        uint16_t flags = 0;
        int32_t value = 0, worst = 0, threshold = 0, unit = 0;
        int64_t pretty = 0;
        if (sd_bus_message_read(call.reply, "ysqiiixi", &id, &name, &flags, &value, &worst, &threshold, &pretty, &unit) <= 0 ||
            sd_bus_message_skip(call.reply, "a{sv}") < 0 || sd_bus_message_exit_container(call.reply) < 0)
            break;
        NoteAttribute(health, id, pretty);
    }
}

bool ReadFromUdisks(const std::string& device, DiskHealth& health) {
    BusCleanup call;
    if (sd_bus_open_system(&call.bus) < 0) return false;
    sd_bus_set_method_call_timeout(call.bus, kBusTimeoutUs);
    const std::string drive = DriveOf(call, device);
    if (drive.empty()) return false;
    // The properties are read without an error object: one that a failed read had set would
    // make sd-bus refuse every call after it.
    int supported = 0, enabled = 0, failing = 0;
    uint64_t updated = 0;
    int64_t bad = -1;
    double kelvin = 0;
    if (sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartSupported", nullptr, 'b',
                                    &supported) < 0 ||
        !supported)
        return false;
    sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartEnabled", nullptr, 'b', &enabled);
    sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartUpdated", nullptr, 't', &updated);
    // Never read (SMART off, or the drive asleep since the service started): nothing to say.
    if (!enabled || updated == 0) return false;
    sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartFailing", nullptr, 'b', &failing);
    if (sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartNumBadSectors", nullptr, 'x',
                                    &bad) >= 0)
        health.badSectors = bad;
    if (sd_bus_get_property_trivial(call.bus, kUdisks, drive.c_str(), kAta, "SmartTemperature", nullptr, 'd',
                                    &kelvin) >= 0 &&
        kelvin > 200 && kelvin < 400)
        health.temperatureC = static_cast<int>(std::lround(kelvin - 273.15));
    health.failing = failing != 0;
    ReadUdisksAttributes(call, drive, health);
    health.known = true;
    health.from = "UDisks2";
    return true;
}

// smartctl's output, or empty when it is not there or takes too long (it is killed then).
std::string RunSmartctl(const std::string& device) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // -n standby: a sleeping disk is not woken for this.
    std::vector<std::string> words = {"smartctl", "--json=c", "-H", "-A", "-n", "standby", "--", device};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const bool started = ::posix_spawnp(&child, "smartctl", &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string output;
    const uint64_t deadline = SteadyMilliseconds() + kSmartctlTimeoutMs;
    while (started && output.size() < (1u << 20)) {
        const uint64_t now = SteadyMilliseconds();
        if (now >= deadline) break;
        pollfd wait{pipeFds[0], POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(deadline - now)) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    if (started) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return output;
}

const nlohmann::json* Member(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

int64_t WholeNumber(const nlohmann::json* value) {
    if (!value) return -1;
    if (value->is_number_unsigned()) return value->get<uint64_t>() > INT64_MAX ? -1 : static_cast<int64_t>(value->get<uint64_t>());
    if (value->is_number_integer()) return value->get<int64_t>();
    return -1;
}

}  // namespace

std::string HealthText(const DiskHealth& health) {
    if (!health.known) return "unknown";
    std::string text = health.failing ? "FAILING (the drive says so)" : "passed";
    const auto add = [&](int64_t count, const char* what) {
        if (count > 0) text += "; " + std::to_string(count) + " " + what;
    };
    add(health.pendingSectors, "sectors waiting to be reallocated (pending)");
    add(health.uncorrectableSectors, "uncorrectable sectors");
    add(health.reallocatedSectors, "reallocated sectors");
    if (health.pendingSectors < 0 && health.uncorrectableSectors < 0) add(health.badSectors, "bad sectors");
    if (health.temperatureC != DiskHealth::kNoTemperature) text += "; " + std::to_string(health.temperatureC) + " °C";
    return text + " (" + health.from + ")";
}

DiskHealth HealthFromSmartctlJson(std::string_view text) {
    DiskHealth health;
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return health;
    const nlohmann::json* status = Member(root, "smart_status");
    const nlohmann::json* passed = status ? Member(*status, "passed") : nullptr;
    if (!passed || !passed->is_boolean()) return health;
    health.known = true;
    health.from = "smartctl";
    health.failing = !passed->get<bool>();
    if (const nlohmann::json* attributes = Member(root, "ata_smart_attributes")) {
        const nlohmann::json* table = Member(*attributes, "table");
        if (table && table->is_array())
            for (const nlohmann::json& row : *table) {
                const nlohmann::json* raw = Member(row, "raw");
                // The raw value's low 32 bits are the count; some drives pack more above them.
                const int64_t count = WholeNumber(raw ? Member(*raw, "value") : nullptr);
                NoteAttribute(health, static_cast<int>(WholeNumber(Member(row, "id"))),
                              count < 0 ? -1 : (count & 0xFFFFFFFF));
            }
    }
    if (const nlohmann::json* nvme = Member(root, "nvme_smart_health_information_log")) {
        if (WholeNumber(Member(*nvme, "critical_warning")) > 0) health.failing = true;
        health.uncorrectableSectors = WholeNumber(Member(*nvme, "media_errors"));
    }
    if (const nlohmann::json* temperature = Member(root, "temperature")) {
        const int64_t current = WholeNumber(Member(*temperature, "current"));
        if (current > -60 && current < 200) health.temperatureC = static_cast<int>(current);
    }
    return health;
}

DiskHealth ReadDiskHealth(const std::string& device) {
    DiskHealth health;
    if (device.empty() || ReadFromUdisks(device, health)) return health;
    return HealthFromSmartctlJson(RunSmartctl(device));
}

}  // namespace kestrune
