// The preview progress window: copies a found file's data out of the scanned source on
// its worker, for the preview pane to show.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>
#include <string>

#include "scanlog/scan_record.h"
#include "ui/preview_kind.h"
#include "ui/progress_wnd.h"

namespace Ui {
class ProgressPanel;
}

namespace kestrune {
class ScanRun;
}

namespace kestrune::ui {

// One preview, from the copy to what is shown.
struct PreviewJob {
    ScanRecord record{};
    ScanRun* run = nullptr;  // held (ScanRun::HoldForPreview) while the window copies
    QString name;
    PreviewKind kind = PreviewKind::Raw;
    std::string previousFile;  // the last preview's temporary file, removed before the copy
    // What the copy left: its result, the temporary file (or none), and the bytes the
    // raw-text view shows (the file's first bytes, or everything delivered into memory).
    int result = 0;
    std::string tempPath;
    QByteArray head;
    bool handedOver = false;  // the pane took the result (and with it the temporary file)
};

// Removes a preview's temporary file with the folder made for it and anything a
// converter wrote there.
void RemovePreviewFolder(const std::string& file);

class PreviewProcessWnd : public ProgressWnd {
    Q_OBJECT
public:
    PreviewProcessWnd(QWidget* owner, std::shared_ptr<PreviewJob> job);
    ~PreviewProcessWnd() override;

    // Stops the copy without asking (a newer preview replaces it); the window deletes
    // itself once its worker has ended, and reports no result.
    void Abandon();
    bool abandoned() const { return abandoned_; }
    const std::shared_ptr<PreviewJob>& job() const { return job_; }

    // Slows every piece of the copy down, so that tests can cancel one in the middle.
    static void SetPieceDelayForTests(int milliseconds);

protected:
    int Work() override;
    void ShowProgress(const RunProgress& progress, const QString& stage) override;
    void WorkerFinished(int result) override;

private:
    std::unique_ptr<Ui::ProgressPanel> ui_;
    std::shared_ptr<PreviewJob> job_;
    CancelToken stop_;
    bool abandoned_ = false;
    std::atomic<bool> runReleased_{false};
};

}  // namespace kestrune::ui
