// The disk list: one header row per disk with a row for each of its volumes and gaps,
// and the image files the user loaded under a group row of their own. Every row that can
// be scanned carries its Target.
#pragma once

#include <QTreeWidget>
#include <vector>

#include "disk/disk_inventory.h"

namespace kestrune::ui {

struct Target;

// Every volume and gap of the machine's disks, in disk order (reads the devices: call it
// off the UI thread).
std::vector<VolumeRecord> ListMachineVolumes();

class DiskList : public QTreeWidget {
    Q_OBJECT
public:
    enum RowKind { DiskRow = 1, VolumeRow, ImageGroupRow, ImageRow, ImagePartitionRow };
    enum Role { KindRole = Qt::UserRole + 1, TargetRole, DiskNumberRole };

    explicit DiskList(QWidget* parent = nullptr);

    // Column titles from the current language.
    void ApplyHeaderTexts();
    // Adds a disk's header row (when it has none yet) and a row per volume.
    QTreeWidgetItem* AddDisk(int disk, bool removable, const std::vector<std::pair<VolumeRecord, Target*>>& rows);
    // Removes a disk's rows; returns the targets they carried.
    std::vector<Target*> RemoveDisk(int disk);
    QTreeWidgetItem* DiskRowOf(int disk) const;
    // Adds an image file (with its partitions, when it holds a table).
    QTreeWidgetItem* AddImage(Target* image, const std::vector<Target*>& partitions);
    // Adds rows for volumes a search found below a disk's or an image's row.
    void AddFoundVolumes(QTreeWidgetItem* parent, const std::vector<Target*>& found);

    static RowKind KindOf(const QTreeWidgetItem* row);
    static Target* TargetOf(const QTreeWidgetItem* row);
    // The targets a row stands for: its own, or those of every row below it.
    static std::vector<Target*> TargetsOf(const QTreeWidgetItem* row);
    // Every row that carries a target, in the order they were added.
    std::vector<QTreeWidgetItem*> TargetRows() const;
    // The row the user sees chosen: the selected one, unless it lies in a group the page
    // hides (the images, on the copy page); null then.
    QTreeWidgetItem* ChosenRow() const;
    // Whether row and every row above it are shown.
    static bool Shown(const QTreeWidgetItem* row);
    QTreeWidgetItem* imageGroup() const { return imageGroup_; }
    void ShowImageRows(bool shown);
    void Retranslate();

private:
    void SetVolumeTexts(QTreeWidgetItem* row, const VolumeRecord& volume);
    void SetDiskText(QTreeWidgetItem* row);
    QTreeWidgetItem* imageGroup_ = nullptr;
};

}  // namespace kestrune::ui
