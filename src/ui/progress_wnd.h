// The pattern every long operation shares: a modal window, one worker thread running the
// operation through the session, its reports shown a few times a second on the UI thread,
// and a cancel that asks first and holds the worker at its next report until answered.
#pragma once

#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <mutex>

#include "base/run_progress.h"
#include "ui/pop_up_wnd.h"

class QThread;

namespace kestrune::ui {

class ProgressWnd : public PopUpWnd {
    Q_OBJECT
public:
    // cancelQuestion: the message id asked before a cancel; questionKind the box's kind;
    // stopText and keepText the ids of its buttons' texts (what stopping and going on are
    // called for this operation).
    ProgressWnd(QWidget* owner, const char* section, const char* cancelQuestion, int questionKind,
                const char* stopText, const char* keepText);
    ~ProgressWnd() override;

    // Starts the worker once the window shows, runs the window modally and returns its
    // result: 1 finished (also after a cancel, for a scan), 2 closed, 3 failed.
    int Run();
    // Starts the worker without running the window: the owner shows it when it likes
    // (open()) and hears the end through QDialog::finished.
    void StartInBackground() { StartWorker(); }
    bool workerDone() const { return workerDone_.load(); }
    bool cancelRequested() const { return cancel_.Cancelled(); }

signals:
    // Emitted on the UI thread each time the shown figures change (tests watch it).
    void progressShown(int percent);

protected:
    // The operation, on the worker thread. Returns the window's result.
    virtual int Work() = 0;
    // Shows the latest report, on the UI thread.
    virtual void ShowProgress(const RunProgress& progress, const QString& stage) = 0;
    // The worker has ended with result: the base closes the window with it.
    virtual void WorkerFinished(int result) { done(result); }

    // The sink the session reports to, on the worker thread: it keeps the latest report
    // and waits while the cancel question is open.
    ProgressSink Sink();
    const CancelToken* Cancel() const { return &cancel_; }
    // Sets the stage text shown with the next refresh (from any thread).
    void SetStage(const QString& stage);
    // Runs question on the UI thread and waits for its answer (worker thread only).
    int AskFromWorker(const std::function<int()>& question);
    // Asks the cancel question and, on OK, stops the worker at its next report.
    void AskCancel();
    void CloseRequested() override { AskCancel(); }
    void Refresh();
    // Stops the worker at its next report without asking, and waits for it to end: for a
    // window going away while its worker may still use what the window holds.
    void StopAndWait();

private:
    void StartWorker();
    void OnWorkerEnded();

    const char* cancelQuestion_;
    int questionKind_;
    const char* stopText_;
    const char* keepText_;
    CancelToken cancel_;
    std::mutex gate_;       // held by the UI thread while the cancel question is open
    std::mutex latestLock_;
    RunProgress latest_;
    QString stage_;
    bool changed_ = false;
    std::atomic<bool> workerDone_{false};
    int result_ = Failed;
    bool asking_ = false, endPending_ = false;
    QThread* worker_ = nullptr;
    QTimer refresh_;
};

}  // namespace kestrune::ui
