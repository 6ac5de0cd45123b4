// The main window's flow from the disk list to the recovered files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <algorithm>
#include <map>

#include "app/ini_file.h"
#include "app/language_table.h"
#include "disk/block_devices.h"
#include "disk/disk_health.h"
#include "scanlog/file_types.h"
#include "scanlog/scan_catalogue.h"
#include "session/destination.h"
#include "session/scan_source.h"
#include "ui/disk_list.h"
#include "ui/file_type_page.h"
#include "ui/found_files_model.h"
#include "ui/main_wnd.h"
#include "ui/file_dialog.h"
#include "ui/message_box.h"
#include "ui/preview_pane.h"
#include "ui/results_view.h"
#include "ui/recover_process_wnd.h"
#include "ui/scan_process_wnd.h"
#include "ui/search_process_wnd.h"
#include "ui/texts.h"
#include "ui/udisks_access.h"
#include "ui_main_wnd.h"

namespace kestrune::ui {

Target* MainWnd::Adopt(std::unique_ptr<Target> target) {
    targets_.push_back(std::move(target));
    return targets_.back().get();
}

void MainWnd::ClearFindings() {
    stoppedAt_.reset();
    results_->Clear();
    findings_.clear();
    index_ = {};
    ticked_.Reset(findings_);
    preview_->Clear();
    UpdateSelectionSummary();
}

// Rows that went away take their targets, and any findings of those targets, with them.
void MainWnd::Forget(const std::vector<Target*>& gone) {
    if (gone.empty()) return;
    bool findingsGone = false;
    for (const TargetFindings& found : findings_)
        findingsGone = findingsGone || std::find(gone.begin(), gone.end(), found.target) != gone.end();
    if (findingsGone) ClearFindings();
    std::erase_if(lastTargets_, [&](Target* t) { return std::find(gone.begin(), gone.end(), t) != gone.end(); });
    std::erase_if(targets_, [&](const std::unique_ptr<Target>& t) {
        return std::find(gone.begin(), gone.end(), t.get()) != gone.end();
    });
}

QTreeWidgetItem* MainWnd::RowOfTarget(const Target* target) const {
    for (QTreeWidgetItem* row : ui_->DiskList->TargetRows())
        if (DiskList::TargetOf(row) == target) return row;
    return nullptr;
}

void MainWnd::ListDisks() {
    jobs_.Run<std::vector<VolumeRecord>>(ListMachineVolumes,
                                         [this](std::vector<VolumeRecord> volumes) { BuildDiskList(volumes); });
}

void MainWnd::BuildDiskList(const std::vector<VolumeRecord>& volumes) {
    for (QTreeWidgetItem* row : ui_->DiskList->TargetRows()) {
        if (DiskList::KindOf(row) != DiskList::VolumeRow) continue;
        const int disk = row->parent() ? row->parent()->data(0, DiskList::DiskNumberRole).toInt() : -1;
        RemoveVolumesOf(disk);
    }
    knownVolumes_ = volumes;
    AddVolumes(volumes, false);
    emit disksListed();
}

void MainWnd::AddVolumes(const std::vector<VolumeRecord>& volumes, bool selectRemovable) {
    std::map<int, std::vector<std::pair<VolumeRecord, Target*>>> byDisk;
    std::map<int, bool> removable;
    for (const VolumeRecord& volume : volumes) {
        auto target = std::make_unique<Target>();
        target->volume = volume;
        target->source = SourceOfVolume(volume);
        byDisk[volume.diskNumber].push_back({volume, Adopt(std::move(target))});
        removable[volume.diskNumber] = removable[volume.diskNumber] || volume.removable;
    }
    QTreeWidgetItem* select = nullptr;
    for (const auto& [disk, rows] : byDisk) {
        QTreeWidgetItem* header = ui_->DiskList->AddDisk(disk, removable[disk], rows);
        if (selectRemovable && removable[disk] && !select && header->childCount()) select = header->child(0);
    }
    if (select) ui_->DiskList->setCurrentItem(select);
}

void MainWnd::RemoveVolumesOf(int disk) {
    if (disk < 0) return;
    Forget(ui_->DiskList->RemoveDisk(disk));
}

void MainWnd::PreSelect() {
    DiskList* list = ui_->DiskList;
    list->ShowImageRows(!imageMode_);
    QTreeWidgetItem* choice = nullptr;
    for (QTreeWidgetItem* row : list->TargetRows()) {
        const Target* target = DiskList::TargetOf(row);
        if (!target->isImage && target->volume.removable && target->volume.partitionType != 0) {
            choice = row;
            break;
        }
    }
    // The row already chosen stays chosen while the page shows it; otherwise the first row
    // under the first header shown, or none: a row the page hides is never acted on.
    if (!choice && list->ChosenRow()) return;
    for (int i = 0; !choice && i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* header = list->topLevelItem(i);
        if (!header->isHidden() && header->childCount() > 0) choice = header->child(0);
    }
    if (choice) {
        list->setCurrentItem(choice);
    } else {
        list->clearSelection();
        list->setCurrentItem(nullptr);
    }
    ShowDiskInfo();
}

namespace {

// Whether this user must ask for the right to read the target's disk. Only the device's
// permissions are looked at, so selecting a row never touches the disk itself.
bool NeedsRights(const Target& target) {
    if (target.isImage || ::geteuid() == 0) return false;
    const std::filesystem::path device = DevicePathOf(target.source);
    return !device.empty() && !HasAdoptedDescriptor(device) && ::faccessat(AT_FDCWD, device.c_str(), R_OK, AT_EACCESS) != 0;
}

}  // namespace

void MainWnd::ShowDiskInfo() {
    QLabel* labels[] = {ui_->Label1, ui_->Label2, ui_->Label3, ui_->Label4, ui_->Label5, ui_->Label6};
    QTreeWidgetItem* row = ui_->DiskList->ChosenRow();
    const std::vector<Target*> targets = DiskList::TargetsOf(row);
    targetChosen_ = !targets.empty();
    ui_->BtnScan->setEnabled(targetChosen_ && !imageMode_);
    ui_->BtnCreateImage->setEnabled(targetChosen_);
    QStringList texts;
    if (row && row->childCount() == 0 && targets.size() == 1) {
        const Target* t = targets.front();
        if (t->volume.found) {
            // A volume the search found has no free space to tell: where it lies instead.
            const VolumeRecord& v = t->volume;
            texts << (v.volumeLabel.empty() ? Msg("MSG0204")
                                            : FormatText("%s %s", {Msg("MSG0204"), QString::fromStdString(v.volumeLabel)}))
                  << FormatText("%s %s", {Msg("MSG0205"), QString::fromStdString(v.fileSystemName)})
                  << FormatText("%s %s", {Msg("MSG0206"), SizeText(v.totalBytes)})
                  << FormatText(Text("MainWnd", "TxtFoundAt"), {QString::number(v.startSector)});
            if (t->isImage) texts << FormatText("%s %s", {Msg("MSG0209"), t->imagePath});
        } else if (t->isImage) {
            texts << FormatText("%s %s", {Msg("MSG0209"), t->imagePath})
                  << FormatText("%s %s", {Msg("MSG0210"), SizeText(t->source.sectorCount * t->source.bytesPerSector)});
        } else {
            const VolumeRecord& v = t->volume;
            texts << FormatText("%s %d", {Msg("MSG0203"), QString::number(v.letter)})
                  << (v.volumeLabel.empty() ? Msg("MSG0204")
                                            : FormatText("%s %s", {Msg("MSG0204"), QString::fromStdString(v.volumeLabel)}))
                  << FormatText("%s %s", {Msg("MSG0205"), QString::fromStdString(v.fileSystemName)})
                  << FormatText("%s %s", {Msg("MSG0206"), SizeText(v.totalBytes)})
                  << FormatText("%s %s", {Msg("MSG0207"), v.spaceKnown ? SizeText(v.usedBytes) : Text("MainWnd", "TxtSpaceUnknown")})
                  << FormatText("%s %s", {Msg("MSG0208"), v.spaceKnown ? SizeText(v.freeBytes) : Text("MainWnd", "TxtSpaceUnknown")});
        }
    }
    for (int i = 0; i < 6; ++i) {
        labels[i]->setText(texts.value(i));
        labels[i]->setToolTip(texts.value(i));
        // An image has fewer details than a volume: the lines it leaves empty take no room.
        labels[i]->setVisible(!texts.value(i).isEmpty());
    }
    // A whole disk (or an image) may hold partitions its table no longer names.
    const DiskList::RowKind kind = DiskList::KindOf(row);
    ui_->BtnFindVolumes->setVisible(row && !imageMode_ && (kind == DiskList::DiskRow || kind == DiskList::ImageRow));
    ui_->BtnFindVolumes->setEnabled(!findingVolumes_);
    const bool needsRights = std::any_of(targets.begin(), targets.end(), [](const Target* t) { return NeedsRights(*t); });
    ui_->LabelRights->setText(needsRights ? Msg("MSG0513") : QString());
    ui_->LabelRights->setVisible(needsRights);
}

void MainWnd::DiskRowDoubleClicked(QTreeWidgetItem* row) {
    if (row->childCount() > 0) row->setExpanded(!row->isExpanded());
    else if (!imageMode_ && DiskList::TargetOf(row)) Scan();
}

void MainWnd::Scan() {
    QTreeWidgetItem* chosen = ui_->DiskList->ChosenRow();
    if (!targetChosen_ || !chosen) {
        MessageBox::Show(MessageBox::Information, this, Msg("MSG0505"));
        return;
    }
    scanFromTypePage_ = currentPage() == FileTypePage_;
    std::vector<Target*> targets = DiskList::TargetsOf(chosen);
    // A whole disk in quick mode: only its volumes with a known file system have one to
    // read; the gaps and the other partitions are worth a formatted or deep scan only.
    if (mode_ == ScanMode::Quick && targets.size() > 1)
        std::erase_if(targets, [](const Target* t) { return !t->isImage && !HoldsKnownFileSystem(t->volume); });
    if (targets.empty()) {
        MessageBox::Show(MessageBox::Information, this, Msg("MSG0505"));
        return;
    }
    targets = ReadableTargets(std::move(targets));
    if (targets.empty() || !FailingDisksAllowScan(targets)) return;
    if (!ChooseFileSystems(targets) || !AskPassphrases(targets) || targets.empty()) return;
    // The findings of the last scan refer to its runs, which this scan replaces.
    ClearFindings();
    std::vector<std::string> quickFolders;
    for (Target* last : lastTargets_) {
        if (last->run && lastMode_ == ScanMode::Quick) quickFolders.push_back(last->run->runFolder());
        last->run.reset();
    }
    ScanProcessWnd window(this, targets, mode_);
    window.ListExistingFiles(mode_ == ScanMode::Quick && ui_->ChkExistingFiles->isChecked());
    window.DiscardFirst(std::move(quickFolders));
    scanRunning_ = true;
    const int result = window.Run();
    scanRunning_ = false;
    if (window.stopped()) stoppedAt_ = window.percentDone();
    lastTargets_ = targets;
    lastMode_ = mode_;
    QStringList problems;
    for (const ScanProcessWnd::Failure& failure : window.failures())
        problems << FormatText(Text("MainWnd", "TxtSourceFailed"), {failure.target->DisplayName(), failure.problem});
    if (result == PopUpWnd::Failed) {
        MessageBox::Show(MessageBox::Warning, this, Msg("MSG0504") + "\n\n" + problems.join('\n'));
        return;
    }
    if (!problems.isEmpty()) MessageBox::Show(MessageBox::Warning, this, problems.join('\n'));
    LoadResults(targets);
}

bool MainWnd::ChooseFileSystems(const std::vector<Target*>& targets) {
    for (Target* target : targets) {
        target->source.chosenFileSystem.clear();
        const VolumeRecord& v = target->volume;
        if (mode_ != ScanMode::Quick || v.otherFileSystems.empty() || v.fileSystemName.empty()) continue;
        // Both file systems may be valid: the user says which one the quick scan reads.
        QStringList names{QString::fromStdString(v.fileSystemName)};
        for (const std::string& other : v.otherFileSystems) names << QString::fromStdString(other);
        QInputDialog dialog(this);
        dialog.setObjectName("ChooseFileSystemDialog");
        dialog.setWindowTitle(Msg("MSG1209"));
        dialog.setLabelText(FormatText(Text("MainWnd", "TxtTwoFileSystems"), {target->DisplayName(), names.join(", ")}));
        dialog.setComboBoxItems(names);
        dialog.setOkButtonText(Text("MainWnd", "BtnScan"));
        dialog.setCancelButtonText(Text("MessageBox", "cancelbtn"));
        if (dialog.exec() != QDialog::Accepted) return false;
        std::string chosen = dialog.textValue().toLower().toStdString();
        if (chosen.rfind("ext", 0) == 0) chosen = "ext";
        else if (chosen.rfind("fat", 0) == 0) chosen = "fat";
        target->source.chosenFileSystem = chosen;
    }
    return true;
}

bool MainWnd::AskPassphrases(std::vector<Target*>& targets) {
    QStringList locked;
    for (Target* target : targets) {
        const std::string encryption = EncryptionOf(*target);
        if (encryption == "BitLocker") locked << FormatText(Text("MainWnd", "TxtBitLocker"), {target->DisplayName()});
        if (encryption.empty() || encryption == "BitLocker") continue;
        QInputDialog dialog(this);
        dialog.setObjectName("PassphraseDialog");
        dialog.setWindowTitle(Text("MainWnd", "TxtPassphraseTitle"));
        dialog.setLabelText(
            FormatText(Text("MainWnd", "TxtPassphrase"), {target->DisplayName(), QString::fromStdString(encryption)}));
        dialog.setTextEchoMode(QLineEdit::Password);
        dialog.setOkButtonText(Text("MainWnd", "BtnScan"));
        dialog.setCancelButtonText(Text("MessageBox", "cancelbtn"));
        if (dialog.exec() != QDialog::Accepted) return false;
        // The volume is opened by the scan, on its worker: its key derivation takes seconds.
        target->passphrase = dialog.textValue().toStdString();
        dialog.setTextValue(QString());
    }
    std::erase_if(targets, [](const Target* t) { return EncryptionOf(*t) == "BitLocker"; });
    if (!locked.isEmpty()) MessageBox::Show(MessageBox::Information, this, locked.join('\n'));
    return true;
}

std::vector<Target*> MainWnd::ReadableTargets(std::vector<Target*> targets) {
    if (::geteuid() == 0) return targets;
    std::map<std::string, QString> refused;  // device -> why
    std::vector<Target*> readable;
    for (Target* target : targets) {
        const std::filesystem::path device = DevicePathOf(target->source);
        if (device.empty() || AccessAdvice(target->source).empty()) {
            readable.push_back(target);
            continue;
        }
        if (!refused.count(device.string())) {
            // The answer may wait on a password dialog: after a moment the user is told what
            // is awaited and may give up; the window stays alive meanwhile.
            UdisksAccess access;
            QEventLoop wait;
            QString problem;
            bool gaveUp = false;
            connect(&access, &UdisksAccess::finished, &wait, [&](const QString&, bool granted, const QString& why) {
                if (!granted) problem = why;
                wait.quit();
            });
            QProgressDialog waiting(FormatText(Msg("MSG0516"), {QString::fromStdString(device.string())}),
                                    Text("MessageBox", "cancelbtn"), 0, 0, this);
            waiting.setObjectName("UdisksWaitDialog");
            waiting.setWindowTitle(Msg("MSG1209"));
            waiting.setWindowModality(Qt::WindowModal);
            waiting.setMinimumDuration(800);
            connect(&waiting, &QProgressDialog::canceled, &wait, [&] {
                gaveUp = true;
                access.Abandon();
                wait.quit();
            });
            access.Request(QString::fromStdString(device.string()));
            wait.exec();
            waiting.reset();
            if (gaveUp) return {};
            if (problem.isEmpty()) {
                readable.push_back(target);
                continue;
            }
            refused[device.string()] = problem;
        }
    }
    // A granted disk no longer needs the panel's note on rights.
    ShowDiskInfo();
    if (!refused.empty()) {
        QStringList problems;
        for (const auto& [device, why] : refused) problems << why;
        MessageBox::Show(MessageBox::Warning, this, problems.join('\n'));
    }
    return readable;
}

bool MainWnd::FailingDisksAllowScan(const std::vector<Target*>& targets) {
    std::vector<std::string> devices;
    for (const Target* target : targets) {
        struct stat info {};
        const std::string& device = target->volume.devicePath;
        if (!target->isImage && ::stat(device.c_str(), &info) == 0 && S_ISBLK(info.st_mode) &&
            std::find(devices.begin(), devices.end(), device) == devices.end())
            devices.push_back(device);
    }
    if (devices.empty()) return true;
    using Answers = std::vector<std::pair<std::string, DiskHealth>>;
    // The answer is a courtesy: a drive or service that is slow to give it is not waited
    // for in silence. After a moment the user sees what is asked and may go on without it;
    // an answer that comes after that is dropped.
    struct Asking {
        Answers answers;
        bool done = false;
        QEventLoop wait;
    };
    auto asking = std::make_shared<Asking>();
    jobs_.Run<Answers>(
        [devices] {
            Answers asked;
            for (const std::string& device : devices) asked.emplace_back(device, ReadDiskHealth(device));
            return asked;
        },
        [asking](Answers result) {
            asking->answers = std::move(result);
            asking->done = true;
            asking->wait.quit();
        });
    QProgressDialog waiting(Text("MainWnd", "TxtAskingHealth"), Text("MainWnd", "BtnSkipHealth"), 0, 0, this);
    waiting.setObjectName("HealthWaitDialog");
    waiting.setWindowTitle(Msg("MSG1209"));
    waiting.setWindowModality(Qt::WindowModal);
    waiting.setMinimumDuration(800);
    connect(&waiting, &QProgressDialog::canceled, &asking->wait, &QEventLoop::quit);
    if (!asking->done) asking->wait.exec();
    waiting.reset();
    const Answers answers = asking->answers;
    for (const auto& [device, health] : answers) {
        if (!health.Worrying()) continue;
        QStringList signs;
        if (health.failing) signs << Text("MainWnd", "TxtHealthFailing");
        if (health.pendingSectors > 0)
            signs << FormatText(Text("MainWnd", "TxtHealthPending"), {QString::number(health.pendingSectors)});
        if (health.uncorrectableSectors > 0)
            signs << FormatText(Text("MainWnd", "TxtHealthUncorrectable"), {QString::number(health.uncorrectableSectors)});
        if (health.pendingSectors <= 0 && health.uncorrectableSectors <= 0 && health.badSectors > 0)
            signs << FormatText(Text("MainWnd", "TxtHealthBad"), {QString::number(health.badSectors)});
        QMessageBox box(QMessageBox::Warning, Text("MainWnd", "TxtFailingDiskTitle"),
                        FormatText(Text("MainWnd", "TxtFailingDisk"),
                                   {QString::fromStdString(device), signs.join("; ")}),
                        QMessageBox::NoButton, this);
        box.setObjectName("FailingDiskBox");
        QPushButton* imageFirst = box.addButton(Text("MainWnd", "BtnImageFirst"), QMessageBox::AcceptRole);
        imageFirst->setObjectName("BtnImageFirst");
        QPushButton* scanAnyway = box.addButton(Text("MainWnd", "BtnScanAnyway"), QMessageBox::DestructiveRole);
        scanAnyway->setObjectName("BtnScanAnyway");
        QPushButton* cancel = box.addButton(Text("MessageBox", "cancelbtn"), QMessageBox::RejectRole);
        cancel->setObjectName("BtnCancelScan");
        box.setDefaultButton(imageFirst);
        box.exec();
        if (box.clickedButton() == scanAnyway) continue;
        if (box.clickedButton() == imageFirst) OfferImageOf(QString::fromStdString(device));
        return false;
    }
    return true;
}

void MainWnd::OfferImageOf(const QString& device) {
    ChooseMode(mode_, true);
    for (int i = 0; i < ui_->DiskList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = ui_->DiskList->topLevelItem(i);
        const std::vector<Target*> targets = DiskList::TargetsOf(row);
        if (DiskList::KindOf(row) != DiskList::DiskRow || targets.empty() ||
            QString::fromStdString(targets.front()->volume.devicePath) != device)
            continue;
        ui_->DiskList->setCurrentItem(row);
        CreateImageClicked();
        return;
    }
}

void MainWnd::LoadResults(const std::vector<Target*>& scanned) {
    std::vector<Target*> withRuns;
    for (Target* target : scanned)
        if (target->run) withRuns.push_back(target);
    if (withRuns.empty()) return;
    SearchProcessWnd window(this, withRuns, fileTypes_->SearchPattern());
    if (window.Run() != PopUpWnd::Finished) return;
    ShowFindings(std::move(window.findings()), std::move(window.index()));
}

void MainWnd::ShowFindings(Findings findings, ResultIndex index) {
    results_->Clear();
    findings_ = std::move(findings);
    index_ = std::move(index);
    ticked_.Reset(findings_);
    results_->Show(index_);
    ShowResults();
    ShowPage(ResultsPage);
    UpdateSelectionSummary();
    emit resultsShown();
}

void MainWnd::ShowResults() {
    ui_->TabRecover->setEnabled(true);
    SetBanner(ResultsPage);
}

// The chosen file in the preview pane.
void MainWnd::ShowFileDetails(const QModelIndex& index) {
    const auto& rows = results_->files()->rows();
    if (!index.isValid() || index.row() >= static_cast<int>(rows.size())) {
        preview_->Clear();
        return;
    }
    const FoundRef& ref = rows[index.row()];
    preview_->Show(findings_[ref.findings], ref.record);
}

void MainWnd::UpdateSelectionSummary() {
    const uint64_t bytes = ticked_.bytes();
    ui_->BtnRecover->setEnabled(!ticked_.empty());
    QString summary = Msg("MSG0803");
    if (ticked_.size() == 1) summary = FormatText(Msg("MSG0814"), {SizeText(bytes)});
    else if (!ticked_.empty()) summary = FormatText(Msg("MSG0804"), {SizeText(bytes), QString::number(ticked_.size())});
    ui_->SelectedFileInfo->setText(summary);
}

void MainWnd::Recover() {
    if (ticked_.empty()) return;
    // What is recovered is what the user sees ticked: ticks the filter hides are asked about.
    std::vector<FoundRef> files = ticked_.List();
    const ResultTicks& ticks = results_->ticks();
    const uint64_t hidden = ticked_.size() - ticks.All().ticked;
    if (hidden > 0) {
        QMessageBox box(QMessageBox::Question, Msg("MSG1209"),
                        FormatText(Text("MainWnd", "TxtHiddenTicks"),
                                   {QString::number(hidden), QString::number(ticked_.size()),
                                    QString::number(ticks.All().ticked)}),
                        QMessageBox::NoButton, this);
        box.setObjectName("HiddenTicksBox");
        QPushButton* shownOnly = box.addButton(Text("MainWnd", "BtnShownOnly"), QMessageBox::AcceptRole);
        shownOnly->setObjectName("BtnShownOnly");
        QPushButton* all = box.addButton(Text("MainWnd", "BtnAllTicked"), QMessageBox::AcceptRole);
        all->setObjectName("BtnAllTicked");
        box.addButton(Text("MessageBox", "cancelbtn"), QMessageBox::RejectRole)->setObjectName("BtnCancel");
        box.setDefaultButton(shownOnly);
        box.exec();
        if (box.clickedButton() == shownOnly)
            std::erase_if(files, [&ticks](const FoundRef& ref) { return !ticks.Shown(ref); });
        else if (box.clickedButton() != all)
            return;
        if (files.empty()) return;
    }
    QFileDialog dialog(this, Text("MainWnd", "TxtRecoverFolder"));
    dialog.setObjectName("RecoverFolderDialog");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    // Where the files go inside the folder: their type's folders, or the folders they
    // were found in; the choice is kept for next time.
    auto* keepFolders = new QCheckBox(Text("MainWnd", "TxtKeepFolders"), &dialog);
    keepFolders->setObjectName("KeepFolders");
    const std::filesystem::path settings = LanguageTable::Instance().UserSettings();
    keepFolders->setChecked(IniFile::Load(settings).Value("Recover", "KeepFolders").value_or("0") == "1");
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
        grid->addWidget(keepFolders, grid->rowCount(), 0, 1, grid->columnCount());
    const QStringList chosen = RunFileDialog(dialog);
    if (chosen.isEmpty()) return;
    QString folder = chosen.front();
    if (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
    bool onSource = false;
    for (const TargetFindings& found : findings_)
        onSource = onSource || (found.target && DestinationOnSource(folder.toStdString(), found.target->source));
    // Writing there could overwrite the very files being recovered: refused, not asked.
    if (onSource) {
        MessageBox::Show(MessageBox::Error, this, Msg("MSG0805"));
        return;
    }
    if (!settings.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(settings.parent_path(), ec);
        WriteIniValue(settings, "Recover", "KeepFolders", keepFolders->isChecked() ? "1" : "0");
    }
    RecoverProcessWnd window(this, findings_, std::move(files), folder, keepFolders->isChecked());
    window.Run();
}

}  // namespace kestrune::ui
