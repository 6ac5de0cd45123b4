#include "ui/create_image_process_wnd.h"

#include <QPushButton>

#include "base/result_codes.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_progress_wnd.h"

namespace kestrune::ui {

CreateImageProcessWnd::CreateImageProcessWnd(QWidget* owner, ImageRequest request)
    : ProgressWnd(owner, "CreateImageWnd", "MSG0306", MessageBox::Confirm, "MSG0307", "MSG0308"),
      ui_(std::make_unique<Ui::ProgressPanel>()),
      request_(std::move(request)) {
    ui_->setupUi(this);
    setObjectName("CreateImageProcessWnd");
    resize(450, 250);
    ui_->totalfile->hide();
    ApplyWindowTexts();
    setWindowTitle(ui_->Title->text());
    connect(ui_->cancelbtn, &QPushButton::clicked, this, &CreateImageProcessWnd::AskCancel);
    ui_->stage->setText(FormatText("%s %s", {Msg("MSG0302"), QString::fromStdString(request_.destination.string())}));
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0301"), "0"}));
    ui_->time->setText(Msg("MSG0304"));
}

CreateImageProcessWnd::~CreateImageProcessWnd() = default;

int CreateImageProcessWnd::Work() {
    const int rc = CreateImage(request_, Sink(), Cancel(), outcome_);
    if (rc == CancelCode) return Closed;
    return rc == 0 ? Finished : Failed;
}

void CreateImageProcessWnd::ShowProgress(const RunProgress& progress, const QString&) {
    ui_->progress->setValue(progress.percent);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0301"), QString::number(progress.percent)}));
    ui_->time->setText(progress.secondsLeft < 0
                           ? Msg("MSG0304")
                           : Msg("MSG0305") + u' ' + DurationText(static_cast<quint64>(progress.secondsLeft)));
    ui_->sectors->setVisible(progress.total != 0);
    ui_->sectors->setText(FormatText("%s %d / %d", {Msg("MSG0303"), QString::number(progress.done),
                                                     QString::number(progress.total)}));
}

}  // namespace kestrune::ui
