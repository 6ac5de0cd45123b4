#include "ui/preview_pane.h"

#include <QEvent>
#include <QLayout>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <filesystem>
#include <thread>
#include <utility>

#include "base/result_codes.h"
#include "preview/helper_protocol.h"
#include "scanlog/file_types.h"
#include "session/scan_run.h"
#include "ui/message_box.h"
#include "ui/preview_decoder.h"
#include "ui/preview_player.h"
#include "ui/preview_process_wnd.h"
#include "ui/target.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

const QUrl kPictureUrl("kestrune-preview://picture");

QString HelperMode(PreviewKind kind) {
    switch (kind) {
    case PreviewKind::Picture: return "picture";
    case PreviewKind::Pdf: return "pdf";
    case PreviewKind::Archive: return "archive";
    case PreviewKind::OfficeXml:
    case PreviewKind::LegacyOffice: return "office";
    default: return {};
    }
}

// Deletes a temporary file on a thread of its own: a large video takes a while.
void RemoveInBackground(std::string file) {
    if (file.empty()) return;
    std::thread([file = std::move(file)] { RemovePreviewFolder(file); }).detach();
}

}  // namespace

PreviewPane::PreviewPane(QTextBrowser* edit, QWidget* window)
    : QObject(window), edit_(edit), window_(window), decoder_(new PreviewDecoder(this)) {
    showWindow_.setSingleShot(true);
    connect(&showWindow_, &QTimer::timeout, this, [this] {
        if (running_ && !running_->abandoned() && !running_->workerDone()) running_->open();
    });
    connect(decoder_, &PreviewDecoder::finished, this, &PreviewPane::Decoded);
    // A copy still running reads a run the window owns: it is stopped before the window goes.
    if (window_) window_->installEventFilter(this);
    // The player takes PreviewEdit's place while sound or video plays: both sit in a stack
    // where the edit was.
    if (QWidget* holder = edit_->parentWidget()) {
        stack_ = new QStackedWidget;
        stack_->setObjectName("PreviewStack");
        if (auto* splitter = qobject_cast<QSplitter*>(holder)) {
            splitter->replaceWidget(splitter->indexOf(edit_), stack_);
        } else if (holder->layout()) {
            delete holder->layout()->replaceWidget(edit_, stack_);
        } else {
            stack_->setParent(holder);
            stack_->setGeometry(edit_->geometry());
        }
        stack_->addWidget(edit_);
        stack_->show();
    }
}

PreviewPane::~PreviewPane() {
    pending_.reset();
    if (running_) {
        disconnect(running_, nullptr, this, nullptr);
        const std::shared_ptr<PreviewJob> job = running_->job();
        delete std::exchange(running_, nullptr);  // stops its copy and waits for it
        RemovePreviewFolder(job->tempPath);
    }
    Reset();
    RemovePreviewFolder(leftover_);
}

bool PreviewPane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Close) Clear();
    return QObject::eventFilter(watched, event);
}

QString PreviewPane::text() const { return edit_ ? edit_->toPlainText() : QString(); }

std::string PreviewPane::tempFile() const { return current_ ? current_->tempPath : std::string(); }

bool PreviewPane::busy() const { return running_ || pending_ || decoder_->running(); }

void PreviewPane::SetTimeLimits(int decoderMs, int officeMs, int playerStartMs) {
    decoderMs_ = decoderMs;
    officeMs_ = officeMs;
    playerStartMs_ = playerStartMs;
}

// Ends what the shown preview runs and empties the pane; its temporary file is left for
// the next copy (or a background thread) to delete.
void PreviewPane::Reset() {
    decoder_->Stop();
    convertingOffice_ = false;
    if (player_) player_->Stop();
    if (stack_ && edit_) stack_->setCurrentWidget(edit_);
    if (edit_) edit_->clear();
    picture_ = QImage();
    content_ = Content::Nothing;
    if (current_) {
        if (!current_->tempPath.empty()) {
            RemoveInBackground(std::move(leftover_));
            leftover_ = current_->tempPath;
        }
        current_.reset();
    }
}

