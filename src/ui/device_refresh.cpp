#include "ui/device_refresh.h"

#include <QSocketNotifier>
#include <QTreeWidgetItem>
#include <set>

#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui_main_wnd.h"

namespace kestrune::ui {

DeviceRefresh::DeviceRefresh(MainWnd* window) : QObject(window), window_(window) {
    timer_.setSingleShot(true);
    timer_.setInterval(5000);
    connect(&timer_, &QTimer::timeout, this, &DeviceRefresh::Refresh);
    if (watcher_.Start() && watcher_.Descriptor() >= 0) {
        notifier_ = new QSocketNotifier(watcher_.Descriptor(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            watcher_.Drain([this](DeviceWatcher::Change change, const std::string& device) { Notify(change, device); });
        });
    }
}

DeviceRefresh::~DeviceRefresh() = default;

void DeviceRefresh::StopWatching() {
    delete notifier_;
    notifier_ = nullptr;
    timer_.stop();
    arrived_ = false;
}

void DeviceRefresh::Notify(DeviceWatcher::Change change, const std::string&) {
    if (change == DeviceWatcher::Change::Arrived) arrived_ = true;
    timer_.start();
}

void DeviceRefresh::Refresh() {
    window_->jobs().Run<std::vector<VolumeRecord>>(ListMachineVolumes,
                                                   [this](std::vector<VolumeRecord> volumes) { Apply(volumes); });
}

void DeviceRefresh::Apply(const std::vector<VolumeRecord>& volumes) {
    // Disks are numbered by their place among the machine's disks, so a disk is known by
    // its number and its device together: a new disk that takes an old number is new.
    std::set<std::pair<int, std::string>> before, now;
    for (const VolumeRecord& v : window_->knownVolumes_) before.insert({v.diskNumber, v.devicePath});
    for (const VolumeRecord& v : volumes) now.insert({v.diskNumber, v.devicePath});
    // A disk that went away takes its rows (and the runs of their last scans) with it; a
    // disk that came gets a row for every volume on it.
    for (const auto& disk : before)
        if (!now.count(disk)) window_->RemoveVolumesOf(disk.first);
    std::vector<VolumeRecord> added;
    for (const VolumeRecord& v : volumes)
        if (!window_->ui_->DiskList->DiskRowOf(v.diskNumber)) added.push_back(v);
    window_->knownVolumes_ = volumes;
    window_->AddVolumes(added, arrived_ && !window_->scanRunning_);
    arrived_ = false;
    emit refreshed();
}

}  // namespace kestrune::ui
