// The recovery window: copies the ticked files into the destination on its worker, lists
// each file's outcome (failures in red at the top) and ends with Finish.
#pragma once

#include <QString>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "scanlog/recovered_file.h"
#include "ui/found_files.h"
#include "ui/progress_wnd.h"

namespace Ui {
class RecoverPanel;
}

namespace kestrune::ui {

class RecoverProcessWnd : public ProgressWnd {
    Q_OBJECT
public:
    // chosen: the ticked files, grouped by the findings they belong to.
    // keepFolders: each file goes into the folders it was found in, below destination.
    RecoverProcessWnd(QWidget* owner, Findings& findings, std::vector<FoundRef> chosen, QString destination,
                      bool keepFolders = false);
    ~RecoverProcessWnd() override;

    uint64_t processed() const { return processed_; }
    uint64_t failed() const { return failed_; }
    // Set when the destination itself could not be used; nothing was written then.
    const QString& destinationProblem() const { return destinationProblem_; }

protected:
    int Work() override;
    void ShowProgress(const RunProgress& progress, const QString& stage) override;
    void WorkerFinished(int result) override;
    void CloseRequested() override;

private:
    struct Row {
        QString path, status;
        bool failed;
        QString statusTip;  // the stretches a file read around bad sectors misses
    };
    void AddRows();
    // A file read around bad sectors: its partial copy, what it misses and where.
    static void ReadAroundRow(const RecoveredFile& file, Row& row);
    void ToggleDetails();

    std::unique_ptr<Ui::RecoverPanel> ui_;
    Findings& findings_;
    std::vector<FoundRef> chosen_;
    QString destination_, destinationProblem_;
    bool keepFolders_ = false;
    std::mutex rowsLock_;
    std::vector<Row> newRows_;
    uint64_t processed_ = 0, failed_ = 0, total_ = 0;
    QString current_;
    QSize initialSize_;
    bool finished_ = false;
};

}  // namespace kestrune::ui
