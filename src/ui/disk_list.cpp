#include "ui/disk_list.h"

#include "ui/smooth_wheel.h"

#include <QFileInfo>
#include <QHeaderView>

#include "ui/target.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

// A row's file system; one whose area holds the marks of two names both.
QString FileSystemText(const VolumeRecord& v) {
    QString text = QString::fromStdString(v.fileSystemName);
    for (const std::string& other : v.otherFileSystems) text += " / " + QString::fromStdString(other);
    return text;
}

}  // namespace

std::vector<VolumeRecord> ListMachineVolumes() {
    DiskInventory inventory;
    std::vector<VolumeRecord> volumes;
    if (inventory.Refresh()) inventory.ListAll(volumes);
    return volumes;
}

DiskList::DiskList(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(3);
    setColumnWidth(0, 250);
    setColumnWidth(1, 270);
    setIconSize(QSize(24, 24));
    setUniformRowHeights(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    new SmoothWheelScroll(this);
    setExpandsOnDoubleClick(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    header()->setStretchLastSection(true);
    ApplyHeaderTexts();
}

void DiskList::ApplyHeaderTexts() {
    setHeaderLabels({Text("MainWnd", "MediaName"), Text("MainWnd", "MediaType"), Text("MainWnd", "MediaSize")});
}

DiskList::RowKind DiskList::KindOf(const QTreeWidgetItem* row) {
    return row ? static_cast<RowKind>(row->data(0, KindRole).toInt()) : DiskRow;
}

Target* DiskList::TargetOf(const QTreeWidgetItem* row) {
    return row ? static_cast<Target*>(row->data(0, TargetRole).value<void*>()) : nullptr;
}

std::vector<Target*> DiskList::TargetsOf(const QTreeWidgetItem* row) {
    std::vector<Target*> targets;
    if (!row) return targets;
    if (row->childCount() == 0) {
        if (Target* target = TargetOf(row)) targets.push_back(target);
        return targets;
    }
    for (int i = 0; i < row->childCount(); ++i)
        if (Target* target = TargetOf(row->child(i))) targets.push_back(target);
    return targets;
}

bool DiskList::Shown(const QTreeWidgetItem* row) {
    for (; row; row = row->parent())
        if (row->isHidden()) return false;
    return true;
}

QTreeWidgetItem* DiskList::ChosenRow() const {
    for (QTreeWidgetItem* row : selectedItems())
        if (Shown(row)) return row;
    return nullptr;
}

std::vector<QTreeWidgetItem*> DiskList::TargetRows() const {
    std::vector<QTreeWidgetItem*> rows;
    for (QTreeWidgetItemIterator it(const_cast<DiskList*>(this)); *it; ++it)
        if (TargetOf(*it) && (*it)->childCount() == 0) rows.push_back(*it);
    return rows;
}

void DiskList::SetDiskText(QTreeWidgetItem* row) {
    const bool removable = row->data(0, Qt::UserRole + 10).toBool();
    const int disk = row->data(0, DiskNumberRole).toInt();
    row->setText(0, Msg(removable ? "MSG0202" : "MSG0201") + u' ' + QString::number(disk + 1));
}

void DiskList::SetVolumeTexts(QTreeWidgetItem* row, const VolumeRecord& v) {
    QString name = QString::number(v.letter) + ": ";
    if (v.found) name += Text("MainWnd", "TxtFoundVolume") + " ";
    if (!v.volumeLabel.empty()) name += QString::fromStdString(v.volumeLabel);
    else if (!v.partitionName.empty()) name += QString::fromStdString(v.partitionName);
    else if (v.partitionType == 0) name += Text("MainWnd", v.partitionNumber == 0 && v.startSector == 0 ? "TxtWholeDisk" : "TxtGap");
    row->setText(0, name);
    QString fileSystem = FileSystemText(v);
    if (fileSystem.isEmpty() && v.partitionType != 0) fileSystem = Text("MainWnd", "TxtUnknownFileSystem");
    row->setText(1, fileSystem);
    row->setText(2, SizeText(v.totalBytes));
    QString tip = QString::fromStdString(v.volumePath.empty() ? v.devicePath : v.volumePath);
    if (!v.mountPoint.empty()) tip += " (" + QString::fromStdString(v.mountPoint) + ")";
    row->setToolTip(0, tip);
}

QTreeWidgetItem* DiskList::DiskRowOf(int disk) const {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = topLevelItem(i);
        if (KindOf(row) == DiskRow && row->data(0, DiskNumberRole).toInt() == disk) return row;
    }
    return nullptr;
}

QTreeWidgetItem* DiskList::AddDisk(int disk, bool removable,
                                   const std::vector<std::pair<VolumeRecord, Target*>>& rows) {
    QTreeWidgetItem* header = DiskRowOf(disk);
    if (!header) {
        header = new QTreeWidgetItem;
        header->setData(0, KindRole, DiskRow);
        header->setData(0, DiskNumberRole, disk);
        header->setData(0, Qt::UserRole + 10, removable);
        header->setIcon(0, QIcon(removable ? ":/skin/removable_drive.svg" : ":/skin/physical_drive.svg"));
        SetDiskText(header);
        // Disks stay above the image files group.
        const int at = imageGroup_ ? indexOfTopLevelItem(imageGroup_) : topLevelItemCount();
        insertTopLevelItem(at, header);
    }
    for (const auto& [volume, target] : rows) {
        auto* row = new QTreeWidgetItem(header);
        row->setData(0, KindRole, VolumeRow);
        row->setData(0, TargetRole, QVariant::fromValue<void*>(target));
        row->setIcon(0, QIcon(removable ? ":/skin/drive_usb.svg" : ":/skin/drive.svg"));
        SetVolumeTexts(row, volume);
    }
    header->setExpanded(true);
    return header;
}

std::vector<Target*> DiskList::RemoveDisk(int disk) {
    std::vector<Target*> gone;
    QTreeWidgetItem* header = DiskRowOf(disk);
    if (!header) return gone;
    gone = TargetsOf(header);
    delete header;
    return gone;
}

QTreeWidgetItem* DiskList::AddImage(Target* image, const std::vector<Target*>& partitions) {
    if (!imageGroup_) {
        imageGroup_ = new QTreeWidgetItem;
        imageGroup_->setData(0, KindRole, ImageGroupRow);
        imageGroup_->setIcon(0, QIcon(":/skin/image_files.svg"));
        imageGroup_->setText(0, Text("MainWnd", "ImageFileGroup"));
        addTopLevelItem(imageGroup_);
    }
    auto* row = new QTreeWidgetItem(imageGroup_);
    row->setData(0, KindRole, ImageRow);
    row->setData(0, TargetRole, QVariant::fromValue<void*>(image));
    row->setIcon(0, QIcon(":/skin/image_file.svg"));
    row->setText(0, QFileInfo(image->imagePath).fileName());
    row->setToolTip(0, image->imagePath);
    row->setText(1, FileSystemText(image->volume));
    row->setText(2, SizeText(image->source.sectorCount * image->source.bytesPerSector));
    for (Target* partition : partitions) {
        auto* child = new QTreeWidgetItem(row);
        child->setData(0, KindRole, ImagePartitionRow);
        child->setData(0, TargetRole, QVariant::fromValue<void*>(partition));
        child->setIcon(0, QIcon(":/skin/drive.svg"));
        child->setText(0, QString::number(partition->source.partition) + ":");
        child->setText(1, FileSystemText(partition->volume));
        child->setText(2, SizeText(partition->source.sectorCount * partition->source.bytesPerSector));
    }
    imageGroup_->setExpanded(true);
    row->setExpanded(true);
    return row;
}

void DiskList::AddFoundVolumes(QTreeWidgetItem* parent, const std::vector<Target*>& found) {
    const bool image = KindOf(parent) == ImageRow;
    for (Target* target : found) {
        auto* row = new QTreeWidgetItem(parent);
        row->setData(0, KindRole, image ? ImagePartitionRow : VolumeRow);
        row->setData(0, TargetRole, QVariant::fromValue<void*>(target));
        row->setIcon(0, QIcon(":/skin/drive.svg"));
        SetVolumeTexts(row, target->volume);
    }
    parent->setExpanded(true);
}

void DiskList::ShowImageRows(bool shown) {
    if (imageGroup_) imageGroup_->setHidden(!shown);
}

void DiskList::Retranslate() {
    ApplyHeaderTexts();
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = topLevelItem(i);
        if (KindOf(row) == DiskRow) {
            SetDiskText(row);
            for (int c = 0; c < row->childCount(); ++c)
                if (Target* target = TargetOf(row->child(c))) SetVolumeTexts(row->child(c), target->volume);
        }
    }
    if (!imageGroup_) return;
    imageGroup_->setText(0, Text("MainWnd", "ImageFileGroup"));
    // Sizes are written in the language's number format too.
    for (int i = 0; i < imageGroup_->childCount(); ++i) {
        QTreeWidgetItem* image = imageGroup_->child(i);
        for (int c = -1; c < image->childCount(); ++c) {
            QTreeWidgetItem* row = c < 0 ? image : image->child(c);
            if (const Target* target = TargetOf(row))
                row->setText(2, SizeText(target->source.sectorCount * target->source.bytesPerSector));
        }
    }
}

}  // namespace kestrune::ui
