// Short jobs that must not run on the UI thread (listing disks, resolving an image file):
// each runs on a thread of its own and hands its result to the UI thread. The owner waits
// for the ones still running when it goes away.
#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>
#include <functional>
#include <memory>
#include <vector>

namespace kestrune::ui {

class BackgroundJobs : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~BackgroundJobs() override { WaitAll(); }

    // Runs work on its own thread, then done(result) on this object's thread.
    template <typename Result>
    void Run(std::function<Result()> work, std::function<void(Result)> done) {
        ++running_;
        QThread* thread = QThread::create([this, work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<Result>(work());
            QMetaObject::invokeMethod(this, [this, result, done = std::move(done)] {
                --running_;
                done(std::move(*result));
                emit finishedOne();
            }, Qt::QueuedConnection);
        });
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        threads_.push_back(thread);
        connect(thread, &QObject::destroyed, this, [this, thread] { std::erase(threads_, thread); });
        thread->start();
    }
    int running() const { return running_; }
    void WaitAll() {
        for (QThread* thread : threads_) thread->wait();
    }

signals:
    void finishedOne();

private:
    int running_ = 0;
    std::vector<QThread*> threads_;
};

}  // namespace kestrune::ui