void PreviewPane::Clear() {
    pending_.reset();
    showWindow_.stop();
    if (running_) {
        disconnect(running_, nullptr, this, nullptr);
        const std::shared_ptr<PreviewJob> job = running_->job();
        delete std::exchange(running_, nullptr);  // stops its copy and waits for it: the runs may go next
        RemoveInBackground(job->tempPath);
    }
    Reset();
    RemoveInBackground(std::move(leftover_));
    leftover_.clear();
}

void PreviewPane::Show(const TargetFindings& found, uint32_t record) {
    Reset();
    pending_.reset();
    showWindow_.stop();
    // A copy still running gives way: it stops at its next piece, shows nothing, and the
    // newest request (if any) follows it. One copy at a time: an engine serves one thread.
    if (running_) running_->Abandon();
    if (record >= found.records.size()) return;
    const ScanRecord& file = found.records[record];
    if (file.isFolder) {
        ShowMessage(Msg("MSG0904"));
        Done(Content::Message);
        return;
    }
    if (!found.target || !found.target->run) return;
    auto job = std::make_shared<PreviewJob>();
    job->record = file;
    job->run = found.target->run.get();
    const std::string_view name = RecordName(file);
    job->name = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    job->kind = PreviewKindOf(name);
    pending_ = std::move(job);
    content_ = Content::Busy;
    StartNext();
}

void PreviewPane::StartNext() {
    if (running_ || !pending_) return;
    std::shared_ptr<PreviewJob> job = std::move(pending_);
    pending_.reset();
    job->previousFile = std::move(leftover_);
    leftover_.clear();
    auto* window = new PreviewProcessWnd(window_, job);
    running_ = window;
    connect(window, &QDialog::finished, this, [this, job, window](int result) {
        if (running_ == window) running_ = nullptr;
        window->deleteLater();
        Extracted(job, result);
    });
    connect(window, &QObject::destroyed, this, [this, job, window] {
        if (running_ == window) running_ = nullptr;
        // A copy given up after it had finished leaves a file nobody shows.
        if (!job->handedOver) RemoveInBackground(job->tempPath);
        StartNext();
    });
    window->StartInBackground();
    // A quick copy shows no window at all; a slow one shows its progress and its cancel.
    showWindow_.start(windowDelay_);
}

void PreviewPane::Extracted(const std::shared_ptr<PreviewJob>& job, int result) {
    showWindow_.stop();
    if (pending_) {
        // A newer request came while the window closed: this one is not shown.
        RemoveInBackground(job->tempPath);
        StartNext();
        return;
    }
    current_ = job;
    job->handedOver = true;
    if (result != PopUpWnd::Finished) {
        // Cancelled: nothing is shown.
        current_.reset();
        Done(Content::Nothing);
        return;
    }
    Decode();
}

void PreviewPane::Decode() {
    const PreviewJob& job = *current_;
    if (job.result != kOk && job.head.isEmpty()) {
        ShowMessage(FormatText(Msg("MSG0906"), {QString::fromStdString(ResultText(job.result))}));
        Done(Content::Message);
        return;
    }
    const bool inFile = !job.tempPath.empty();
    if ((job.kind == PreviewKind::Audio || job.kind == PreviewKind::Video) && inFile && job.result == kOk) {
        Play(job.kind == PreviewKind::Video);
        return;
    }
    if (job.kind == PreviewKind::LegacyOffice) {
        if (inFile && !QStandardPaths::findExecutable("soffice").isEmpty()) ConvertOffice();
        else ShowRaw();
        return;
    }
    const QString mode = HelperMode(job.kind);
    const QString helper = PreviewDecoder::HelperPath();
    if (mode.isEmpty() || helper.isEmpty()) {
        ShowRaw();
        return;
    }
    const QSize fit = FitSize();
    decoder_->Start(helper,
                    {mode, inFile ? QString::fromStdString(job.tempPath) : QString("-"), QString::number(fit.width()),
                     QString::number(fit.height())},
                    inFile ? QByteArray() : job.head, decoderMs_);
}

