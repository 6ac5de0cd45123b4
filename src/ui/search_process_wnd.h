// The search window: asks each scanned target's run for the files of the chosen kinds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/found_files.h"
#include "ui/result_index.h"
#include "ui/progress_wnd.h"
#include "ui/target.h"

namespace Ui {
class ProgressPanel;
}

namespace kestrune::ui {

class SearchProcessWnd : public ProgressWnd {
    Q_OBJECT
public:
    SearchProcessWnd(QWidget* owner, std::vector<Target*> targets, std::string pattern);
    ~SearchProcessWnd() override;
    // What was found, one entry per target searched (also after a cancel: what was read).
    Findings& findings() { return findings_; }
    ResultIndex& index() { return index_; }

protected:
    int Work() override;
    void ShowProgress(const RunProgress& progress, const QString& stage) override;

private:
    std::unique_ptr<Ui::ProgressPanel> ui_;
    std::vector<Target*> targets_;
    std::vector<QString> stages_;
    std::string pattern_;
    Findings findings_;
    ResultIndex index_;
};

}  // namespace kestrune::ui
