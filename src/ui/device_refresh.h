// Disks plugged in or removed while the program runs: the device watcher's events restart
// a timer, and one refresh of the disk list follows the last of a burst of them.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "disk/device_watcher.h"
#include "disk/disk_inventory.h"

class QSocketNotifier;

namespace kestrune::ui {

class MainWnd;

class DeviceRefresh : public QObject {
    Q_OBJECT
public:
    explicit DeviceRefresh(MainWnd* window);
    ~DeviceRefresh() override;

    // What the watcher reports, also callable directly (tests, other sources of events).
    void Notify(DeviceWatcher::Change change, const std::string& device = {});
    // The quiet time after the last event before the list is read again (5 s).
    void SetDelay(int ms) { timer_.setInterval(ms); }
    bool watching() const { return notifier_ != nullptr; }
    // Stops listening to the system's reports, dropping a refresh they were waiting for;
    // what Notify is handed still counts (a test that hands its own events).
    void StopWatching();

signals:
    // The disk list was brought up to date after events.
    void refreshed();

private:
    void Refresh();
    void Apply(const std::vector<VolumeRecord>& volumes);

    MainWnd* window_;
    DeviceWatcher watcher_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer timer_;
    bool arrived_ = false;
};

}  // namespace kestrune::ui
