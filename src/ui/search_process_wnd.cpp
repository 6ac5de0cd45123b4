#include "ui/search_process_wnd.h"

#include <QPushButton>

#include "base/result_codes.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_progress_wnd.h"

namespace kestrune::ui {

SearchProcessWnd::SearchProcessWnd(QWidget* owner, std::vector<Target*> targets, std::string pattern)
    : ProgressWnd(owner, "SearchProcessWnd", "MSG1205", MessageBox::Question, "MSG1210", "MSG1211"),
      ui_(std::make_unique<Ui::ProgressPanel>()),
      targets_(std::move(targets)),
      pattern_(std::move(pattern)) {
    ui_->setupUi(this);
    setObjectName("SearchProcessWnd");
    resize(450, 220);
    ui_->time->hide();
    ApplyWindowTexts();
    setWindowTitle(ui_->Title->text());
    connect(ui_->cancelbtn, &QPushButton::clicked, this, &SearchProcessWnd::AskCancel);
    for (const Target* target : targets_) {
        stages_.push_back(target->isImage ? FormatText(Msg("MSG1203"), {target->DisplayName()})
                                          : FormatText(Msg("MSG1202"), {QString::number(target->volume.letter)}));
    }
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG1204"), "0"}));
}

SearchProcessWnd::~SearchProcessWnd() = default;

int SearchProcessWnd::Work() {
    const int count = static_cast<int>(targets_.size());
    for (int i = 0; i < count; ++i) {
        Target* target = targets_[i];
        if (!target->run) continue;
        SetStage(stages_[i]);
        TargetFindings found;
        found.target = target;
        target->run->SetProgress(Sink(), Cancel(), i, count);
        const int rc = target->run->Search(pattern_, found.records);
        // The folders are read here, on the worker: the file list shows them without
        // reading a log on the UI thread.
        found.folders.reserve(found.records.size());
        found.recoverable.reserve(found.records.size());
        found.layoutGuessed.reserve(found.records.size());
        for (const ScanRecord& record : found.records) {
            std::string folder;
            target->run->RecordPath(record, folder);
            found.folders.push_back(QString::fromStdString(folder));
            // Where each file's data lies is looked up here too (a read per file on some
            // volumes): a cancel stops it, the rest then shows as unknown.
            const bool look = !Cancel()->Cancelled() && !record.isFolder;
            const ScanRun::Recoverability state = look ? target->run->AssessRecoverable(record) : ScanRun::Recoverability{};
            found.recoverable.push_back(static_cast<int8_t>(state.share));
            found.layoutGuessed.push_back(state.layoutGuessed ? 1 : 0);
        }
        findings_.push_back(std::move(found));
        if (rc == CancelCode) return Closed;
    }
    index_ = IndexFindings(findings_);
    return Finished;
}

void SearchProcessWnd::ShowProgress(const RunProgress& progress, const QString& stage) {
    ui_->stage->setText(stage);
    ui_->progress->setValue(progress.percent);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG1204"), QString::number(progress.percent)}));
}

}  // namespace kestrune::ui