// Older office files: LibreOffice, without a window, turns them into OpenDocument files
// beside the temporary file, which the helper then reads like any other. A profile of
// its own keeps it from handing the work to a LibreOffice the user has open.
void PreviewPane::ConvertOffice() {
    if (!officeProfile_) officeProfile_ = std::make_unique<QTemporaryDir>();
    const std::filesystem::path file(current_->tempPath);
    const QString format = OpenDocumentFormatFor(file.filename().string());
    convertingOffice_ = true;
    decoder_->Start("soffice",
                    {"--headless", "--norestore", "--nolockcheck", "--nologo",
                     "-env:UserInstallation=" + QUrl::fromLocalFile(officeProfile_->path()).toString(),
                     "--convert-to", format, "--outdir", QString::fromStdString(file.parent_path().string()),
                     QString::fromStdString(file.string())},
                    {}, officeMs_);
}

void PreviewPane::Decoded(bool ok, const QByteArray& output) {
    if (!current_) return;
    if (convertingOffice_) {
        convertingOffice_ = false;
        const std::filesystem::path file(current_->tempPath);
        const QString helper = PreviewDecoder::HelperPath();
        if (!ok || helper.isEmpty()) {
            ShowRaw();
            return;
        }
        const QString converted = QString::fromStdString(
            (file.parent_path() / file.stem()).string() + "." + OpenDocumentFormatFor(file.filename().string()).toStdString());
        decoder_->Start(helper, {"office", converted}, {}, decoderMs_);
        return;
    }
    const preview::HelperResult result = ok ? preview::DecodeHelperOutput(output) : preview::HelperResult{};
    switch (result.kind) {
    case preview::HelperResultKind::Picture:
        // A picture of a pixel or two is no preview of anything.
        if (result.fileSize.width() <= 2 && result.fileSize.height() <= 2) {
            ShowMessage(Msg("MSG0905"));
            Done(Content::Message);
        } else {
            ShowPicture(result.picture);
        }
        break;
    case preview::HelperResultKind::Text:
        ShowText(result.text);
        break;
    case preview::HelperResultKind::Failed:
        ShowRaw();
        break;
    }
}

void PreviewPane::Play(bool video) {
    if (!player_) {
        player_ = new PreviewPlayer;
        connect(player_, &PreviewPlayer::failed, this, &PreviewPane::PlaybackFailed);
        if (stack_) stack_->addWidget(player_);
    }
    if (stack_) stack_->setCurrentWidget(player_);
    player_->Play(QString::fromStdString(current_->tempPath), video, playerStartMs_);
    Done(Content::Player);
}

void PreviewPane::PlaybackFailed() {
    if (!current_ || content_ != Content::Player) return;
    if (stack_) stack_->setCurrentWidget(edit_);
    // What the file holds is shown under the message, as for any file nothing decodes.
    ShowRaw();
    MessageBox::Show(MessageBox::Error, window_, Msg("MSG1207"));
}

QSize PreviewPane::FitSize() const {
    const int margin = 2 * static_cast<int>(edit_->document()->documentMargin()) + 4;
    const QSize room = edit_->viewport()->size() - QSize(margin, margin);
    return room.expandedTo(QSize(64, 64));
}

void PreviewPane::ShowMessage(const QString& message) {
    edit_->clear();
    QTextCursor cursor(edit_->document());
    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    // The message sits a little below the top, as the design's wide line spacing puts it.
    centred.setLineHeight(67, QTextBlockFormat::FixedHeight);
    cursor.setBlockFormat(centred);
    cursor.insertText(message);
}

void PreviewPane::ShowRaw() {
    QString text = RawText(current_ ? current_->head : QByteArray());
    text.replace("\r\n", "\n");
    edit_->setPlainText(text);
    Done(Content::Text);
}

void PreviewPane::ShowText(const QString& text) {
    edit_->setPlainText(text);
    Done(Content::Text);
}

void PreviewPane::ShowPicture(const QImage& picture) {
    edit_->clear();
    picture_ = picture;
    edit_->document()->addResource(QTextDocument::ImageResource, kPictureUrl, picture);
    QTextCursor cursor(edit_->document());
    QTextImageFormat image;
    image.setName(kPictureUrl.toString());
    image.setWidth(picture.width());
    image.setHeight(picture.height());
    cursor.insertImage(image);
    Done(Content::Picture);
}

void PreviewPane::Done(Content content) {
    content_ = content;
    emit shown();
}

}  // namespace kestrune::ui
