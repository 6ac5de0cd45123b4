// DeviceWatcher: disks and partitions that arrive or leave while the program runs.
#pragma once

#include <functional>
#include <string>

struct udev;
struct udev_monitor;

namespace kestrune {

class DeviceWatcher {
public:
    enum class Change { Arrived, Removed };
    DeviceWatcher();
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Starts listening on the block subsystem; false when udev is not available.
    bool Start();
    // The descriptor that becomes readable when a change is waiting (for a poll loop or a
    // socket notifier); -1 when not started.
    int Descriptor() const;
    // Reports every waiting change (device node path and what happened); never blocks.
    void Drain(const std::function<void(Change, const std::string& device)>& report);

private:
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
};

}  // namespace kestrune
