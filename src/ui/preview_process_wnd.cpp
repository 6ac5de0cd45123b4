#include "ui/preview_process_wnd.h"

#include <fcntl.h>
#include <unistd.h>

#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/result_codes.h"
#include "session/scan_run.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "ui_progress_wnd.h"

namespace fs = std::filesystem;

namespace kestrune::ui {

namespace {

std::atomic<int> pieceDelayForTests{0};

// The first bytes of a file, for the raw-text view when no decoder shows it.
QByteArray FirstBytes(const std::string& path, qsizetype count) {
    QByteArray bytes(count, Qt::Uninitialized);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return {};
    qsizetype got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(count - got));
        if (n <= 0) break;
        got += n;
    }
    ::close(fd);
    bytes.truncate(got);
    return bytes;
}

}  // namespace

void RemovePreviewFolder(const std::string& file) {
    if (file.empty()) return;
    std::error_code ec;
    const fs::path path(file);
    if (path.parent_path().filename().string().rfind("preview-", 0) == 0) fs::remove_all(path.parent_path(), ec);
    else fs::remove(path, ec);
}

void PreviewProcessWnd::SetPieceDelayForTests(int milliseconds) { pieceDelayForTests = milliseconds; }

PreviewProcessWnd::PreviewProcessWnd(QWidget* owner, std::shared_ptr<PreviewJob> job)
    : ProgressWnd(owner, "PreviewProcessWnd", "MSG0903", MessageBox::Confirm, "MSG0907", "MSG0908"),
      ui_(std::make_unique<Ui::ProgressPanel>()),
      job_(std::move(job)) {
    ui_->setupUi(this);
    setObjectName("PreviewProcessWnd");
    resize(450, 250);
    ui_->time->hide();
    ApplyWindowTexts();
    setWindowTitle(ui_->Title->text());
    setWindowModality(Qt::WindowModal);
    connect(ui_->cancelbtn, &QPushButton::clicked, this, &PreviewProcessWnd::AskCancel);
    const QString stage = FormatText("%s %s", {Msg("MSG0902"), job_->name});
    ui_->stage->setText(stage);
    SetStage(stage);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0901"), "0"}));
    // The window that owns the run may go while the copy runs: the run waits for it.
    job_->run->HoldForPreview();
}

PreviewProcessWnd::~PreviewProcessWnd() {
    StopAndWait();
    if (!runReleased_.exchange(true)) job_->run->ReleaseFromPreview();
}

void PreviewProcessWnd::Abandon() {
    abandoned_ = true;
    stop_.Cancel();
    if (workerDone()) deleteLater();
}

int PreviewProcessWnd::Work() {
    PreviewJob& job = *job_;
    // The last preview's file goes here, off the UI thread: a large video takes a while
    // to delete.
    RemovePreviewFolder(job.previousFile);
    std::vector<uint8_t> buffer(kPreviewBufferBytes, 0);
    uint32_t delivered = 0;
    const ProgressSink sink = Sink();
    const CancelToken* asked = Cancel();
    job.result = job.run->ExtractForPreview(job.record, job.tempPath, buffer, delivered, &stop_, [&](int percent) {
        RunProgress report;
        report.percent = percent;
        sink(report);  // waits while the cancel question is open
        if (asked->Cancelled()) stop_.Cancel();
        if (const int delay = pieceDelayForTests.load()) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    });
    if (!runReleased_.exchange(true)) job.run->ReleaseFromPreview();
    if (job.result == CancelCode) return Closed;
    job.head = job.tempPath.empty()
                   ? QByteArray(reinterpret_cast<const char*>(buffer.data()), qsizetype(delivered))
                   : FirstBytes(job.tempPath, kRawFileBytes);
    return Finished;
}

void PreviewProcessWnd::ShowProgress(const RunProgress& progress, const QString& stage) {
    ui_->stage->setText(stage);
    ui_->progress->setValue(progress.percent);
    ui_->percent->setText(FormatText("%s %d%%", {Msg("MSG0901"), QString::number(progress.percent)}));
}

void PreviewProcessWnd::WorkerFinished(int result) {
    if (abandoned_) {
        deleteLater();
        return;
    }
    ProgressWnd::WorkerFinished(result);
}

}  // namespace kestrune::ui
