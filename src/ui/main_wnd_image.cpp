// Image files in the main window: loading them into the disk list, and copying a disk,
// a partition or an image into a new one.
#include <QFileDialog>
#include <QFileInfo>
#include <QThread>

#include "disk/block_devices.h"
#include "session/destination.h"
#include "ui/create_image_process_wnd.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/file_dialog.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_main_wnd.h"

namespace kestrune::ui {

namespace {

struct ResolvedImage {
    QString path;
    bool ok = false;
    ScanSource source;
    std::vector<ScanSource> partitions;
    std::vector<std::string> partitionFileSystems;
    std::vector<std::vector<std::string>> partitionOthers;
    std::string fileSystem;
    std::vector<std::string> others;  // a second file system the image's area holds the marks of
};

ResolvedImage ResolveImage(const QString& path) {
    ResolvedImage out;
    out.path = path;
    std::string error;
    const QFileInfo info(path);
    // Less than one sector holds no disk; a folder or a device is not an image file.
    if (!info.isFile() || info.size() < 512) return out;
    // A partitioned image is opened as a disk of its own; its partitions are its rows.
    if (ResolveScanSource(path.toStdString(), 0, out.source, error) != 0 || (!out.source.isImage && !out.source.partitioned))
        return out;
    std::vector<std::pair<std::string, std::string>> geometry;
    if (out.source.partitioned) {
        out.partitions = TargetsOf(out.source);
        for (const ScanSource& partition : out.partitions) {
            std::string fileSystem;
            std::vector<std::string> others;
            ProbeSource(partition, fileSystem, geometry, &others);
            out.partitionFileSystems.push_back(fileSystem == "other" ? std::string() : fileSystem);
            out.partitionOthers.push_back(others);
        }
    } else {
        ProbeSource(out.source, out.fileSystem, geometry, &out.others);
    }
    out.ok = true;
    return out;
}

}  // namespace

void MainWnd::LoadImageClicked() {
    QFileDialog dialog(this, Text("MainWnd", "TxtLoadImageTitle"));
    dialog.setObjectName("LoadImageDialog");
    dialog.setFileMode(QFileDialog::ExistingFile);
    // Raw copies and the containers virtual machines and forensic tools keep disks in; the
    // first piece of a raw image cut in pieces stands for them all.
    dialog.setNameFilters({Text("MainWnd", "TxtDiskImageFilter"), "*"});
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QStringList chosen = RunFileDialog(dialog);
    if (!chosen.isEmpty()) LoadImages(chosen);
}

void MainWnd::LoadImages(const QStringList& paths) {
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString path = paths[i];
        const bool select = i == 0;  // of several images named at once, the first is selected
        jobs_.Run<ResolvedImage>([path] { return ResolveImage(path); },
                                 [this, select](ResolvedImage resolved) {
                                     if (!resolved.ok) {
                                         MessageBox::Show(MessageBox::Information, this,
                                                          FormatText(Text("MainWnd", "TxtNotDiskImage"),
                                                                     {resolved.path}));
                                         emit imageLoaded(false);
                                         return;
                                     }
                                     auto image = std::make_unique<Target>();
                                     image->isImage = true;
                                     image->imagePath = resolved.path;
                                     image->imageNumber = ++nextImageNumber_;
                                     image->source = resolved.source;
                                     image->volume.fileSystemName = resolved.fileSystem;
                                     image->volume.otherFileSystems = resolved.others;
                                     std::vector<std::unique_ptr<Target>> partitions;
                                     for (size_t i = 0; i < resolved.partitions.size(); ++i) {
                                         auto t = std::make_unique<Target>();
                                         t->isImage = true;
                                         t->imagePath = resolved.path;
                                         t->imageNumber = image->imageNumber;
                                         t->source = resolved.partitions[i];
                                         t->volume.fileSystemName = resolved.partitionFileSystems[i];
                                         t->volume.otherFileSystems = resolved.partitionOthers[i];
                                         partitions.push_back(std::move(t));
                                     }
                                     AddImageTarget(std::move(image), std::move(partitions), select);
                                     emit imageLoaded(true);
                                 });
    }
}

