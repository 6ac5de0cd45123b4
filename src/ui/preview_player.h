// Plays a found sound or video file inside the preview pane: the picture (for a video),
// a play/pause button and a position slider.
#pragma once

#include <QTimer>
#include <QWidget>

class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QPushButton;
class QSlider;
class QVideoWidget;

namespace kestrune::ui {

class PreviewPlayer : public QWidget {
    Q_OBJECT
public:
    explicit PreviewPlayer(QWidget* parent = nullptr);
    ~PreviewPlayer() override;

    // Plays path; failed() follows when playback has not started within startLimitMs.
    void Play(const QString& path, bool video, int startLimitMs);
    // Stops and lets go of the file, so that it can be deleted.
    void Stop();
    bool hasStarted() const { return started_; }
    QMediaPlayer* mediaPlayer() const { return player_; }

signals:
    void started();
    // The file could not be played: the media framework gave an error, or nothing played
    // within the time limit.
    void failed();

private:
    void Fail();
    void ApplyTexts();

    QMediaPlayer* player_;
    QAudioOutput* audio_;
    QVideoWidget* video_;
    QLabel* sound_;
    QPushButton* playPause_;
    QSlider* position_;
    QTimer startLimit_;
    bool started_ = false;
    bool active_ = false;
};

}  // namespace kestrune::ui
