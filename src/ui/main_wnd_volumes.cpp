// Lost partitions in the main window: a whole disk or an image searched for the volumes
// its table no longer names, in the background, and each one found added below it as a
// row to scan like a partition.
#include "disk/block_devices.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_main_wnd.h"

namespace kestrune::ui {

namespace {

struct SearchOutcome {
    DiskSearch search;
    int result = 0;
    std::string error;
};

}  // namespace

void MainWnd::FindVolumesClicked() {
    QTreeWidgetItem* row = ui_->DiskList->ChosenRow();
    if (!row || findingVolumes_) return;
    std::string text;
    if (DiskList::KindOf(row) == DiskList::DiskRow) text = "disk:" + std::to_string(row->data(0, DiskList::DiskNumberRole).toInt());
    else if (const Target* image = DiskList::TargetOf(row); image && image->isImage) text = image->imagePath.toStdString();
    if (text.empty()) return;
    findingVolumes_ = true;
    ui_->BtnFindVolumes->setEnabled(false);
    ui_->BtnFindVolumes->setText(Text("MainWnd", "TxtFindingVolumes"));
    // The row may go (a disk unplugged) while the search runs: it is found again by what it shows.
    const QPersistentModelIndex where = ui_->DiskList->indexFromItem(row);
    jobs_.Run<SearchOutcome>(
        [text] {
            SearchOutcome outcome;
            outcome.result = SearchDiskVolumes(text, outcome.search, {}, outcome.error);
            return outcome;
        },
        [this, where](SearchOutcome outcome) {
            findingVolumes_ = false;
            ui_->BtnFindVolumes->setText(Text("MainWnd", "BtnFindVolumes"));
            ui_->BtnFindVolumes->setEnabled(true);
            QTreeWidgetItem* row = where.isValid() ? ui_->DiskList->itemFromIndex(where) : nullptr;
            if (outcome.result != 0 || !row) {
                MessageBox::Show(MessageBox::Warning, this,
                                 FormatText(Text("MainWnd", "TxtFindVolumesFailed"),
                                            {QString::fromStdString(outcome.search.name),
                                             QString::fromStdString(outcome.error)}));
                return;
            }
            AddFoundVolumes(row, outcome.search);
        });
}

void MainWnd::AddFoundVolumes(QTreeWidgetItem* row, const DiskSearch& search) {
    const Target* parent = DiskList::TargetOf(row);
    const bool image = DiskList::KindOf(row) == DiskList::ImageRow;
    const int disk = image ? RegisterVirtualDisk(search.name) : row->data(0, DiskList::DiskNumberRole).toInt();
    // Volumes already shown (the table's, or found by an earlier search) are not added twice.
    std::vector<uint64_t> shown;
    for (int i = 0; i < row->childCount(); ++i)
        if (const Target* t = DiskList::TargetOf(row->child(i))) shown.push_back(t->source.startSector);
    std::vector<Target*> added;
    for (const VolumeFinding& v : search.volumes) {
        if (v.partition != 0 || std::find(shown.begin(), shown.end(), v.startSector) != shown.end()) continue;
        auto target = std::make_unique<Target>();
        target->isImage = image;
        if (image && parent) {
            target->imagePath = parent->imagePath;
            target->imageNumber = parent->imageNumber;
        }
        ScanSource& source = target->source;
        source.disk = disk;
        source.startSector = v.startSector;
        source.sectorCount = v.sectorCount;
        source.bytesPerSector = search.sectorSize;
        source.text = "disk:" + std::to_string(disk) + ":" + std::to_string(v.startSector) + ":" +
                      std::to_string(v.sectorCount);
        VolumeRecord& volume = target->volume;
        volume.found = true;
        volume.diskNumber = disk;
        volume.partitionNumber = 0;
        volume.partitionType = kGptPartitionType;
        volume.startSector = v.startSector;
        volume.sectorCount = v.sectorCount;
        volume.totalBytes = v.sectorCount * search.sectorSize;
        volume.fileSystemName = v.fileSystem;
        volume.volumeLabel = v.label;
        volume.letter = static_cast<uint16_t>(row->childCount() + added.size() + 1);
        added.push_back(Adopt(std::move(target)));
    }
    if (added.empty()) {
        MessageBox::Show(MessageBox::Information, this,
                         FormatText(Text("MainWnd", "TxtNoVolumesFound"), {QString::fromStdString(search.name)}));
        return;
    }
    ui_->DiskList->AddFoundVolumes(row, added);
    ui_->DiskList->setCurrentItem(row->child(row->childCount() - static_cast<int>(added.size())));
}

}  // namespace kestrune::ui
