// The main window: choose a mode, pick a partition, a disk or an image file, scan it,
// load the findings of the chosen kinds, tick files and recover them; or copy a disk into
// an image file and scan the copy.
#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "disk/disk_inventory.h"
#include "session/scan_mode.h"
#include "session/volume_search.h"
#include "ui/background_jobs.h"
#include "ui/found_files.h"
#include "ui/result_index.h"
#include "ui/target.h"

namespace Ui {
class MainWnd;
}
class QAbstractButton;
class QTreeWidgetItem;
class QModelIndex;

namespace kestrune::ui {

class AssistMenu;
class DeviceRefresh;
class FileTypePage;
class ResultsView;
class PreviewPane;

class MainWnd : public QWidget {
    Q_OBJECT
public:
    enum Page { StartPage = 0, DiskPage = 1, FileTypePage_ = 2, ResultsPage = 3 };

    MainWnd();
    ~MainWnd() override;

    // Adds image files to the disk list (resolved off the UI thread); the first one added
    // is selected.
    void LoadImages(const QStringList& paths);
    // Brings the window back to the front in its normal state (a second start asked).
    void ShowAgain();
    int currentPage() const;
    ScanMode mode() const { return mode_; }
    bool imageMode() const { return imageMode_; }
    const Findings& findings() const { return findings_; }
    const TickedFiles& ticked() const { return ticked_; }
    BackgroundJobs& jobs() { return jobs_; }
    DeviceRefresh* deviceRefresh() const { return deviceRefresh_; }
    QTreeWidgetItem* RowOfTarget(const Target* target) const;
    // Shows what a search found on the results page; index is IndexFindings(findings).
    void ShowFindings(Findings findings, ResultIndex index);

signals:
    // The disk list was (re)built from the machine's disks.
    void disksListed();
    // An image file was added to the disk list (or refused).
    void imageLoaded(bool added);
    // The results page shows a new search's findings.
    void resultsShown();

private:
    friend class DeviceRefresh;
    // Pages and bars.
    void ShowPage(int page);
    void ApplyAllTexts();
    void SetBanner(int page);
    void ChooseMode(ScanMode mode, bool imageMode);
    void PreSelect();
    void GoNext();
    void GoBack();
    // Start page check boxes.
    void LinkTypeChecks();
    void TypeCheckChanged(QAbstractButton* box);
    void RecoverAllClicked();
    void UpdateStartButton();
    // Disk list.
    void ListDisks();
    void BuildDiskList(const std::vector<VolumeRecord>& volumes);
    void AddVolumes(const std::vector<VolumeRecord>& volumes, bool selectRemovable);
    void RemoveVolumesOf(int disk);
    void ShowDiskInfo();
    void DiskRowDoubleClicked(QTreeWidgetItem* row);
    // Lost partitions: the chosen disk or image searched in the background, and what was
    // found added below it as rows of their own.
    void FindVolumesClicked();
    void AddFoundVolumes(QTreeWidgetItem* row, const DiskSearch& search);
    // Scan, results, recovery.
    void Scan();
    // The targets this user may read: disks it may not open are asked of UDisks2 first
    // (one request a device); those refused are left out, and the user is told why.
    std::vector<Target*> ReadableTargets(std::vector<Target*> targets);
    // Asks the disks among targets how they are (off the UI thread); a disk that says it
    // is failing is offered to be copied into an image first. False: no scan now.
    bool FailingDisksAllowScan(const std::vector<Target*>& targets);
    // Opens the copy page on the whole disk device and asks where its image goes.
    void OfferImageOf(const QString& device);
    // Where a target's area holds two file systems, asks which one the quick scan reads;
    // false when the user cancels.
    bool ChooseFileSystems(const std::vector<Target*>& targets);
    // Asks the passphrase of each encrypted (LUKS) target; a BitLocker one is dropped with a
    // word on what to do. False when the user cancelled.
    bool AskPassphrases(std::vector<Target*>& targets);
    void LoadResults(const std::vector<Target*>& scanned);
    void ShowResults();
    void ClearFindings();
    void ShowFileDetails(const QModelIndex& index);
    void UpdateSelectionSummary();
    void Recover();
    // Image files.
    void LoadImageClicked();
    void AddImageTarget(std::unique_ptr<Target> image, std::vector<std::unique_ptr<Target>> partitions, bool select);
    void CreateImageClicked();
    bool ImageDestinationRefused(const QString& path, const ScanSource& source, uint64_t bytes);

    Target* Adopt(std::unique_ptr<Target> target);
    void Forget(const std::vector<Target*>& gone);

    std::unique_ptr<Ui::MainWnd> ui_;
    AssistMenu* assist_ = nullptr;
    FileTypePage* fileTypes_ = nullptr;
    ResultsView* results_ = nullptr;
    PreviewPane* preview_ = nullptr;
    DeviceRefresh* deviceRefresh_ = nullptr;
    BackgroundJobs jobs_;

    ScanMode mode_ = ScanMode::Formatted;
    bool imageMode_ = false;
    bool targetChosen_ = false;
    bool scanRunning_ = false;
    // Where the last scan was stopped (percent), when the user stopped it.
    std::optional<int> stoppedAt_;
    bool scanFromTypePage_ = false;
    bool recoverEnabled_ = false;
    bool findingVolumes_ = false;
    int nextImageNumber_ = 1000;
    std::vector<std::unique_ptr<Target>> targets_;
    std::vector<VolumeRecord> knownVolumes_;
    std::vector<Target*> lastTargets_;
    ScanMode lastMode_ = ScanMode::Formatted;
    Findings findings_;
    ResultIndex index_;
    TickedFiles ticked_;
};

}  // namespace kestrune::ui
