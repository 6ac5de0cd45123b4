// What a disk says of its own health (SMART), before anything reads it: a disk that says
// it is failing, or has sectors waiting to be reallocated, should be copied into an image
// first, since every read may wear it further.
//
// Asked of UDisks2 (the Drive.Ata interface of the disk's drive, as the desktop's disk
// tools ask), or, where UDisks2 does not answer, of smartctl's JSON output.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

struct DiskHealth {
    static constexpr int kNoTemperature = INT_MIN;

    bool known = false;   // some source answered
    std::string from;     // "UDisks2" or "smartctl"
    bool failing = false; // the drive's own verdict: it expects to fail
    // Counts the drive keeps; -1 when it does not say.
    int64_t reallocatedSectors = -1;   // moved to spare sectors already
    int64_t pendingSectors = -1;       // unreadable, waiting to be reallocated
    int64_t uncorrectableSectors = -1; // found unreadable by its own tests (NVMe: media errors)
    int64_t badSectors = -1;           // UDisks2's sum of the bad-sector counts
    int temperatureC = kNoTemperature;

    // Whether the user should be told before the disk is read.
    bool Worrying() const {
        return failing || pendingSectors > 0 || uncorrectableSectors > 0 || badSectors > 0;
    }
};

// "failing; 12 pending sectors; 3 reallocated; 41 °C" (English, for the command), or
// "unknown" when nothing answered.
std::string HealthText(const DiskHealth& health);

// The health smartctl --json -H -A reports (ATA or NVMe); known is false when its output
// holds no verdict (the device could not be opened or asked).
DiskHealth HealthFromSmartctlJson(std::string_view text);

// Asks UDisks2 on the system bus about the drive of device (a block device path, whole
// disk or partition), then smartctl. Waits seconds at most; never reads the disk's data.
DiskHealth ReadDiskHealth(const std::string& device);

}  // namespace kestrune
