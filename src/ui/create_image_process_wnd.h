// The image window: copies a disk, a partition or an image into an image file.
#pragma once

#include <memory>

#include "session/image_run.h"
#include "ui/progress_wnd.h"

namespace Ui {
class ProgressPanel;
}

namespace kestrune::ui {

class CreateImageProcessWnd : public ProgressWnd {
    Q_OBJECT
public:
    CreateImageProcessWnd(QWidget* owner, ImageRequest request);
    ~CreateImageProcessWnd() override;
    const ImageOutcome& outcome() const { return outcome_; }

protected:
    int Work() override;
    void ShowProgress(const RunProgress& progress, const QString& stage) override;

private:
    std::unique_ptr<Ui::ProgressPanel> ui_;
    ImageRequest request_;
    ImageOutcome outcome_;
};

}  // namespace kestrune::ui
