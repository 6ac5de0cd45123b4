// Arbitrary output of smartctl --json, as the disks' health is read from it: whatever it
// says, the health read is consistent and its text can be made.
#include <cstdlib>
#include <string_view>

#include "disk/disk_health.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    const DiskHealth health = HealthFromSmartctlJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!health.known && (health.failing || health.Worrying())) std::abort();
    if (health.temperatureC != DiskHealth::kNoTemperature && (health.temperatureC < -60 || health.temperatureC > 200))
        std::abort();
    (void)HealthText(health);
    return 0;
}
