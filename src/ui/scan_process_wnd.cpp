#include "ui/scan_process_wnd.h"

#include <QPushButton>

#include "base/result_codes.h"
#include "disk/encrypted_volumes.h"
#include "scanlog/scan_catalogue.h"
#include "session/target_scans.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_progress_wnd.h"

namespace kestrune::ui {

ScanProcessWnd::ScanProcessWnd(QWidget* owner, std::vector<Target*> targets, ScanMode mode)
    : ProgressWnd(owner, "ScanWnd", "MSG0709", MessageBox::Question, "MSG0710", "MSG0711"),
      ui_(std::make_unique<Ui::ProgressPanel>()),
      targets_(std::move(targets)),
      mode_(mode) {
    ui_->setupUi(this);
    setObjectName("ScanProcessWnd");
    resize(450, 250);
    ApplyWindowTexts();
    setWindowTitle(ui_->Title->text());
    connect(ui_->cancelbtn, &QPushButton::clicked, this, &ScanProcessWnd::AskCancel);
    // Texts are read here, on the UI thread; the worker only picks them.
    for (const Target* target : targets_) {
        if (target->isImage) stages_.push_back(FormatText(Msg("MSG0703"), {target->DisplayName()}));
        else stages_.push_back(FormatText(Msg("MSG0702"), {QString::number(target->volume.letter)}));
    }
    ui_->time->setText(Msg("MSG0705"));
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0704"), "0"}));
}

ScanProcessWnd::~ScanProcessWnd() = default;

int ScanProcessWnd::Work() {
    for (const std::string& folder : discard_) ScanCatalogue::Instance().DiscardRunFolder(folder);
    std::vector<ScanSource> sources;
    std::vector<bool> unopened(targets_.size(), false);
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target* target = targets_[i];
        sources.push_back(target->source);
        if (target->passphrase.empty()) continue;
        // An encrypted volume is read decrypted; its passphrase is wiped once it was tried.
        std::string error;
        if (UnlockSource(sources.back(), target->passphrase, error) != kOk) {
            failures_.push_back({target, QString::fromStdString(error)});
            unopened[i] = true;
        }
        WipeSecret(target->passphrase);
    }
    TargetScanSettings settings;
    settings.mode = mode_;
    settings.sink = Sink();
    settings.cancel = Cancel();
    settings.storedPassQuestion = [this](const StoredPassInfo& info) {
        return AskFromWorker([&] { return AskStoredPass(info) ? 1 : 0; }) == 1;
    };
    settings.checkpointMs = CheckpointIntervalSetting();
    settings.existingFiles = existingFiles_;
    int scanned = 0;
    const int rc = ScanEachTarget(
        sources, settings,
        [this, &unopened](size_t i) {
            SetStage(stages_[i]);
            targets_[i]->run.reset();
            return !unopened[i];
        },
        [this, &scanned](size_t i, std::unique_ptr<ScanRun> run, int result) {
            Target* target = targets_[i];
            const QString problem = QString::fromStdString(run->problem());
            if (run->HasFindings()) {
                target->run = std::move(run);
                ++scanned;
            }
            if (result != kOk && result != CancelCode) failures_.push_back({target, problem});
        });
    stopped_ = rc == CancelCode;
    // A scan that could open none of its targets failed to start; one that scanned some
    // shows what those found, and says which others could not be read.
    return scanned == 0 && !stopped_ ? Failed : Finished;
}

// The scan window stays open under the question (hiding a window in its modal loop would
// end the loop); the question belongs to the main window, as the choice is about a source.
bool ScanProcessWnd::AskStoredPass(const StoredPassInfo& info) {
    // A pass that reached its end has nothing left to continue: what it offers is its findings.
    const int answer = info.finished ? MessageBox::Show(MessageBox::Question, parentWidget(), Msg("MSG1214"),
                                                        Msg("MSG1215"), Msg("MSG1216"))
                                     : MessageBox::Show(MessageBox::Question, parentWidget(), Msg("MSG1206"),
                                                        Msg("MSG1212"), Msg("MSG1213"));
    activateWindow();
    return answer == MessageBox::Ok;
}

void ScanProcessWnd::ShowProgress(const RunProgress& progress, const QString& stage) {
    ui_->stage->setText(stage);
    percentDone_ = progress.percent;
    ui_->progress->setValue(progress.percent);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0704"), QString::number(progress.percent)}));
    QString time = progress.secondsLeft < 0
                       ? Msg("MSG0705")
                       : Msg("MSG0708") + u' ' + DurationText(static_cast<quint64>(progress.secondsLeft));
    if (progress.bytesPerSecond) time += u' ' + FormatText(Msg("MSG0714"), {SizeText(progress.bytesPerSecond)});
    ui_->time->setText(time);
    const bool sectors = progress.total != 0;
    ui_->sectors->setVisible(sectors);
    ui_->totalfile->setVisible(sectors);
    if (sectors) {
        ui_->sectors->setText(FormatText("%s %d / %d", {Msg("MSG0706"), QString::number(progress.done),
                                                         QString::number(progress.total)}));
        ui_->totalfile->setText(FormatText("%s %d", {Msg("MSG0707"), QString::number(progress.filesFound)}));
    }
}

}  // namespace kestrune::ui
