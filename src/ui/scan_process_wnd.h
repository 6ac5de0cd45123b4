// The scan window: scans each chosen target in turn on its worker.
#pragma once

#include <memory>
#include <vector>

#include "session/scan_mode.h"
#include "ui/progress_wnd.h"
#include "ui/target.h"

namespace Ui {
class ProgressPanel;
}

namespace kestrune::ui {

class ScanProcessWnd : public ProgressWnd {
    Q_OBJECT
public:
    // questionOwner: the window the stored-pass question is shown over.
    ScanProcessWnd(QWidget* owner, std::vector<Target*> targets, ScanMode mode);
    ~ScanProcessWnd() override;

    struct Failure {
        Target* target;
        QString problem;
    };
    // Targets that could not be scanned (no file system known, unreadable), in order.
    const std::vector<Failure>& failures() const { return failures_; }
    bool stopped() const { return stopped_; }
    // The share of the scan done when it ended (shown when it was stopped).
    int percentDone() const { return percentDone_; }
    // Run folders of earlier quick scans, deleted by the worker before it scans: a quick
    // scan's findings live only until the next scan.
    void DiscardFirst(std::vector<std::string> folders) { discard_ = std::move(folders); }
    // A quick scan lists the files that exist on the volumes too.
    void ListExistingFiles(bool on) { existingFiles_ = on; }

protected:
    int Work() override;
    void ShowProgress(const RunProgress& progress, const QString& stage) override;

private:
    bool AskStoredPass(const StoredPassInfo& info);

    std::unique_ptr<Ui::ProgressPanel> ui_;
    std::vector<Target*> targets_;
    std::vector<QString> stages_;
    ScanMode mode_;
    bool existingFiles_ = false;
    std::vector<Failure> failures_;
    std::vector<std::string> discard_;
    bool stopped_ = false;
    int percentDone_ = 0;
};

}  // namespace kestrune::ui
