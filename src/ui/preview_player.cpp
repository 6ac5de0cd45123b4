#include "ui/preview_player.h"

#include <QAudioOutput>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>

#include "ui/texts.h"

namespace kestrune::ui {

PreviewPlayer::PreviewPlayer(QWidget* parent)
    : QWidget(parent),
      player_(new QMediaPlayer(this)),
      audio_(new QAudioOutput(this)),
      video_(new QVideoWidget(this)),
      sound_(new QLabel(this)),
      playPause_(new QPushButton(this)),
      position_(new QSlider(Qt::Horizontal, this)) {
    setObjectName("PreviewPlayer");
    playPause_->setObjectName("BtnPlayPause");
    position_->setObjectName("PlayPosition");
    sound_->setAlignment(Qt::AlignCenter);
    sound_->setPixmap(style()->standardIcon(QStyle::SP_MediaVolume).pixmap(48, 48));
    player_->setAudioOutput(audio_);
    player_->setVideoOutput(video_);
    auto* controls = new QHBoxLayout;
    controls->addWidget(playPause_);
    controls->addWidget(position_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(video_, 1);
    layout->addWidget(sound_, 1);
    layout->addLayout(controls);
    startLimit_.setSingleShot(true);

    connect(playPause_, &QPushButton::clicked, this, [this] {
        if (player_->playbackState() == QMediaPlayer::PlayingState) player_->pause();
        else player_->play();
    });
    connect(player_, &QMediaPlayer::playbackStateChanged, this, &PreviewPlayer::ApplyTexts);
    connect(player_, &QMediaPlayer::durationChanged, this,
            [this](qint64 duration) { position_->setRange(0, static_cast<int>(duration / 100)); });
    connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 position) {
        if (!position_->isSliderDown()) position_->setValue(static_cast<int>(position / 100));
        if (active_ && !started_ && position > 0) {
            started_ = true;
            startLimit_.stop();
            emit started();
        }
    });
    connect(position_, &QSlider::sliderMoved, this, [this](int value) { player_->setPosition(qint64(value) * 100); });
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError && !started_) Fail();
    });
    connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::InvalidMedia && !started_) Fail();
    });
    connect(&startLimit_, &QTimer::timeout, this, &PreviewPlayer::Fail);
    ApplyTexts();
}

PreviewPlayer::~PreviewPlayer() { Stop(); }

void PreviewPlayer::Play(const QString& path, bool video, int startLimitMs) {
    Stop();
    active_ = true;
    started_ = false;
    video_->setVisible(video);
    sound_->setVisible(!video);
    position_->setValue(0);
    startLimit_.start(startLimitMs);
    player_->setSource(QUrl::fromLocalFile(path));
    player_->play();
}

void PreviewPlayer::Stop() {
    active_ = false;
    startLimit_.stop();
    player_->stop();
    player_->setSource(QUrl());
}

void PreviewPlayer::Fail() {
    if (!active_) return;
    Stop();
    emit failed();
}

void PreviewPlayer::ApplyTexts() {
    const bool playing = player_->playbackState() == QMediaPlayer::PlayingState;
    playPause_->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
    playPause_->setToolTip(Text("PreviewPlayer", playing ? "Pause" : "Play"));
    position_->setToolTip(Text("PreviewPlayer", "Position"));
}

}  // namespace kestrune::ui
