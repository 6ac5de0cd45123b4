#include "disk/device_watcher.h"

#include <libudev.h>

#include <cstring>

namespace kestrune {

DeviceWatcher::DeviceWatcher() = default;

DeviceWatcher::~DeviceWatcher() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

bool DeviceWatcher::Start() {
    if (monitor_) return true;
    udev_ = udev_new();
    if (!udev_) return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        if (monitor_) udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return false;
    }
    return true;
}

int DeviceWatcher::Descriptor() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

void DeviceWatcher::Drain(const std::function<void(Change, const std::string&)>& report) {
    if (!monitor_) return;
    while (struct udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        const char* node = udev_device_get_devnode(device);
        if (action && node) {
            if (std::strcmp(action, "add") == 0) report(Change::Arrived, node);
            else if (std::strcmp(action, "remove") == 0) report(Change::Removed, node);
        }
        udev_device_unref(device);
    }
}

}  // namespace kestrune