void MainWnd::AddImageTarget(std::unique_ptr<Target> image, std::vector<std::unique_ptr<Target>> partitions,
                             bool select) {
    std::vector<Target*> children;
    for (auto& partition : partitions) children.push_back(Adopt(std::move(partition)));
    QTreeWidgetItem* row = ui_->DiskList->AddImage(Adopt(std::move(image)), children);
    ui_->DiskList->ShowImageRows(!imageMode_);
    if (select) ui_->DiskList->setCurrentItem(row);
}

bool MainWnd::ImageDestinationRefused(const QString& path, const ScanSource& source, uint64_t bytes) {
    const DestinationProblem problem = CheckImageDestination(path.toStdString(), source, bytes, false);
    QString text;
    switch (problem) {
        case DestinationProblem::None: return false;
        case DestinationProblem::OnSource:
        case DestinationProblem::ImageOnSource: text = Msg("MSG0218"); break;
        case DestinationProblem::Fat32TooSmall: text = Msg("MSG0220"); break;
        case DestinationProblem::FatTooSmall: text = Msg("MSG0219"); break;
        case DestinationProblem::NoSpace: text = Msg("MSG0221"); break;
        default: text = QString::fromStdString(DestinationProblemText(problem, path.toStdString(), 0)); break;
    }
    MessageBox::Show(MessageBox::Information, this, text);
    return true;
}

void MainWnd::CreateImageClicked() {
    QTreeWidgetItem* row = ui_->DiskList->ChosenRow();
    const std::vector<Target*> targets = DiskList::TargetsOf(row);
    if (!targetChosen_ || targets.empty()) {
        MessageBox::Show(MessageBox::Information, this, Msg("MSG0216"));
        return;
    }
    ScanSource source;
    QString proposal;
    if (DiskList::KindOf(row) == DiskList::DiskRow) {
        // The whole disk: from its first sector to the end of its last area.
        const VolumeRecord& first = targets.front()->volume;
        source = SourceOfVolume(first);
        source.startSector = 0;
        source.sectorCount = 0;
        for (const Target* t : targets)
            source.sectorCount = std::max(source.sectorCount, t->volume.startSector + t->volume.sectorCount);
        // The disk's own length (one query of the device) also covers sectors past its last
        // listed area.
        uint64_t length = 0;
        if (DiskLengthBytes(length, first.diskNumber) == 0 && source.bytesPerSector)
            source.sectorCount = std::max(source.sectorCount, length / source.bytesPerSector);
        source.text = first.devicePath;
        proposal = FormatText(Text("MainWnd", "TxtPhysicalDisk"), {QString::number(first.diskNumber + 1)});
    } else if (targets.front()->isImage && DiskList::KindOf(row) == DiskList::ImageRow) {
        source = targets.front()->source;
        source.partition = 0;
        proposal = QFileInfo(targets.front()->imagePath).completeBaseName() + " copy";
    } else {
        const Target* t = targets.front();
        source = t->source;
        proposal = QString("%1 (%2, %3)").arg(t->isImage ? t->DisplayName() : QString::number(t->volume.letter),
                                             QString::fromStdString(t->volume.fileSystemName),
                                             SizeText(source.sectorCount * source.bytesPerSector));
    }
    const uint64_t bytes = source.sectorCount * source.bytesPerSector;
    QString path;
    for (;;) {
        QFileDialog dialog(this, Text("MainWnd", "TxtSaveImageTitle"));
        dialog.setObjectName("SaveImageDialog");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(Text("MainWnd", "TxtImageFilter"));
        dialog.setDefaultSuffix("img");
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.selectFile(proposal + ".img");
        const QStringList chosen = RunFileDialog(dialog);
        if (chosen.isEmpty()) return;
        path = chosen.front();
        if (!ImageDestinationRefused(path, source, bytes)) break;
    }
    ImageRequest request;
    request.source = source;
    request.destination = path.toStdString();
    CreateImageProcessWnd window(this, request);
    const int result = window.Run();
    if (result == PopUpWnd::Failed) {
        QThread::msleep(100);
        MessageBox::Show(MessageBox::Information, this, Msg("MSG0217"));
        return;
    }
    if (result != PopUpWnd::Finished) return;
    if (MessageBox::Show(MessageBox::Question, this, Msg("MSG0214")) != MessageBox::Ok) return;
    ChooseMode(ScanMode::Deep, false);
    LoadImages({path});
}

}  // namespace kestrune::ui
