#include "ui/recover_process_wnd.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QUrl>
#include <map>

#include "base/result_codes.h"
#include "session/destination.h"
#include "ui/message_box.h"
#include "ui/target.h"
#include "ui/texts.h"
#include "ui_recover_process_wnd.h"

namespace kestrune::ui {

RecoverProcessWnd::RecoverProcessWnd(QWidget* owner, Findings& findings, std::vector<FoundRef> chosen,
                                     QString destination, bool keepFolders)
    : ProgressWnd(owner, "RecoverProcessWnd", "MSG1103", MessageBox::Confirm, "MSG1104", "MSG1105"),
      ui_(std::make_unique<Ui::RecoverPanel>()),
      findings_(findings),
      chosen_(std::move(chosen)),
      destination_(std::move(destination)),
      keepFolders_(keepFolders),
      total_(chosen_.size()) {
    ui_->setupUi(this);
    setObjectName("RecoverProcessWnd");
    resize(500, 250);
    initialSize_ = size();
    ApplyWindowTexts();
    setWindowTitle(ui_->Title->text());
    ui_->DetailList->setHeaderLabels({Text("RecoverProcessWnd", "File"), Text("RecoverProcessWnd", "Status")});
    ui_->DetailList->setColumnWidth(0, 440);
    connect(ui_->CancelBtn, &QPushButton::clicked, this, &RecoverProcessWnd::CloseRequested);
    connect(ui_->FinishBtn, &QPushButton::clicked, this, [this] { done(Finished); });
    connect(ui_->DetailBtn, &QPushButton::clicked, this, &RecoverProcessWnd::ToggleDetails);
    connect(ui_->OpenBtn, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(destination_)); });
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG1101"), "0"}));
}

RecoverProcessWnd::~RecoverProcessWnd() = default;

int RecoverProcessWnd::Work() {
    std::map<uint32_t, std::vector<ScanRecord>> byFindings;
    for (const FoundRef& ref : chosen_) byFindings[ref.findings].push_back(findings_[ref.findings].records[ref.record]);
    int part = 0;
    const int parts = static_cast<int>(byFindings.size());
    for (auto& [index, records] : byFindings) {
        Target* target = findings_[index].target;
        if (!target || !target->run) continue;
        // The destination is checked (and made) here, off the UI thread.
        std::filesystem::path resolved;
        int result = 0;
        const DestinationProblem problem =
            CheckRecoveryDestination(destination_.toStdString(), target->source, resolved, result);
        if (problem != DestinationProblem::None) {
            destinationProblem_ =
                QString::fromStdString(DestinationProblemText(problem, destination_.toStdString(), result));
            return Failed;
        }
        target->run->SetProgress(Sink(), Cancel(), part++, parts);
        RecoverySummary summary;
        const int rc = target->run->Recover(records, resolved, [this](const RecoveredFile& file) {
            const QString status = file.result != kOk ? QString::fromStdString(file.status)
                                   : file.alreadyThere ? Text("RecoverProcessWnd", "AlreadyThere")
                                                       : Text("RecoverProcessWnd", "Success");
            Row row{QString::fromStdString(file.target.string()), status, file.result != kOk, {}};
            if (!file.unreadable.empty()) ReadAroundRow(file, row);
            std::lock_guard lock(rowsLock_);
            newRows_.push_back(std::move(row));
        }, summary, keepFolders_);
        if (rc == CancelCode) return Closed;
        if (rc == kErrSharingViolation) {
            destinationProblem_ = Text("RecoverProcessWnd", "Busy");
            return Failed;
        }
    }
    return Finished;
}

void RecoverProcessWnd::ReadAroundRow(const RecoveredFile& file, Row& row) {
    uint64_t missing = 0;
    QStringList stretches;
    for (const UnreadableRange& range : file.unreadable) {
        missing += range.length;
        stretches << FormatText(Text("RecoverProcessWnd", "UnreadableAt"),
                                {QString::number(range.length), QString::number(range.fileOffset)});
    }
    if (!file.partial.empty()) row.path = QString::fromStdString(file.partial.string());
    row.status = FormatText(Text("RecoverProcessWnd", "ReadAround"),
                            {QString::number(missing), QString::number(file.record.fileSize)});
    row.statusTip = row.status + "\n" + stretches.join("\n");
}

void RecoverProcessWnd::AddRows() {
    std::vector<Row> rows;
    {
        std::lock_guard lock(rowsLock_);
        rows.swap(newRows_);
    }
    for (const Row& row : rows) {
        ++processed_;
        auto* item = new QTreeWidgetItem({row.path, row.status});
        item->setToolTip(0, row.path);
        item->setToolTip(1, row.statusTip.isEmpty() ? row.status : row.statusTip);
        if (row.failed) {
            ++failed_;
            item->setForeground(0, QColor(0xFF, 0, 0));
            item->setForeground(1, QColor(0xFF, 0, 0));
            ui_->DetailList->insertTopLevelItem(0, item);
        } else {
            ui_->DetailList->addTopLevelItem(item);
        }
        current_ = row.path;
    }
}

void RecoverProcessWnd::ShowProgress(const RunProgress& progress, const QString&) {
    AddRows();
    ui_->progress->setValue(progress.percent);
    ui_->current->setText(fontMetrics().elidedText(current_, Qt::ElideMiddle, ui_->current->width()));
    ui_->current->setToolTip(current_);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG1101"), QString::number(progress.percent)}));
    ui_->recovered->setText(FormatText(Msg("MSG1102"), {QString::number(processed_), QString::number(total_),
                                                        QString::number(processed_ - failed_),
                                                        QString::number(failed_)}));
}

void RecoverProcessWnd::WorkerFinished(int result) {
    RunProgress last;
    last.percent = result == Finished ? 100 : ui_->progress->value();
    ShowProgress(last, {});
    if (result == Closed) {
        done(Closed);
        return;
    }
    if (!destinationProblem_.isEmpty()) {
        MessageBox::Show(MessageBox::Error, this, destinationProblem_);
        done(Failed);
        return;
    }
    finished_ = true;
    ui_->FinishBtn->show();
    ui_->CancelBtn->hide();
    // Failures are worth seeing without a further click.
    if (failed_ > 0 && ui_->DetailList->isHidden()) ToggleDetails();
}

void RecoverProcessWnd::CloseRequested() {
    if (finished_) done(Finished);
    else AskCancel();
}

void RecoverProcessWnd::ToggleDetails() {
    const bool show = ui_->DetailList->isHidden();
    ui_->DetailList->setVisible(show);
    resize(show ? initialSize_ + QSize(150, 300) : initialSize_);
}

}  // namespace kestrune::ui
