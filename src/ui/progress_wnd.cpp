#include "ui/progress_wnd.h"

#include <QMetaObject>
#include <QPushButton>
#include <QThread>

#include "ui/message_box.h"
#include "ui/texts.h"

namespace kestrune::ui {

ProgressWnd::ProgressWnd(QWidget* owner, const char* section, const char* cancelQuestion, int questionKind,
                         const char* stopText, const char* keepText)
    : PopUpWnd(owner, section), cancelQuestion_(cancelQuestion), questionKind_(questionKind), stopText_(stopText),
      keepText_(keepText) {
    SetEscapeIgnored(true);
    // A few refreshes a second are plenty for people, and keep a fast worker from
    // flooding the UI thread.
    refresh_.setInterval(150);
    connect(&refresh_, &QTimer::timeout, this, &ProgressWnd::Refresh);
}

ProgressWnd::~ProgressWnd() {
    if (worker_) {
        cancel_.Cancel();
        worker_->wait();
        delete worker_;
    }
}

void ProgressWnd::StopAndWait() {
    cancel_.Cancel();
    if (worker_) worker_->wait();
}

int ProgressWnd::Run() {
    QTimer::singleShot(0, this, &ProgressWnd::StartWorker);
    return exec();
}

void ProgressWnd::StartWorker() {
    if (worker_) return;
    worker_ = QThread::create([this] {
        result_ = Work();
        workerDone_.store(true);
    });
    connect(worker_, &QThread::finished, this, &ProgressWnd::OnWorkerEnded, Qt::QueuedConnection);
    refresh_.start();
    worker_->start();
}

void ProgressWnd::OnWorkerEnded() {
    // The cancel question may still be open: the end is shown once it is answered.
    if (asking_) {
        endPending_ = true;
        return;
    }
    refresh_.stop();
    Refresh();
    WorkerFinished(result_);
}

ProgressSink ProgressWnd::Sink() {
    return [this](const RunProgress& progress) {
        std::lock_guard hold(gate_);
        std::lock_guard lock(latestLock_);
        latest_ = progress;
        changed_ = true;
    };
}

void ProgressWnd::SetStage(const QString& stage) {
    std::lock_guard lock(latestLock_);
    stage_ = stage;
    changed_ = true;
}

void ProgressWnd::Refresh() {
    RunProgress progress;
    QString stage;
    {
        std::lock_guard lock(latestLock_);
        if (!changed_) return;
        changed_ = false;
        progress = latest_;
        stage = stage_;
    }
    ShowProgress(progress, stage);
    emit progressShown(progress.percent);
}

int ProgressWnd::AskFromWorker(const std::function<int()>& question) {
    int answer = 0;
    QMetaObject::invokeMethod(this, [&] { answer = question(); }, Qt::BlockingQueuedConnection);
    return answer;
}

void ProgressWnd::AskCancel() {
    if (workerDone_.load() || cancel_.Cancelled() || asking_) return;
    asking_ = true;
    int answer;
    {
        // The worker stops at its next report until the question is answered.
        std::lock_guard hold(gate_);
        answer = MessageBox::Show(questionKind_, this, Msg(cancelQuestion_), Msg(stopText_), Msg(keepText_));
        if (answer == MessageBox::Ok) cancel_.Cancel();
    }
    asking_ = false;
    if (answer == MessageBox::Ok) {
        for (auto* button : findChildren<QPushButton*>())
            if (button->objectName().compare("cancelbtn", Qt::CaseInsensitive) == 0) button->setEnabled(false);
    }
    if (endPending_) {
        endPending_ = false;
        OnWorkerEnded();
    }
}

}  // namespace kestrune::ui
