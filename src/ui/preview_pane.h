// The results page's preview of the chosen found file, in PreviewEdit: the file's data is
// copied out on a worker behind the preview progress window (shown only when the copy
// takes a moment), then decoded by a helper process with a time limit (pictures, PDF
// pages, archive listings, office text; LibreOffice for older office files), played in
// the pane (sound, video), or shown as raw text. Nothing here waits on a disk or a
// decoder on the UI thread.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/found_files.h"
#include "ui/preview_player.h"

class QTemporaryDir;

namespace kestrune::ui {

class PreviewDecoder;
class PreviewProcessWnd;
struct PreviewJob;

class PreviewPane : public QObject {
    Q_OBJECT
public:
    enum class Content { Nothing, Busy, Message, Picture, Text, Player };

    // edit is the page's PreviewEdit; window owns the progress and message windows.
    PreviewPane(QTextBrowser* edit, QWidget* window);
    // Stops what runs (waiting for a copy still running: the runs it reads belong to the
    // window) and deletes the last preview's temporary file.
    ~PreviewPane() override;

    // Shows the record-th file of found. A preview still being prepared gives way: its copy
    // stops at its next piece, its decoder is ended, and only the newest request follows.
    void Show(const TargetFindings& found, uint32_t record);
    // Empties the pane and stops what runs; waits for a copy still running (the caller
    // may be about to drop the runs it reads).
    void Clear();

    Content content() const { return content_; }
    const QImage& picture() const { return picture_; }
    QString text() const;
    // The shown preview's temporary file ("" when its data went to memory).
    std::string tempFile() const;
    bool busy() const;
    PreviewDecoder* decoder() const { return decoder_; }
    PreviewPlayer* player() const { return player_; }
    // The largest picture the pane shows without scrolling.
    QSize FitSize() const;

    // Time limits of a decoder and of a player's start, and how long a copy runs before its
    // window shows (tests shorten them).
    void SetTimeLimits(int decoderMs, int officeMs, int playerStartMs);
    void SetWindowDelay(int milliseconds) { windowDelay_ = milliseconds; }

signals:
    // A preview is complete: its content is shown, or nothing after a cancel.
    void shown();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Reset();
    void StartNext();
    void Extracted(const std::shared_ptr<PreviewJob>& job, int result);
    void Decode();
    void Decoded(bool ok, const QByteArray& output);
    void ConvertOffice();
    void Play(bool video);
    void PlaybackFailed();
    void ShowMessage(const QString& message);
    void ShowRaw();
    void ShowText(const QString& text);
    void ShowPicture(const QImage& picture);
    void Done(Content content);

    // The widgets belong to the window, which may delete them before this pane.
    QPointer<QTextBrowser> edit_;
    QWidget* window_;
    QPointer<QStackedWidget> stack_;
    QPointer<PreviewPlayer> player_;
    PreviewDecoder* decoder_;
    // The copy in progress; cleared when its window goes (a plain pointer: a guarded one
    // would be read as the derived type while the window is half destroyed).
    PreviewProcessWnd* running_ = nullptr;
    std::shared_ptr<PreviewJob> pending_;     // the newest request, waiting for that copy to end
    std::shared_ptr<PreviewJob> current_;     // the preview decoded or shown
    std::string leftover_;                    // a temporary file the next copy removes
    bool convertingOffice_ = false;
    std::unique_ptr<QTemporaryDir> officeProfile_;
    QTimer showWindow_;                       // shows the progress window of a slow copy
    Content content_ = Content::Nothing;
    QImage picture_;
    int windowDelay_ = 400;
    int decoderMs_ = 20000, officeMs_ = 60000, playerStartMs_ = 10000;
};

}  // namespace kestrune::ui
